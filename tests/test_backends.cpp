// The same scenes through the CPU and the CUDA backend. Runs only where a GPU exists.
#include <gtest/gtest.h>

#include <cmath>

#include "host/internal.h"
#include "support/test_support.h"

namespace {

// A floor, a blocker, a glossy mirror wall and a glass block under every light kind.
void buildScene(TessraRendererCUDA& r) {
    const int floor = tt::addDiffuse(r, 0.8f, 0.7f, 0.6f);
    const int red = tt::addDiffuse(r, 0.9f, 0.1f, 0.1f);
    material_t m;
    m.diffuse[0] = m.diffuse[1] = m.diffuse[2] = 0.3f;
    m.reflective = true;
    m.reflColor[0] = m.reflColor[1] = m.reflColor[2] = 200;
    m.reflGloss = 0.6f;
    m.specular = true;
    m.specularLevel = 0.4f;
    m.specularExponent = 20;
    const int metal = r.NuevoMaterial(m);
    material_t g;
    g.refractive = true;
    g.refrColor[0] = g.refrColor[1] = g.refrColor[2] = 230;
    const int glass = r.NuevoMaterial(g);
    tt::addQuad(r, {-4, -4, 0}, {4, -4, 0}, {4, 4, 0}, {-4, 4, 0}, {0, 0, 1}, floor);
    tt::addQuad(r, {-0.5f, -0.5f, 1}, {0.5f, -0.5f, 1}, {0.5f, 0.5f, 1}, {-0.5f, 0.5f, 1}, {0, 0, 1}, red);
    tt::addQuad(r, {-3, 2, 0}, {3, 2, 0}, {3, 2, 3}, {-3, 2, 3}, {0, -1, 0}, metal);
    tt::addQuad(r, {1, -1.5f, 0.6f}, {2, -1.5f, 0.6f}, {2, -0.5f, 0.6f}, {1, -0.5f, 0.6f}, {0, 0, 1}, glass);
    r.NuevaLuzOmni(-1, -1, 3, 1, 1, 1, 0.4f, 2, 2.0f);
    r.NuevaLuzOmniEsfera(0.5f, 0.3f, 2.5f, 1, 0.9f, 0.8f, 0.5f, 0.4f, 0);
    r.NuevaLuzRect(-1, 1, 2.5f, 0.8f, 0.8f, 1, 1, 0, 0, 0, 1, 0, 0, 0, -1, 0.5f, 1.0f, 0.5f, 0);
    r.NuevaLuzFoco(1, 1, 3, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 70, 40, 0.5f, 0, true, 1.0f);
    r.NuevaLuzDir(0, 0, 6, 0.5f, 0.5f, 0.5f, 1, 0, 0, 0, 1, 0, 0, 0, 1, 3, 2, 0.2f, 0, true, 1.0f);
    r.shadowMode = 1;
}

std::vector<float> renderOn(const char* backend) {
    Tessra_SelectBackend(backend);
    TessraRendererCUDA r;
    r.width = 128;
    r.height = 96;
    r.fieldOfView = 1.0f;
    buildScene(r);
    tt::RecordingHost host(r.width, r.height);
    r.callbacks = &host;
    tt::setCamera(r, {0, -5, 4}, {0, 0, 0.5f}, {0, 0, 1});
    tt::StdoutCapture quiet;
    quiet.start();
    r.Render();
    quiet.stop();
    return host.image;
}

TEST(Backends, CpuAndCudaImagesAgree) {
    if (const std::string why = tt::useCudaOrSayWhyNot(); !why.empty()) GTEST_SKIP() << why;
    const std::vector<float> gpu = renderOn("cuda");
    const std::vector<float> cpu = renderOn("cpu");
    ASSERT_EQ(gpu.size(), cpu.size());
    size_t close = 0;
    double worst = 0;
    for (size_t i = 0; i < cpu.size(); i += 4) {
        double d = 0;
        for (int k = 0; k < 4; ++k) d = std::max(d, double(std::fabs(cpu[i + k] - gpu[i + k])));
        worst = std::max(worst, d);
        if (d <= 1e-3) ++close;
    }
    const double share = double(close) / double(cpu.size() / 4);
    std::printf("CPU/CUDA: %.4f%% of pixels within 1e-3, worst %.3g\n", 100 * share, worst);
    // The GPU uses fast approximate reciprocals and square roots; rays that graze an edge
    // may then hit a different triangle, which a small share of pixels may show.
    EXPECT_GE(share, 0.999);
}

}  // namespace

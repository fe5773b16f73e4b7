// The same work through the CPU and the CUDA backend: ray casts, a direct-light image
// with every light kind and material, and global illumination. Runs only where a GPU
// exists. The device's approximate reciprocals and square roots may move a grazing ray
// to another triangle or a photon across the edge of a gather, so each comparison
// allows a small share of differing rays or pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "support/cornell.h"
#include "support/meshes.h"

namespace {

using namespace meshes;

// Share of pixels whose channels all lie within tol (relative above 1) of the CPU's, and
// the mean relative difference.
std::pair<double, double> compare(const std::vector<float>& cpu, const std::vector<float>& gpu, float tol) {
    EXPECT_EQ(cpu.size(), gpu.size());
    size_t close = 0;
    double diff = 0, mag = 0;
    for (size_t i = 0; i + 3 < std::min(cpu.size(), gpu.size()); i += 4) {
        float d = 0;
        for (int k = 0; k < 4; ++k) {
            d = std::max(d, std::fabs(cpu[i + k] - gpu[i + k]));
            diff += k < 3 ? std::fabs(cpu[i + k] - gpu[i + k]) : 0;
            mag += k < 3 ? std::fabs(cpu[i + k]) : 0;
        }
        close += d <= tol * std::max(1.0f, cpu[i]);
    }
    return {double(close) / double(cpu.size() / 4), diff / std::max(mag, 1e-30)};
}

std::vector<float> renderOn(const char* backend, int w, int h, const std::function<void(TessraRendererCUDA&)>& scene,
                            tt::V3 eye, tt::V3 target, tt::V3 up) {
    Tessra_SelectBackend(backend);
    TessraRendererCUDA r;
    r.width = w;
    r.height = h;
    scene(r);
    tt::RecordingHost host(w, h);
    tt::renderQuietly(r, host, eye, target, up);
    r.CleanUp();
    Tessra_SelectBackend("cpu");
    return host.image;
}

TEST(Backends, CpuAndCudaRayCastsAgree) {
    if (const std::string why = tt::useCudaOrSayWhyNot(); !why.empty()) GTEST_SKIP() << why;
    const Mesh m = makeMesh(1000, 11);
    std::vector<float4> rays = defaultCameraRays(224, 224), random = randomRays(50000, 5);
    rays.insert(rays.end(), random.begin(), random.end());
    CastResults gpuNear, gpuAny;
    {
        const DeviceScene scene(m, 8);
        gpuNear = castRays(rays, false);
        gpuAny = castRays(rays, true);
    }
    rt::selectBackend("cpu");
    const DeviceScene scene(m, 8);
    const CastResults cpuNear = castRays(rays, false), cpuAny = castRays(rays, true);
    size_t same = 0;
    for (size_t i = 0; i < rayCount(rays); ++i)
        same +=
            cpuNear.found[i] == gpuNear.found[i] && cpuAny.found[i] == gpuAny.found[i] &&
            (!cpuNear.found[i] || std::fabs(cpuNear.distance[i] - gpuNear.distance[i]) <= 1e-4f * cpuNear.distance[i]);
    std::printf("CPU/CUDA rays: %zu of %zu agree\n", same, rayCount(rays));
    EXPECT_GE(double(same), 0.999 * double(rayCount(rays)));
}

// A floor, a blocker, a glossy mirror wall and a glass block under every light kind.
TEST(Backends, CpuAndCudaImagesAgree) {
    if (const std::string why = tt::useCudaOrSayWhyNot(); !why.empty()) GTEST_SKIP() << why;
    auto scene = [](TessraRendererCUDA& r) {
        r.fieldOfView = 1.0f;
        const int floor = tt::addDiffuse(r, 0.8f, 0.7f, 0.6f), red = tt::addDiffuse(r, 0.9f, 0.1f, 0.1f);
        material_t m;
        m.diffuse[0] = m.diffuse[1] = m.diffuse[2] = 0.3f;
        m.reflective = m.specular = true;
        m.reflColor[0] = m.reflColor[1] = m.reflColor[2] = 200;
        m.reflGloss = 0.6f;
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
    };
    const std::vector<float> cpu = renderOn("cpu", 128, 96, scene, {0, -5, 4}, {0, 0, 0.5f}, {0, 0, 1});
    const auto [share, mean] =
        compare(cpu, renderOn("cuda", 128, 96, scene, {0, -5, 4}, {0, 0, 0.5f}, {0, 0, 1}), 1e-3f);
    std::printf("CPU/CUDA image: %.4f%% of pixels within 1e-3, mean relative difference %.3g\n", 100 * share, mean);
    EXPECT_GE(share, 0.999);
}

TEST(Backends, CpuAndCudaGlobalIlluminationAgree) {
    if (const std::string why = tt::useCudaOrSayWhyNot(); !why.empty()) GTEST_SKIP() << why;
    for (const bool fg : {false, true}) {
        auto scene = [fg](TessraRendererCUDA& r) {
            tt::addCornellBox(r);
            tt::enablePhotonMapping(r, 6000, fg);
        };
        const tt::V3 eye = tt::kCornellEye, target = {0, 0, 0}, up = {0, 1, 0};
        const std::vector<float> cpu = renderOn("cpu", 96, 96, scene, eye, target, up);
        const auto [share, mean] = compare(cpu, renderOn("cuda", 96, 96, scene, eye, target, up), 0.02f);
        std::printf("GI %s CPU/CUDA: %.3f%% of pixels within 2%%, mean relative difference %.3g\n",
                    fg ? "final gather" : "photon map", 100 * share, mean);
        // A photon swapped at a gather's edge shifts a pixel by about one photon in forty.
        EXPECT_GE(share, 0.98);
        EXPECT_LT(mean, 0.01);
    }
}

}  // namespace

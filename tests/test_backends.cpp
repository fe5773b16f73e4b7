// The same images through the CPU and the CUDA backend: direct light with every light
// kind and material, and global illumination. Runs only where a GPU exists. The
// device's approximate reciprocals and square roots may move a grazing ray to another
// triangle or a photon across the edge of a gather, so each comparison allows a small
// share of differing pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "support/cornell.h"

namespace {

// A floor, a blocker, a glossy mirror wall and a glass block under every light kind;
// the Cornell box by photon map and by final gather, where a photon swapped at a
// gather's edge shifts a pixel by about one photon in forty.
TEST(Backends, CpuAndCudaImagesAgree) {
    if (const std::string why = tt::useCudaOrSayWhyNot(); !why.empty()) GTEST_SKIP() << why;
    auto direct = [](TessraRendererCUDA& r) {
        r.fieldOfView = 1.0f;
        const int floor = tt::addDiffuse(r, 0.8f, 0.7f, 0.6f), red = tt::addDiffuse(r, 0.9f, 0.1f, 0.1f);
        material_t m, g;
        m.diffuse[0] = m.diffuse[1] = m.diffuse[2] = 0.3f;
        m.reflective = m.specular = true;
        m.reflColor[0] = m.reflColor[1] = m.reflColor[2] = 200;
        m.reflGloss = 0.6f;
        m.specularLevel = 0.4f;
        m.specularExponent = 20;
        g.refractive = true;
        g.refrColor[0] = g.refrColor[1] = g.refrColor[2] = 230;
        const int metal = r.NuevoMaterial(m), glass = r.NuevoMaterial(g);
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
    struct Case {
        std::function<void(TessraRendererCUDA&)> scene;
        int w, h;
        tt::V3 eye, target, up;
        float tol, share, mean;
    };
    const Case cases[] = {
        {direct, 128, 96, {0, -5, 4}, {0, 0, 0.5f}, {0, 0, 1}, 1e-3f, 0.999f, 1.0f},
        {[](TessraRendererCUDA& r) { tt::addCornellBox(r), tt::enablePhotonMapping(r, 6000, false); }, 96, 96,
         tt::kCornellEye, {0, 0, 0}, {0, 1, 0}, 0.02f, 0.98f, 0.01f},
        {[](TessraRendererCUDA& r) { tt::addCornellBox(r), tt::enablePhotonMapping(r, 6000, true); }, 96, 96,
         tt::kCornellEye, {0, 0, 0}, {0, 1, 0}, 0.02f, 0.98f, 0.01f},
    };
    for (const Case& c : cases) {
        std::vector<float> image[2];
        for (int b = 0; b < 2; ++b) {
            Tessra_SelectBackend(b ? "cuda" : "cpu");
            TessraRendererCUDA r;
            r.width = c.w, r.height = c.h;
            c.scene(r);
            tt::RecordingHost host(c.w, c.h);
            tt::renderQuietly(r, host, c.eye, c.target, c.up);
            r.CleanUp();
            image[b] = host.image;
        }
        Tessra_SelectBackend("cpu");
        // Pixels whose channels all lie within tol (relative above 1), and the mean
        // relative difference.
        ASSERT_EQ(image[0].size(), image[1].size());
        size_t close = 0;
        double diff = 0, mag = 0;
        for (size_t i = 0; i < image[0].size(); i += 4) {
            float d = 0;
            for (int k = 0; k < 4; ++k) d = std::max(d, std::fabs(image[0][i + k] - image[1][i + k]));
            for (int k = 0; k < 3; ++k) diff += std::fabs(image[0][i + k] - image[1][i + k]), mag += std::fabs(image[0][i + k]);
            close += d <= c.tol * std::max(1.0f, image[0][i]);
        }
        EXPECT_GE(double(close) / double(image[0].size() / 4), c.share) << c.w << " x " << c.h;
        EXPECT_LT(diff / std::max(mag, 1e-30), c.mean);
    }
}

}  // namespace

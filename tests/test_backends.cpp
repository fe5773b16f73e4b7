// The same images through the CPU and the CUDA backend: direct light with every light
// kind and material, and global illumination. Runs only where a GPU exists. The
// device's approximate reciprocals and square roots may move a grazing ray to another
// triangle or a photon across the edge of a gather, so each comparison allows a small
// share of differing pixels.
#include <gtest/gtest.h>

#include "support/cornell.h"

namespace {

// A floor, a blocker, a glossy mirror wall and a glass block under every light kind
// (within 1e-3 but for one pixel in a thousand); the Cornell box by photon map and by
// final gather, where a photon swapped at a gather's edge shifts a pixel by about one
// photon in forty (within 2 % but for 2 % of the pixels, and 1 % on the mean).
TEST(Backends, CpuAndCudaImagesAgree) {
    Tessra_SelectBackend("cuda");
    int devices = 0;
    if (rt::activeBackend() != rt::Backend::Cuda || rt::getDeviceCount(&devices) != rt::Success || devices == 0 ||
        !rt::cudaUnavailableReason().empty()) {
        Tessra_SelectBackend("cpu");
        GTEST_SKIP() << "no CUDA device in use: " << rt::cudaUnavailableReason();
    }
    for (int scene = 0; scene < 3; ++scene) {
        std::vector<float> image[2];
        for (int b = 0; b < 2; ++b) {
            Tessra_SelectBackend(b ? "cuda" : "cpu");
            TessraRendererCUDA r;
            tt::RecordingHost host(scene ? 96 : 128, 96);
            r.width = host.width, r.height = host.height;
            if (scene) {
                tt::addCornellBox(r), tt::enablePhotonMapping(r, 6000, scene == 2);
                tt::renderQuietly(r, host, tt::kCornellEye, {0, 0, 0}, {0, 1, 0});
            } else {
                r.fieldOfView = 1.0f;
                const int floor = tt::addDiffuse(r, 0.8f, 0.7f, 0.6f), red = tt::addDiffuse(r, 0.9f, 0.1f, 0.1f);
                const int metal = tt::addDiffuse(r, 0.3f, 0.3f, 0.3f), glass = tt::addDiffuse(r, 0, 0, 0);
                material_t &m = r.materials[size_t(metal)], &g = r.materials[size_t(glass)];
                m.reflective = m.specular = true, m.reflColor[0] = m.reflColor[1] = m.reflColor[2] = 200;
                m.reflGloss = 0.6f, m.specularLevel = 0.4f, m.specularExponent = 20;
                g.refractive = true, g.refrColor[0] = g.refrColor[1] = g.refrColor[2] = 230;
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
                tt::renderQuietly(r, host, {0, -5, 4}, {0, 0, 0.5f}, {0, 0, 1});
            }
            r.CleanUp();
            image[b] = host.image;
        }
        Tessra_SelectBackend("cpu");
        const float tol = scene ? 0.02f : 1e-3f;
        size_t close = 0;
        double diff = 0, mag = 0;
        for (size_t i = 0; i < image[0].size(); i += 4) {
            float d = 0;
            for (int k = 0; k < 4; ++k) d = std::max(d, std::fabs(image[0][i + k] - image[1][i + k]));
            for (int k = 0; k < 3; ++k) diff += std::fabs(image[0][i + k] - image[1][i + k]), mag += std::fabs(image[0][i + k]);
            close += d <= tol * std::max(1.0f, image[0][i]);
        }
        EXPECT_GE(double(close) / double(image[0].size() / 4), scene ? 0.98 : 0.999) << "scene " << scene;
        EXPECT_LT(diff, (scene ? 0.01 : 1.0) * std::max(mag, 1e-30)) << "scene " << scene;
    }
}

}  // namespace

// Only the public header and libtessra.so: what a host application sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tessra.h"

namespace {

// The smallest host: records what arrives.
struct Host : TessraCallbacks {
    std::vector<float> image = std::vector<float>(32 * 32 * 4, -1.0f);
    int tiles = 0;
    void DrawPixels(const float* rgba, uint32_t count, uint32_t x, uint32_t y) override {
        for (uint32_t i = 0; i < 4 * count; ++i) image[(y * 32 + x) * 4 + i] = rgba[i];
    }
    void TileFinished(uint32_t, uint32_t, uint32_t, uint32_t) override { ++tiles; }
    void SetStatusText(const char*) override {}
    bool AbortRequested() override { return false; }
    void SetFinalGatherCount(uint32_t) override {}
    void ReportIrradianceTime(float, float) override {}
    void SetPhotonCount(uint32_t) override {}
};

// The factory, backend choice, message handler and deletion as a host calls them: an
// unknown backend is refused, an empty scene is refused through the handler, a lit quad
// arrives in one tile, and deleting clears the caller's pointer (twice is harmless).
TEST(PublicApi, FactoryBackendMessagesRenderAndDelete) {
    ASSERT_EQ(Tessra_SelectBackend("cpu"), 0);
    EXPECT_EQ(Tessra_SelectBackend("gpu-please"), -1);
    EXPECT_EQ(std::string(Tessra_BackendName()), "cpu");
    std::vector<std::string> messages;
    Tessra_SetMessageHandler(
        [](const char* text, const char*, void* user) { static_cast<std::vector<std::string>*>(user)->push_back(text); },
        &messages);
    TessraRendererCUDA* r = Tessra_InitRenderer();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Render(), 0);
    EXPECT_EQ(messages, (std::vector<std::string>{"No lights, no fun.", "Error initializing the scene!"}));
    Tessra_SetMessageHandler(nullptr, nullptr);
    Tessra_DeleteRenderer(&r);
    EXPECT_EQ(r, nullptr);
    Tessra_DeleteRenderer(&r);

    Tessra_SelectBackend("auto");
    r = Tessra_InitRenderer();
    Host host;
    r->callbacks = &host;
    r->width = r->height = 32;
    r->fieldOfView = 1.0f;
    material_t m;
    m.diffuse[0] = m.diffuse[1] = m.diffuse[2] = 1.0f;
    const float quad[2][24] = {{-2, -2, 0, 2, -2, 0, 2, 2, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 1, 1},
                               {-2, -2, 0, 2, 2, 0, -2, 2, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 1, 0, 1}};
    for (const float* t : quad) r->NuevoTriangulo(t, r->NuevoMaterial(m), false, 1.0f);
    r->NuevaLuzOmni(0, 0, 3, 1, 1, 1, 1.0f, 0, 1.0f);
    const float camera[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 4};  // at z = 4, looking down -z
    std::copy(camera, camera + 12, r->cameraMatrix);
    EXPECT_EQ(r->Render(), 0);
    EXPECT_EQ(host.tiles, 1);
    // The centre looks straight at the quad under the light: N.L = 1.
    EXPECT_NEAR(host.image[(16 * 32 + 16) * 4], 1.0f, 1e-3f);
    for (float v : host.image) ASSERT_GE(v, 0.0f);
    Tessra_DeleteRenderer(&r);
}

}  // namespace

// Only the public header and libtessra.so: what a host application sees.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tessra.h"

namespace {

struct Messages {
    std::vector<std::string> texts;
};
void collect(const char* text, const char*, void* user) { static_cast<Messages*>(user)->texts.push_back(text); }

// The factory, backend choice, message handler and deletion as a host calls them: an
// unknown backend is refused, an empty scene is refused through the handler, and
// deleting clears the caller's pointer (twice is harmless).
TEST(PublicApi, FactoryBackendMessagesAndDelete) {
    ASSERT_EQ(Tessra_SelectBackend("cpu"), 0);
    EXPECT_EQ(Tessra_SelectBackend("gpu-please"), -1);
    EXPECT_EQ(std::string(Tessra_BackendName()), "cpu");
    Messages m;
    Tessra_SetMessageHandler(&collect, &m);
    TessraRendererCUDA* r = Tessra_InitRenderer();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Render(), 0);
    ASSERT_EQ(m.texts.size(), 2u);
    EXPECT_EQ(m.texts[0], "No lights, no fun.");
    EXPECT_EQ(m.texts[1], "Error initializing the scene!");
    Tessra_SetMessageHandler(nullptr, nullptr);
    Tessra_DeleteRenderer(&r);
    EXPECT_EQ(r, nullptr);
    Tessra_DeleteRenderer(&r);
}

// The smallest host: records what arrives.
struct Host : TessraCallbacks {
    std::vector<float> image = std::vector<float>(32 * 32 * 4, -1.0f);
    int tiles = 0;
    void DrawPixels(const float* rgba, uint32_t count, uint32_t x, uint32_t y) override {
        for (uint32_t i = 0; i < count; ++i)
            for (int k = 0; k < 4; ++k) image[(y * 32 + x + i) * 4 + k] = rgba[4 * i + k];
    }
    void TileFinished(uint32_t, uint32_t, uint32_t, uint32_t) override { ++tiles; }
    void SetStatusText(const char*) override {}
    bool AbortRequested() override { return false; }
    void SetFinalGatherCount(uint32_t) override {}
    void ReportIrradianceTime(float, float) override {}
    void SetPhotonCount(uint32_t) override {}
};

TEST(PublicApi, RendersALitQuad) {
    Tessra_SelectBackend("auto");
    TessraRendererCUDA* r = Tessra_InitRenderer();
    Host host;
    r->callbacks = &host;
    r->width = r->height = 32;
    r->fieldOfView = 1.0f;
    material_t m;
    m.diffuse[0] = m.diffuse[1] = m.diffuse[2] = 1.0f;
    const int mat = r->NuevoMaterial(m);
    const float a[24] = {-2, -2, 0, 2, -2, 0, 2, 2, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 1, 1};
    const float b[24] = {-2, -2, 0, 2, 2, 0, -2, 2, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 1, 0, 1};
    r->NuevoTriangulo(a, mat, false, 1.0f);
    r->NuevoTriangulo(b, mat, false, 1.0f);
    r->NuevaLuzOmni(0, 0, 3, 1, 1, 1, 1.0f, 0, 1.0f);
    const float camera[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 4};  // at z = 4, looking down -z
    for (int i = 0; i < 12; ++i) r->cameraMatrix[i] = camera[i];
    EXPECT_EQ(r->Render(), 0);
    EXPECT_EQ(host.tiles, 1);
    // The centre looks straight at the quad under the light: N.L = 1.
    EXPECT_NEAR(host.image[(16 * 32 + 16) * 4], 1.0f, 1e-3f);
    for (float v : host.image) ASSERT_GE(v, 0.0f);
    Tessra_DeleteRenderer(&r);
}

}  // namespace

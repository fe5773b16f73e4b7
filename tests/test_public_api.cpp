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

TEST(PublicApi, FactoryDefaultsBackendAndDelete) {
    ASSERT_EQ(Tessra_SelectBackend("cpu"), 0);
    EXPECT_EQ(Tessra_SelectBackend("gpu-please"), -1);
    TessraRendererCUDA* r = Tessra_InitRenderer();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->width, 512);
    EXPECT_EQ(r->numPhotons, 100u);
    EXPECT_EQ(std::string(Tessra_BackendName()), "cpu");
    EXPECT_EQ(TessraRendererCUDA::num_subdivs_glossy_refl, 8u);
    EXPECT_EQ(TessraRendererCUDA::REFR_STEP, 1);
    Tessra_DeleteRenderer(&r);
    EXPECT_EQ(r, nullptr);
    Tessra_DeleteRenderer(&r);  // a pointer to null only clears the global
}

TEST(PublicApi, EmptySceneIsRefusedThroughTheMessageHandler) {
    Messages m;
    Tessra_SetMessageHandler(&collect, &m);
    Tessra_SelectBackend("cpu");
    TessraRendererCUDA* r = Tessra_InitRenderer();
    EXPECT_EQ(r->Render(), 0);
    ASSERT_EQ(m.texts.size(), 2u);
    EXPECT_EQ(m.texts[0], "No lights, no fun.");
    EXPECT_EQ(m.texts[1], "Error initializing the scene!");
    Tessra_SetMessageHandler(nullptr, nullptr);
    Tessra_DeleteRenderer(&r);
}

}  // namespace

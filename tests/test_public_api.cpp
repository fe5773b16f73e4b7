// Only the public header and libtessra.so: what a host application sees. (Rendering
// through them is what tessra-render, which links the same library, is tested for.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tessra.h"

namespace {

// The factory, backend choice, message handler and deletion as a host calls them: an
// unknown backend is refused, an empty scene is refused through the handler, and
// deleting clears the caller's pointer (twice is harmless).
TEST(PublicApi, FactoryBackendMessagesAndDelete) {
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
}

}  // namespace

// The same scene gives the same bytes on 1 and 3 worker threads in one process and on 2
// in other processes (plain and strict CPU emulation): the Cornell box with every stage
// on, antialiasing and output passes included, and the photon map read without final
// gather.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "runtime/device.h"
#include "support/cornell.h"

namespace {

std::vector<uint8_t> renderBytes(const std::string& texture) {
    std::vector<float> all;
    for (const bool finalGather : {true, false}) {
        std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(24, 24));
        tt::addEveryStage(*r, texture);
        r->useFinalGather = finalGather;
        // Sub-pixel rays and output passes must land the same everywhere too.
        std::vector<float> passes(24 * 24 * 7, -1.0f);
        if (finalGather) {
            Tessra_SetSupersampling(r.get(), 3, 0.05f);
            Tessra_SetOutputPasses(r.get(), passes.data(), passes.data() + 24 * 24 * 3, passes.data() + 24 * 24 * 6);
        }
        const std::vector<float> image = tt::renderCornell(*r);
        r->CleanUp();
        EXPECT_EQ(Tessra_SupersampledPixelCount(r.get()) > 0, finalGather);
        all.insert(all.end(), image.begin(), image.end());
        all.insert(all.end(), passes.begin(), passes.end());
    }
    std::vector<uint8_t> bytes(all.size() * sizeof(float));
    std::memcpy(bytes.data(), all.data(), bytes.size());
    return bytes;
}

// Run by the test below in a fresh process (disabled, so ctest does not list it).
TEST(Determinism, DISABLED_ImageOfAnotherProcess) {
    const char* out = std::getenv("TESSRA_DETERMINISM_OUT");
    if (!out) GTEST_SKIP() << "run by Determinism.SameBytesEverywhere";
    rt::setThreadCount(2);
    tt::writeBytes(out, renderBytes(std::getenv("TESSRA_DETERMINISM_TEXTURE")));
}

TEST(Determinism, SameBytesEverywhere) {
    const tt::TempDir dir;
    const std::string texture = dir.file("t.png"), out = dir.file("other");
    ASSERT_TRUE(tt::writeGradientPng(texture, 4, 4));
    rt::setThreadCount(1);
    const std::vector<uint8_t> reference = renderBytes(texture);
    const float* px = reinterpret_cast<const float*>(reference.data());
    size_t lit = 0;
    for (size_t i = 0; i < 24 * 24; ++i) lit += px[4 * i] > 0.01f;
    EXPECT_GT(lit, 24u * 24 / 2) << "most pixels are lit";

    rt::setThreadCount(3);  // the other processes run on 2
    EXPECT_TRUE(renderBytes(texture) == reference) << "3 threads";
    rt::setThreadCount(0);
    // The strict emulation visits blocks and threads in reverse, fills fresh memory with
    // garbage and hides device memory from the host.
    for (const char* strict : {"", "reverse,poison,nohostread"}) {
        pid_t pid = tt::spawnSelf("Determinism.DISABLED_ImageOfAnotherProcess",
                                  {"TESSRA_DETERMINISM_OUT=" + out, "TESSRA_DETERMINISM_TEXTURE=" + texture,
                                   std::string("TESSRA_CPU_STRICT=") + strict});
        ASSERT_GT(pid, 0);
        ASSERT_EQ(tt::waitChild(pid), 0);
        EXPECT_TRUE(tt::readBytes(out) == reference) << "another process, strict modes '" << strict << "'";
    }
}

}  // namespace

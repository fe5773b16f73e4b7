// The same scene gives the same bytes: on repeated renders in one process, in another
// process (plain and strict CPU emulation), and on 1, 2 and 3 worker threads, for the
// Cornell box with every stage on, antialiasing and output passes included.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "runtime/device.h"
#include "support/bad_files.h"
#include "support/cornell.h"

extern char** environ;

namespace {

std::vector<uint8_t> renderBytes(const std::string& texture) {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(24, 24));
    tt::addEveryStage(*r, texture);
    // Adaptive supersampling and the output passes ride along: their sub-pixel rays
    // must land the same everywhere too.
    std::vector<float> passes(24 * 24 * 7, -1.0f);
    Tessra_SetSupersampling(r.get(), 3, 0.05f);
    Tessra_SetOutputPasses(r.get(), passes.data(), passes.data() + 24 * 24 * 3, passes.data() + 24 * 24 * 6);
    std::vector<float> image = tt::renderCornell(*r);
    r->CleanUp();
    EXPECT_GT(Tessra_SupersampledPixelCount(r.get()), 0u);
    image.insert(image.end(), passes.begin(), passes.end());
    std::vector<uint8_t> bytes(image.size() * sizeof(float));
    std::memcpy(bytes.data(), image.data(), bytes.size());
    return bytes;
}

std::string texturePath() {
    static const std::string path = [] {
        char name[] = "/tmp/tessra-det-XXXXXX";
        const std::string dir = mkdtemp(name);
        tt::writeGradientPng(dir + "/t.png", 4, 4);
        return dir + "/t.png";
    }();
    return path;
}

// Run by the test below in a fresh process (disabled, so ctest does not list it): writes
// the image to the file it names.
TEST(Determinism, DISABLED_ImageOfAnotherProcess) {
    const char* out = std::getenv("TESSRA_DETERMINISM_OUT");
    if (!out) GTEST_SKIP() << "run by Determinism.SameBytesEverywhere";
    rt::setThreadCount(2);
    tt::writeBytes(out, renderBytes(std::getenv("TESSRA_DETERMINISM_TEXTURE")));
}

TEST(Determinism, SameBytesEverywhere) {
    const std::string texture = texturePath();
    rt::setThreadCount(1);
    const std::vector<uint8_t> reference = renderBytes(texture);
    // Not a black or empty picture: most pixels are lit.
    const float* px = reinterpret_cast<const float*>(reference.data());
    size_t lit = 0;
    for (size_t i = 0; i < 24 * 24; ++i) lit += px[4 * i] > 0.01f;
    EXPECT_GT(lit, 24u * 24 / 2);

    for (int repeat = 0; repeat < 2; ++repeat) EXPECT_TRUE(renderBytes(texture) == reference) << "repeat " << repeat;
    for (unsigned threads : {2u, 3u}) {
        rt::setThreadCount(threads);
        EXPECT_TRUE(renderBytes(texture) == reference) << threads << " threads";
    }
    rt::setThreadCount(0);

    const std::string out = texture + ".other";
    const std::string filter = "--gtest_filter=Determinism.DISABLED_ImageOfAnotherProcess";
    std::string alsoDisabled = "--gtest_also_run_disabled_tests";
    std::vector<std::string> env = {"TESSRA_DETERMINISM_OUT=" + out, "TESSRA_DETERMINISM_TEXTURE=" + texture};
    for (char** e = environ; *e; ++e) env.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    char* argv[] = {&self[0], const_cast<char*>(filter.c_str()), &alsoDisabled[0], nullptr};
    // The second process runs the strict CPU emulation: any order of blocks and threads,
    // garbage in fresh memory and no host reads of device memory give the same bytes.
    std::string strict = "TESSRA_CPU_STRICT=reverse,poison,nohostread";
    for (int process = 0; process < 2; ++process) {
        std::remove(out.c_str());
        if (process == 1) envp.insert(envp.begin(), &strict[0]);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_TRUE(tt::readBytes(out) == reference) << "process " << process;
    }
    std::remove(out.c_str());
}

}  // namespace

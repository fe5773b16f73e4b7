// The same scene gives the same bytes on 1 and 3 worker threads in one process, on 2 in
// other processes (plain and strict CPU emulation), and on host threads rendering other
// scenes at the same time; a renderer used from two places at once refuses the second
// use with a message.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "runtime/device.h"
#include "support/cornell.h"

namespace {

const std::string& texture() {
    static const tt::TempDir dir;
    static const std::string path = tt::writeGradientPng(dir.file("t.png"), 4, 4) ? dir.file("t.png") : "";
    return path;
}

// The Cornell box with every stage on, antialiasing and output passes included, and the
// photon map read without final gather.
std::vector<uint8_t> renderBytes() {
    std::vector<float> all;
    for (const bool finalGather : {true, false}) {
        std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(24, 24));
        tt::addEveryStage(*r, texture());
        r->useFinalGather = finalGather;
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
    const auto* bytes = reinterpret_cast<const uint8_t*>(all.data());
    return std::vector<uint8_t>(bytes, bytes + all.size() * sizeof(float));
}

// Run by the test below in a fresh process (disabled, so ctest does not list it).
TEST(Determinism, DISABLED_ImageOfAnotherProcess) {
    const char* out = std::getenv("TESSRA_DETERMINISM_OUT");
    if (!out) GTEST_SKIP() << "run by Determinism.SameBytesEverywhere";
    rt::setThreadCount(2);
    tt::writeBytes(out, renderBytes());
}

TEST(Determinism, SameBytesEverywhere) {
    const tt::TempDir dir;
    const std::string out = dir.file("other");
    rt::setThreadCount(1);
    const std::vector<uint8_t> reference = renderBytes();
    const float* px = reinterpret_cast<const float*>(reference.data());
    size_t lit = 0;
    for (size_t i = 0; i < 24 * 24; ++i) lit += px[4 * i] > 0.01f;
    EXPECT_GT(lit, 24u * 24 / 2) << "most pixels are lit";
    rt::setThreadCount(3);
    EXPECT_TRUE(renderBytes() == reference) << "3 threads";
    rt::setThreadCount(0);
    // Another process (its plain emulation gives the reference too in the fault-injection
    // children) whose strict emulation visits blocks and threads in reverse, fills fresh
    // memory with garbage and hides device memory from the host.
    pid_t pid = tt::spawnSelf("Determinism.DISABLED_ImageOfAnotherProcess",
                              {"TESSRA_DETERMINISM_OUT=" + out, "TESSRA_CPU_STRICT=reverse,poison,nohostread"});
    ASSERT_GT(pid, 0);
    ASSERT_EQ(tt::waitChild(pid), 0);
    EXPECT_TRUE(tt::readBytes(out) == reference) << "another process, strict modes";
}

// Four different scenes and sizes, so that a render shading with another's scene, size
// or settings shows in its image.
std::unique_ptr<TessraRendererCUDA> makeScene(int kind) {
    const int sizes[4][2] = {{24, 24}, {32, 20}, {20, 28}, {16, 16}};
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(sizes[kind][0], sizes[kind][1]));
    if (kind % 3 == 0) {
        tt::addEveryStage(*r, texture());
        if (kind == 3) Tessra_SetSupersampling(r.get(), 3, 0.05f);
    } else {
        tt::addCornellBox(*r);
        r->lights[0].color[1] = 0.3f;
        if (kind == 2) tt::enablePhotonMapping(*r, 300, false);
    }
    return r;
}

// Not tt::renderQuietly: redirecting standard output is not for several threads at once.
std::vector<float> render(TessraRendererCUDA& r, tt::RecordingHost& host) {
    r.callbacks = &host;
    tt::setCameraLookingDownZ(r, tt::kCornellEye);
    r.Render();
    r.callbacks = nullptr;
    return host.image;
}
std::vector<float> render(TessraRendererCUDA& r) {
    tt::RecordingHost host(r.width, r.height);
    return render(r, host);
}

// Each renderer on its own thread gives the image it gives alone. One created and fed
// here and rendered on another thread calls back only on that thread; on its first tile
// its host renders it again from a third thread and another renderer from this one:
// both are refused with a message, and both renderers still give their lone images.
TEST(Concurrency, RenderersOnTheirOwnThreadsGiveTheirLoneImages) {
    tt::StdoutCapture quiet(true);
    std::vector<std::vector<float>> lone, images(4);
    for (int k = 0; k < 4; ++k) lone.push_back(render(*makeScene(k)));
    std::vector<std::thread> pool;
    for (int k = 0; k < 4; ++k) pool.emplace_back([&images, k] { images[size_t(k)] = render(*makeScene(k)); });
    for (std::thread& t : pool) t.join();
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(images[size_t(k)] == lone[size_t(k)]) << "scene " << k;
    std::unique_ptr<TessraRendererCUDA> r = makeScene(2), other = makeScene(3);
    struct Host : tt::RecordingHost {
        using RecordingHost::RecordingHost;
        TessraRendererCUDA *self = nullptr, *other = nullptr;
        std::thread::id caller;
        int elsewhere = 0;
        void TileFinished(uint32_t x, uint32_t y, uint32_t w, uint32_t h) override {
            elsewhere += std::this_thread::get_id() != caller;
            if (tiles.empty()) {
                std::thread([this] { self->Render(); }).join();
                other->Render();
            }
            RecordingHost::TileFinished(x, y, w, h);
        }
    } host(r->width, r->height);
    host.self = r.get();
    host.other = other.get();
    tt::MessageCapture messages;
    std::thread([&] {
        host.caller = std::this_thread::get_id();
        render(*r, host);
    }).join();
    const std::vector<float> otherAfter = render(*other);
    quiet.stop();
    EXPECT_TRUE(host.image == lone[2]);
    EXPECT_TRUE(otherAfter == lone[3]);
    EXPECT_FALSE(host.tiles.empty());
    EXPECT_EQ(host.elsewhere, 0);
    EXPECT_TRUE(messages.contains("already rendering on another thread"));
    EXPECT_TRUE(messages.contains("from a callback of another render"));
    EXPECT_EQ(messages.messages.size(), 2u);
}

}  // namespace

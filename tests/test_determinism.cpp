// The same scenes give the same bytes on 1 and 3 worker threads, on host threads
// rendering other scenes at the same time, and on 2 in another process under the strict
// CPU emulation; a renderer used from two places at once refuses the second use with a
// message.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "support/cornell.h"

namespace {

const std::string& texture() {
    static const tt::TempDir dir;
    static const std::string path = tt::writeGradientPng(dir.file("t.png"), 4, 4) ? dir.file("t.png") : "";
    return path;
}

// Four different scenes and sizes, so that a render shading with another's scene, size
// or settings shows in its image: the box with every stage on (and caustics), by direct light alone, by
// the photon map without final gather, and with every stage and antialiasing.
std::unique_ptr<TessraRendererCUDA> makeScene(int kind) {
    const int sizes[4][2] = {{24, 24}, {32, 20}, {20, 28}, {16, 16}};
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(sizes[kind][0], sizes[kind][1]));
    if (kind % 3 == 0) {
        tt::addEveryStage(*r, texture());
        if (kind == 0) Tessra_SetCaustics(r.get(), true, true);
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

std::vector<std::vector<float>> renderAll() {
    std::vector<std::vector<float>> images;
    for (int k = 0; k < 4; ++k) images.push_back(render(*makeScene(k)));
    return images;
}

std::vector<uint8_t> bytesOf(const std::vector<std::vector<float>>& images) {
    std::vector<uint8_t> bytes;
    for (const std::vector<float>& im : images)
        bytes.insert(bytes.end(), reinterpret_cast<const uint8_t*>(im.data()),
                     reinterpret_cast<const uint8_t*>(im.data() + im.size()));
    return bytes;
}

// Run by the test below in a fresh process (disabled, so ctest does not list it).
TEST(Determinism, DISABLED_ImagesOfAnotherProcess) {
    const char* out = std::getenv("TESSRA_DETERMINISM_OUT");
    if (!out) GTEST_SKIP() << "run by Determinism.SameBytesEverywhere";
    rt::setThreadCount(2);
    tt::StdoutCapture quiet(true);
    tt::writeBytes(out, bytesOf(renderAll()));
}

// The images of one worker thread; of three, each renderer on a host thread of its own at
// the same time; and of another process whose strict emulation visits blocks and threads
// in reverse, fills fresh memory with garbage and hides device memory from the host (its
// plain emulation gives the same bytes in the fault-injection children).
TEST(Determinism, SameBytesEverywhere) {
    tt::StdoutCapture quiet(true);
    rt::setThreadCount(1);
    const std::vector<std::vector<float>> lone = renderAll();
    size_t lit = 0;
    for (size_t i = 0; i < 24 * 24; ++i) lit += lone[0][4 * i] > 0.01f;
    EXPECT_GT(lit, 24u * 24 / 2) << "most pixels are lit";
    rt::setThreadCount(3);
    std::vector<std::vector<float>> images(4);
    std::vector<std::thread> pool;
    for (int k = 0; k < 4; ++k) pool.emplace_back([&images, k] { images[size_t(k)] = render(*makeScene(k)); });
    for (std::thread& t : pool) t.join();
    rt::setThreadCount(0);
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(images[size_t(k)] == lone[size_t(k)]) << "scene " << k;
    const tt::TempDir dir;
    pid_t pid = tt::spawnSelf("Determinism.DISABLED_ImagesOfAnotherProcess",
                              {"TESSRA_DETERMINISM_OUT=" + dir.file("other"), "TESSRA_CPU_STRICT=reverse,poison,nohostread"});
    ASSERT_GT(pid, 0);
    ASSERT_EQ(tt::waitChild(pid), 0);
    EXPECT_TRUE(tt::readBytes(dir.file("other")) == bytesOf(lone)) << "another process, strict modes";
}

// One renderer created and fed here and rendered on another thread calls back only on
// that thread; on its first tile its host renders it again from a third thread and
// another renderer from this one: both are refused with a message, and both renderers
// still give their lone images.
TEST(Concurrency, ARendererInUseRefusesASecondUse) {
    tt::StdoutCapture quiet(true);
    const std::vector<float> lone2 = render(*makeScene(2)), lone3 = render(*makeScene(3));
    std::unique_ptr<TessraRendererCUDA> r = makeScene(2), other = makeScene(3);
    struct Host : tt::RecordingHost {
        using RecordingHost::RecordingHost;
        TessraRendererCUDA *self = nullptr, *other = nullptr;
        std::thread::id caller;
        int elsewhere = 0;
        void TileFinished(uint32_t x, uint32_t y, uint32_t w, uint32_t h) override {
            elsewhere += std::this_thread::get_id() != caller;
            if (tiles == 0) {
                std::thread([this] { self->Render(); }).join();
                other->Render();
            }
            RecordingHost::TileFinished(x, y, w, h);
        }
    } host(r->width, r->height);
    host.self = r.get(), host.other = other.get();
    tt::MessageCapture messages;
    std::thread([&] {
        host.caller = std::this_thread::get_id();
        render(*r, host);
    }).join();
    const std::vector<float> otherAfter = render(*other);
    quiet.stop();
    EXPECT_TRUE(host.image == lone2);
    EXPECT_TRUE(otherAfter == lone3);
    EXPECT_GT(host.tiles, 0);
    EXPECT_EQ(host.elsewhere, 0);
    EXPECT_TRUE(messages.contains("already rendering on another thread"));
    EXPECT_TRUE(messages.contains("from a callback of another render"));
    EXPECT_EQ(messages.messages.size(), 2u);
}

}  // namespace

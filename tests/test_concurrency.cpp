// Renderers on several host threads at once: each gives the image it gives alone, and a
// renderer used from two places at once refuses the second use with a message.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/cornell.h"

namespace {

const std::string& texture() {
    static const tt::TempDir dir;
    static const std::string path = tt::writeGradientPng(dir.file("t.png"), 4, 4) ? dir.file("t.png") : "";
    return path;
}

// Four different scenes and sizes, so that a render shading with another's scene, size
// or settings shows in its image.
std::unique_ptr<TessraRendererCUDA> makeScene(int kind) {
    const int sizes[4][2] = {{24, 24}, {32, 20}, {20, 28}, {16, 16}};
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(sizes[kind][0], sizes[kind][1]));
    if (kind == 0 || kind == 3) {
        tt::addEveryStage(*r, texture());
        if (kind == 3) Tessra_SetSupersampling(r.get(), 3, 0.05f);
    } else {
        tt::addCornellBox(*r);
        r->lights[0].color[1] = 0.3f;
        if (kind == 2) tt::enablePhotonMapping(*r, 300, false);
    }
    return r;
}

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

TEST(Concurrency, RenderersOnTheirOwnThreadsGiveTheirLoneImages) {
    tt::StdoutCapture quiet(true);
    std::vector<std::vector<float>> lone;
    for (int k = 0; k < 4; ++k) lone.push_back(render(*makeScene(k)));
    for (int threads : {2, 4, 4}) {
        std::vector<std::vector<float>> images(static_cast<size_t>(threads));
        std::vector<std::thread> pool;
        for (int k = 0; k < threads; ++k)
            pool.emplace_back([&images, k] { images[size_t(k)] = render(*makeScene(k)); });
        for (std::thread& t : pool) t.join();
        for (int k = 0; k < threads; ++k) EXPECT_TRUE(images[size_t(k)] == lone[size_t(k)]) << threads << " " << k;
    }
    // Created and fed here, rendered on another thread; callbacks come on that thread.
    std::unique_ptr<TessraRendererCUDA> r = makeScene(2);
    struct Host : tt::RecordingHost {
        using RecordingHost::RecordingHost;
        std::thread::id caller;
        int elsewhere = 0;
        void TileFinished(uint32_t x, uint32_t y, uint32_t w, uint32_t h) override {
            elsewhere += std::this_thread::get_id() != caller;
            RecordingHost::TileFinished(x, y, w, h);
        }
    } host(r->width, r->height);
    std::vector<float> image;
    std::thread([&] {
        host.caller = std::this_thread::get_id();
        image = render(*r, host);
    }).join();
    quiet.stop();
    EXPECT_TRUE(image == lone[2]);
    EXPECT_FALSE(host.tiles.empty());
    EXPECT_EQ(host.elsewhere, 0);
}

TEST(Concurrency, ARendererBusyElsewhereOrARenderInsideACallbackIsRefused) {
    tt::StdoutCapture quiet(true);
    std::unique_ptr<TessraRendererCUDA> r = makeScene(1), other = makeScene(3);
    const std::vector<float> alone = render(*r), otherAlone = render(*other);
    tt::MessageCapture messages;
    // On its first tile, the host renders the same renderer from another thread and
    // another renderer from this one: both are refused, and the render goes on.
    struct Host : tt::RecordingHost {
        using RecordingHost::RecordingHost;
        TessraRendererCUDA* self = nullptr;
        TessraRendererCUDA* other = nullptr;
        void TileFinished(uint32_t x, uint32_t y, uint32_t w, uint32_t h) override {
            if (tiles.empty()) {
                std::thread([this] { self->Render(); }).join();
                other->Render();
            }
            RecordingHost::TileFinished(x, y, w, h);
        }
    } host(r->width, r->height);
    host.self = r.get();
    host.other = other.get();
    const std::vector<float> image = render(*r, host);
    const std::vector<float> otherAfter = render(*other);
    quiet.stop();
    EXPECT_TRUE(image == alone);
    EXPECT_TRUE(otherAfter == otherAlone);
    EXPECT_TRUE(messages.contains("already rendering on another thread"));
    EXPECT_TRUE(messages.contains("from a callback of another render"));
    EXPECT_EQ(messages.messages.size(), 2u);
}

}  // namespace

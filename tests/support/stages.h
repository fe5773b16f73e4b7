// Runs the stages of a render by hand (scene upload, camera, photons), for the tests
// that look at what one stage leaves on the device.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host/internal.h"
#include "host/kdtree.h"
#include "support/test_support.h"

namespace tt {

inline std::vector<float4> readFloat4(const void* p, size_t n) {
    std::vector<float4> v(n);
    if (n) EXPECT_EQ(rt::memcpyDtoH(v.data(), p, n * 16), rt::Success);
    return v;
}

struct Stages {
    std::unique_ptr<TessraRendererCUDA> r;
    RecordingHost host;
    explicit Stages(int w = 64, int h = 64) : r(newRenderer(w, h)), host(w, h) { r->callbacks = &host; }
    ~Stages() {
        StdoutCapture quiet(true);
        r->CleanUp();
    }
    void upload(V3 eye, V3 target, V3 up = {0, 1, 0}) {
        setCamera(*r, eye, target, up);
        StdoutCapture quiet(true);
        ASSERT_TRUE(r->initScene());
        for (int row = 0; row < 3; ++row)
            for (int c = 0; c < 4; ++c) r->invViewMatrix[row * 4 + c] = r->cameraMatrix[row * 4 + c];
    }
    void photons() {
        StdoutCapture quiet(true);
        r->castPhotons();
    }
    // A 256 x 256 tile at the origin with its final-gather records placed.
    std::unique_ptr<TessraFrameBuffer> placeRecords() {
        auto fb = std::make_unique<TessraFrameBuffer>(r.get(), 256, 256);
        r->fgKdTree = new KdTree(0.0f);
        r->InitScreenCUDA(0, 0, *fb, false);
        EXPECT_TRUE(r->DistributeFinalGatherPoints(*fb));
        return fb;
    }
};

}  // namespace tt

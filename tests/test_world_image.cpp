// The world's image: the directions the camera sees it along, and the light a patch of it
// sends against the closed form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "support/cornell.h"
#include "support/test_support.h"

namespace {

using tt::V3;

// An image of w x h texels of one colour, or of colour(column, row).
template <typename F>
std::vector<float> image(int w, int h, F colour) {
    std::vector<float> rgb;
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            const V3 c = colour(i, j);
            rgb.insert(rgb.end(), {c.x, c.y, c.z});
        }
    return rgb;
}

// A renderer lit by the world: the image rgb (w x h) times colour, or colour alone.
std::unique_ptr<TessraRendererCUDA> world(int size, const std::vector<float>* rgb, int w, int h, V3 colour,
                                          const float* turn = nullptr) {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(size, size));
    if (rgb) EXPECT_EQ(Tessra_SetWorldImage(r.get(), rgb->data(), w, h, turn), 0);
    r->SetEnvColor(colour.x, colour.y, colour.z);
    Tessra_SetWorldLight(r.get(), true);
    return r;
}

// Four columns by two rows, each texel its own colour: a camera looking down -Z sees the
// two middle columns, +X to the right of the middle and row 0 above the horizon, all
// times the background colour; turned so that -Z is the image's +X, the right half. The
// one triangle sits behind the camera.
TEST(WorldImage, TheCameraSeesItWhereItLooks) {
    const int size = 24;
    const auto texel = [](int i, int j) { return V3{0.1f + 0.2f * i, 0.1f + 0.4f * j, 0.05f * (i + j)}; };
    const std::vector<float> rgb = image(4, 2, texel);
    const float quarterTurn[9] = {0, 0, -1, 0, 1, 0, 1, 0, 0};
    for (const float* turn : {static_cast<const float*>(nullptr), quarterTurn}) {
        const auto r = world(size, &rgb, 4, 2, {0.5f, 1.0f, 2.0f}, turn);
        tt::addTriangle(*r, {0, 0, 5}, {1, 0, 5}, {0, 1, 5}, {0, 0, -1}, tt::addDiffuse(*r, 1, 1, 1));
        const std::vector<float> seen = tt::renderDownZ(*r, {0, 0, 0}).image;
        const int left = turn ? 2 : 1;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                if (x == size / 2 || y == size / 2) continue;  // on the seams
                const V3 c = texel(x < size / 2 ? left : left + 1, y < size / 2 ? 0 : 1);
                const float* p = &seen[(size_t(y) * size + x) * 4];
                ASSERT_NEAR(p[0], 0.5f * c.x, 1e-6f) << x << "," << y;
                ASSERT_NEAR(p[1], 1.0f * c.y, 1e-6f) << x << "," << y;
                ASSERT_NEAR(p[2], 2.0f * c.z, 1e-6f) << x << "," << y;
            }
        // A bad image or a turn that is no rotation is refused and the world kept.
        const float bad[3] = {1, -1, 1}, mirror[9] = {-1, 0, 0, 0, 1, 0, 0, 0, 1};
        EXPECT_EQ(Tessra_SetWorldImage(r.get(), bad, 1, 1, nullptr), -1);
        EXPECT_EQ(Tessra_SetWorldImage(r.get(), rgb.data(), 4, 2, mirror), -1);
        EXPECT_EQ(r->extension_.worldImageSize[0], 4u);
    }
}

// The top quarter of the rows bright, the rest black: a cap of the sky 45 degrees round
// the zenith, which gives a floor open to it the irradiance of colour x sin^2(45 deg).
// The path tracer's light samples meet it in the mean, and so do the direct pass's strata
// (their pattern shifted per point), each pixel within the pattern's error at the cap's
// edge.
TEST(WorldImage, ACapOfSkyLightsAFloorAsTheClosedFormSays) {
    const int size = 24, w = 16, h = 32;
    const V3 sky = {1.0f, 0.8f, 0.6f};
    const float kd = 0.5f;
    const float expected[3] = {kd * sky.x * 0.5f, kd * sky.y * 0.5f, kd * sky.z * 0.5f};
    for (const uint32_t paths : {0u, 64u}) {
        const std::vector<float> rgb = image(w, h, [&](int, int j) { return j < h / 4 ? sky : V3{0, 0, 0}; });
        const auto r = world(size, &rgb, w, h, {1, 1, 1});
        tt::addQuad(*r, {-50, 0, 50}, {50, 0, 50}, {50, 0, -50}, {-50, 0, -50}, {0, 1, 0},
                    tt::addDiffuse(*r, kd, kd, kd));
        r->shadowMode = 1;
        if (paths) Tessra_SetPathTracing(r.get(), paths, 0);
        tt::RecordingHost host(size, size);
        tt::renderQuietly(*r, host, {0, 1, 0}, {0, 0, 0}, {0, 0, -1});
        double mean[3] = {0, 0, 0};
        for (size_t i = 0; i < host.image.size(); i += 4)
            for (int c = 0; c < 3; ++c) {
                if (!paths) ASSERT_NEAR(host.image[i + c], expected[c], 0.12f * expected[c]) << "pixel " << i / 4;
                mean[c] += host.image[i + c] / (size * size);
            }
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(mean[c], expected[c], (paths ? 0.015 : 0.02) * expected[c]);
    }
}

}  // namespace

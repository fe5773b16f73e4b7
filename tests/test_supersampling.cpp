// Antialiasing against geometry computed here: a straight edge's covered fraction of
// each pixel, and a render at four times the resolution filtered down.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "support/test_support.h"

namespace {

using tt::V3;

constexpr int kSize = 48;
constexpr float kFov = 0.9f;
const V3 kEye = {0, 0, 5};

// The straight edge, in image positions (pixel x covers x - 0.5 to x + 0.5): the lit
// side is where (p - kOrigin) . kInward >= 0.
const float kAngle = 0.35f;
const float kOrigin[2] = {23.3f, 21.7f};
const float kInward[2] = {-std::sin(kAngle), std::cos(kAngle)};

float sideOfEdge(float x, float y) { return (x - kOrigin[0]) * kInward[0] + (y - kOrigin[1]) * kInward[1]; }

// The covered fraction of pixel (x, y), counted on a fine grid.
float coverage(int x, int y) {
    const int n = 64;
    int in = 0;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) in += sideOfEdge(x - 0.5f + (i + 0.5f) / n, y - 0.5f + (j + 0.5f) / n) >= 0.0f;
    return float(in) / float(n * n);
}

// A white quad whose one edge crosses the image, lit from straight above by a distant
// light, over a black background; at scale s the image has s times the pixels.
struct EdgeScene {
    std::unique_ptr<TessraRendererCUDA> r;
    explicit EdgeScene(int s = 1) : r(tt::newRenderer(kSize * s, kSize * s)) {
        r->fieldOfView = kFov;
        const int m = tt::addDiffuse(*r, 1, 1, 1);
        const float d[2] = {std::cos(kAngle), std::sin(kAngle)};
        // The view of a plane facing the camera is a scaling: straight lines stay straight.
        auto at = [&](float along, float in) {
            return tt::onPlane(kOrigin[0] + d[0] * along + kInward[0] * in, kOrigin[1] + d[1] * along + kInward[1] * in,
                               kSize, kSize, kEye, 0, kFov);
        };
        tt::addQuad(*r, at(-200, 0), at(200, 0), at(200, 200), at(-200, 200), {0, 0, 1}, m);
        r->NuevaLuzOmni(0, 0, 1000, 1, 1, 1, 1.0f, 0, 1.0f);
    }
    tt::RecordingHost render() { return tt::renderDownZ(*r, kEye); }
};

// Colour and, when asked for, alpha take each pixel's covered fraction; adaptive
// refinement touches only pixels along the edge. A straight edge crosses at most 2n - 1
// of the n x n strata, and only a ray in such a stratum can fall on the wrong side of it.
TEST(Supersampling, EdgePixelsTakeTheirCoveredFractionAndOnlyTheyAreRefined) {
    constexpr uint32_t n = 4;
    EdgeScene one, all, adaptive;
    ASSERT_EQ(Tessra_SetAlphaCoverage(one.r.get(), true), 0);
    ASSERT_EQ(Tessra_SetAlphaCoverage(all.r.get(), true), 0);
    ASSERT_EQ(Tessra_SetSupersampling(all.r.get(), n, 0.0f), 0);
    ASSERT_EQ(Tessra_SetSupersampling(adaptive.r.get(), n, 0.1f), 0);
    const tt::RecordingHost single = one.render(), full = all.render(), refined = adaptive.render();
    EXPECT_EQ(Tessra_SupersampledPixelCount(one.r.get()), 0u);
    EXPECT_EQ(Tessra_SupersampledPixelCount(all.r.get()), uint64_t(kSize) * kSize);
    const float bound = (2 * n - 1) / float(n * n) + 1e-4f;
    double errorFull = 0.0, errorSingle = 0.0, errorAlpha = 0.0;
    int edge = 0, near = 0, changedFar = 0;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            const float s = sideOfEdge(float(x), float(y)), c = coverage(x, y);
            const float *p1 = single.pixel(x, y), *p = full.pixel(x, y);
            if (std::fabs(s) > 1e-3f) EXPECT_EQ(p1[3], s > 0.0f ? 1.0f : 0.0f) << x << "," << y;
            near += std::fabs(s) <= 2.0f;
            changedFar += std::fabs(s) > 2.0f && refined.pixel(x, y)[0] != p1[0];
            if (c <= 0.0f || c >= 1.0f) {
                EXPECT_TRUE(std::fabs(p[0] - c) < 1e-3f && p[3] == c) << x << "," << y;
                continue;
            }
            ++edge;
            errorFull += std::fabs(p[0] - c);
            errorSingle += std::fabs(p1[0] - c);
            errorAlpha += std::fabs(p[3] - c);
            EXPECT_NEAR(p[3], c, bound) << x << "," << y;
        }
    ASSERT_GT(edge, kSize);
    EXPECT_LT(errorFull / edge, 0.05);
    EXPECT_GT(errorSingle / edge, 0.15);  // the test sees jagged edges
    EXPECT_LT(errorAlpha / edge, 1.0 / (n * n) + 0.01);
    const uint64_t count = Tessra_SupersampledPixelCount(adaptive.r.get());
    EXPECT_TRUE(count >= uint64_t(edge) && count <= uint64_t(near)) << count;
    EXPECT_EQ(changedFar, 0);
}

TEST(Supersampling, CloserToAFourTimesLargerRenderThanOneRayIs) {
    // A shadow edge and a silhouette: a small raised square over the edge scene's quad.
    auto addBlock = [](EdgeScene& s) {
        const int m = tt::addDiffuse(*s.r, 0.9f, 0.4f, 0.2f);
        const float a = 0.3f, b = 0.9f;
        tt::addQuad(*s.r, {a, a - 0.6f, 0.8f}, {b, a - 0.7f, 0.8f}, {b + 0.1f, b - 0.6f, 0.8f},
                    {a + 0.1f, b - 0.5f, 0.8f}, {0, 0, 1}, m);
        // A square light facing down: soft shadows, whose 8 x 8 strata the rays share.
        s.r->NuevaLuzRect(-1.5f, 1.0f, 3.0f, 0.6f, 0.6f, 0.6f, 1, 0, 0, 0, 1, 0, 0, 0, -1, 1.0f, 1.0f, 1.0f, 0);
    };
    EdgeScene big(4), one, aa, every;
    for (EdgeScene* s : {&big, &one, &aa, &every}) addBlock(*s);
    ASSERT_EQ(Tessra_SetSupersampling(aa.r.get(), 4, 0.05f), 0);
    ASSERT_EQ(Tessra_SetSupersampling(every.r.get(), 4, 0.0f), 0);
    const tt::RecordingHost reference = big.render(), single = one.render(), smooth = aa.render(), all = every.render();
    // A pixel's rays do not depend on which other pixels took more: each pixel of the
    // adaptive render is the one-ray pixel or the pixel of the render refining all.
    int neither = 0, refined = 0;
    for (size_t i = 0; i < smooth.image.size(); i += 4) {
        const bool asOne = std::equal(&smooth.image[i], &smooth.image[i] + 3, &single.image[i]);
        const bool asAll = std::equal(&smooth.image[i], &smooth.image[i] + 3, &all.image[i]);
        neither += !asOne && !asAll;
        refined += asAll && !asOne;
    }
    EXPECT_EQ(neither, 0);
    EXPECT_GT(refined, kSize);
    // Pixel x of the small image is centred on pixel 4x of the large one.
    const float w[5] = {0.5f, 1, 1, 1, 0.5f};
    double errorSingle = 0.0, errorSmooth = 0.0;
    for (int y = 1; y < kSize - 1; ++y)
        for (int x = 1; x < kSize - 1; ++x)
            for (int c = 0; c < 3; ++c) {
                double filtered = 0.0;
                for (int j = 0; j < 5; ++j)
                    for (int i = 0; i < 5; ++i)
                        filtered += w[i] * w[j] * reference.pixel(4 * x + i - 2, 4 * y + j - 2)[c] / 16.0;
                errorSingle += std::fabs(single.pixel(x, y)[c] - filtered);
                errorSmooth += std::fabs(smooth.pixel(x, y)[c] - filtered);
            }
    ASSERT_GT(errorSingle, 0.0);
    EXPECT_LT(errorSmooth, 0.5 * errorSingle) << errorSmooth << " vs " << errorSingle;
}

}  // namespace

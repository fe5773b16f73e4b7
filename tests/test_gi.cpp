// Global illumination by stages against closed forms: the direct image when no photon
// lands, and the final-gather rays' harmonic mean distance under a parallel ceiling. The photons' power is the GI reference tests' (numerical integration,
// the path tracer).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "device/kernels_gi.h"
#include "support/cornell.h"
#include "support/stages.h"

namespace {

// Radical inverse from the base-b digits of i, written independently of the renderer.
double radicalInverse(int i, int b) {
    double r = 0, scale = 1.0 / b;
    for (; i > 0; i /= b, scale /= b) r += (i % b) * scale;
    return r;
}

// Zero photons, or photons all sent away from the only surface: an empty map and the
// direct image exactly.
TEST(Photons, NoPhotonsOrAllLostGiveTheDirectImage) {
    for (const bool spotAway : {false, true}) {
        SCOPED_TRACE(spotAway ? "every photon lost" : "zero photons");
        auto scene = [&](bool gi) {
            std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(32, 32));
            tt::addQuad(*r, {-4, -4, 0}, {4, -4, 0}, {4, 4, 0}, {-4, 4, 0}, {0, 0, 1}, tt::addDiffuse(*r, 0.7f, 0.7f, 0.7f));
            if (spotAway)
                r->NuevaLuzFoco(0, 0, 2, 1, 1, 1, 1, 0, 0, 0, -1, 0, 0, 0, -1, 30, 20, 1.0f, 0, true, 1.0f);
            else
                r->NuevaLuzOmni(0.5f, 0.2f, 2, 1, 1, 1, 1, 0, 1.0f);
            r->shadowMode = 1;
            if (gi) tt::enablePhotonMapping(*r, spotAway ? 500 : 0, false);
            return tt::renderDownZ(*r, {0, 0, 5});
        };
        const tt::RecordingHost direct = scene(false), gi = scene(true);
        ASSERT_FALSE(gi.photonCounts.empty());
        EXPECT_EQ(gi.photonCounts.back(), 0u);
        for (size_t i = 0; i < direct.image.size(); i += 4)
            for (int k = 0; k < 3; ++k) ASSERT_EQ(direct.image[i + k], gi.image[i + k]) << i / 4;
    }
}

// Ray j leaves at sin theta = r = max(|2u1 - 1|, |2u2 - 1|) (the concentric radius) from
// 0.01 above the record (a millionth of the 10 km ceiling, see rayOffset) and meets the
// ceiling (h - 0.01) tan theta away sideways; the distance counts from the record itself.
// (At this accuracy the clamps to 2 to 48 pixels over the accuracy do not bind.)
TEST(FinalGather, HarmonicMeanDistanceUnderAParallelCeiling) {
    tt::Stages s;
    tt::enablePhotonMapping(*s.r, 100, true);
    s.r->numBounces = 0;
    s.r->FG_record_density = 10.0f;
    const float h = 2.0f;
    const int m = tt::addDiffuse(*s.r, 0.6f, 0.6f, 0.6f);
    tt::addQuad(*s.r, {-50, -50, 0}, {50, -50, 0}, {50, 50, 0}, {-50, 50, 0}, {0, 0, 1}, m);
    tt::addQuad(*s.r, {-5000, -5000, h}, {5000, -5000, h}, {5000, 5000, h}, {-5000, 5000, h}, {0, 0, -1}, m);
    s.r->NuevaLuzOmni(0.3f, 0.2f, 0.8f * h, 1, 1, 1, 1, 0, 1.0f);
    s.upload({0, 0, 1}, {0, 0, 0});
    const auto fb = s.placeRecords();
    const uint32_t n = s.r->fgKdTree->numRecords;
    ASSERT_GT(n, 0u);
    double invSum = 0;
    for (int j = 1; j <= 128; ++j) {
        const double r = std::max(std::fabs(2 * radicalInverse(j, 3) - 1), std::fabs(2 * radicalInverse(j, 7) - 1));
        const double side = (h - 0.01) * r / std::sqrt(1 - r * r);
        invSum += 1 / std::sqrt(double(h) * h + side * side);
    }
    const double want = 128 / invSum;
    std::vector<float> R(n);
    ASSERT_EQ(rt::memcpyDtoH(R.data(), s.r->harmMeanDistFG, n * 4), rt::Success);
    const std::vector<float4> pos = tt::readFloat4(s.r->fgKdTree->d_positions, n);
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_NEAR(pos[i].z, 0.0f, 1e-5f);
        ASSERT_NEAR(R[i], want, want * 5e-4) << i;
    }
}

}  // namespace

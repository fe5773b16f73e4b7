// Global illumination: the sampling routines against their closed forms, photon
// emission and energy, final-gather placement and the irradiance cache, and the indirect
// light of a Cornell box (brighter shadows, colour bleeding, determinism).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "device/kernels_gi.h"
#include "host/internal.h"
#include "host/kdtree.h"
#include "support/cornell.h"
#include "support/stages.h"
#include "support/test_support.h"

namespace {

using tt::V3;

// Radical inverse from the base-b digits of i, written independently of the renderer.
double radicalInverse(int i, int b) {
    std::vector<int> digits;
    for (; i > 0; i /= b) digits.push_back(i % b);
    double r = 0, scale = 1.0 / b;
    for (int d : digits) {
        r += d * scale;
        scale /= b;
    }
    return r;
}

void photonSettings(TessraRendererCUDA& r, uint32_t n, uint32_t bounces) {
    r.indirectIllumination = true;
    r.usePhotonMapping = true;
    r.numPhotons = n;
    r.numBounces = bounces;
    r.photonEnergy = 1.0f;
}

// ---------------------------------------------------------------------------------
// Sampling.

TEST(Sampling, HaltonIsTheRadicalInverse) {
    for (int b : {2, 3, 5, 7, 9, 13, 17}) {
        for (int i = 0; i < 2000; i += (i < 50 ? 1 : 37)) {
            const double want = radicalInverse(i, b);
            EXPECT_NEAR(halton(i, b), want, 1e-6) << i << " base " << b;
            EXPECT_NEAR(haltonHost(i, b), want, 1e-14) << i << " base " << b;
        }
    }
    EXPECT_EQ(halton(-3, 2), 0.0f);
    EXPECT_FLOAT_EQ(halton(1, 9), 1.0f / 9.0f);
}

TEST(Sampling, ConcentricMapTakesTheSquareOntoTheDisk) {
    const float quarter = 3.14159265f / 4;
    int inner = 0, total = 0;
    for (int i = 0; i <= 200; ++i) {
        for (int j = 0; j <= 200; ++j) {
            const float a = -1 + i * 0.01f, b = -1 + j * 0.01f;
            const float2 p = concentricSampleDisk(a, b);
            const float r = std::hypot(p.x, p.y);
            // Squares of half-width m map onto circles of radius m.
            EXPECT_NEAR(r, std::max(std::fabs(a), std::fabs(b)), 1e-5f);
            EXPECT_LE(r, 1.0f + 1e-6f);
            if (std::fabs(a) > std::fabs(b) && a > 0) {
                // In the right-hand wedge the angle is linear in b / a.
                EXPECT_NEAR(std::atan2(p.y, p.x), quarter * b / a, 1e-4f);
            }
            if (i < 200 && j < 200) {
                ++total;
                inner += r < 0.5f;
            }
        }
    }
    EXPECT_EQ(concentricSampleDisk(0, 0).x, 0.0f);
    // The map keeps area: a quarter of the square lands inside radius one half.
    EXPECT_NEAR(double(inner) / total, 0.25, 0.01);
}

TEST(Sampling, CosineHemisphereDirectionsAreUnitAndAboveTheNormal) {
    const float3 normals[] = {make_float3(0, 0, 1), make_float3(0, -1, 0), normalize(make_float3(0.3f, -0.8f, 0.5f)),
                              make_float3(1, 0, 0)};
    for (const float3 N : normals) {
        double meanCos = 0;
        const int n = 1000;
        for (int j = 1; j <= n; ++j) {
            const float3 d = sampleCosineHemisphere(N, float(radicalInverse(j, 2)), float(radicalInverse(j, 3)));
            EXPECT_NEAR(length(d), 1.0f, 1e-5f);
            EXPECT_GE(dot(d, N), -1e-6f);
            meanCos += dot(d, N);
        }
        // E[cos] under a cosine-weighted density is 2/3.
        EXPECT_NEAR(meanCos / n, 2.0 / 3.0, 0.01);
    }
}

// ---------------------------------------------------------------------------------
// Photon emission.

TEST(Photons, FirstPhotonOfAnOmniLight) {
    tt::Stages s;
    photonSettings(*s.r, 64, 0);
    tt::addClosedBox(*s.r, 2.0f, tt::addDiffuse(*s.r, 0.5f, 0.5f, 0.5f));
    s.r->NuevaLuzOmni(0, 0, 0, 1, 1, 1, 1, 0, 1.0f);
    s.upload({0, 0, 1}, {0, 0, 0});
    s.photons();
    const std::vector<float4> dir = tt::readFloat4(s.r->d_photonDir, 1);
    const std::vector<float4> pos = tt::readFloat4(s.r->d_photonPos, 1);
    // q = 1: cos theta = 1 - 2 * 0.5 = 0, phi = 2 pi / 3.
    EXPECT_NEAR(dir[0].x, -0.5f, 1e-4f);
    EXPECT_NEAR(dir[0].y, std::sqrt(3.0f) / 2, 1e-4f);
    EXPECT_NEAR(dir[0].z, 0.0f, 1e-5f);
    // It meets the wall y = 2.
    EXPECT_EQ(pos[0].w, 1.0f);
    EXPECT_NEAR(pos[0].y, 2.0f, 1e-4f);
    EXPECT_NEAR(pos[0].x, -2.0f / std::sqrt(3.0f), 1e-3f);
    EXPECT_EQ(s.host.photonCounts.back(), 64u);
}

TEST(Photons, ZeroDegreeSpotEmitsAlongMinusW) {
    tt::Stages s;
    photonSettings(*s.r, 200, 0);
    const int m = tt::addDiffuse(*s.r, 0.5f, 0.5f, 0.5f);
    tt::addQuad(*s.r, {-5, -5, 0}, {5, -5, 0}, {5, 5, 0}, {-5, 5, 0}, {0, 0, 1}, m);
    // The frame's rows U, V, W; W = (0.6, 0, 0.8) tilts the beam off the vertical.
    const float W[3] = {0.6f, 0.0f, 0.8f};
    s.r->NuevaLuzFoco(0.3f, -0.2f, 3, 1, 1, 1, 0.8f, 0, -0.6f, 0, 1, 0, W[0], W[1], W[2], 0.0f, 0.0f, 1.0f, 0, true,
                      1.0f);
    s.upload({0, 0, 5}, {0, 0, 0});
    s.photons();
    const std::vector<float4> dir = tt::readFloat4(s.r->d_photonDir, 200);
    const std::vector<float4> pos = tt::readFloat4(s.r->d_photonPos, 200);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(pos[i].w, 1.0f) << i;
        EXPECT_NEAR(dir[i].x, -W[0], 1e-5f);
        EXPECT_NEAR(dir[i].y, -W[1], 1e-5f);
        EXPECT_NEAR(dir[i].z, -W[2], 1e-5f);
        // All photons land where the beam axis meets the floor.
        EXPECT_NEAR(pos[i].x, 0.3f - 0.6f * 3 / 0.8f, 1e-4f);
        EXPECT_NEAR(pos[i].z, 0.0f, 1e-5f);
    }
}

TEST(Photons, ClosedBoxKeepsTheEmittedPowerTimesTheColoursMet) {
    tt::Stages s;
    const uint32_t n = 3000;
    photonSettings(*s.r, n, 2);
    s.r->photonEnergy = 2.5f;
    const float A[3] = {0.8f, 0.5f, 0.25f};
    tt::addClosedBox(*s.r, 1.5f, tt::addDiffuse(*s.r, A[0], A[1], A[2]));
    const float color[3] = {1.0f, 0.7f, 0.4f}, intensity = 1.3f, decayStart = 1.2f;
    s.r->NuevaLuzOmni(0.2f, -0.1f, 0.3f, color[0], color[1], color[2], intensity, 2, decayStart);
    s.upload({0, 0, 1}, {0, 0, 0});
    s.photons();
    const KdTree& t = *s.r->photonKdTree;
    // Nothing escapes a closed box: every path leaves one record per hit.
    ASSERT_EQ(t.numRecords, 3 * n);
    EXPECT_EQ(s.host.photonCounts, (std::vector<uint32_t>{n, 2 * n, 3 * n, 3 * n}));
    const std::vector<float4> col = tt::readFloat4(t.d_thirds, t.numRecords);
    double sum[3] = {0, 0, 0};
    for (const float4& c : col) {
        sum[0] += c.x;
        sum[1] += c.y;
        sum[2] += c.z;
    }
    // Emitted power: colour x intensity x decay start^2 x photon energy over the
    // omni light's density 1 / (4 pi) (written 0.0795775), shared by n photons; each
    // hit multiplies by the wall's colour.
    for (int k = 0; k < 3; ++k) {
        const double emitted = color[k] * intensity * decayStart * decayStart * s.r->photonEnergy / 0.0795775;
        const double want = emitted * (A[k] + A[k] * A[k] + A[k] * A[k] * A[k]);
        EXPECT_NEAR(sum[k], want, want * 1e-4) << "channel " << k;
    }
}

TEST(Photons, NoPhotonsOrAllLostGiveAnEmptyMapAndNoIndirectLight) {
    auto scene = [](TessraRendererCUDA& r, bool spotAway) {
        const int m = tt::addDiffuse(r, 0.7f, 0.7f, 0.7f);
        tt::addQuad(r, {-4, -4, 0}, {4, -4, 0}, {4, 4, 0}, {-4, 4, 0}, {0, 0, 1}, m);
        if (spotAway) {
            // A spot at z = 2 emitting along -W = +z, away from the only surface.
            r.NuevaLuzFoco(0, 0, 2, 1, 1, 1, 1, 0, 0, 0, -1, 0, 0, 0, -1, 30, 20, 1.0f, 0, true, 1.0f);
        } else {
            r.NuevaLuzOmni(0.5f, 0.2f, 2, 1, 1, 1, 1, 0, 1.0f);
        }
        r.shadowMode = 1;
    };
    for (bool spotAway : {false, true}) {
        SCOPED_TRACE(spotAway ? "every photon lost" : "zero photons");
        auto direct = std::unique_ptr<TessraRendererCUDA>(tt::newRenderer(32, 32));
        scene(*direct, spotAway);
        auto gi = std::unique_ptr<TessraRendererCUDA>(tt::newRenderer(32, 32));
        scene(*gi, spotAway);
        tt::enablePhotonMapping(*gi, spotAway ? 500 : 0, false);
        tt::RecordingHost a(32, 32), b(32, 32);
        for (auto [r, h] : {std::pair{direct.get(), &a}, std::pair{gi.get(), &b}}) {
            r->callbacks = h;
            tt::setCameraLookingDownZ(*r, {0, 0, 5});
            tt::StdoutCapture quiet;
            quiet.start();
            r->Render();
            quiet.stop();
        }
        ASSERT_FALSE(b.photonCounts.empty());
        EXPECT_EQ(b.photonCounts.back(), 0u);
        ASSERT_EQ(b.tiles.size(), a.tiles.size());
        for (size_t i = 0; i < a.image.size(); i += 4)
            for (int k = 0; k < 3; ++k) ASSERT_EQ(a.image[i + k], b.image[i + k]) << i / 4;
    }
}

// ---------------------------------------------------------------------------------
// Final gather and the irradiance cache.

// A floor facing +z, optionally under a parallel ceiling at height h.
void floorScene(TessraRendererCUDA& r, float ceiling) {
    const int m = tt::addDiffuse(r, 0.6f, 0.6f, 0.6f);
    tt::addQuad(r, {-50, -50, 0}, {50, -50, 0}, {50, 50, 0}, {-50, 50, 0}, {0, 0, 1}, m);
    if (ceiling > 0)
        tt::addQuad(r, {-5000, -5000, ceiling}, {5000, -5000, ceiling}, {5000, 5000, ceiling}, {-5000, 5000, ceiling},
                    {0, 0, -1}, m);
    r.NuevaLuzOmni(0.3f, 0.2f, 0.8f * (ceiling > 0 ? ceiling : 2.0f), 1, 1, 1, 1, 0, 1.0f);
}

TEST(FinalGather, TileWithoutGeometryPlacesNothingAndNeedsNoRefinement) {
    tt::Stages s;
    photonSettings(*s.r, 500, 0);
    s.r->useFinalGather = true;
    floorScene(*s.r, 0);
    s.upload({0, 0, 1}, {0, 0, 2});  // looking up into the empty sky
    s.photons();
    TessraFrameBuffer fb(s.r.get(), 256, 256);
    s.r->fgKdTree = new KdTree(0.0f);
    s.r->InitScreenCUDA(0, 0, fb, false);
    ASSERT_TRUE(s.r->DistributeFinalGatherPoints(fb));
    EXPECT_EQ(s.r->fgKdTree->numRecords, 0u);
    s.r->InitScreenCUDA(0, 0, fb, true);
    const uint64_t placements = rt::launchCount(rt::KernelId::init_irradiance_cache_records);
    const std::vector<float4> before = tt::readFloat4(fb.ssColor, 256 * 256);
    ASSERT_TRUE(s.r->PerformPhotonMappingStep(fb));
    EXPECT_FALSE(fb.NeedsIndirectStepAgain());
    EXPECT_EQ(rt::launchCount(rt::KernelId::init_irradiance_cache_records), placements);
    const std::vector<float4> after = tt::readFloat4(fb.ssColor, 256 * 256);
    EXPECT_EQ(std::memcmp(before.data(), after.data(), before.size() * 16), 0);
}

TEST(FinalGather, TileWhereEveryPixelFindsARecordPlacesNone) {
    tt::Stages s;
    photonSettings(*s.r, 2000, 0);
    s.r->useFinalGather = true;
    s.r->irradianceSamples = 4;
    floorScene(*s.r, 0);
    s.upload({0, 0, 3}, {0, 0, 0});
    s.photons();
    TessraFrameBuffer fb(s.r.get(), 256, 256);
    s.r->fgKdTree = new KdTree(0.0f);
    s.r->InitScreenCUDA(0, 0, fb, false);
    ASSERT_TRUE(s.r->DistributeFinalGatherPoints(fb));
    const uint32_t records = s.r->fgKdTree->numRecords;
    EXPECT_GE(records, 64u);  // at least the 8 x 8 grid of the first pass over the image
    ASSERT_TRUE(s.r->CalculateIrradianceCache());
    s.r->InitScreenCUDA(0, 0, fb, true);
    const uint64_t placements = rt::launchCount(rt::KernelId::init_irradiance_cache_records);
    ASSERT_TRUE(s.r->PerformPhotonMappingStep(fb));
    EXPECT_FALSE(fb.NeedsIndirectStepAgain());
    EXPECT_EQ(rt::launchCount(rt::KernelId::init_irradiance_cache_records), placements);
    EXPECT_EQ(s.r->fgKdTree->numRecords, records);
    // Every floor pixel of the image was resolved and received light.
    std::vector<unsigned char> mask(256 * 256);
    ASSERT_EQ(rt::memcpyDtoH(mask.data(), fb.maskFG, mask.size()), rt::Success);
    const std::vector<float4> color = tt::readFloat4(fb.ssColor, 256 * 256);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            ASSERT_EQ(mask[y * 256 + x], 0) << x << "," << y;
            ASSERT_EQ(color[y * 256 + x].w, 1.0f) << x << "," << y;
        }
}

TEST(FinalGather, MissingRecordsAreRefinedOnceForTheMarkedPixelsOnly) {
    tt::Stages s;
    photonSettings(*s.r, 2000, 0);
    s.r->useFinalGather = true;
    s.r->irradianceSamples = 2;
    floorScene(*s.r, 0);
    s.upload({0, 0, 3}, {0, 0, 0});
    s.photons();
    TessraFrameBuffer fb(s.r.get(), 256, 256);
    s.r->fgKdTree = new KdTree(0.0f);
    // No pre-pass: the tile finds no record at all, places records for itself and
    // interpolates again.
    s.r->InitScreenCUDA(0, 0, fb, true);
    const uint64_t placements = rt::launchCount(rt::KernelId::init_irradiance_cache_records);
    const uint64_t gathers = rt::launchCount(rt::KernelId::estimatePhotonMap_FromFG);
    ASSERT_TRUE(s.r->PerformPhotonMappingStep(fb));
    EXPECT_EQ(rt::launchCount(rt::KernelId::init_irradiance_cache_records), placements + 1);
    EXPECT_EQ(rt::launchCount(rt::KernelId::estimatePhotonMap_FromFG), gathers + 50);
    EXPECT_GE(s.r->fgKdTree->numRecords, 64u);
    const std::vector<float4> color = tt::readFloat4(fb.ssColor, 256 * 256);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) ASSERT_EQ(color[y * 256 + x].w, 1.0f) << "indirect light added once";
}

TEST(FinalGather, HarmonicMeanDistanceUnderAParallelCeiling) {
    tt::Stages s;
    photonSettings(*s.r, 100, 0);
    s.r->useFinalGather = true;
    const float h = 2.0f;
    floorScene(*s.r, h);
    s.upload({0, 0, 1}, {0, 0, 0});
    TessraFrameBuffer fb(s.r.get(), 256, 256);
    s.r->fgKdTree = new KdTree(0.0f);
    s.r->InitScreenCUDA(0, 0, fb, false);
    ASSERT_TRUE(s.r->DistributeFinalGatherPoints(fb));
    const uint32_t n = s.r->fgKdTree->numRecords;
    ASSERT_GT(n, 0u);
    // Ray j leaves at sin theta = r = max(|2u1 - 1|, |2u2 - 1|) (the concentric radius)
    // from 0.01 above the record and meets the ceiling (h - 0.01) tan theta away
    // sideways; the distance counts from the record itself.
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
        ASSERT_NEAR(R[i], want, want * 2e-4) << i;
    }
}

struct CacheRun {
    bool result;
    std::vector<float4> irradiance;
    uint64_t launches;
    std::vector<std::string> statuses;
    int polls;
    size_t reports;
};

CacheRun runCache(uint32_t samples, bool abortAtOnce) {
    tt::Stages s;
    photonSettings(*s.r, 200, 0);
    s.r->useFinalGather = true;
    s.r->irradianceSamples = samples;
    floorScene(*s.r, 0);
    s.r->SetEnvColor(0.3f, 0.6f, 0.9f);
    s.upload({0, 0, 3}, {0, 0, 0});
    s.photons();
    TessraFrameBuffer fb(s.r.get(), 256, 256);
    s.r->fgKdTree = new KdTree(0.0f);
    s.r->InitScreenCUDA(0, 0, fb, false);
    EXPECT_TRUE(s.r->DistributeFinalGatherPoints(fb));
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_envColor, s.r->envColor, 12), "test", 1);
    s.host.statuses.clear();
    s.host.abortAfterTiles = abortAtOnce ? 0 : -1;
    const uint64_t before = rt::launchCount(rt::KernelId::estimatePhotonMap_FG);
    tt::StdoutCapture quiet;
    quiet.start();
    CacheRun out;
    out.result = s.r->CalculateIrradianceCache();
    quiet.stop();
    out.launches = rt::launchCount(rt::KernelId::estimatePhotonMap_FG) - before;
    out.irradiance = tt::readFloat4(s.r->fgKdTree->d_thirds, s.r->fgKdTree->numRecords);
    out.statuses = s.host.statuses;
    out.polls = s.host.abortPolls;
    out.reports = s.host.irradianceTimes.size();
    EXPECT_EQ(s.host.finalGatherCounts.back(), s.r->fgKdTree->numRecords);
    return out;
}

TEST(IrradianceCache, ZeroSamplesLaunchNothingAndLeaveZero) {
    const CacheRun c = runCache(0, false);
    EXPECT_TRUE(c.result);
    EXPECT_EQ(c.launches, 0u);
    ASSERT_FALSE(c.irradiance.empty());
    for (const float4& e : c.irradiance) EXPECT_TRUE(e.x == 0 && e.y == 0 && e.z == 0);
    EXPECT_EQ(c.reports, 1u);
}

TEST(IrradianceCache, OneSampleShowsNoProgressAndTakesTheSkyUnscaled) {
    const CacheRun c = runCache(1, true);
    EXPECT_TRUE(c.result);
    EXPECT_EQ(c.launches, 1u);
    EXPECT_EQ(c.polls, 0);
    EXPECT_TRUE(c.statuses.empty());
    // The first direction points up from the floor into the empty sky.
    for (const float4& e : c.irradiance) {
        EXPECT_FLOAT_EQ(e.x, 0.3f);
        EXPECT_FLOAT_EQ(e.y, 0.6f);
        EXPECT_FLOAT_EQ(e.z, 0.9f);
        EXPECT_EQ(e.w, 1.0f);
    }
}

TEST(IrradianceCache, AbortAtTheFirstPollKeepsTheMeanOfFourSamples) {
    const CacheRun c = runCache(64, true);
    EXPECT_FALSE(c.result);
    EXPECT_EQ(c.launches, 4u);
    ASSERT_EQ(c.statuses.size(), 1u);
    EXPECT_EQ(c.statuses[0], "Irradiance Cache: sampling directions: 5/64");
    EXPECT_EQ(c.reports, 1u);
    for (const float4& e : c.irradiance) EXPECT_NEAR(e.y, 0.6f, 1e-6f);  // four sky samples, mean taken
    const CacheRun full = runCache(64, false);
    EXPECT_TRUE(full.result);
    EXPECT_EQ(full.launches, 64u);
    EXPECT_EQ(full.statuses.size(), 19u);
}

// ---------------------------------------------------------------------------------
// The Cornell box.

struct Pixel {
    int x, y;
};
// The pixel that shows world point q, for the Cornell camera.
Pixel project(V3 q, int w, int h, float fov) {
    const V3 e = tt::kCornellEye;
    const float dz = -(q.z - e.z);
    const float t = std::tan(fov * 0.5f);
    const float u = (q.x - e.x) / dz / t;
    const float v = -(q.y - e.y) / dz / t;
    const float aspect = float(w) / float(h);
    return {int(std::lround((u + 1) * w / 2)), int(std::lround((v * aspect + 1) * h / 2))};
}

struct Rgb {
    double r = 0, g = 0, b = 0;
};
Rgb meanOnFloor(const std::vector<float>& img, int w, int h, float x) {
    Rgb m;
    int n = 0;
    for (float z = 0.3f; z <= 0.9f; z += 0.1f)
        for (float dx = -0.05f; dx <= 0.05f; dx += 0.05f) {
            const Pixel p = project({x + dx, -1.0f, z}, w, h, 0.9f);
            const float* px = &img[(size_t(p.y) * w + p.x) * 4];
            m.r += px[0];
            m.g += px[1];
            m.b += px[2];
            ++n;
        }
    m.r /= n;
    m.g /= n;
    m.b /= n;
    return m;
}

class Cornell : public ::testing::TestWithParam<bool> {};

TEST_P(Cornell, IndirectLightBrightensShadowsAndBleedsWallColours) {
    const int W = 96, H = 96;
    std::unique_ptr<TessraRendererCUDA> d(tt::newRenderer(W, H)), g(tt::newRenderer(W, H));
    tt::addCornellBox(*d);
    tt::addCornellBox(*g);
    tt::enablePhotonMapping(*g, 20000, GetParam());
    g->irradianceSamples = 64;
    const std::vector<float> direct = tt::renderCornell(*d);
    const std::vector<float> gi = tt::renderCornell(*g);
    // Shadowed pixels: geometry (indirect light marks it with alpha 1) that direct light
    // leaves black.
    double dsum = 0, gsum = 0;
    int shadowed = 0, lit = 0;
    for (int i = 0; i < W * H; ++i) {
        const float* a = &direct[i * 4];
        const float* b = &gi[i * 4];
        if (b[3] < 1.0f) continue;
        ++lit;
        for (int k = 0; k < 3; ++k) EXPECT_GE(b[k], a[k] - 1e-6f) << "indirect light never darkens";
        if (a[0] + a[1] + a[2] > 1e-4f) continue;
        ++shadowed;
        dsum += a[0] + a[1] + a[2];
        gsum += b[0] + b[1] + b[2];
    }
    EXPECT_GT(lit, W * H / 3);
    ASSERT_GT(shadowed, 20);
    EXPECT_GT(gsum / shadowed, dsum / shadowed + 0.03) << shadowed << " shadowed pixels";

    // Colour bleeding: the indirect part (with minus without) of the white floor's light
    // near each coloured wall takes that wall's colour.
    const Rgb redGi = meanOnFloor(gi, W, H, -0.9f), greenGi = meanOnFloor(gi, W, H, 0.9f);
    const Rgb redDirect = meanOnFloor(direct, W, H, -0.9f), greenDirect = meanOnFloor(direct, W, H, 0.9f);
    EXPECT_NEAR(redDirect.r / redDirect.g, 1.0, 1e-4);  // direct light on the floor is grey
    EXPECT_NEAR(greenDirect.g / greenDirect.r, 1.0, 1e-4);
    const Rgb red = {redGi.r - redDirect.r, redGi.g - redDirect.g, redGi.b - redDirect.b};
    const Rgb green = {greenGi.r - greenDirect.r, greenGi.g - greenDirect.g, greenGi.b - greenDirect.b};
    EXPECT_GT(red.g, 0.0);
    EXPECT_GT(green.r, 0.0);
    // The final-gather path interpolates 32 records, which at this image size span most
    // of the floor and average the tint away; the bleeding is checked on the photon map.
    if (GetParam()) return;
    EXPECT_GT(red.r / red.g, 1.02 * (green.r / green.g));
    EXPECT_GT(green.g / green.r, 1.02 * (red.g / red.r));
}

TEST_P(Cornell, RendersAreIdenticalAcrossRunsAndThreadCounts) {
    const int W = 48, H = 48;
    auto render = [&](unsigned threads) {
        rt::setThreadCount(threads);
        std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(W, H));
        tt::addCornellBox(*r);
        tt::enablePhotonMapping(*r, 1500, GetParam());
        r->irradianceSamples = 8;
        return tt::renderCornell(*r);
    };
    const unsigned saved = rt::threadCount();
    const std::vector<float> a = render(2), b = render(2), c = render(1);
    rt::setThreadCount(saved);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * 4), 0);
    EXPECT_EQ(std::memcmp(a.data(), c.data(), a.size() * 4), 0);
}

INSTANTIATE_TEST_SUITE_P(Gi, Cornell, ::testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "FinalGather" : "PhotonMap"; });

TEST(GiBackends, CpuAndCudaAgree) {
    if (const std::string why = tt::useCudaOrSayWhyNot(); !why.empty()) GTEST_SKIP() << why;
    auto render = [](const char* backend, bool fg) {
        Tessra_SelectBackend(backend);
        TessraRendererCUDA r;
        r.width = 96;
        r.height = 96;
        tt::addCornellBox(r);
        tt::enablePhotonMapping(r, 6000, fg);
        return tt::renderCornell(r);
    };
    for (bool fg : {false, true}) {
        const std::vector<float> gpu = render("cuda", fg), cpu = render("cpu", fg);
        Tessra_SelectBackend("cpu");
        ASSERT_EQ(gpu.size(), cpu.size());
        double diff = 0, mag = 0;
        size_t close = 0;
        for (size_t i = 0; i < cpu.size(); i += 4) {
            double d = 0;
            for (int k = 0; k < 3; ++k) {
                d = std::max(d, double(std::fabs(cpu[i + k] - gpu[i + k])));
                diff += std::fabs(cpu[i + k] - gpu[i + k]);
                mag += std::fabs(cpu[i + k]);
            }
            if (d <= 0.02 * std::max(1.0f, cpu[i])) ++close;
        }
        const double share = double(close) / double(cpu.size() / 4);
        std::printf("GI %s CPU/CUDA: %.3f%% of pixels within 2%%, mean relative difference %.3g\n",
                    fg ? "final gather" : "photon map", 100 * share, diff / mag);
        // The device's approximate reciprocals and square roots move keys by an ulp or
        // two; a photon at the edge of a gather may then swap with its neighbour, which
        // shifts a pixel's estimate by about one photon in forty.
        EXPECT_GE(share, 0.98);
        EXPECT_LT(diff / mag, 0.01);
    }
}

}  // namespace

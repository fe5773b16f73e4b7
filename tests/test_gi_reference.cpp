// Indirect light against independent references: the one-bounce irradiance in a closed
// box integrated numerically over its walls, the colours a bounce carries, and the
// invariances a right estimate keeps (render order, crops and shared tiles), with the
// settings that Tessra_SuggestPhotonSettings derives from the scene.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "support/cornell.h"
#include "support/stages.h"
#include "support/test_support.h"

namespace {

using tt::V3;

struct Render {
    int w, h;
    std::vector<float> image;
    const float* at(int x, int y) const { return &image[(size_t(y) * w + x) * 4]; }
};

// A scene builder gets a renderer and the scene's scale.
using Scene = std::function<void(TessraRendererCUDA&, float)>;

enum class Gi { Off, PhotonMap, FinalGather };

// Indirect light with the suggested photon settings.
void setUpGi(TessraRendererCUDA& r, Gi gi, uint32_t photons, uint32_t bounces) {
    r.indirectIllumination = r.usePhotonMapping = true;
    r.useFinalGather = gi == Gi::FinalGather;
    r.numPhotons = photons;
    r.numBounces = bounces;
    TessraPhotonSettings s;
    EXPECT_EQ(Tessra_SuggestPhotonSettings(&r, &s), 0);
    r.irradianceSamples = s.irradianceSamples;
    r.FG_record_density = s.FG_record_density;
    r.photonEnergy = s.photonEnergy;
    r.photonSearchDistance = s.photonSearchDistance;
    r.ambientLightIntens = s.ambientLightIntens;
}

// Renders the scene with the camera looking down -z from eye, with GI unless Off; tweak
// may change the settings last.
Render render(const Scene& scene, Gi gi, int w, int h, V3 eye, float scale = 1.0f, uint32_t photons = 200000,
              uint32_t bounces = 1, const std::function<void(TessraRendererCUDA&)>& tweak = {}) {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(w, h));
    scene(*r, scale);
    if (gi != Gi::Off) setUpGi(*r, gi, photons, bounces);
    if (tweak) tweak(*r);
    return {w, h, tt::renderDownZ(*r, tt::mul(eye, scale)).image};
}

// Pixel (x, y) of a camera at eye looking down -z (fov 0.9) sees the plane z = zPlane at
// this point; the inverse of the primary-ray set-up.
V3 onPlane(int x, int y, int w, int h, V3 eye, float zPlane) {
    const float t = std::tan(0.45f), dz = eye.z - zPlane;
    const float u = 2.0f * x / w - 1, v = (2.0f * y / h - 1) * h / w;
    return {eye.x + u * t * dz, eye.y - v * t * dz, zPlane};
}

double luminance(const float* p) { return (double(p[0]) + p[1] + p[2]) / 3; }

// ---------------------------------------------------------------------------------
// One bounce in a closed box, against numerical integration.

constexpr float kAlbedo = 0.5f;
const V3 kLight = {0.25f, 0.45f, 0.3f};

void closedBox(TessraRendererCUDA& r, float scale) {
    tt::addClosedBox(r, scale, tt::addDiffuse(r, kAlbedo, kAlbedo, kAlbedo));
    r.NuevaLuzOmni(kLight.x * scale, kLight.y * scale, kLight.z * scale, 1, 1, 1, 0.7f, 3, 1.0f * scale);
    r.shadowMode = 1;
}

// Irradiance at x on the back wall z = -1 from the light the other five walls of the
// unit box reflect once: the direct pass's irradiance I cos / d^2 times the albedo, as
// Lambertian radiance (over pi), integrated with the midpoint rule on 120 x 120 cells
// per wall.
double oneBounceIrradiance(V3 x) {
    const int n = 120;
    const double cell = 2.0 / n, dA = cell * cell, I = 0.7;
    struct Wall {
        int axis;
        float at;
        V3 normal;
    };
    const Wall walls[] = {
        {2, 1, {0, 0, -1}}, {1, -1, {0, 1, 0}}, {1, 1, {0, -1, 0}}, {0, -1, {1, 0, 0}}, {0, 1, {-1, 0, 0}}};
    double E = 0;
    for (const Wall& wall : walls) {
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                const double a = -1 + (i + 0.5) * cell, b = -1 + (j + 0.5) * cell;
                double y[3];
                y[wall.axis] = wall.at;
                y[(wall.axis + 1) % 3] = a;
                y[(wall.axis + 2) % 3] = b;
                const double nl[3] = {wall.normal.x, wall.normal.y, wall.normal.z};
                const double L[3] = {kLight.x - y[0], kLight.y - y[1], kLight.z - y[2]};
                const double dl2 = L[0] * L[0] + L[1] * L[1] + L[2] * L[2];
                const double cosL = (L[0] * nl[0] + L[1] * nl[1] + L[2] * nl[2]) / std::sqrt(dl2);
                if (cosL <= 0) continue;
                const double radiance = kAlbedo * I * cosL / dl2 / M_PI;
                const double v[3] = {y[0] - x.x, y[1] - x.y, y[2] - x.z};
                const double d2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
                const double cosX = v[2] / std::sqrt(d2);  // the back wall faces +z
                const double cosY = -(v[0] * nl[0] + v[1] * nl[1] + v[2] * nl[2]) / std::sqrt(d2);
                if (cosX > 0 && cosY > 0) E += radiance * cosX * cosY / d2 * dA;
            }
    }
    return E;
}

TEST(GiReference, OneBounceInAClosedBoxMatchesNumericalIntegration) {
    const int W = 128, H = 128;
    const V3 eye = {0, 0, 0.9f};
    const Render direct = render(closedBox, Gi::Off, W, H, eye);
    // The photon map from its bounced photons, and final gather over first hits alone:
    // both are the light of exactly one bounce.
    const Render photonMap = render(closedBox, Gi::PhotonMap, W, H, eye, 1.0f, 400000, 1);
    const Render finalGather = render(closedBox, Gi::FinalGather, W, H, eye, 1.0f, 400000, 0);
    // The path tracer with one diffuse bounce is an estimate of the same integral.
    const Render path = render(closedBox, Gi::Off, W, H, eye, 1.0f, 0, 0, [](TessraRendererCUDA& r) {
        r.ambientLightIntens = 1.0f;
        Tessra_SetPathTracing(&r, 256, 1);
    });
    auto indirect = [&](const Render& gi, int x, int y) { return luminance(gi.at(x, y)) - luminance(direct.at(x, y)); };
    // The photon map pixel by pixel: the mean over a 9 x 9 window against the integral
    // at the same points.
    for (const auto& [cx, cy] : {std::pair{64, 64}, std::pair{92, 44}, std::pair{36, 88}}) {
        double want = 0, got = 0, traced = 0;
        for (int y = cy - 4; y <= cy + 4; ++y)
            for (int x = cx - 4; x <= cx + 4; ++x) {
                want += kAlbedo * oneBounceIrradiance(onPlane(x, y, W, H, eye, -1));
                got += indirect(photonMap, x, y);
                traced += indirect(path, x, y);
            }
        std::printf("one bounce around pixel (%d, %d): integrated %.5f, photon map %.5f (%+.1f%%), path %.5f\n", cx, cy,
                    want / 81, got / 81, 100 * (got / want - 1), traced / 81);
        EXPECT_NEAR(got, want, 0.1 * want) << "photon map at " << cx << "," << cy;
        EXPECT_NEAR(traced, want, 0.03 * want) << "path tracer at " << cx << "," << cy;
    }
    // Final gather interpolates a few records across the wall, which flattens the
    // gradient: its mean over the wall is what must be right, and each record's own
    // irradiance, gathered by its rays, is checked below.
    double want = 0, got = 0;
    for (int y = 4; y < H; y += 8)
        for (int x = 4; x < W; x += 8) {
            want += kAlbedo * oneBounceIrradiance(onPlane(x, y, W, H, eye, -1));
            got += indirect(finalGather, x, y);
        }
    std::printf("one bounce over the wall: integrated %.5f, final gather %.5f (%+.1f%%)\n", want / 256, got / 256,
                100 * (got / want - 1));
    EXPECT_NEAR(got, want, 0.1 * want) << "final gather";

    tt::Stages st(W, H);
    closedBox(*st.r, 1.0f);
    setUpGi(*st.r, Gi::FinalGather, 400000, 0);
    st.r->ambientLightIntens = 1.0f;
    st.upload(eye, {0, 0, -1});
    st.photons();
    const auto fb = st.placeRecords();
    ASSERT_TRUE(st.r->CalculateIrradianceCache());
    const uint32_t n = st.r->fgKdTree->numRecords;
    const std::vector<float4> pos = tt::readFloat4(st.r->fgKdTree->d_positions, n);
    const std::vector<float4> irr = tt::readFloat4(st.r->fgKdTree->d_thirds, n);
    double sumDev = 0, worst = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const double ref = oneBounceIrradiance({pos[i].x, pos[i].y, pos[i].z});
        const double dev = std::fabs(luminance(&irr[i].x) / ref - 1);
        sumDev += dev;
        worst = std::max(worst, dev);
    }
    std::printf("%u records: mean deviation from the integral %.1f%%, largest %.1f%%\n", n, 100 * sumDev / n,
                100 * worst);
    ASSERT_GE(n, 16u);
    EXPECT_LT(sumDev / n, 0.04);
    EXPECT_LT(worst, 0.1);
}

// ---------------------------------------------------------------------------------
// What a bounce carries: the receiver's colour once and the reflector's colour once.

// A floor of the given colour, one red wall standing on it at x = -1 and a point light;
// nothing else, so all the floor's indirect light comes off the wall.
Scene floorAndRedWall(float floorAlbedo) {
    return [floorAlbedo](TessraRendererCUDA& r, float) {
        const int floor = tt::addDiffuse(r, floorAlbedo, floorAlbedo, floorAlbedo);
        const int red = tt::addDiffuse(r, 0.9f, 0.2f, 0.1f);
        tt::addQuad(r, {-1, -1, 1}, {3, -1, 1}, {3, -1, -3}, {-1, -1, -3}, {0, 1, 0}, floor);
        tt::addQuad(r, {-1, -1, 1}, {-1, -1, -3}, {-1, 2, -3}, {-1, 2, 1}, {1, 0, 0}, red);
        r.NuevaLuzOmni(0.2f, 1.0f, -0.8f, 1, 1, 1, 0.8f, 3, 1.0f);
        r.shadowMode = 1;
    };
}

TEST(GiReference, ABounceTakesTheReflectorsColourOnceAndTheReceiversOnce) {
    const int W = 48, H = 48;
    const V3 eye = {1.0f, 0.6f, 2.5f};
    auto indirect = [&](float albedo, int channel) {
        const Render d = render(floorAndRedWall(albedo), Gi::Off, W, H, eye);
        const Render g = render(floorAndRedWall(albedo), Gi::FinalGather, W, H, eye, 1.0f, 20000, 0);
        // Floor and wall alike: the floor's light off the wall, the wall's off the floor.
        double sum = 0;
        for (size_t i = 0; i < g.image.size(); i += 4) sum += g.image[i + channel] - d.image[i + channel];
        return sum;
    };
    const double red = indirect(0.8f, 0), green = indirect(0.8f, 1), blue = indirect(0.8f, 2);
    ASSERT_GT(red, 0);
    // Off the wall the light keeps the wall's colour ratios (0.9 : 0.2 : 0.1); the wall's
    // colour taken twice would give 0.81 : 0.04 : 0.01.
    EXPECT_NEAR(green / red, 0.2 / 0.9, 1e-3);
    EXPECT_NEAR(blue / red, 0.1 / 0.9, 1e-3);
    // The floor's own colour scales its indirect light linearly: half the albedo, half
    // the light (squared it would be a quarter).
    EXPECT_NEAR(indirect(0.4f, 0) / red, 0.5, 1e-3);
}

// ---------------------------------------------------------------------------------
// The suggested settings' extremes and what a render leaves for the next.

double mean(const Render& r) {
    double s = 0;
    for (size_t i = 0; i < r.image.size(); i += 4) s += luminance(&r.image[i]);
    return s / double(r.image.size() / 4);
}

void cornell(TessraRendererCUDA& r, float scale) {
    tt::addCornellBox(r);
    // The box's light without attenuation has no power that scales: an attenuated one.
    r.lights[0].decayType = 3;
    r.lights[0].decayStart = 1.0f;
    for (TriangleRecord& t : r.triangles)
        for (float& v : t.vertices) v *= scale;
    for (float& p : r.lights[0].position) p *= scale;
    r.lights[0].decayStart *= scale;
}

// A flat face lit only indirectly interpolates smoothly between final-gather records:
// no pixel stands out of its 5 x 5 neighbourhood.
TEST(GiReference, IndirectLightOnAFlatFaceHasNoDotsAtTheRecords) {
    const int W = 256, H = 256;
    // A spot straight down under the ceiling lights a disc of the floor; the back wall
    // sees only light off the floor and the other walls.
    auto scene = [](TessraRendererCUDA& r, float) {
        tt::addCornellBox(r, false);
        r.lights.clear();
        r.NuevaLuzFoco(0, 0.9f, 0.2f, 1, 1, 1, 1, 0, 0, 0, 0, -1, 0, 1, 0, 50, 40, 1.0f, 3, true, 1.0f);
    };
    const V3 eye = {0, 0, 1.8f};
    const Render g = render(scene, Gi::FinalGather, W, H, eye, 1.0f, 200000, 2);
    const Render d = render(scene, Gi::Off, W, H, eye);
    // Back-wall pixels, away from its edges.
    std::vector<double> ind(size_t(W) * H, -1);
    double mean = 0;
    int n = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const V3 p = onPlane(x, y, W, H, eye, -1);
            if (std::fabs(p.x) > 0.9f || std::fabs(p.y) > 0.9f) continue;
            ASSERT_EQ(luminance(d.at(x, y)), 0.0) << "the back wall is lit directly at " << x << "," << y;
            ind[size_t(y) * W + x] = luminance(g.at(x, y));
            mean += ind[size_t(y) * W + x];
            ++n;
        }
    ASSERT_GT(n, W * H / 4);
    mean /= n;
    ASSERT_GT(mean, 0.0);
    double worst = 0;
    for (int y = 2; y < H - 2; ++y)
        for (int x = 2; x < W - 2; ++x) {
            std::vector<double> around;
            for (int j = -2; j <= 2; ++j)
                for (int i = -2; i <= 2; ++i) around.push_back(ind[size_t(y + j) * W + x + i]);
            if (*std::min_element(around.begin(), around.end()) < 0) continue;
            std::nth_element(around.begin(), around.begin() + 12, around.end());
            worst = std::max(worst, std::fabs(ind[size_t(y) * W + x] - around[12]) / mean);
        }
    std::printf("largest deviation from the 5 x 5 median: %.2f%% of the face's mean\n", 100 * worst);
    EXPECT_LT(worst, 0.03);
}

// Whatever the light's strength, no pixel becomes a non-number or infinite: with the
// library's default photon energy the photons carry powers near 10^5.
TEST(GiReference, EveryPixelIsFiniteWithTheDefaultPhotonEnergy) {
    for (Gi gi : {Gi::PhotonMap, Gi::FinalGather}) {
        const Render r = render(cornell, gi, 48, 48, tt::kCornellEye, 1.0f, 20000, 2, [](TessraRendererCUDA& t) {
            const TessraRendererCUDA defaults;
            t.photonEnergy = defaults.photonEnergy;
            t.photonSearchDistance = defaults.photonSearchDistance;
            t.ambientLightIntens = defaults.ambientLightIntens;
        });
        size_t bad = 0;
        for (float v : r.image) bad += !std::isfinite(v);
        EXPECT_EQ(bad, 0u) << (gi == Gi::PhotonMap ? "photon map" : "final gather");
        EXPECT_GT(mean(r), 100.0) << "the bright photons arrive";
    }
}

// A render does not depend on what the renderer rendered before: the background that
// final-gather rays see is this render's.
TEST(GiReference, ARenderIsTheSameWhateverWasRenderedBefore) {
    const int W = 40, H = 40;
    auto setUp = [](TessraRendererCUDA& r, float red, float blue) {
        r.SetEnvColor(red, 0.3f, blue);
        r.indirectIllumination = r.usePhotonMapping = r.useFinalGather = true;
        r.numPhotons = 5000;
        r.numBounces = 1;
        r.irradianceSamples = 16;
    };
    auto draw = [](TessraRendererCUDA& r) { return tt::renderCornell(r); };
    std::unique_ptr<TessraRendererCUDA> reused(tt::newRenderer(W, H)), fresh(tt::newRenderer(W, H));
    tt::addCornellBox(*reused);
    tt::addCornellBox(*fresh);
    setUp(*reused, 0.9f, 0.1f);
    const std::vector<float> first = draw(*reused);
    setUp(*reused, 0.1f, 0.9f);
    setUp(*fresh, 0.1f, 0.9f);
    const std::vector<float> again = draw(*reused), alone = draw(*fresh);
    ASSERT_EQ(again.size(), alone.size());
    EXPECT_EQ(std::memcmp(again.data(), alone.data(), again.size() * 4), 0);
    EXPECT_NE(std::memcmp(first.data(), alone.data(), first.size() * 4), 0) << "the background shows";
}

// The final-gather records do not depend on which tiles a render shades: crop windows
// and tiles or bands of rows shared out by a filter give exactly the whole image's
// pixels, antialiasing included.
TEST(GiReference, CropsAndSharedTilesGiveTheWholeImagesPixels) {
    const int W = 300, H = 270;
    auto renderPart = [&](const std::function<void(TessraRendererCUDA&)>& part, tt::RecordingHost& host) {
        std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(W, H));
        // A floor and small tiles turned every way above it, many between the records of
        // the grid.
        const int white = tt::addDiffuse(*r, 0.75f, 0.75f, 0.75f);
        tt::addQuad(*r, {-3, -1, 2}, {3, -1, 2}, {3, -1, -3}, {-3, -1, -3}, {0, 1, 0}, white);
        for (int i = 0; i < 40; ++i) {
            const float phi = 0.7f * i, h = 0.012f;
            const V3 n = tt::unit({0.9f * std::cos(phi), 0.9f * std::sin(phi), 0.45f});
            const V3 u = tt::unit({-n.y, n.x, 0}),
                     v = {n.y * u.z - n.z * u.y, n.z * u.x - n.x * u.z, n.x * u.y - n.y * u.x};
            const V3 c = {-0.9f + 0.045f * i, -0.5f + 0.13f * (i % 7), 0.2f};
            auto at = [&](float a, float b) { return tt::add(c, tt::add(tt::mul(u, a * h), tt::mul(v, b * h))); };
            tt::addQuad(*r, at(-1, -1), at(1, -1), at(1, 1), at(-1, 1), n, white);
        }
        r->NuevaLuzOmni(0.3f, 1.5f, 1.0f, 1, 1, 1, 1, 3, 2.0f);
        r->shadowMode = 1;
        tt::enablePhotonMapping(*r, 3000, true);
        r->irradianceSamples = 8;
        Tessra_SetSupersampling(r.get(), 2, 0.02f);
        part(*r);
        tt::renderQuietly(*r, host, tt::kCornellEye, {0, 0, 0}, {0, 1, 0});
        return Tessra_SupersampledPixelCount(r.get());
    };
    tt::RecordingHost whole(W, H);
    const uint64_t refined = renderPart([](TessraRendererCUDA&) {}, whole);
    ASSERT_GT(refined, 0u);
    const uint32_t crops[][4] = {{0, 0, 300, 270}, {17, 250, 290, 262}, {260, 5, 299, 250}, {100, 260, 101, 270}};
    for (const auto& c : crops) {
        tt::RecordingHost part(W, H);
        renderPart([&](TessraRendererCUDA& r) { Tessra_SetCropWindow(&r, c[0], c[1], c[2], c[3]); }, part);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const bool inside = x >= int(c[0]) && x < int(c[2]) && y >= int(c[1]) && y < int(c[3]);
                if (inside)
                    ASSERT_EQ(std::memcmp(part.pixel(x, y), whole.pixel(x, y), 16), 0) << x << "," << y;
                else
                    ASSERT_EQ(part.pixel(x, y)[0], -1.0f) << "delivered outside the crop at " << x << "," << y;
            }
    }
    // Two renders that share the tiles out between them: each tile once, together the
    // whole image. Bands go in pairs, which the library joins into one run; the second
    // render refuses a pair's second band when first asked, which ends the run there, and
    // takes it when asked again after the run.
    struct Share {
        int parity;
        uint32_t rows;  // a band's rows; 256: whole tiles
        bool hesitate;
        std::set<std::pair<uint32_t, uint32_t>> asked;
        static bool take(void* user, uint32_t x, uint32_t y) {
            Share& s = *static_cast<Share*>(user);
            const uint32_t band = y % 256 / s.rows;
            if (int((x / 256 + y / 256 + band / 2) % 2) != s.parity) return false;
            return !(s.hesitate && band % 2 == 1 && s.asked.insert({x, y}).second);
        }
    };
    // Bands of 24 rows: every tile ends with a shorter one, and every band edge lies
    // inside a tile, where antialiasing compares across it.
    for (uint32_t rows : {256u, 24u}) {
        tt::RecordingHost even(W, H), odd(W, H);
        Share a{0, rows, false, {}}, b{1, rows, true, {}};
        const auto share = [&](Share& s) {
            return [&](TessraRendererCUDA& r) {
                Tessra_SetTileFilter(&r, Share::take, &s);
                if (rows < 256) Tessra_SetBandRows(&r, rows);
            };
        };
        EXPECT_EQ(renderPart(share(a), even) + renderPart(share(b), odd), refined) << rows;
        for (const auto* part : {&even, &odd})
            for (const auto& t : part->tiles) {
                // A run ends at its tile's end and before a band outside the image.
                const uint32_t tileEnd = t.y - t.y % 256 + 256;
                uint32_t end = std::min(t.y + rows, tileEnd);
                if (part == &even && end < tileEnd && end < uint32_t(H)) end = std::min(end + rows, tileEnd);
                EXPECT_EQ(t.h, end - t.y) << rows << ": " << t.x << "," << t.y;
                if (rows < 256) EXPECT_TRUE(int(t.x) < W && int(t.y) < H) << "a band outside the image";
            }
        if (rows == 256) EXPECT_EQ(even.tiles.size() + odd.tiles.size(), whole.tiles.size());
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const float* p = even.pixel(x, y)[0] >= 0 ? even.pixel(x, y) : odd.pixel(x, y);
                ASSERT_EQ(std::memcmp(p, whole.pixel(x, y), 16), 0) << rows << ": " << x << "," << y;
            }
    }
}

}  // namespace

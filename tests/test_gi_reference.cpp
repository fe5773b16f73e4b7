// Indirect light against independent references, with the settings that
// Tessra_SuggestPhotonSettings derives: the one-bounce irradiance of a closed box
// integrated numerically over its walls (which checks the path tracer too), the colours
// a bounce carries, closed forms for the world and emitters, and the path tracer as the
// oracle of the photon map and final gather (indirect light alone: each render minus the
// direct render); the direct image when no photon lands, final gather's harmonic mean
// distance under a parallel ceiling, and the world's image.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>

#include "host/internal.h"
#include "host/kdtree.h"
#include "support/cornell.h"

namespace {

using tt::onPlane;
using tt::V3;

std::vector<float4> readFloat4(const void* p, size_t n) {
    std::vector<float4> v(n);
    if (n) EXPECT_EQ(rt::memcpyDtoH(v.data(), p, n * 16), rt::Success);
    return v;
}

// Runs the stages of a render by hand (scene upload, camera, photons), for the tests that
// look at what one stage leaves on the device.
struct Stages {
    std::unique_ptr<TessraRendererCUDA> r;
    tt::RecordingHost host;
    explicit Stages(int w = 64, int h = 64) : r(tt::newRenderer(w, h)), host(w, h) { r->callbacks = &host; }
    ~Stages() {
        tt::StdoutCapture quiet(true);
        r->CleanUp();
    }
    void upload(V3 eye, V3 target, V3 up = {0, 1, 0}) {
        tt::setCamera(*r, eye, target, up);
        tt::StdoutCapture quiet(true);
        ASSERT_TRUE(r->initScene());
        for (int row = 0; row < 3; ++row)
            for (int c = 0; c < 4; ++c) r->invViewMatrix[row * 4 + c] = r->cameraMatrix[row * 4 + c];
    }
    void photons() {
        tt::StdoutCapture quiet(true);
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

double luminance(const float* p) { return (double(p[0]) + p[1] + p[2]) / 3; }

// Luminance per pixel, row by row.
using Lum = std::vector<double>;
Lum lum(const std::vector<float>& image) {
    Lum l(image.size() / 4);
    for (size_t i = 0; i < l.size(); ++i) l[i] = luminance(&image[4 * i]);
    return l;
}

double meanOf(const Lum& a) { return std::accumulate(a.begin(), a.end(), 0.0) / double(a.size()); }

// A scene builder gets a renderer and the scene's scale.
using Scene = std::function<void(TessraRendererCUDA&, float)>;

enum class Gi { Off, PhotonMap, FinalGather, Path };
const char* name(Gi mode) { return mode == Gi::FinalGather ? "final gather" : "photon map"; }

// Indirect light with the suggested photon settings; for Path, `photons` is the samples
// per pixel and `bounces` the paths' diffuse bounces.
void setUpGi(TessraRendererCUDA& r, Gi gi, uint32_t photons, uint32_t bounces) {
    if (gi == Gi::Path) {
        r.ambientLightIntens = 1.0f;
        EXPECT_EQ(Tessra_SetPathTracing(&r, photons, bounces), 0);
        return;
    }
    r.indirectIllumination = r.usePhotonMapping = true;
    EXPECT_EQ(Tessra_SetBalancedPhotons(&r, true), 0);
    EXPECT_EQ(Tessra_SetWidePhotonEstimate(&r, true), 0);
    EXPECT_EQ(Tessra_SetPhotonRounds(&r, gi == Gi::FinalGather ? 8 : 16), 0);
    r.useFinalGather = gi == Gi::FinalGather, r.numPhotons = photons, r.numBounces = bounces;
    TessraPhotonSettings s;
    EXPECT_EQ(Tessra_SuggestPhotonSettings(&r, &s), 0);
    r.irradianceSamples = s.irradianceSamples, r.FG_record_density = s.FG_record_density;
    r.photonEnergy = s.photonEnergy, r.photonSearchDistance = s.photonSearchDistance;
    r.ambientLightIntens = s.ambientLightIntens;
}

// Renders the scene with the camera looking down -z from eye, with GI unless Off.
std::vector<float> render(const Scene& scene, Gi gi, int w, int h, V3 eye, float scale = 1.0f,
                          uint32_t photons = 200000, uint32_t bounces = 1) {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(w, h));
    scene(*r, scale);
    if (gi != Gi::Off) setUpGi(*r, gi, photons, bounces);
    return tt::renderDownZ(*r, tt::mul(eye, scale)).image;
}

// ---------------------------------------------------------------------------------
// One bounce in a closed box, against numerical integration.

constexpr float kAlbedo = 0.5f;
const V3 kLight = {0.25f, 0.45f, 0.3f};

void closedBox(TessraRendererCUDA& r, float scale) {
    tt::addClosedBox(r, scale, tt::addDiffuse(r, kAlbedo, kAlbedo, kAlbedo));
    r.NuevaLuzOmni(kLight.x * scale, kLight.y * scale, kLight.z * scale, 1, 1, 1, 0.7f, 3, 1.0f * scale);
    r.shadowMode = 1;
}

// Irradiance at x on the back wall z = -1 of the unit box from the light the other five
// walls reflect once: the direct irradiance I cos / d^2 times the albedo, as Lambertian
// radiance (over pi), by the midpoint rule on 120 x 120 cells per wall.
double oneBounceIrradiance(V3 x) {
    const int n = 120;
    const double dA = 4.0 / (n * n), xs[3] = {x.x, x.y, x.z}, light[3] = {kLight.x, kLight.y, kLight.z};
    auto dot = [](const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
    double E = 0;
    for (int wall = 0; wall < 6; ++wall) {
        if (wall == 4) continue;  // the receiving wall z = -1
        const int axis = wall / 2;
        const double side = wall % 2 ? 1 : -1;
        for (int c = 0; c < n * n; ++c) {
            double y[3], nl[3] = {0, 0, 0}, L[3], v[3];
            y[axis] = side, nl[axis] = -side;
            y[(axis + 1) % 3] = -1 + (c % n + 0.5) * 2 / n;
            y[(axis + 2) % 3] = -1 + (c / n + 0.5) * 2 / n;
            for (int k = 0; k < 3; ++k) L[k] = light[k] - y[k], v[k] = y[k] - xs[k];
            const double dl2 = dot(L, L), d2 = dot(v, v);
            const double cosL = dot(L, nl) / std::sqrt(dl2), cosY = -dot(v, nl) / std::sqrt(d2),
                         cosX = v[2] / std::sqrt(d2);  // the back wall faces +z
            if (cosL > 0 && cosX > 0 && cosY > 0) E += kAlbedo * 0.7 * cosL / dl2 / M_PI * cosX * cosY / d2 * dA;
        }
    }
    return E;
}

TEST(GiReference, OneBounceInAClosedBoxMatchesNumericalIntegration) {
    const int W = 128, H = 128;
    const V3 eye = {0, 0, 0.9f};
    const Lum direct = lum(render(closedBox, Gi::Off, W, H, eye));
    // The photon map from its bounced photons and the path tracer with one diffuse bounce:
    // both the light of exactly one bounce. (Final gather's pixels follow the path tracer,
    // below; here each of its records, gathered over first hits alone.)
    const Lum photonMap = lum(render(closedBox, Gi::PhotonMap, W, H, eye, 1.0f, 400000, 1)),
              path = lum(render(closedBox, Gi::Path, W, H, eye, 1.0f, 256, 1));
    // 9 x 9 windows against the integral.
    for (const auto& [cx, cy] : {std::pair{64, 64}, std::pair{92, 44}, std::pair{36, 88}}) {
        double ref = 0, got = 0, traced = 0;
        for (int y = cy - 4; y <= cy + 4; ++y)
            for (int x = cx - 4, i = y * W + x; x <= cx + 4; ++x, ++i)
                ref += kAlbedo * oneBounceIrradiance(onPlane(x, y, W, H, eye, -1)), got += photonMap[i] - direct[i],
                    traced += path[i] - direct[i];
        EXPECT_NEAR(got, ref, 0.1 * ref) << "photon map at " << cx << "," << cy;
        EXPECT_NEAR(traced, ref, 0.03 * ref) << "path tracer at " << cx << "," << cy;
    }

    Stages st(W, H);
    closedBox(*st.r, 1.0f);
    setUpGi(*st.r, Gi::FinalGather, 400000, 0);
    st.r->ambientLightIntens = 1.0f;
    st.upload(eye, {0, 0, -1});
    st.photons();
    const auto fb = st.placeRecords();
    ASSERT_TRUE(st.r->CalculateIrradianceCache());
    const uint32_t n = st.r->fgKdTree->numRecords;
    const std::vector<float4> pos = readFloat4(st.r->fgKdTree->d_positions, n),
                              irr = readFloat4(st.r->fgKdTree->d_thirds, n);
    double sumDev = 0, worst = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const double dev = std::fabs(luminance(&irr[i].x) / oneBounceIrradiance({pos[i].x, pos[i].y, pos[i].z}) - 1);
        sumDev += dev, worst = std::max(worst, dev);
    }
    ASSERT_GE(n, 16u);
    EXPECT_LT(sumDev / n, 0.04);
    EXPECT_LT(worst, 0.1);
}

// ---------------------------------------------------------------------------------
// What a bounce carries: the receiver's colour once and the reflector's colour once.

TEST(GiReference, ABounceTakesTheReflectorsColourOnceAndTheReceiversOnce) {
    // A floor, one red wall standing on it and a point light: all the floor's indirect
    // light comes off the wall, and the wall's off the floor.
    auto indirect = [](float albedo, int channel) {
        const Scene scene = [albedo](TessraRendererCUDA& r, float) {
            const int floor = tt::addDiffuse(r, albedo, albedo, albedo), red = tt::addDiffuse(r, 0.9f, 0.2f, 0.1f);
            tt::addQuad(r, {-1, -1, 1}, {3, -1, 1}, {3, -1, -3}, {-1, -1, -3}, {0, 1, 0}, floor);
            tt::addQuad(r, {-1, -1, 1}, {-1, -1, -3}, {-1, 2, -3}, {-1, 2, 1}, {1, 0, 0}, red);
            r.NuevaLuzOmni(0.2f, 1.0f, -0.8f, 1, 1, 1, 0.8f, 3, 1.0f);
            r.shadowMode = 1;
        };
        const V3 eye = {1.0f, 0.6f, 2.5f};
        const std::vector<float> d = render(scene, Gi::Off, 48, 48, eye),
                                 g = render(scene, Gi::FinalGather, 48, 48, eye, 1, 20000, 0);
        double sum = 0;
        for (size_t i = 0; i < g.size(); i += 4) sum += g[i + channel] - d[i + channel];
        return sum;
    };
    const double red = indirect(0.8f, 0);
    ASSERT_GT(red, 0);
    // The wall's colour ratios 0.9 : 0.2 : 0.1 (taken twice: 0.81 : 0.04 : 0.01), and
    // half the floor's albedo half the light (squared, a quarter).
    EXPECT_NEAR(indirect(0.8f, 1) / red, 0.2 / 0.9, 1e-3);
    EXPECT_NEAR(indirect(0.8f, 2) / red, 0.1 / 0.9, 1e-3);
    EXPECT_NEAR(indirect(0.4f, 0) / red, 0.5, 1e-3);
}

// A flat face lit only indirectly interpolates smoothly between final-gather records:
// no pixel stands out of its 5 x 5 neighbourhood.
TEST(GiReference, IndirectLightOnAFlatFaceHasNoDotsAtTheRecords) {
    const int W = 256, H = 256;
    // A spot straight down lights a disc of the floor; the back wall sees only light off
    // the floor and the other walls.
    auto scene = [](TessraRendererCUDA& r, float) {
        tt::addCornellBox(r, false);
        r.lights.clear();
        r.NuevaLuzFoco(0, 0.9f, 0.2f, 1, 1, 1, 1, 0, 0, 0, 0, -1, 0, 1, 0, 50, 40, 1.0f, 3, true, 1.0f);
    };
    const V3 eye = {0, 0, 1.8f};
    const Lum g = lum(render(scene, Gi::FinalGather, W, H, eye, 1.0f, 200000, 2)),
              d = lum(render(scene, Gi::Off, W, H, eye));
    // Back-wall pixels away from its edges; -1 elsewhere.
    std::vector<double> ind(size_t(W) * H, -1);
    double mean = 0;
    int n = 0;
    for (int i = 0; i < W * H; ++i) {
        const V3 p = onPlane(i % W, i / W, W, H, eye, -1);
        if (std::fabs(p.x) > 0.9f || std::fabs(p.y) > 0.9f) continue;
        ASSERT_EQ(d[size_t(i)], 0.0) << "the back wall is lit directly at pixel " << i;
        mean += ind[size_t(i)] = g[size_t(i)];
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
    EXPECT_LT(worst, 0.03);
}

// ---------------------------------------------------------------------------------
// Against the path tracer.

// A square render's luminance; `bounces` are photon bounces or the paths' bounces.
Lum lumOf(const Scene& scene, Gi gi, int size, V3 eye, float scale, uint32_t bounces, uint32_t samples = 0) {
    return lum(render(scene, gi, size, size, eye, scale, gi == Gi::Path ? samples : 200000, bounces));
}

// How far an estimate lies from the reference: the relative error of the mean, the
// median and 90th percentile of the relative error of block x block means, and the mean
// per-pixel |error| over the reference's mean.
struct Errors {
    double mean, blockMedian, blockP90, perPixel;
};
Errors compare(const Lum& est, const Lum& ref, int block) {
    const int w = int(std::lround(std::sqrt(double(ref.size()))));  // square
    const double m = meanOf(ref);
    Errors e{meanOf(est) / m - 1.0, 0, 0, 0};
    for (size_t i = 0; i < ref.size(); ++i) e.perPixel += std::fabs(est[i] - ref[i]) / double(ref.size()) / m;
    std::vector<double> blocks;
    for (int by = 0; by + block <= w; by += block)
        for (int bx = 0; bx + block <= w; bx += block) {
            double a = 0, b = 0;
            for (int y = by; y < by + block; ++y)
                for (int x = bx; x < bx + block; ++x) a += est[size_t(y) * w + x], b += ref[size_t(y) * w + x];
            // Blocks that hardly receive indirect light say nothing relative.
            if (b > 0.2 * m * block * block) blocks.push_back(std::fabs(a / b - 1.0));
        }
    std::sort(blocks.begin(), blocks.end());
    if (!blocks.empty()) e.blockMedian = blocks[blocks.size() / 2], e.blockP90 = blocks[blocks.size() * 9 / 10];
    return e;
}

const V3 kEye = {0, 0, 3.4f};

// Indirect light of a mode and of the path tracer (with one diffuse bounce more for
// final gather, whose rays read the photons' first hits), each minus the direct light.
struct Pair {
    Lum est, ref, direct;
};
Pair indirect(const Scene& scene, Gi mode, int size, V3 eye, uint32_t samples) {
    const Lum direct = lumOf(scene, Gi::Off, size, eye, 1, 0);
    auto minusDirect = [&](Lum l) {
        for (size_t i = 0; i < l.size(); ++i) l[i] -= direct[i];
        return l;
    };
    const uint32_t extra = mode == Gi::FinalGather ? 1 : 0;
    return {minusDirect(lumOf(scene, mode, size, eye, 1, 2)),
            minusDirect(lumOf(scene, Gi::Path, size, eye, 1, 2 + extra, samples)), direct};
}

// Final gather and the photon map on a box against the path tracer's indirect light: at
// 48 x 48 the mean within 6 %, the median 8 x 8 block within 10 %; at 64 x 64 the mean
// within 5 %, the median block within 6 %, and bounds on the 90th percentile block and
// the per-pixel error.
void expectBothMatchThePathTracer(const Scene& box, int size = 48) {
    for (Gi mode : {Gi::FinalGather, Gi::PhotonMap}) {
        const Pair p = indirect(box, mode, size, kEye, 1024);
        const Errors e = compare(p.est, p.ref, 8);
        const bool fg = mode == Gi::FinalGather, fine = size == 64;
        EXPECT_GT(meanOf(p.ref), 0.02) << name(mode);
        EXPECT_LT(std::fabs(e.mean), fine ? 0.05 : 0.06) << name(mode);
        EXPECT_LT(e.blockMedian, fine ? 0.06 : 0.1) << name(mode);
        if (!fine) continue;
        EXPECT_LT(e.blockP90, fg ? 0.15 : 0.2) << name(mode);
        EXPECT_LT(e.perPixel, 0.15) << name(mode);
    }
}

TEST(GiReference, FinalGatherAndThePhotonMapMatchThePathTracer) { expectBothMatchThePathTracer(tt::addScaledCornellBox, 64); }

// Single-sided walls: a room [-1, 1]^3 lit only by a sun through a window in its wall
// x = +1 gets the reference's indirect light, and closed it gets none, however the sun
// lights its outside (where most photons land). The camera sees the joint of the floor and the window wall, which
// lies on the scene's bounds.
TEST(GiReference, NoLightPassesThroughSingleSidedWalls) {
    for (bool closed : {false, true}) {
        const Scene room = [closed](TessraRendererCUDA& r, float) {
            const int wall = tt::addDiffuse(r, 0.7f, 0.7f, 0.7f);
            tt::addClosedBox(r, 1, wall);
            r.triangles.resize(r.triangles.size() - 2);  // the wall x = +1, rebuilt around the opening
            const float y0 = -0.2f, y1 = 0.4f, z0 = -0.5f, z1 = 0.3f;
            auto quad = [&](float ya, float yb, float za, float zb) {
                tt::addQuad(r, {1, ya, za}, {1, yb, za}, {1, yb, zb}, {1, ya, zb}, {-1, 0, 0}, wall);
            };
            quad(-1, y0, -1, 1), quad(y1, 1, -1, 1), quad(y0, y1, -1, z0), quad(y0, y1, z1, 1);
            if (closed) quad(y0, y1, z0, z1);
            const V3 d = tt::unit({-1, -0.6f, 0}), v = tt::unit({-0.6f, 1, 0});
            r.NuevaLuzDir(3, 1.3f, -0.1f, 1, 1, 1, 0, 0, 1, v.x, v.y, v.z, -d.x, -d.y, -d.z, 3, 2.9f, 2.0f, 3, true, 1);
            r.shadowMode = 1;
        };
        for (Gi mode : {Gi::FinalGather, Gi::PhotonMap}) {
            SCOPED_TRACE(std::string(closed ? "closed, " : "open, ") + name(mode));
            const Pair p = indirect(room, mode, 48, {0.3f, -0.5f, 0.95f}, 512);
            if (closed) {
                EXPECT_EQ(meanOf(p.direct), 0.0);
                EXPECT_EQ(meanOf(p.est), 0.0);
                // Paths reach floor points closer to the wall than the ray offset, where the
                // sun's shadow ray crosses the wall inside the part it leaves out: a band of
                // a hundred-thousandth of the room.
                EXPECT_LT(meanOf(p.ref), 1e-4);
            } else {
                EXPECT_GT(meanOf(p.ref), 0.01);
                // The few photons the window lets in take more rounds, or the photon map
                // is blotches (a median block 12 % off, a pixel 36 %).
                const Errors e = compare(p.est, p.ref, 8);
                EXPECT_LT(std::fabs(e.mean), 0.05);
                EXPECT_LT(e.blockMedian, 0.08);
                EXPECT_LT(e.perPixel, 0.2);
            }
        }
    }
}

// The world as the only light. A box open to it shows its colour on the diffuse colour
// wherever the camera sees it (a convex object sees nothing of itself, whichever way its
// normals face), and the world's colour around it, except where alpha is coverage;
// without the world switched on a scene without lights is refused. The open Cornell box
// under the world gets the path tracer's indirect light: counting the world both in the
// direct pass and in the gather rays that escape would double it near the opening.
TEST(GiReference, TheWorldLightsTheSceneOnce) {
    const float world[3] = {0.8f, 0.9f, 1.0f}, kd[3] = {0.5f, 0.25f, 1.0f};
    const auto cube = [&](bool on, bool coverage) {
        std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(32, 32));
        tt::addClosedBox(*r, 0.5f, tt::addDiffuse(*r, kd[0], kd[1], kd[2]));
        r->shadowMode = 1, r->SetEnvColor(world[0], world[1], world[2]);
        EXPECT_EQ(Tessra_SetWorldLight(r.get(), on), 0);
        EXPECT_EQ(Tessra_SetAlphaCoverage(r.get(), coverage), 0);
        return tt::renderDownZ(*r, {0.4f, 0.7f, 2.5f}).image;
    };
    const std::vector<float> seen = cube(true, false), covered = cube(true, true);
    int surface = 0;
    for (size_t i = 0; i < seen.size(); i += 4) {
        const float alpha = covered[i + 3];
        ASSERT_TRUE(alpha == 0.0f || alpha == 1.0f) << "pixel " << i / 4;
        surface += alpha == 1.0f;
        for (int c = 0; c < 3; ++c) {
            const float expected = alpha == 1.0f ? kd[c] * world[c] : world[c];
            ASSERT_NEAR(seen[i + c], expected, 2e-5f) << "pixel " << i / 4;
            ASSERT_NEAR(covered[i + c], alpha * expected, 2e-5f) << "pixel " << i / 4;
        }
    }
    EXPECT_GT(surface, 200);
    EXPECT_LT(surface, 32 * 32 - 100);
    const std::vector<float> off = cube(false, false);
    EXPECT_TRUE(std::all_of(off.begin(), off.end(), [](float v) { return v == -1.0f; })) << "drawn without a light";

    expectBothMatchThePathTracer([&](TessraRendererCUDA& r, float s) {
        tt::addScaledCornellBox(r, s);
        r.lights.clear();
        r.SetEnvColor(world[0], world[1], world[2]);
        Tessra_SetWorldLight(&r, true);
    });
}

// Two kinds of light at once: a Lambertian rectangle under the ceiling and a beam through
// the opening. With one energy factor for all, one kind's photons outshone the other's.
TEST(GiReference, EachLightsPhotonsCarryItsOwnPower) {
    expectBothMatchThePathTracer([](TessraRendererCUDA& r, float s) {
        tt::addScaledCornellBox(r, s);
        r.lights.clear();
        r.NuevaLuzRect(0.4f * s, 0.9f * s, -0.3f * s, 1.0f, 0.9f, 0.7f, 1, 0, 0, 0, 0, 1, 0, -1, 0, 1.0f, 0.3f * s,
                       0.3f * s, 3);
        EXPECT_EQ(Tessra_SetLightEmitterCosine(&r, 0, true), 0);
        r.NuevaLuzDir(0, 0, 4 * s, 0.8f, 0.9f, 1.0f, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1.2f * s, 1.0f * s, 2.0f, 0, true, 1.0f);
    });
}

// The form factor of the rectangle [0, X] x [0, Y] in a parallel plane h above a point
// under its corner; with the signs of X and Y, four of them sum to any rectangle.
double cornerFactor(double X, double Y, double h) {
    const double a = std::fabs(X) / h, b = std::fabs(Y) / h, sa = std::sqrt(1 + a * a), sb = std::sqrt(1 + b * b);
    const double f = (a / sa * std::atan(b / sa) + b / sb * std::atan(a / sb)) / (2 * M_PI);
    return (X < 0) != (Y < 0) ? -f : f;
}

// An emitting rectangle over a floor, and nothing else: the floor shows its diffuse colour
// times the radiance times the rectangle's form factor, the rectangle its own radiance.
// The Cornell box lit by an emitting panel alone gets the path tracer's indirect light:
// emission counted again by the gather rays that hit the panel would show there.
TEST(GiReference, EmittingSurfacesLightTheSceneOnce) {
    const float e[3] = {2.0f, 1.5f, 1.0f}, kd = 0.5f, h = 0.5f, x0 = 0.2f, x1 = 1.0f, y0 = -0.4f, y1 = 0.4f;
    const V3 eye = {0, 0, 3};
    const int size = 48;
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(size, size));
    tt::addQuad(*r, {-10, -10, 0}, {10, -10, 0}, {10, 10, 0}, {-10, 10, 0}, {0, 0, 1}, tt::addDiffuse(*r, kd, kd, kd));
    const int panel = tt::addDiffuse(*r, 0, 0, 0);
    tt::addQuad(*r, {x0, y0, h}, {x1, y0, h}, {x1, y1, h}, {x0, y1, h}, {0, 0, -1}, panel);
    EXPECT_EQ(Tessra_SetMaterialEmission(r.get(), uint32_t(panel), e[0], e[1], e[2]), 0);
    EXPECT_EQ(Tessra_SetMaterialEmission(r.get(), 7, 1, 1, 1), -1);
    EXPECT_EQ(Tessra_SetMaterialEmission(r.get(), 0, -1, 1, 1), -1);
    r->shadowMode = 1;
    const std::vector<float> im = tt::renderDownZ(*r, eye).image;
    double worst = 0, sum = 0;
    int floor = 0, seen = 0;
    for (int i = 0; i < size * size; ++i) {
        const float* px = &im[4 * size_t(i)];
        const V3 p = onPlane(i % size, i / size, size, size, eye, 0), q = onPlane(i % size, i / size, size, size, eye, h);
        if (q.x > x0 && q.x < x1 && q.y > y0 && q.y < y1) {
            for (int c = 0; c < 3; ++c) ASSERT_FLOAT_EQ(px[c], e[c]) << "pixel " << i;
            ++seen;
            continue;
        }
        if (std::fabs(q.x - x0) < 0.05f || std::fabs(q.x - x1) < 0.05f) continue;  // the panel's edge
        const double F = cornerFactor(x1 - p.x, y1 - p.y, h) - cornerFactor(x0 - p.x, y1 - p.y, h) -
                         cornerFactor(x1 - p.x, y0 - p.y, h) + cornerFactor(x0 - p.x, y0 - p.y, h);
        for (int c = 0; c < 3; ++c) {
            const double rel = std::fabs(px[c] / (kd * e[c] * F) - 1);
            worst = std::max(worst, rel), sum += rel;
        }
        ++floor;
    }
    EXPECT_GT(seen, 20);
    EXPECT_GT(floor, 1000);
    EXPECT_LT(sum / (3 * floor), 0.015);
    EXPECT_LT(worst, 0.05);

    expectBothMatchThePathTracer([&](TessraRendererCUDA& rr, float s) {
        tt::addScaledCornellBox(rr, s);
        rr.lights.clear();
        const int m = tt::addDiffuse(rr, 0, 0, 0);
        tt::addQuad(rr, {-0.3f, 0.6f, -0.3f}, {0.3f, 0.6f, -0.3f}, {0.3f, 0.6f, 0.3f}, {-0.3f, 0.6f, 0.3f},
                    {0, -1, 0}, m);
        Tessra_SetMaterialEmission(&rr, uint32_t(m), 3, 3, 3);
    });
}

// Caustics: a point light beside an upright mirror lights the floor also through it,
// as its image behind the mirror would (the mirror's caustics on). Final gather with photons' first hits alone: its
// rays see nothing behind the mirror, so what the render adds to the direct image is the
// light the mirror sends, against the direct image of the mirrored light with no mirror.
TEST(GiReference, AMirrorLightsTheFloorAsTheLightsImageWould) {
    const int size = 48;
    const V3 eye = {0, 0, 3}, light = {0.4f, 0, 0.4f};
    const auto room = [&](bool mirror, float lightX) {
        return [=](TessraRendererCUDA& r, float) {
            tt::addQuad(r, {-1.5f, -1.5f, 0}, {1, -1.5f, 0}, {1, 1.5f, 0}, {-1.5f, 1.5f, 0}, {0, 0, 1},
                        tt::addDiffuse(r, 0.6f, 0.6f, 0.6f));
            if (mirror) {
                material_t m;
                m.reflective = true;
                m.reflColor[0] = m.reflColor[1] = m.reflColor[2] = 255;
                tt::addQuad(r, {1, -3, 0}, {1, 3, 0}, {1, 3, 2}, {1, -3, 2}, {-1, 0, 0}, r.NuevoMaterial(m));
                EXPECT_EQ(Tessra_SetCaustics(&r, true, false), 0);
            }
            r.NuevaLuzOmni(lightX, light.y, light.z, 1, 1, 1, 0.7f, 3, 1.0f);
            r.shadowMode = 1;
        };
    };
    const Lum direct = lumOf(room(true, light.x), Gi::Off, size, eye, 1, 0);
    Lum caustic = lumOf(room(true, light.x), Gi::FinalGather, size, eye, 1, 0);
    Lum image = lumOf(room(false, 2 - light.x), Gi::Off, size, eye, 1, 0);
    // The floor away from the mirror and the edges; 6 x 6 blocks.
    for (size_t i = 0; i < caustic.size(); ++i) {
        const int x = int(i) % size, y = int(i) / size;
        const bool floor = y >= 6 && y < size - 6 && x >= 6 && onPlane(float(x), float(y), size, size, eye).x < 0.85f;
        caustic[i] = floor ? caustic[i] - direct[i] : 0, image[i] = floor ? image[i] : 0;
    }
    const Errors e = compare(caustic, image, 6);
    EXPECT_LT(std::fabs(e.mean), 0.03);
    EXPECT_LT(e.blockP90, 0.06);
}

// Glossy reflections share the lights' samples and the nested cones among a pixel's
// glossy rays: the Cornell box with every white surface glossy, under a large area light,
// against the path tracer's mirror paths (no diffuse bounce). Samples lost, counted twice
// or not spread over the light and the cones by the sharing show on the glossy surfaces.
TEST(GiReference, GlossyReflectionsMatchThePathTracer) {
    const Scene box = [](TessraRendererCUDA& r, float s) {
        tt::addScaledCornellBox(r, s);
        r.lights.clear();
        r.NuevaLuzRect(0, 0.95f, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, -1, 0, 1.4f, 1.4f, 0.5f, 2);
        material_t& white = r.materials[0];
        white.reflective = true, white.reflGloss = 0.4f;
        white.reflColor[0] = white.reflColor[1] = white.reflColor[2] = 150;
    };
    const Errors e = compare(lumOf(box, Gi::Off, 48, kEye, 1, 0), lumOf(box, Gi::Path, 48, kEye, 1, 0, 512), 8);
    EXPECT_LT(std::fabs(e.mean), 0.02);
    EXPECT_LT(e.blockMedian, 0.03);
    EXPECT_LT(e.blockP90, 0.08);
}

// The same box in millimetres and in kilometres: offsets and cache scales follow the
// scene, so the image is the same.
TEST(GiReference, TheIndirectLightDoesNotDependOnTheUnits) {
    for (Gi mode : {Gi::FinalGather, Gi::PhotonMap}) {
        const Lum one = lumOf(tt::addScaledCornellBox, mode, 48, kEye, 1, 2);
        for (float scale : {0.001f, 1000.0f}) {
            const Errors e = compare(lumOf(tt::addScaledCornellBox, mode, 48, kEye, scale, 2), one, 8);
            EXPECT_LT(std::fabs(e.mean), 0.01) << name(mode) << " at scale " << scale;
            EXPECT_LT(e.blockP90, 0.03) << name(mode) << " at scale " << scale;
        }
    }
}

// ---------------------------------------------------------------------------------
// Global illumination by stages against closed forms.

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
    Stages s;
    tt::enablePhotonMapping(*s.r, 100, true);
    s.r->numBounces = 0, s.r->FG_record_density = 10.0f;
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
    const std::vector<float4> pos = readFloat4(s.r->fgKdTree->d_positions, n);
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_NEAR(pos[i].z, 0.0f, 1e-5f);
        ASSERT_NEAR(R[i], want, want * 5e-4) << i;
    }
}

// ---------------------------------------------------------------------------------
// The world's image: the directions the camera sees it along, and the light a patch of it
// sends against the closed form.

// An image of w x h texels of one colour, or of colour(column, row).
template <typename F>
std::vector<float> texels(int w, int h, F colour) {
    std::vector<float> rgb;
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            const V3 c = colour(i, j);
            rgb.insert(rgb.end(), {c.x, c.y, c.z});
        }
    return rgb;
}

// A renderer lit by the world: the image rgb (w x h) times colour, or colour alone.
std::unique_ptr<TessraRendererCUDA> worldLit(int size, const std::vector<float>* rgb, int w, int h, V3 colour,
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
    const std::vector<float> rgb = texels(4, 2, texel);
    const float quarterTurn[9] = {0, 0, -1, 0, 1, 0, 1, 0, 0};
    for (const float* turn : {static_cast<const float*>(nullptr), quarterTurn}) {
        const auto r = worldLit(size, &rgb, 4, 2, {0.5f, 1.0f, 2.0f}, turn);
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
        const std::vector<float> rgb = texels(w, h, [&](int, int j) { return j < h / 4 ? sky : V3{0, 0, 0}; });
        const auto r = worldLit(size, &rgb, w, h, {1, 1, 1});
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

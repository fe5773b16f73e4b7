// The path tracer as an oracle: checked itself against closed forms, then the photon
// map and the irradiance cache against it on small scenes, indirect light alone (each
// render minus the direct-light render of the same scene).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "support/cornell.h"
#include "support/test_support.h"

namespace {

using tt::V3;

using Scene = std::function<void(TessraRendererCUDA&, float)>;
enum class Mode { Direct, PhotonMap, FinalGather, Path };

struct Image {
    int w = 0, h = 0;
    std::vector<double> lum;  // per pixel, mean of r, g, b
};

// The mode's render of the scene from eye looking down -z, with the settings the library
// derives; GI renders use `bounces` photon bounces, path tracing `bounces` diffuse bounces.
Image render(const Scene& scene, Mode mode, int size, V3 eye, float scale, uint32_t bounces, uint32_t samples = 0,
             uint32_t photons = 200000) {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(size, size));
    scene(*r, scale);
    if (mode == Mode::PhotonMap || mode == Mode::FinalGather) {
        r->indirectIllumination = r->usePhotonMapping = true;
        r->useFinalGather = mode == Mode::FinalGather;
        r->numPhotons = photons;
        r->numBounces = bounces;
        TessraPhotonSettings s;
        EXPECT_EQ(Tessra_SuggestPhotonSettings(r.get(), &s), 0);
        r->irradianceSamples = s.irradianceSamples;
        r->FG_record_density = s.FG_record_density;
        r->photonEnergy = s.photonEnergy;
        r->photonSearchDistance = s.photonSearchDistance;
        r->ambientLightIntens = s.ambientLightIntens;
    }
    if (mode == Mode::Path) {
        r->ambientLightIntens = 1.0f;
        EXPECT_EQ(Tessra_SetPathTracing(r.get(), samples, bounces), 0);
    }
    const std::vector<float> rgba = tt::renderDownZ(*r, tt::mul(eye, scale)).image;
    Image im{size, size, std::vector<double>(size_t(size) * size)};
    for (size_t i = 0; i < im.lum.size(); ++i) im.lum[i] = (rgba[4 * i] + rgba[4 * i + 1] + rgba[4 * i + 2]) / 3.0;
    return im;
}

Image minus(const Image& a, const Image& b) {
    Image d = a;
    for (size_t i = 0; i < d.lum.size(); ++i) d.lum[i] -= b.lum[i];
    return d;
}

double mean(const Image& a) {
    double s = 0;
    for (double v : a.lum) s += v;
    return s / double(a.lum.size());
}

// How far an estimate of the indirect light lies from the reference: the relative error
// of the mean, the median and 90th percentile of the relative error of block x block
// means, and the mean per-pixel |error| over the reference's mean.
struct Errors {
    double mean, blockMedian, blockP90, perPixel;
};
Errors compare(const Image& est, const Image& ref, int block) {
    const double m = mean(ref);
    Errors e{mean(est) / m - 1.0, 0, 0, 0};
    double abs = 0;
    for (size_t i = 0; i < ref.lum.size(); ++i) abs += std::fabs(est.lum[i] - ref.lum[i]);
    e.perPixel = abs / double(ref.lum.size()) / m;
    std::vector<double> blocks;
    for (int by = 0; by + block <= ref.h; by += block)
        for (int bx = 0; bx + block <= ref.w; bx += block) {
            double a = 0, b = 0;
            for (int y = by; y < by + block; ++y)
                for (int x = bx; x < bx + block; ++x) a += est.lum[size_t(y) * ref.w + x], b += ref.lum[size_t(y) * ref.w + x];
            // Blocks that hardly receive indirect light say nothing relative.
            if (b > 0.2 * m * block * block) blocks.push_back(std::fabs(a / b - 1.0));
        }
    std::sort(blocks.begin(), blocks.end());
    if (!blocks.empty()) {
        e.blockMedian = blocks[blocks.size() / 2];
        e.blockP90 = blocks[blocks.size() * 9 / 10];
    }
    return e;
}

void print(const char* what, const Errors& e) {
    std::printf("%-28s mean %+6.1f %%  block median %5.1f %%  p90 %5.1f %%  per pixel %5.1f %%\n", what,
                100 * e.mean, 100 * e.blockMedian, 100 * e.blockP90, 100 * e.perPixel);
}

void cornell(TessraRendererCUDA& r, float scale) {
    tt::addCornellBox(r);
    for (TriangleRecord& t : r.triangles)
        for (float& v : t.vertices) v *= scale;
    LightRecord& l = r.lights[0];
    for (float& p : l.position) p *= scale;
    l.decayType = 3;
    l.decayStart = scale;
}

// A closed room [-1, 1]^3 of single-sided walls facing in, with a window in the wall at
// x = +1 (y in [-0.2, 0.4], z in [-0.5, 0.3]) unless closed, and a sun outside shining
// in through it, down onto the floor.
void windowRoom(TessraRendererCUDA& r, float s, bool closed) {
    const int wall = tt::addDiffuse(r, 0.7f, 0.7f, 0.7f);
    const auto quad = [&](V3 a, V3 b, V3 c, V3 d, V3 n) {
        tt::addQuad(r, tt::mul(a, s), tt::mul(b, s), tt::mul(c, s), tt::mul(d, s), n, wall);
    };
    quad({-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1}, {0, 0, 1});
    quad({-1, -1, 1}, {1, -1, 1}, {1, 1, 1}, {-1, 1, 1}, {0, 0, -1});
    quad({-1, -1, -1}, {1, -1, -1}, {1, -1, 1}, {-1, -1, 1}, {0, 1, 0});
    quad({-1, 1, -1}, {1, 1, -1}, {1, 1, 1}, {-1, 1, 1}, {0, -1, 0});
    quad({-1, -1, -1}, {-1, 1, -1}, {-1, 1, 1}, {-1, -1, 1}, {1, 0, 0});
    // The window wall in four pieces around the opening.
    const V3 n = {-1, 0, 0};
    const float y0 = -0.2f, y1 = 0.4f, z0 = -0.5f, z1 = 0.3f;
    quad({1, -1, -1}, {1, y0, -1}, {1, y0, 1}, {1, -1, 1}, n);
    quad({1, y1, -1}, {1, 1, -1}, {1, 1, 1}, {1, y1, 1}, n);
    quad({1, y0, -1}, {1, y1, -1}, {1, y1, z0}, {1, y0, z0}, n);
    quad({1, y0, z1}, {1, y1, z1}, {1, y1, 1}, {1, y0, 1}, n);
    if (closed) quad({1, y0, z0}, {1, y1, z0}, {1, y1, z1}, {1, y0, z1}, n);
    // Sun along (-1, -0.6, 0) from outside: a directional cylinder wide enough for the room.
    const V3 d = tt::unit({-1, -0.6f, 0}), u = {0, 0, 1}, v = tt::unit({-0.6f, 1, 0});
    r.NuevaLuzDir(3 * s, 1.3f * s, -0.1f * s, 1, 1, 1, u.x, u.y, u.z, v.x, v.y, v.z, -d.x, -d.y, -d.z, 3 * s, 2.9f * s,
                  2.0f, 3, true, s);
    r.shadowMode = 1;
}

const V3 kEye = {0, 0, 3.4f};

// Indirect light of a mode and of the path tracer (with one diffuse bounce more for
// final gather, whose rays read the photons' first hits), each minus the direct light.
struct Pair {
    Image est, ref, direct;
};
Pair indirect(const Scene& scene, Mode mode, int size, V3 eye, float scale, uint32_t samples) {
    const Image direct = render(scene, Mode::Direct, size, eye, scale, 0);
    const uint32_t extra = mode == Mode::FinalGather ? 1 : 0;
    return {minus(render(scene, mode, size, eye, scale, 2), direct),
            minus(render(scene, Mode::Path, size, eye, scale, 2 + extra, samples), direct), direct};
}

TEST(PathReference, FinalGatherAndThePhotonMapMatchThePathTracer) {
    for (Mode mode : {Mode::FinalGather, Mode::PhotonMap}) {
        const Pair p = indirect(cornell, mode, 64, kEye, 1, 1024);
        const Errors e = compare(p.est, p.ref, 8);
        print(mode == Mode::FinalGather ? "final gather" : "photon map", e);
        EXPECT_LT(std::fabs(e.mean), 0.05);
        EXPECT_LT(e.blockMedian, 0.06);
        EXPECT_LT(e.blockP90, mode == Mode::FinalGather ? 0.15 : 0.2);
        EXPECT_LT(e.perPixel, mode == Mode::FinalGather ? 0.15 : 0.25);
    }
}

// Single-sided walls: a room lit only through its window gets the reference's indirect
// light, and closed it gets none, however the sun lights its outside. The camera sees
// the joint of the floor and the window wall, which lies on the scene's bounds.
TEST(PathReference, NoLightPassesThroughSingleSidedWalls) {
    const V3 eye = {0.3f, -0.5f, 0.95f};
    for (bool closed : {false, true}) {
        const Scene room = [closed](TessraRendererCUDA& r, float s) { windowRoom(r, s, closed); };
        for (Mode mode : {Mode::FinalGather, Mode::PhotonMap}) {
            const Pair p = indirect(room, mode, 48, eye, 1, 512);
            std::printf("room %s, %s: %.5f against %.5f\n", closed ? "closed" : "open",
                        mode == Mode::FinalGather ? "final gather" : "photon map", mean(p.est), mean(p.ref));
            if (closed) {
                EXPECT_EQ(mean(p.direct), 0.0);
                EXPECT_EQ(mean(p.est), 0.0);
                // Paths reach floor points closer to the wall than the ray offset, where the
                // sun's shadow ray crosses the wall inside the part it leaves out: a band of
                // a hundred-thousandth of the room.
                EXPECT_LT(mean(p.ref), 1e-4);
            } else {
                EXPECT_GT(mean(p.ref), 0.01);
                EXPECT_NEAR(mean(p.est), mean(p.ref), 0.08 * mean(p.ref));
            }
        }
    }
}

// The same box in millimetres and in kilometres: offsets and cache scales follow the
// scene, so the image is the same.
TEST(PathReference, TheIndirectLightDoesNotDependOnTheUnits) {
    for (Mode mode : {Mode::FinalGather, Mode::PhotonMap}) {
        const Image one = render(cornell, mode, 48, kEye, 1, 2);
        for (float scale : {0.001f, 1000.0f}) {
            const Errors e = compare(render(cornell, mode, 48, kEye, scale, 2), one, 8);
            print(scale < 1 ? "at 1 mm" : "at 1 km", e);
            EXPECT_LT(std::fabs(e.mean), 0.01);
            EXPECT_LT(e.blockP90, 0.03);
        }
    }
}

}  // namespace

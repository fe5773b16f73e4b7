// Mirror, glossy and glass passes: what a reflected or refracted ray sees, the level
// limit, the subdivision schedule, the refresh pacing, and total internal reflection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "device/volumeRender_kernel.h"
#include "host/internal.h"
#include "support/test_support.h"

namespace {

using tt::add;
using tt::dotv;
using tt::mul;
using tt::sub;
using tt::unit;
using tt::V3;

constexpr int kSize = 48;
constexpr float kFov = 0.9f;
const V3 kEye = {0, 0, 2.5f};

V3 viewDir(int x, int y) {
    const float u = 2.0f * x / kSize - 1.0f, v = 2.0f * y / kSize - 1.0f;
    return unit({u, -v, -1.0f / std::tan(kFov * 0.5f)});
}

material_t mirror(uint8_t kc, float gloss = 1.0f) {
    material_t m;
    m.diffuse[0] = m.diffuse[1] = m.diffuse[2] = 0.5f;
    m.reflective = true;
    m.reflColor[0] = m.reflColor[1] = m.reflColor[2] = kc;
    m.reflGloss = gloss;
    return m;
}

// A floor at z = 0 with the given material, optionally a diffuse ceiling at z = 3 facing
// down whose left half (x < 0) is bright and right half dark, and one point light.
struct Scene {
    TessraRendererCUDA* r = tt::newRenderer(kSize, kSize);
    Scene(const material_t& floor, bool ceiling, const material_t* ceilingMaterial = nullptr) {
        r->fieldOfView = kFov;
        const int f = r->NuevoMaterial(floor);
        tt::addQuad(*r, {-6, -6, 0}, {6, -6, 0}, {6, 6, 0}, {-6, 6, 0}, {0, 0, 1}, f);
        if (ceiling) {
            const int bright = ceilingMaterial ? r->NuevoMaterial(*ceilingMaterial) : tt::addDiffuse(*r, 0.9f, 0.8f, 0.7f);
            const int dark = ceilingMaterial ? bright : tt::addDiffuse(*r, 0.05f, 0.05f, 0.05f);
            tt::addQuad(*r, {-6, -6, 3}, {0, -6, 3}, {0, 6, 3}, {-6, 6, 3}, {0, 0, -1}, bright);
            tt::addQuad(*r, {0, -6, 3}, {6, -6, 3}, {6, 6, 3}, {0, 6, 3}, {0, 0, -1}, dark);
        }
        r->NuevaLuzOmni(0.3f, 0.2f, 1.5f, 1, 1, 1, 1.0f, 0, 1.0f);
    }
    ~Scene() { delete r; }
    tt::RecordingHost render() {
        tt::RecordingHost host(kSize, kSize);
        tt::renderQuietly(*r, host, kEye, {kEye.x, kEye.y, kEye.z - 1}, {0, 1, 0});
        return host;
    }
};

TEST(Mirror, ShowsTheDirectColourOfWhatTheReflectedRayHits) {
    Scene s(mirror(255), true);
    const tt::RecordingHost host = s.render();
    const V3 light = {0.3f, 0.2f, 1.5f};
    int checked = 0;
    for (int y = 2; y < kSize; y += 5) {
        for (int x = 2; x < kSize; x += 5) {
            const V3 d = viewDir(x, y);
            const V3 P = add(kEye, mul(d, kEye.z / -d.z));
            const V3 R = {d.x, d.y, -d.z};
            const V3 H = add(P, mul(R, 3.0f / R.z));
            if (std::fabs(H.x) < 0.05f) continue;  // too close to the seam
            const V3 kd = H.x < 0 ? V3{0.9f, 0.8f, 0.7f} : V3{0.05f, 0.05f, 0.05f};
            const float e = std::max(0.0f, -unit(sub(light, H)).z);  // ceiling normal is -z
            const float* px = host.pixel(x, y);
            EXPECT_NEAR(px[0], e * kd.x, 3e-4f) << x << "," << y;
            EXPECT_NEAR(px[1], e * kd.y, 3e-4f);
            EXPECT_NEAR(px[2], e * kd.z, 3e-4f);
            EXPECT_EQ(px[3], 1.0f);
            ++checked;
        }
    }
    EXPECT_GT(checked, 50);
}

TEST(Mirror, BlendWeightsDarkenOrKeepTheColour) {
    material_t plain;
    plain.diffuse[0] = plain.diffuse[1] = plain.diffuse[2] = 0.5f;
    Scene reference(plain, false);
    Scene black(mirror(0), false);
    Scene half(mirror(128), false);
    const tt::RecordingHost a = reference.render();
    const tt::RecordingHost b = black.render();
    const tt::RecordingHost c = half.render();
    for (int i = 0; i < kSize * kSize; i += 7) {
        const float* ref = &a.image[4 * i];
        for (int k = 0; k < 3; ++k) {
            EXPECT_FLOAT_EQ(b.image[4 * i + k], ref[k]);
            // The reflected ray escapes: the blend adds black with weight kc.
            EXPECT_NEAR(c.image[4 * i + k], ref[k] * (1.0f - 128.0f / 255.0f), 1e-6f);
        }
        EXPECT_EQ(ref[3], 0.0f);
        EXPECT_EQ(b.image[4 * i + 3], 1.0f);
    }
}

TEST(Mirror, FacingMirrorsStopAfterFourLevels) {
    const material_t m = mirror(255);
    Scene s(m, true, &m);
    const uint64_t before = rt::launchCount(rt::KernelId::calc_refl_ss);
    const tt::RecordingHost host = s.render();
    // One tile, one sharp window per level, levels 1 to 4.
    EXPECT_EQ(rt::launchCount(rt::KernelId::calc_refl_ss) - before, 4u);
    // The fourth level's hits are lit, not reflected further: the image is not black.
    EXPECT_GT(host.pixel(kSize / 2, kSize / 2)[0], 0.0f);
}

TEST(Glossy, SubdivisionsHalveWithDepthAndGlossOneIsTheSharpMirror) {
    Scene s(mirror(255, 0.5f), true);
    tt::setCameraLookingDownZ(*s.r, kEye);
    tt::StdoutCapture quiet;
    quiet.start();
    ASSERT_TRUE(s.r->initScene());
    quiet.stop();
    std::memcpy(s.r->invViewMatrix, s.r->cameraMatrix, 48);  // what Render does first
    TessraFrameBuffer fb(s.r, 256, 256);
    s.r->InitScreenCUDA(0, 0, fb, true);
    ASSERT_TRUE(fb.NeedsGlossyReflection());
    s.r->firstPassDone = true;
    const uint32_t expected[] = {64, 16, 4, 1, 0};
    for (uint32_t level = 1; level <= 5; ++level) {
        const uint64_t before = rt::launchCount(rt::KernelId::calc_refl_ss);
        // The driver starts every glossy pass with 8; nesting passes the halved value on.
        const uint32_t n = level == 1 ? 8 : 8u >> (level - 2);
        EXPECT_TRUE(s.r->ReflectBuffers(fb, n, 8, TessraRendererCUDA::REFL_STEP, level));
        EXPECT_EQ(rt::launchCount(rt::KernelId::calc_refl_ss) - before, expected[level - 1]) << level;
    }
    s.r->CleanUp();

    // Gloss just below 1 is a glossy material whose cone has closed: 64 equal rays.
    Scene sharp(mirror(255), true);
    Scene nearlySharp(mirror(255, std::nextafter(1.0f, 0.0f)), true);
    Scene spread(mirror(255, 0.3f), true);
    const tt::RecordingHost a = sharp.render();
    const tt::RecordingHost b = nearlySharp.render();
    const tt::RecordingHost c = spread.render();
    for (size_t i = 0; i < a.image.size(); ++i) ASSERT_NEAR(a.image[i], b.image[i], 1e-3f) << i;
    // Across the reflected bright/dark edge the glossy image has more in-between pixels.
    auto blurred = [](const tt::RecordingHost& h) {
        int between = 0;
        for (int y = 0; y < kSize; ++y)
            for (int x = 0; x < kSize; ++x) {
                const float v = h.pixel(x, y)[0];
                if (v > 0.05f && v < 0.25f) ++between;
            }
        return between;
    };
    EXPECT_GT(blurred(c), blurred(a) + 20);
}

// Runs calc_refl_ss for a single parent pixel with the given hit and ray origin, and
// returns where the secondary ray landed.
float4 secondaryHit(TessraRendererCUDA& r, int triangle, V3 P, V3 N, V3 O) {
    TessraFrameBuffer parent(&r, 256, 256), T(&r, 256, 256);
    const int tri = triangle;
    const float4 pos = make_float4(P.x, P.y, P.z, 1), nrm = make_float4(N.x, N.y, N.z, 0);
    const float4 orig = make_float4(O.x, O.y, O.z, 1);
    // Every other pixel points at triangle 0, the diffuse floor, and takes no part.
    rt::memcpyHtoD(parent.ssTriID, &tri, 4);
    rt::memcpyHtoD(parent.ssPos, &pos, 16);
    rt::memcpyHtoD(parent.ssNormals, &nrm, 16);
    rt::memcpyHtoD(parent.ssEyePos, &orig, 16);
    rt::launch(TESSRA_KERNEL(calc_refl_ss), dim3(16, 16, 1), dim3(16, 16, 1), 256u, 256u, 256u, 256u,
               parent.ssTriID, parent.ssUVs, parent.ssNormals, parent.ssTexCoords, parent.ssPos, parent.ssEyePos,
               parent.ssRefrIndex, T.ssTriID, T.ssUVs, T.ssNormals, T.ssTexCoords, T.ssPos, T.ssEyePos,
               T.ssRefrIndex, 1u, 0u, 0u, 1u, 0u, T.reflectFlags, (unsigned char)1, (unsigned char)1);
    rt::synchronize();
    float4 out;
    rt::memcpyDtoH(&out, T.ssPos, 16);
    float refr;
    rt::memcpyDtoH(&refr, T.ssRefrIndex, 4);
    EXPECT_FLOAT_EQ(refr, 1.6f);
    return out;
}

TEST(Glass, BendsBySnellAndReflectsBeyondTheCriticalAngle) {
    material_t glass;
    glass.refractive = true;
    glass.refrColor[0] = glass.refrColor[1] = glass.refrColor[2] = 255;
    Scene s(glass, true);  // triangles 0-1: glass floor; 2-5: diffuse ceiling
    const int glassTri = 0;
    s.r->triangles[0].materialId = 0;
    // Give the floor a separate diffuse copy so the secondary rays have something to hit.
    const int floorMat = tt::addDiffuse(*s.r, 1, 1, 1);
    tt::addQuad(*s.r, {-9, -9, -1}, {9, -9, -1}, {9, 9, -1}, {-9, 9, -1}, {0, 0, 1}, floorMat);
    tt::StdoutCapture quiet;
    quiet.start();
    ASSERT_TRUE(s.r->initScene());
    quiet.stop();

    const float pi = 3.14159265f;
    // Entering (D.N < 0) at 45 degrees: eta = 1 / 1.6.
    {
        const V3 P = {0, 0, 1}, N = {0, 0, 1};
        const V3 D = unit({1, 0, -1});
        const float4 h = secondaryHit(*s.r, glassTri, P, N, sub(P, D));
        const float sinT = std::sin(pi / 4) / 1.6f, cosT = std::sqrt(1 - sinT * sinT);
        // The glass floor at z = 0 lies on the way down: that is the first thing hit.
        const float t = 1.0f / cosT;
        EXPECT_NEAR(h.x, sinT * t, 2e-3f);
        EXPECT_NEAR(h.z, 0.0f, 1e-4f);
    }
    // Leaving (D.N > 0) at 20 degrees: eta = 1.6, the ray reaches the ceiling at z = 3.
    {
        const V3 P = {0, 0, 1}, N = {0, 0, 1};
        const float th = 20 * pi / 180;
        const V3 D = {std::sin(th), 0, std::cos(th)};
        const float4 h = secondaryHit(*s.r, glassTri, P, N, sub(P, D));
        const float sinT = 1.6f * std::sin(th), cosT = std::sqrt(1 - sinT * sinT);
        EXPECT_NEAR(h.z, 3.0f, 1e-4f);
        EXPECT_NEAR(h.x, sinT / cosT * 2.0f, 2e-3f);
    }
    // Leaving at 60 degrees is beyond the critical angle (asin(1 / 1.6) = 38.7): the ray is
    // reflected back down instead of getting a non-number direction.
    {
        const V3 P = {0, 0, 1}, N = {0, 0, 1};
        const float th = 60 * pi / 180;
        const V3 D = {std::sin(th), 0, std::cos(th)};
        const float4 h = secondaryHit(*s.r, glassTri, P, N, sub(P, D));
        EXPECT_EQ(h.w, 1.0f);
        EXPECT_NEAR(h.z, 0.0f, 1e-4f);
        EXPECT_NEAR(h.x, std::tan(th), 2e-3f);
    }
    s.r->CleanUp();
}

TEST(Glass, AGlassBlockSceneDeliversNoNonNumbers) {
    material_t glass;
    glass.refractive = true;
    glass.refrColor[0] = 200;
    glass.refrColor[1] = glass.refrColor[2] = 255;
    glass.specular = true;
    glass.specularLevel = 0.5f;
    glass.specularExponent = 7.5f;  // fractional: pow of a negative N.H is NaN
    material_t floor;
    floor.diffuse[0] = floor.diffuse[1] = floor.diffuse[2] = 0.7f;
    Scene s(floor, false);
    const int g = s.r->NuevoMaterial(glass);
    // A box from (-0.6, -0.6, 0.2) to (0.6, 0.6, 1.0), outward normals.
    const float a = 0.6f, z0 = 0.2f, z1 = 1.0f;
    tt::addQuad(*s.r, {-a, -a, z1}, {a, -a, z1}, {a, a, z1}, {-a, a, z1}, {0, 0, 1}, g);
    tt::addQuad(*s.r, {-a, a, z0}, {a, a, z0}, {a, -a, z0}, {-a, -a, z0}, {0, 0, -1}, g);
    tt::addQuad(*s.r, {a, -a, z0}, {a, a, z0}, {a, a, z1}, {a, -a, z1}, {1, 0, 0}, g);
    tt::addQuad(*s.r, {-a, a, z0}, {-a, -a, z0}, {-a, -a, z1}, {-a, a, z1}, {-1, 0, 0}, g);
    tt::addQuad(*s.r, {a, a, z0}, {-a, a, z0}, {-a, a, z1}, {a, a, z1}, {0, 1, 0}, g);
    tt::addQuad(*s.r, {-a, -a, z0}, {a, -a, z0}, {a, -a, z1}, {-a, -a, z1}, {0, -1, 0}, g);
    s.r->shadowMode = 1;
    const tt::RecordingHost host = s.render();
    int refracted = 0;
    for (size_t i = 0; i < host.image.size(); i += 4) {
        for (int k = 0; k < 4; ++k) ASSERT_TRUE(std::isfinite(host.image[i + k])) << i / 4;
        if (host.image[i + 3] == 1.0f) ++refracted;
    }
    EXPECT_GT(refracted, 100);
}

uint32_t g_fakeTick = 0;
uint32_t g_tickStep = 0;
uint32_t fakeTicks() { return g_fakeTick += g_tickStep; }

TEST(Refresh, PacedAtLevelOneOnly) {
    // Glossy mirror: 64 windows at level 1, each followed by a pacing check.
    g_fakeTick = 0;
    g_tickStep = 700;
    platform::setTickSource(&fakeTicks);
    Scene glossy(mirror(255, 0.5f), true);
    const tt::RecordingHost a = glossy.render();
    // Each window reads the clock once (700 ms); a refresh reads it once more. A refresh
    // is due when more than 2000 ms passed since the last one: every third window.
    EXPECT_GT(a.tiles.size(), 10u);
    EXPECT_LT(a.tiles.size(), 30u);

    // Facing sharp mirrors with a clock that always looks late: only the level-1 window
    // refreshes (levels 2 to 4 never do), plus the final delivery of the tile.
    g_tickStep = 5000;
    const material_t m = mirror(255);
    Scene facing(m, true, &m);
    const tt::RecordingHost b = facing.render();
    EXPECT_EQ(b.tiles.size(), 2u);
    platform::setTickSource(nullptr);
}

}  // namespace

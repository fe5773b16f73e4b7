// Mirror, glossy and glass passes: what a reflected or refracted ray sees and its blend,
// the level limit, Snell's law and total internal reflection.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "device/kernels_screen.h"
#include "host/internal.h"
#include "support/test_support.h"

namespace {

using tt::add;
using tt::mul;
using tt::sub;
using tt::unit;
using tt::V3;

constexpr int kSize = 48;
const V3 kEye = {0, 0, 2.5f}, kLight = {0.3f, 0.2f, 1.5f};

material_t mirror(uint8_t kc, float gloss = 1.0f) {
    material_t m;
    m.diffuse[0] = m.diffuse[1] = m.diffuse[2] = 0.5f;
    m.reflective = true;
    m.reflColor[0] = m.reflColor[1] = m.reflColor[2] = kc;
    m.reflGloss = gloss;
    return m;
}

// A floor at z = 0 of the given material under a ceiling at z = 3 facing down, whose left
// half (x < 0) is bright and right half dark, or all of the ceiling material if given.
std::unique_ptr<TessraRendererCUDA> scene(const material_t& floor, const material_t* ceilingMaterial = nullptr) {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(kSize, kSize));
    tt::addQuad(*r, {-6, -6, 0}, {6, -6, 0}, {6, 6, 0}, {-6, 6, 0}, {0, 0, 1}, r->NuevoMaterial(floor));
    const int bright = ceilingMaterial ? r->NuevoMaterial(*ceilingMaterial) : tt::addDiffuse(*r, 0.9f, 0.8f, 0.7f);
    const int dark = ceilingMaterial ? bright : tt::addDiffuse(*r, 0.05f, 0.05f, 0.05f);
    tt::addQuad(*r, {-6, -6, 3}, {0, -6, 3}, {0, 6, 3}, {-6, 6, 3}, {0, 0, -1}, bright);
    tt::addQuad(*r, {0, -6, 3}, {6, -6, 3}, {6, 6, 3}, {0, 6, 3}, {0, 0, -1}, dark);
    r->NuevaLuzOmni(kLight.x, kLight.y, kLight.z, 1, 1, 1, 1.0f, 0, 1.0f);
    return r;
}

tt::RecordingHost render(const std::unique_ptr<TessraRendererCUDA>& r) { return tt::renderDownZ(*r, kEye); }

// A mirror of weight w = kc / 255 blends its own diffuse light with the direct light of
// the ceiling point its reflected ray meets: (1 - w) diffuse + w reflected.
TEST(Mirror, BlendsItsDiffuseColourWithWhatTheReflectedRayHits) {
    for (const uint8_t kc : {255, 128}) {
        SCOPED_TRACE(int(kc));
        const tt::RecordingHost host = render(scene(mirror(kc)));
        const float w = kc / 255.0f;
        int checked = 0;
        for (int y = 2; y < kSize; y += 5)
            for (int x = 2; x < kSize; x += 5) {
                const V3 d = unit({2.0f * x / kSize - 1.0f, -(2.0f * y / kSize - 1.0f), -1.0f / std::tan(0.45f)});
                const V3 P = add(kEye, mul(d, kEye.z / -d.z)), R = {d.x, d.y, -d.z}, H = add(P, mul(R, 3.0f / R.z));
                if (std::fabs(H.x) < 0.05f) continue;  // too close to the seam
                const V3 kd = H.x < 0 ? V3{0.9f, 0.8f, 0.7f} : V3{0.05f, 0.05f, 0.05f};
                const float e = std::max(0.0f, -unit(sub(kLight, H)).z), own = 0.5f * unit(sub(kLight, P)).z;
                const float want[3] = {e * kd.x, e * kd.y, e * kd.z};
                for (int k = 0; k < 3; ++k)
                    EXPECT_NEAR(host.pixel(x, y)[k], (1 - w) * own + w * want[k], 3e-4f) << x << "," << y;
                EXPECT_EQ(host.pixel(x, y)[3], 1.0f);
                ++checked;
            }
        EXPECT_GT(checked, 50);
    }
}

// Facing mirrors stop after four levels, the last one lit rather than black; gloss just
// below 1 is a glossy material whose cone has closed (the sharp image again), and a wider
// gloss blurs the reflected bright/dark edge.
TEST(Mirror, FacingMirrorsStopAfterFourLevelsAndGlossBlurs) {
    const material_t m = mirror(255);
    const uint64_t before = rt::launchCount(rt::KernelId::calc_refl_ss);
    const tt::RecordingHost facing = render(scene(m, &m));
    EXPECT_EQ(rt::launchCount(rt::KernelId::calc_refl_ss) - before, 4u);  // one window per level
    EXPECT_GT(facing.pixel(kSize / 2, kSize / 2)[0], 0.0f);

    const tt::RecordingHost a = render(scene(m)), b = render(scene(mirror(255, std::nextafter(1.0f, 0.0f)))),
                            c = render(scene(mirror(255, 0.3f)));
    for (size_t i = 0; i < a.image.size(); ++i) ASSERT_NEAR(a.image[i], b.image[i], 1e-3f) << i;
    auto between = [](const tt::RecordingHost& h) {
        int n = 0;
        for (int i = 0; i < kSize * kSize; ++i) n += h.image[4 * i] > 0.05f && h.image[4 * i] < 0.25f;
        return n;
    };
    EXPECT_GT(between(c), between(a) + 20);
}

// Runs calc_refl_ss for a single parent pixel with the given hit and ray origin, and
// returns where the secondary ray landed.
float4 secondaryHit(TessraRendererCUDA& r, V3 P, V3 O) {
    TessraFrameBuffer parent(&r, 256, 256), T(&r, 256, 256);
    const int tri = 0;
    const float4 pos = make_float4(P.x, P.y, P.z, 1), nrm = make_float4(0, 0, 1, 0),
                 orig = make_float4(O.x, O.y, O.z, 1);
    rt::memcpyHtoD(parent.ssTriID, &tri, 4);
    rt::memcpyHtoD(parent.ssPos, &pos, 16);
    rt::memcpyHtoD(parent.ssNormals, &nrm, 16);
    rt::memcpyHtoD(parent.ssEyePos, &orig, 16);
    rt::launch(TESSRA_KERNEL(calc_refl_ss), dim3(16, 16, 1), dim3(16, 16, 1), 256u, 256u, 256u, 256u, parent.ssTriID,
               parent.ssUVs, parent.ssNormals, parent.ssTexCoords, parent.ssPos, parent.ssEyePos, parent.ssRefrIndex,
               T.ssTriID, T.ssUVs, T.ssNormals, T.ssTexCoords, T.ssPos, T.ssEyePos, T.ssRefrIndex, 1u, 0u, 0u, 1u,
               T.reflectFlags, (unsigned char)1, (unsigned char)1, static_cast<const unsigned int*>(nullptr));
    rt::synchronize();
    float4 out;
    float refr;
    rt::memcpyDtoH(&out, T.ssPos, 16);
    rt::memcpyDtoH(&refr, T.ssRefrIndex, 4);
    EXPECT_FLOAT_EQ(refr, 1.6f);
    return out;
}

// A ray at the glass floor (z = 0, index 1.6) entering at 45 degrees bends to
// asin(sin 45 / 1.6) and meets the floor at z = 0; leaving at 20 degrees it bends to
// asin(1.6 sin 20) and meets the ceiling at z = 3; leaving at 60 degrees, beyond the
// critical angle, it is reflected back down instead of getting a non-number direction.
TEST(Glass, BendsBySnellAndReflectsBeyondTheCriticalAngle) {
    material_t glass;
    glass.refractive = true;
    glass.refrColor[0] = glass.refrColor[1] = glass.refrColor[2] = 255;
    const auto r = scene(glass);
    tt::addQuad(*r, {-9, -9, -1}, {9, -9, -1}, {9, 9, -1}, {-9, 9, -1}, {0, 0, 1}, tt::addDiffuse(*r, 1, 1, 1));
    {
        tt::StdoutCapture quiet(true);
        ASSERT_TRUE(r->initScene());
    }
    const float rad = 3.14159265f / 180, in = std::sin(45 * rad) / 1.6f, out = 1.6f * std::sin(20 * rad);
    const struct {
        V3 dir;
        float x, z;
    } rays[] = {{unit({1, 0, -1}), in / std::sqrt(1 - in * in), 0},
                {{std::sin(20 * rad), 0, std::cos(20 * rad)}, 2 * out / std::sqrt(1 - out * out), 3},
                {{std::sin(60 * rad), 0, std::cos(60 * rad)}, std::tan(60 * rad), 0}};
    for (const auto& ray : rays) {
        const V3 P = {0, 0, 1};
        const float4 hit = secondaryHit(*r, P, sub(P, ray.dir));
        EXPECT_EQ(hit.w, 1.0f);
        EXPECT_NEAR(hit.x, ray.x, 2e-3f);
        EXPECT_NEAR(hit.z, ray.z, 1e-4f);
    }
    r->CleanUp();
}

}  // namespace

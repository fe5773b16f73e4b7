// What a frame shows without indirect light: direct light of every light kind and soft
// shadows against closed-form values computed here from the camera model and the light
// models, mirrors and glass, antialiasing and textures.
#include <IL/il.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
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

constexpr int kSize = 64;
const V3 kEye = {0, 0, 5}, kd = {0.8f, 0.6f, 0.4f};

// The floor [-4, 4]^2 at z = 0 facing +z, of colour kd (material 0), under the lights added.
tt::RecordingHost renderFloor(const std::function<void(TessraRendererCUDA&)>& lights, int w = kSize, int h = kSize) {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(w, h));
    tt::addQuad(*r, {-4, -4, 0}, {4, -4, 0}, {4, 4, 0}, {-4, 4, 0}, {0, 0, 1}, tt::addDiffuse(*r, kd.x, kd.y, kd.z));
    lights(*r);
    return tt::renderDownZ(*r, kEye);
}

// The 8 x 8 strata of a sphere light (rings of equal area, evenly turned) or a rectangle,
// from their corners or (a Lambertian rectangle) their centres.
std::vector<V3> strata(bool sphere, V3 c, float radius, float w, float h, float at = 0) {
    std::vector<V3> s;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            const float z = 1 - 2 * (i / 8.0f), r = std::sqrt(std::max(0.0f, 1 - z * z)), phi = 6.28318f * j / 8;
            s.push_back(sphere ? add(c, mul({r * std::cos(phi), r * std::sin(phi), z}, radius))
                               : add(c, {((i + at) / 8.0f - 0.5f) * w, ((j + at) / 8.0f - 0.5f) * h, 0}));
        }
    return s;
}

// Area lights average N.L over their 64 strata; a Lambertian rectangle facing down
// times the cosine at the light, which on the floor is N.L again.
float meanOver(const std::vector<V3>& s, V3 P, int power = 1) {
    float sum = 0;
    for (const V3& S : s) sum += std::pow(std::max(0.0f, unit(sub(S, P)).z), float(power));
    return sum / 64;
}

float ramp(float t, float full, float none) { return std::min(1.0f, std::max(0.0f, (t - none) / (full - none))); }

const float kNaN = std::nanf("");

struct LightCase {
    const char* name;
    std::function<void(TessraRendererCUDA&)> add;
    std::function<V3(V3 P)> expected;  // NaN where a rim may round either way
    float tol;
};

// Point lights: Lambert with no decay, decay by d0 / d and by (d0 / d)^2, Blinn's white
// highlight, and two equal lights, which give four times one light's colour. A spot has
// full light inside its hotspot, none outside the falloff cone and a linear ramp between;
// a directional light does the same over its inner and outer radius; sphere and rectangle lights average their strata, a rectangle
// lights only the side its axis faces, and a Lambertian one adds the cosine at the light;
// a soft shadow is the mean over the strata left visible.
std::vector<LightCase> lightCases() {
    const V3 at = {0.5f, -0.3f, 2.0f}, colour = {1.0f, 0.5f, 1.0f};
    auto omni = [=](int decay, int copies) {
        return [=](TessraRendererCUDA& r) {
            for (int k = 0; k < copies; ++k) r.NuevaLuzOmni(at.x, at.y, at.z, colour.x, colour.y, colour.z, 1, decay, 2.0f);
        };
    };
    auto lambert = [=](V3 P, float scale) {
        const float e = unit(sub(at, P)).z * scale;
        return V3{e * colour.x * kd.x, e * colour.y * kd.y, e * colour.z * kd.z};
    };
    auto dist = [=](V3 P) { return std::sqrt(tt::dotv(sub(at, P), sub(at, P))); };
    auto grey = [](float e) { return V3{e * kd.x, e * kd.y, e * kd.z}; };
    // A blocker square [-0.5, 0.5]^2 at z = 1 under a sphere light: a soft shadow is the
    // mean over the strata the blocker leaves visible (hidden ones pointing below P).
    auto blocked = [](int shadows) {
        return [shadows](TessraRendererCUDA& r) {
            tt::addQuad(r, {-0.5f, -0.5f, 1}, {0.5f, -0.5f, 1}, {0.5f, 0.5f, 1}, {-0.5f, 0.5f, 1}, {0, 0, 1},
                        tt::addDiffuse(r, 1, 1, 1));
            r.NuevaLuzOmniEsfera(0, 0, 2, 1, 1, 1, 1.0f, 0.6f, 0);
            r.shadowMode = uint8_t(shadows);
        };
    };
    auto visibleMean = [](V3 P, bool shadows) {
        if (std::fabs(P.x * 0.8f) <= 0.5f && std::fabs(P.y * 0.8f) <= 0.5f) return kNaN;  // sees the blocker
        std::vector<V3> visible;
        for (const V3& S : strata(true, {0, 0, 2}, 0.6f, 0, 0)) {
            const V3 X = add(P, mul(sub(S, P), (1.0f - P.z) / (S.z - P.z)));
            visible.push_back(shadows && std::fabs(X.x) <= 0.5f && std::fabs(X.y) <= 0.5f ? V3{P.x, P.y, P.z - 1} : S);
        }
        return meanOver(visible, P);
    };
    auto rect = [](float facing, bool cosine) {
        return [=](TessraRendererCUDA& r) {
            r.NuevaLuzRect(0, 0, 1.5f, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, facing, 1.0f, 1.5f, 0.8f, 0);
            if (cosine) EXPECT_TRUE(Tessra_SetLightEmitterCosine(&r, 0, true) == 0 && Tessra_SetLightEmitterCosine(&r, 1, true) == -1);
        };
    };
    // A Lambertian sphere lights P from the disc of its radius through its centre facing P,
    // of radiance I / (pi R^2): integrated here over a fine grid of equal areas.
    const V3 ball = {0.3f, 0.2f, 1.5f};
    auto facingDisc = [=](V3 P) {
        const V3 w = unit(sub(P, ball)), t = unit({-w.y, w.x, 0}), b = {-w.z * t.y, w.z * t.x, w.x * t.y - w.y * t.x};
        double E = 0;
        for (int k = 0; k < 4096; ++k) {
            const float rho = 0.5f * std::sqrt((k / 64 + 0.5f) / 64), phi = 6.28318f * (k % 64 + 0.5f) / 64;
            const V3 d = sub(add(ball, add(mul(t, rho * std::cos(phi)), mul(b, rho * std::sin(phi)))), P);
            E += std::max(0.0f, d.z) * std::max(0.0f, -tt::dotv(d, w)) / (tt::dotv(d, d) * tt::dotv(d, d));
        }
        return grey(float(E / 4096));
    };
    const float cosOuter = std::cos(30.0f * 3.14159f / 180.0f), cosInner = std::cos(15.0f * 3.14159f / 180.0f);
    return {
        {"omni, no decay", omni(0, 1), [=](V3 P) { return lambert(P, 1); }, 2e-4f},
        {"two omnis", omni(0, 2), [=](V3 P) { return lambert(P, 4); }, 8e-4f},
        {"omni, linear decay", omni(2, 1), [=](V3 P) { return lambert(P, 2 / dist(P)); }, 2e-4f},
        {"omni, quadratic decay", omni(3, 1), [=](V3 P) { return lambert(P, 4 / (dist(P) * dist(P))); }, 2e-4f},
        {"omni on a shiny floor",
         [=](TessraRendererCUDA& r) {
             r.materials[0].specular = true, r.materials[0].specularLevel = 0.7f, r.materials[0].specularExponent = 12;
             omni(0, 1)(r);
         },
         [=](V3 P) {
             const V3 L = unit(sub(at, P));
             return add(lambert(P, 1), mul({1, 1, 1}, L.z * 0.7f * std::pow(unit(sub(L, unit(sub(P, kEye)))).z, 12.0f)));
         },
         5e-4f},
        {"spot",
         [](TessraRendererCUDA& r) {
             r.NuevaLuzFoco(0, 0, 2, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 60.0f, 30.0f, 1.0f, 0, true, 1.0f);
         },
         [=](V3 P) {
             const float c = unit(sub({0, 0, 2}, P)).z;
             return grey(c < cosOuter ? 0 : ramp(c, cosInner, cosOuter) * c);
         },
         3e-4f},
        {"round directional",
         [](TessraRendererCUDA& r) { r.NuevaLuzDir(0.5f, 0, 4, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1.2f, 0.6f, 1.0f, 0, true, 1.0f); },
         [=](V3 P) {
             const float dr = std::hypot(P.x - 0.5f, P.y);
             return grey(std::fabs(dr - 1.2f) < 1e-4f ? kNaN : ramp(dr, 0.6f, 1.2f));
         },
         2e-3f},
        {"sphere", [=](TessraRendererCUDA& r) { r.NuevaLuzOmniEsfera(ball.x, ball.y, ball.z, 1, 1, 1, 1.0f, 0.5f, 0); },
         [=](V3 P) { return grey(meanOver(strata(true, ball, 0.5f, 0, 0), P)); }, 3e-4f},
        {"Lambertian sphere",
         [=](TessraRendererCUDA& r) {
             r.NuevaLuzOmniEsfera(ball.x, ball.y, ball.z, 1, 1, 1, 1.0f, 0.5f, 3);
             Tessra_SetLightEmitterCosine(&r, 0, true);
         },
         facingDisc, 2e-3f},
        {"rectangle", rect(-1, false), [=](V3 P) { return grey(meanOver(strata(false, {0, 0, 1.5f}, 0, 1.5f, 0.8f), P)); },
         3e-4f},
        {"Lambertian rectangle", rect(-1, true),
         [=](V3 P) { return grey(meanOver(strata(false, {0, 0, 1.5f}, 0, 1.5f, 0.8f, 0.5f), P, 2)); }, 3e-4f},
        {"sphere over a blocker, shadows on", blocked(1), [=](V3 P) { return grey(visibleMean(P, true)); }, 5e-4f},
        {"sphere over a blocker, shadows off", blocked(0), [=](V3 P) { return grey(visibleMean(P, false)); }, 5e-4f},
        {"rectangle facing away", rect(1, false), [](V3) { return V3{0, 0, 0}; }, 0.0f},
    };
}

TEST(DirectLight, EveryLightKindMatchesItsClosedForm) {
    for (const LightCase& c : lightCases()) {
        SCOPED_TRACE(c.name);
        const tt::RecordingHost host = renderFloor(c.add);
        int checked = 0;
        for (int y = 1; y < kSize; y += 3)
            for (int x = 1; x < kSize; x += 3) {
                const V3 want = c.expected(tt::onPlane(x, y, kSize, kSize, kEye));
                if (std::isnan(want.x)) continue;
                const float* px = host.pixel(x, y);
                ASSERT_TRUE(std::fabs(px[0] - want.x) <= c.tol && std::fabs(px[1] - want.y) <= c.tol &&
                            std::fabs(px[2] - want.z) <= c.tol && px[3] == 0.0f)
                    << x << "," << y << ": " << px[0] << " " << px[1] << " " << px[2] << " " << px[3] << " want "
                    << want.x << " " << want.y << " " << want.z;
                ++checked;
            }
        EXPECT_GT(checked, 400);
    }
}

// pi times a coat's BRDF (GGX, alpha = roughness^2; Smith's masking; Schlick's Fresnel).
double coatBrdfPi(double f0, double roughness, V3 V, V3 L) {
    const double nv = -V.z, nl = L.z;
    if (nv <= 0 || nl <= 0) return 0;
    const V3 H = unit(sub(L, V));
    const double a2 = std::pow(roughness, 4), c = H.z * H.z, d = c * (a2 - 1) + 1;
    auto lambda = [a2](double u) { return (std::sqrt(1 + a2 * (1 - u * u) / (u * u)) - 1) / 2; };
    const double F = f0 + (1 - f0) * std::pow(1 - tt::dotv(L, H), 5);
    return a2 / (d * d) * F / ((1 + lambda(nv)) * (1 + lambda(nl)) * 4 * nv * nl);
}

// A coated floor seen from low down: under a white world it shows its colour plus what the
// coat's BRDF integrates to over the sky (here by brute force over directions, more
// towards grazing), and under a lamp the BRDF itself.
TEST(DirectLight, ASpecularLayerReflectsWhatItsBrdfSays) {
    const double f0 = 0.04, rough = 0.5;
    const V3 eye = {0, -3, 1.2f}, target = {0, 1, 0}, lamp = {0.5f, 2, 1.5f};
    const V3 back = unit(sub(eye, target)), right = {1, 0, 0}, up = {0, back.z, -back.y};
    for (const bool world : {true, false}) {
        SCOPED_TRACE(world ? "world" : "lamp");
        std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(kSize, kSize));
        const int m = tt::addDiffuse(*r, kd.x, kd.y, kd.z);
        tt::addQuad(*r, {-40, -40, 0}, {40, -40, 0}, {40, 40, 0}, {-40, 40, 0}, {0, 0, 1}, m);
        ASSERT_EQ(Tessra_SetMaterialSpecularLayer(r.get(), uint32_t(m), float(f0), float(rough)), 0);
        EXPECT_EQ(Tessra_SetMaterialSpecularLayer(r.get(), uint32_t(m), 1.5f, 0.5f), -1);
        if (world) {
            r->SetEnvColor(1, 1, 1);
            Tessra_SetWorldLight(r.get(), true);
        } else {
            r->NuevaLuzOmni(lamp.x, lamp.y, lamp.z, 1, 1, 1, 1, 0, 1.0f);
        }
        tt::RecordingHost host(kSize, kSize);
        tt::renderQuietly(*r, host, eye, target, {0, 0, 1});
        int checked = 0;
        for (int y = kSize / 2 + 2; y < kSize; y += 3)
            for (int x = 1; x < kSize; x += 5) {
                const V3 V = unit(add(add(mul(right, 2.0f * x / kSize - 1), mul(up, -(2.0f * y / kSize - 1))),
                                      mul(back, -1 / std::tan(0.45f))));
                const V3 P = add(eye, mul(V, eye.z / -V.z));
                double coat = 0, lambert = 1;
                if (world) {
                    const int n = 256;
                    for (int i = 0; i < n; ++i)
                        for (int j = 0; j < 2 * n; ++j) {
                            const double t = 1.5707963 * (i + 0.5) / n, p = 3.1415927 * (j + 0.5) / n;
                            const V3 L = {float(std::sin(t) * std::cos(p)), float(std::sin(t) * std::sin(p)),
                                          float(std::cos(t))};
                            coat += coatBrdfPi(f0, rough, V, L) * L.z * std::sin(t) * (1.5707963 / n) *
                                    (3.1415927 / n) / 3.1415927;
                        }
                } else {
                    const V3 L = unit(sub(lamp, P));
                    lambert = L.z;
                    coat = coatBrdfPi(f0, rough, V, L) * L.z;
                }
                const float* px = host.pixel(x, y);
                const float want[3] = {float(kd.x * lambert + coat), float(kd.y * lambert + coat),
                                       float(kd.z * lambert + coat)};
                for (int c = 0; c < 3; ++c)
                    ASSERT_NEAR(px[c], want[c], 0.03 * coat + 2e-4) << x << "," << y << " coat " << coat << " mu " << -V.z;
                ++checked;
            }
        EXPECT_GT(checked, 100);
    }
}

// ---------------------------------------------------------------------------------
// Mirror, glossy and glass passes: what a reflected or refracted ray sees and its blend,
// the level limit, Snell's law and total internal reflection.

namespace mirrors {

constexpr int kSize = 48;
const V3 kEye = {0, 0, 2.5f}, kLight = {0.3f, 0.2f, 1.5f};

material_t mirror(uint8_t kc, float gloss = 1.0f) {
    material_t m;
    m.diffuse[0] = m.diffuse[1] = m.diffuse[2] = 0.5f;
    m.reflective = true, m.reflGloss = gloss, m.reflColor[0] = m.reflColor[1] = m.reflColor[2] = kc;
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
// below 1 is a glossy material whose cone has closed: the sharp image again. (How a wider
// gloss blurs is held to the path tracer in the GI reference tests.)
TEST(Mirror, FacingMirrorsStopAfterFourLevelsAndGlossJustBelowOneIsSharp) {
    const material_t m = mirror(255);
    const uint64_t before = rt::launchCount(rt::KernelId::calc_refl_ss);
    const tt::RecordingHost facing = render(scene(m, &m));
    EXPECT_EQ(rt::launchCount(rt::KernelId::calc_refl_ss) - before, 4u);  // one window per level
    EXPECT_GT(facing.pixel(kSize / 2, kSize / 2)[0], 0.0f);

    const tt::RecordingHost a = render(scene(m)), b = render(scene(mirror(255, std::nextafter(1.0f, 0.0f))));
    for (size_t i = 0; i < a.image.size(); ++i) ASSERT_NEAR(a.image[i], b.image[i], 1e-3f) << i;
}

// Runs calc_refl_ss for a single parent pixel with the given hit and ray origin, and
// returns where the secondary ray landed.
float4 secondaryHit(TessraRendererCUDA& r, V3 P, V3 O) {
    TessraFrameBuffer parent(&r, 256, 256), T(&r, 256, 256);
    const int tri = 0;
    const float4 pos = make_float4(P.x, P.y, P.z, 1), nrm = make_float4(0, 0, 1, 0),
                 orig = make_float4(O.x, O.y, O.z, 1);
    rt::memcpyHtoD(parent.ssTriID, &tri, 4), rt::memcpyHtoD(parent.ssPos, &pos, 16);
    rt::memcpyHtoD(parent.ssNormals, &nrm, 16), rt::memcpyHtoD(parent.ssEyePos, &orig, 16);
    rt::launch(TESSRA_KERNEL(calc_refl_ss), dim3(16, 16, 1), dim3(16, 16, 1), 256u, 256u, 256u, 256u,
               host::view(parent), host::view(T), 1u, 0u, 0u, 1u, (unsigned char)1, (unsigned char)1,
               static_cast<const unsigned int*>(nullptr));
    rt::synchronize();
    float4 out;
    float refr;
    rt::memcpyDtoH(&out, T.ssPos, 16), rt::memcpyDtoH(&refr, T.ssRefrIndex, 4);
    EXPECT_FLOAT_EQ(refr, 1.6f);
    return out;
}

// A ray at the glass floor (z = 0, index 1.6) entering at 45 degrees bends to
// asin(sin 45 / 1.6) and meets the floor at z = 0; leaving at 20 degrees it bends to
// asin(1.6 sin 20) and meets the ceiling at z = 3; leaving at 60 degrees, beyond the
// critical angle, it is reflected back down instead of getting a non-number direction.
TEST(Glass, BendsBySnellAndReflectsBeyondTheCriticalAngle) {
    material_t glass;
    glass.refractive = true, glass.refrColor[0] = glass.refrColor[1] = glass.refrColor[2] = 255;
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

}  // namespace mirrors

// ---------------------------------------------------------------------------------
// Antialiasing against geometry computed here: a straight edge's covered fraction of
// each pixel, and a render at four times the resolution filtered down.

namespace edges {

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

}  // namespace edges

// ---------------------------------------------------------------------------------
// Textures: a textured surface shows the texels the lookup rule picks (wrapped
// coordinates, t flipped) from every file's texels, top row first, whatever the format
// and however often a file is named. The files are written here, byte by byte or with
// libpng, so that the expectations do not rest on the loader under test.

struct Picture {
    int w, h, seed;
    uint8_t at(int x, int y, int c) const {
        const int v[3] = {40 + 50 * x, 30 + 80 * y + seed, 200 - 7 * (x + w * y) - 13 * w};
        return uint8_t(v[c]);
    }
};

// A 24-bit BMP (rows bottom first, BGR, padded to 4 bytes), or a PNG through libpng.
std::string write(const tt::TempDir& dir, const std::string& name, const Picture& p) {
    if (name.find(".png") != std::string::npos) {
        EXPECT_TRUE(tt::writePng(dir.file(name), p.w, p.h, [&](int x, int y, int c) { return p.at(x, y, c); }));
        return dir.file(name);
    }
    const int stride = (p.w * 3 + 3) & ~3;
    std::vector<uint8_t> f = tt::bmpHeader(p.w, p.h, uint32_t(stride) * uint32_t(p.h), true);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x)
            for (int c = 0; c < 3; ++c) f[54 + size_t(p.h - 1 - y) * stride + size_t(x) * 3 + c] = p.at(x, y, 2 - c);
    tt::writeBytes(dir.file(name), f);
    return dir.file(name);
}

// The four quadrants of the view are quads of their own textures, a BMP, a PNG, the same
// BMP again and another BMP; each quad's texture coordinates run from 0 to 2 over its 4
// units, so that its picture repeats twice along each axis.
TEST(TexturedSurface, ShowsTheTexelsOfTheWrappedFlippedLookupOfEachFile) {
    const tt::TempDir dir;
    const Picture a{4, 2, 0}, b{3, 3, 0}, c{2, 3, 7};
    const std::vector<std::pair<std::string, Picture>> maps = {
        {write(dir, "a.bmp", a), a}, {write(dir, "b.png", b), b}, {dir.file("a.bmp"), a}, {write(dir, "c.bmp", c), c}};
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(40, 40));
    const float uv0[6] = {0, 0, 2, 0, 2, 2}, uv1[6] = {0, 0, 2, 2, 0, 2};
    for (int q = 0; q < 4; ++q) {
        material_t m;
        m.diffuseMap = maps[size_t(q)].first.c_str();
        const int mat = r->NuevoMaterial(m);
        const float x0 = q % 2 ? 0 : -4, y0 = q / 2 ? 0 : -4;
        tt::addTriangle(*r, {x0, y0, 0}, {x0 + 4, y0, 0}, {x0 + 4, y0 + 4, 0}, {0, 0, 1}, mat, uv0);
        tt::addTriangle(*r, {x0, y0, 0}, {x0 + 4, y0 + 4, 0}, {x0, y0 + 4, 0}, {0, 0, 1}, mat, uv1);
    }
    r->NuevaLuzDir(0, 0, 10, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 100, 90, 1.0f, 0, true, 1.0f);
    const tt::V3 eye = {0.3f, 0.1f, 5};
    const tt::RecordingHost host = tt::renderDownZ(*r, eye);
    int checked[4] = {0, 0, 0, 0};
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) {
            const tt::V3 p = tt::onPlane(x, y, 40, 40, eye);
            const int q = (p.x >= 0) + 2 * (p.y >= 0);
            const Picture& tex = maps[size_t(q)].second;
            const float s = std::fmod((p.x + 4) / 2, 1.0f), t = std::fmod(1.0f - std::fmod((p.y + 4) / 2, 1.0f), 1.0f);
            // Points close to a texel border or a seam may round either way.
            const float cs = (tex.w - 1) * s, rs = (tex.h - 1) * t;
            if (std::fabs(cs - std::round(cs)) < 0.02f || std::fabs(rs - std::round(rs)) < 0.02f ||
                std::min(std::fabs(p.x), std::fabs(p.y)) < 0.05f)
                continue;
            for (int ch = 0; ch < 3; ++ch)
                EXPECT_NEAR(host.pixel(x, y)[ch], tex.at(int(cs), int(rs), ch) / 255.0f, 1e-5f) << x << "," << y;
            ++checked[q];
        }
    for (int q = 0; q < 4; ++q) EXPECT_GT(checked[q], 60) << maps[size_t(q)].first;
}

// The header check guards the decoders from what they would trust. A BMP's palette is
// sized from the header alone: a full 256-colour palette passes, one colour more does
// not, nor does the count that wraps to 3 GiB in 32 bits. DevIL's JPEG reader never ends
// a skip over a segment that runs past the end of the file (it hangs): a JPEG DevIL wrote
// passes, and so does one with an extra segment, unless that segment is longer than the
// rest of the file.
TEST(TextureHeader, BoundsBmpPalettesAndJpegSegments) {
    for (const uint32_t colours : {0u, 256u, 257u, 0xb00019bfu}) {
        std::vector<uint8_t> f = tt::bmpHeader(2, 2, 1024 + 8, true);
        f[28] = 8;
        for (int i = 0; i < 4; ++i) f[10 + i] = uint8_t((54 + 1024) >> (8 * i)), f[46 + i] = uint8_t(colours >> (8 * i));
        EXPECT_EQ(host::inspectTexture(f).ok, colours <= 256) << colours << " colours";
    }
    host::initImageLibrary();
    std::vector<uint8_t> px(8 * 8 * 3, 128), jpeg(16384);
    ILuint image = 0;
    ilGenImages(1, &image);
    ilBindImage(image);
    ASSERT_TRUE(ilTexImage(8, 8, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, px.data()));
    jpeg.resize(ilSaveL(IL_JPG, jpeg.data(), ILuint(jpeg.size())));
    ilDeleteImages(1, &image);
    ASSERT_GT(jpeg.size(), 100u);
    const host::TextureHeader good = host::inspectTexture(jpeg);
    EXPECT_TRUE(good.ok && good.width == 8 && good.height == 8);

    // A segment longer than the rest of the file: first, after the frame header (where
    // the old check had stopped looking, and where fuzz_texture put it) and after the
    // image data.
    size_t frame = 2;
    while (frame + 1 < jpeg.size() && !(jpeg[frame] == 0xff && jpeg[frame + 1] == 0xc0)) ++frame;
    ASSERT_LT(frame + 4, jpeg.size());
    const size_t afterFrame = frame + 2 + (size_t(jpeg[frame + 2]) << 8 | jpeg[frame + 3]);
    for (const size_t at : {size_t(2), afterFrame, jpeg.size() - 2}) {
        SCOPED_TRACE(at);
        std::vector<uint8_t> f = jpeg;
        f.insert(f.begin() + std::ptrdiff_t(at), {0xff, 0xe3, 0xd9, 0x00, 'x'});
        EXPECT_FALSE(host::inspectTexture(f).ok);
        f[at + 2] = 0x00, f[at + 3] = 0x03;  // the same segment, of its true length
        EXPECT_TRUE(host::inspectTexture(f).ok);
    }
}

}  // namespace

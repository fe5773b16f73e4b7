// Direct light of every light kind and soft shadows against closed-form values computed
// here from the camera model and the light models, and the tile driver's delivery.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

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

// Tiles of 256 go out column by column, rows clipped at the image edge.
TEST(Delivery, TilesColumnByColumnRowsClipped) {
    const tt::RecordingHost host =
        renderFloor([](TessraRendererCUDA& r) { r.NuevaLuzOmni(0, 0, 2, 1, 1, 1, 1.0f, 0, 1.0f); }, 520, 260);
    const uint32_t order[6][2] = {{0, 0}, {0, 256}, {256, 0}, {256, 256}, {512, 0}, {512, 256}};
    ASSERT_EQ(host.tiles.size(), 6u);
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(host.tiles[i].x == order[i][0] && host.tiles[i].y == order[i][1] &&
                    host.tiles[i].w * host.tiles[i].h == 256u * 256u)
            << i;
    ASSERT_EQ(host.runs.size(), 3u * 260u);
    for (const auto& run : host.runs) EXPECT_EQ(run.count, run.x == 512 ? 8u : 256u);
    for (float v : host.image) ASSERT_GE(v, 0.0f) << "pixel never delivered";
}

}  // namespace

// Direct light against closed-form values computed here from the camera model and the
// light models, and the tile driver's delivery.
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
const V3 kEye = {0, 0, 5};

// Where the primary ray of pixel (x, y) meets the plane z = 0: row 0 at the top, no
// half-pixel offset, field of view 0.9.
V3 planeHit(int x, int y) {
    const V3 d = unit({2.0f * x / kSize - 1.0f, -(2.0f * y / kSize - 1.0f), -1.0f / std::tan(0.45f)});
    return add(kEye, mul(d, kEye.z / -d.z));
}

// The floor [-4, 4]^2 at z = 0 facing +z, of colour kd, under the lights added.
tt::RecordingHost renderFloor(const std::function<void(TessraRendererCUDA&)>& lights, V3 kd = {1, 1, 1}, int w = kSize,
                              int h = kSize) {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(w, h));
    tt::addQuad(*r, {-4, -4, 0}, {4, -4, 0}, {4, 4, 0}, {-4, 4, 0}, {0, 0, 1}, tt::addDiffuse(*r, kd.x, kd.y, kd.z));
    lights(*r);
    return tt::renderDownZ(*r, kEye);
}

void expectRgb(const float* px, V3 expected, float tol, const char* what) {
    EXPECT_NEAR(px[0], expected.x, tol) << what;
    EXPECT_NEAR(px[1], expected.y, tol) << what;
    EXPECT_NEAR(px[2], expected.z, tol) << what;
}

const int kProbe[][2] = {{32, 32}, {10, 50}, {55, 7}, {20, 40}};

// Lambert with no decay, decay by d0 / d and by (d0 / d)^2, Blinn's white highlight, and
// two equal lights, which give four times one light's colour.
TEST(DirectLight, PointLightsMatchLambertDecayAndBlinn) {
    const V3 kd = {0.8f, 0.6f, 0.4f}, light = {0.5f, -0.3f, 2.0f}, colour = {1.0f, 0.5f, 1.0f};
    auto omni = [&](int decay, int copies) {
        return [=](TessraRendererCUDA& r) {
            for (int k = 0; k < copies; ++k)
                r.NuevaLuzOmni(light.x, light.y, light.z, colour.x, colour.y, colour.z, 1, decay, 2.0f);
        };
    };
    const tt::RecordingHost plain = renderFloor(omni(0, 1), kd), two = renderFloor(omni(0, 2), kd);
    const tt::RecordingHost linear = renderFloor(omni(2, 1), kd), square = renderFloor(omni(3, 1), kd);
    const tt::RecordingHost shiny = renderFloor(
        [&](TessraRendererCUDA& r) {
            material_t& m = r.materials[0];
            m.specular = true;
            m.specularLevel = 0.7f;
            m.specularExponent = 12.0f;
            omni(0, 1)(r);
        },
        kd);
    for (const auto& p : kProbe) {
        const V3 P = planeHit(p[0], p[1]), L = unit(sub(light, P));
        const float d = std::sqrt(tt::dotv(sub(light, P), sub(light, P)));
        const V3 lambert = {L.z * colour.x * kd.x, L.z * colour.y * kd.y, L.z * colour.z * kd.z};
        expectRgb(plain.pixel(p[0], p[1]), lambert, 2e-4f, "no decay");
        EXPECT_EQ(plain.pixel(p[0], p[1])[3], 0.0f);  // direct light leaves alpha 0
        expectRgb(two.pixel(p[0], p[1]), mul(lambert, 4.0f), 8e-4f, "two lights");
        expectRgb(linear.pixel(p[0], p[1]), mul(lambert, 2.0f / d), 2e-4f, "linear decay");
        expectRgb(square.pixel(p[0], p[1]), mul(lambert, 4.0f / (d * d)), 2e-4f, "quadratic decay");
        const float spec = std::pow(unit(sub(L, unit(sub(P, kEye)))).z, 12.0f) * 0.7f;
        expectRgb(shiny.pixel(p[0], p[1]), add(lambert, {L.z * spec, L.z * spec, L.z * spec}), 5e-4f,
                  "white highlight");
    }
}

// Full light inside the hotspot (spot) or inner radius (directional), none outside the
// falloff cone or outer radius, and a linear ramp between; the directional light's
// square shape ramps along each axis on its own.
TEST(DirectLight, SpotConeAndDirectionalCylinderAndPrism) {
    const tt::RecordingHost spot = renderFloor([](TessraRendererCUDA& r) {
        r.NuevaLuzFoco(0, 0, 2, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 60.0f, 30.0f, 1.0f, 0, true, 1.0f);
    });
    const tt::RecordingHost circle = renderFloor([](TessraRendererCUDA& r) {
        r.NuevaLuzDir(0.5f, 0, 4, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1.2f, 0.6f, 1.0f, 0, true, 1.0f);
    });
    const tt::RecordingHost square = renderFloor([](TessraRendererCUDA& r) {
        r.NuevaLuzDir(0.5f, 0, 4, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1.2f, 0.6f, 1.0f, 0, false, 1.0f);
    });
    auto ramp = [](float t, float full, float none) {
        return std::min(1.0f, std::max(0.0f, (t - none) / (full - none)));
    };
    const float cosOuter = std::cos(0.5f * 60.0f * 3.14159f / 180.0f),
                cosInner = std::cos(0.5f * 30.0f * 3.14159f / 180.0f);
    int spotDark = 0, spotLit = 0, inside = 0, between = 0, outside = 0;
    for (int y = 0; y < kSize; y += 2)
        for (int x = 0; x < kSize; x += 2) {
            const V3 P = planeHit(x, y), L = unit(sub({0, 0, 2}, P));
            if (L.z < cosOuter) {
                EXPECT_EQ(spot.pixel(x, y)[0], 0.0f) << x << "," << y;
                ++spotDark;
            } else {
                EXPECT_NEAR(spot.pixel(x, y)[0], ramp(L.z, cosInner, cosOuter) * L.z, 3e-4f) << x << "," << y;
                ++spotLit;
            }
            const float dx = P.x - 0.5f, dy = P.y, dr = std::sqrt(dx * dx + dy * dy);
            if (std::fabs(dr - 1.2f) > 1e-4f) {  // the rim may round either way
                EXPECT_NEAR(circle.pixel(x, y)[0], ramp(dr, 0.6f, 1.2f), 2e-3f) << x << "," << y;
                dr > 1.2f ? ++outside : dr < 0.6f ? ++inside : ++between;
            }
            if (std::fabs(std::fabs(dx) - 1.2f) > 1e-4f && std::fabs(std::fabs(dy) - 1.2f) > 1e-4f)
                EXPECT_NEAR(square.pixel(x, y)[0], ramp(std::fabs(dx), 0.6f, 1.2f) * ramp(std::fabs(dy), 0.6f, 1.2f),
                            2e-3f)
                    << x << "," << y;
        }
    EXPECT_GT(spotLit, 20);
    EXPECT_GT(spotDark, 20);
    EXPECT_GT(inside, 5);
    EXPECT_GT(between, 5);
    EXPECT_GT(outside, 50);
}

// The 8 x 8 strata of a sphere light (rings of equal area, evenly turned) or a rectangle.
std::vector<V3> strata(bool sphere, V3 c, float radius, float w, float h) {
    std::vector<V3> s;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            const float z = 1 - 2 * (i / 8.0f), r = std::sqrt(std::max(0.0f, 1 - z * z)), phi = 6.28318f * j / 8;
            s.push_back(sphere ? add(c, mul({r * std::cos(phi), r * std::sin(phi), z}, radius))
                               : add(c, {(i / 8.0f - 0.5f) * w, (j / 8.0f - 0.5f) * h, 0}));
        }
    return s;
}

// Area lights average N.L over their 64 strata, a rectangle lights only the side its
// axis faces, and a soft shadow is the mean over the strata the blocker leaves visible.
TEST(AreaLights, AverageOfTheirStrataAndSoftShadows) {
    const tt::RecordingHost sphere =
        renderFloor([](TessraRendererCUDA& r) { r.NuevaLuzOmniEsfera(0.3f, 0.2f, 1.5f, 1, 1, 1, 1.0f, 0.5f, 0); });
    const tt::RecordingHost rect = renderFloor([](TessraRendererCUDA& r) {
        r.NuevaLuzRect(0, 0, 1.5f, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, -1, 1.0f, 1.5f, 0.8f, 0);
    });
    const tt::RecordingHost backSide = renderFloor([](TessraRendererCUDA& r) {
        r.NuevaLuzRect(0, 0, 1.5f, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1.0f, 1.5f, 0.8f, 0);
    });
    auto mean = [](const std::vector<V3>& s, V3 P) {
        float sum = 0;
        for (const V3& S : s) sum += std::max(0.0f, unit(sub(S, P)).z);
        return sum / 64;
    };
    for (const auto& p : kProbe) {
        const V3 P = planeHit(p[0], p[1]);
        const float es = mean(strata(true, {0.3f, 0.2f, 1.5f}, 0.5f, 0, 0), P),
                    er = mean(strata(false, {0, 0, 1.5f}, 0, 1.5f, 0.8f), P);
        expectRgb(sphere.pixel(p[0], p[1]), {es, es, es}, 3e-4f, "sphere");
        expectRgb(rect.pixel(p[0], p[1]), {er, er, er}, 3e-4f, "rectangle");
        expectRgb(backSide.pixel(p[0], p[1]), {0, 0, 0}, 0.0f, "rectangle facing away");
    }

    // A blocker square [-0.5, 0.5]^2 at z = 1 under a sphere light.
    const std::vector<V3> s = strata(true, {0, 0, 2}, 0.6f, 0, 0);
    auto scene = [](int shadows) {
        return [shadows](TessraRendererCUDA& r) {
            const int blocker = tt::addDiffuse(r, 1, 1, 1);
            tt::addQuad(r, {-0.5f, -0.5f, 1}, {0.5f, -0.5f, 1}, {0.5f, 0.5f, 1}, {-0.5f, 0.5f, 1}, {0, 0, 1}, blocker);
            r.NuevaLuzOmniEsfera(0, 0, 2, 1, 1, 1, 1.0f, 0.6f, 0);
            r.shadowMode = uint8_t(shadows);
        };
    };
    const tt::RecordingHost shadowed = renderFloor(scene(1)), open = renderFloor(scene(0));
    int penumbra = 0;
    for (int y = 0; y < kSize; y += 2)
        for (int x = 0; x < kSize; x += 2) {
            const V3 P = planeHit(x, y);
            if (std::fabs(P.x * 0.8f) <= 0.5f && std::fabs(P.y * 0.8f) <= 0.5f) continue;  // sees the blocker
            std::vector<V3> visible;
            for (const V3& S : s) {
                const V3 X = add(P, mul(sub(S, P), (1.0f - P.z) / (S.z - P.z)));
                if (!(std::fabs(X.x) <= 0.5f && std::fabs(X.y) <= 0.5f)) visible.push_back(S);
            }
            penumbra += !visible.empty() && visible.size() < 64;
            visible.resize(64, {P.x, P.y, P.z - 1});  // hidden strata add nothing
            EXPECT_NEAR(shadowed.pixel(x, y)[0], mean(visible, P), 5e-4f) << x << "," << y;
            EXPECT_NEAR(open.pixel(x, y)[0], mean(s, P), 5e-4f) << x << "," << y;
        }
    EXPECT_GT(penumbra, 10);
}

// Tiles of 256 go out column by column, rows clipped at the image edge; an abort after
// the first tile stops the render, and the next render (without callbacks) releases
// what it left behind.
TEST(Delivery, TilesRowsAndAbort) {
    auto omni = [](TessraRendererCUDA& r) { r.NuevaLuzOmni(0, 0, 2, 1, 1, 1, 1.0f, 0, 1.0f); };
    const tt::RecordingHost host = renderFloor(omni, {1, 1, 1}, 600, 300);
    const uint32_t order[6][2] = {{0, 0}, {0, 256}, {256, 0}, {256, 256}, {512, 0}, {512, 256}};
    ASSERT_EQ(host.tiles.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(host.tiles[i].x, order[i][0]);
        EXPECT_EQ(host.tiles[i].y, order[i][1]);
        EXPECT_EQ(host.tiles[i].w * host.tiles[i].h, 256u * 256u);
    }
    ASSERT_EQ(host.runs.size(), 3u * 300u);
    for (const auto& run : host.runs) EXPECT_EQ(run.count, run.x == 512 ? 88u : 256u);
    for (float v : host.image) ASSERT_GE(v, 0.0f) << "pixel never delivered";

    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(512, 512));
    tt::addQuad(*r, {-4, -4, 0}, {4, -4, 0}, {4, 4, 0}, {-4, 4, 0}, {0, 0, 1}, tt::addDiffuse(*r, 1, 1, 1));
    omni(*r);
    tt::RecordingHost aborted(512, 512);
    aborted.abortAfterTiles = 1;
    tt::renderQuietly(*r, aborted, kEye, {0, 0, 0}, {0, 1, 0});
    ASSERT_EQ(aborted.tiles.size(), 1u);
    EXPECT_EQ(aborted.runs.size(), 256u);
    const size_t live = rt::liveAllocationCount();
    {
        tt::StdoutCapture quiet(true);
        r->Render();  // without callbacks
    }
    EXPECT_LT(rt::liveAllocationCount(), live);
    const uint32_t usedBefore = r->usedDeviceMem;
    const tt::RecordingHost full = tt::renderDownZ(*r, kEye);
    EXPECT_EQ(full.tiles.size(), 9u);  // the last row and column wholly outside the image
    EXPECT_EQ(full.runs.size(), 512u * 2u);
    // Accounting counts every request and never subtracts: the same render again requests
    // exactly as much again.
    const uint32_t oneRender = r->usedDeviceMem - usedBefore;
    tt::renderDownZ(*r, kEye);
    EXPECT_EQ(r->usedDeviceMem - usedBefore, 2 * oneRender);
    r->CleanUp();
}

}  // namespace

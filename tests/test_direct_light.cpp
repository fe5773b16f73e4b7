// Direct light against closed-form values computed here from the camera model and the
// light models, the tile driver's delivery, and determinism.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "host/internal.h"
#include "support/test_support.h"

namespace {

using tt::add;
using tt::dotv;
using tt::mul;
using tt::sub;
using tt::unit;
using tt::V3;

constexpr int kSize = 64;
constexpr float kFov = 0.9f;
const V3 kEye = {0, 0, 5};

// Where the primary ray of pixel (x, y) meets the plane z = 0, for the camera of
// setCameraLookingDownZ: row 0 at the top, no half-pixel offset.
V3 planeHit(int x, int y, int w = kSize, int h = kSize) {
    const float aspect = float(w) / float(h);
    const float u = 2.0f * x / w - 1.0f;
    const float v = (2.0f * y / h - 1.0f) / aspect;
    const V3 d = unit({u, -v, -1.0f / std::tan(kFov * 0.5f)});
    return add(kEye, mul(d, kEye.z / -d.z));
}

// A white-lit floor: the quad [-4, 4]^2 at z = 0, facing +z.
struct Scene {
    TessraRendererCUDA* r;
    int floorMaterial;
    explicit Scene(V3 kd = {0.8f, 0.6f, 0.4f}, int w = kSize, int h = kSize) : r(tt::newRenderer(w, h)) {
        r->fieldOfView = kFov;
        floorMaterial = tt::addDiffuse(*r, kd.x, kd.y, kd.z);
        tt::addQuad(*r, {-4, -4, 0}, {4, -4, 0}, {4, 4, 0}, {-4, 4, 0}, {0, 0, 1}, floorMaterial);
    }
    ~Scene() { delete r; }
    tt::RecordingHost render() {
        tt::RecordingHost host(r->width, r->height);
        tt::renderQuietly(*r, host, kEye, {kEye.x, kEye.y, kEye.z - 1}, {0, 1, 0});
        return host;
    }
};

void expectRgb(const float* px, V3 expected, float tol = 2e-4f) {
    EXPECT_NEAR(px[0], expected.x, tol);
    EXPECT_NEAR(px[1], expected.y, tol);
    EXPECT_NEAR(px[2], expected.z, tol);
}

const int kProbe[][2] = {{32, 32}, {10, 50}, {55, 7}, {20, 40}};

TEST(DirectLight, PointLightMatchesLambertAndScalesWithLightCount) {
    const V3 kd = {0.8f, 0.6f, 0.4f};
    const V3 light = {0.5f, -0.3f, 2.0f};
    Scene one(kd);
    one.r->NuevaLuzOmni(light.x, light.y, light.z, 1.0f, 0.5f, 1.0f, 1.0f, 0, 1.0f);
    const tt::RecordingHost a = one.render();
    Scene two(kd);
    two.r->NuevaLuzOmni(light.x, light.y, light.z, 1.0f, 0.5f, 1.0f, 1.0f, 0, 1.0f);
    two.r->NuevaLuzOmni(light.x, light.y, light.z, 1.0f, 0.5f, 1.0f, 1.0f, 0, 1.0f);
    const tt::RecordingHost b = two.render();
    for (const auto& p : kProbe) {
        const V3 P = planeHit(p[0], p[1]);
        const float ndotl = unit(sub(light, P)).z;
        const V3 c = {ndotl * 1.0f * kd.x, ndotl * 0.5f * kd.y, ndotl * 1.0f * kd.z};
        expectRgb(a.pixel(p[0], p[1]), c);
        EXPECT_FLOAT_EQ(a.pixel(p[0], p[1])[3], 0.0f);  // direct light leaves alpha 0
        expectRgb(b.pixel(p[0], p[1]), mul(c, 4.0f), 8e-4f);
    }
}

TEST(DirectLight, DecayTypesScaleByDistanceRatios) {
    const V3 light = {0, 0, 3};
    const float d0 = 2.0f;
    for (int decay : {2, 3}) {
        Scene s({1, 1, 1});
        s.r->NuevaLuzOmni(light.x, light.y, light.z, 1, 1, 1, 1.0f, decay, d0);
        const tt::RecordingHost host = s.render();
        for (const auto& p : kProbe) {
            const V3 P = planeHit(p[0], p[1]);
            const V3 toL = sub(light, P);
            const float dist = std::sqrt(dotv(toL, toL));
            const float q = decay == 2 ? d0 / dist : (d0 / dist) * (d0 / dist);
            const float e = unit(toL).z * q;
            expectRgb(host.pixel(p[0], p[1]), {e, e, e});
        }
    }
}

TEST(DirectLight, BlinnSpecularIsWhiteAndViewDependent) {
    Scene s({0.2f, 0.2f, 0.2f});
    material_t shiny;
    shiny.diffuse[0] = shiny.diffuse[1] = shiny.diffuse[2] = 0.2f;
    shiny.specular = true;
    shiny.specularLevel = 0.7f;
    shiny.specularExponent = 12.0f;
    s.r->materials[0] = shiny;
    const V3 light = {0.4f, 0.4f, 1.5f};
    s.r->NuevaLuzOmni(light.x, light.y, light.z, 1, 0.5f, 0.5f, 1.0f, 0, 1.0f);
    const tt::RecordingHost host = s.render();
    for (const auto& p : kProbe) {
        const V3 P = planeHit(p[0], p[1]);
        const V3 L = unit(sub(light, P));
        const V3 V = unit(sub(P, kEye));
        const V3 H = unit(sub(L, V));
        const float spec = std::pow(H.z, 12.0f) * 0.7f;
        const float I = L.z;
        expectRgb(host.pixel(p[0], p[1]), {I * (0.2f + spec), I * (0.1f + spec), I * (0.1f + spec)}, 5e-4f);
    }
}

// The floor under a light of the given kind; returns the delivered image.
tt::RecordingHost renderUnder(const std::function<void(TessraRendererCUDA&)>& addLight) {
    Scene s({1, 1, 1});
    addLight(*s.r);
    return s.render();
}

TEST(DirectLight, SpotConeEdgeAndFalloff) {
    // A spot straight above the origin pointing down; its axis row is +z, the direction
    // from the lit point towards the light.
    const float outer = 60.0f, inner = 30.0f;
    const tt::RecordingHost host = renderUnder([&](TessraRendererCUDA& r) {
        r.NuevaLuzFoco(0, 0, 2, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, outer, inner, 1.0f, 0, true, 1.0f);
    });
    const float cosOuter = std::cos(0.5f * outer * 3.14159f / 180.0f);
    const float cosInner = std::cos(0.5f * inner * 3.14159f / 180.0f);
    int lit = 0, dark = 0;
    for (int y = 0; y < kSize; y += 3) {
        for (int x = 0; x < kSize; x += 3) {
            const V3 P = planeHit(x, y);
            const V3 L = unit(sub({0, 0, 2}, P));
            const float c = L.z;
            const float* px = host.pixel(x, y);
            if (cosOuter > c) {
                EXPECT_EQ(px[0], 0.0f) << x << "," << y;
                ++dark;
            } else {
                const float f = std::min(1.0f, std::max(0.0f, (c - cosOuter) / (cosInner - cosOuter)));
                EXPECT_NEAR(px[0], f * L.z, 3e-4f) << x << "," << y;
                ++lit;
            }
        }
    }
    EXPECT_GT(lit, 20);
    EXPECT_GT(dark, 20);
}

TEST(DirectLight, DirectionalCylinderAndSquarePrism) {
    // Axis +z through (0.5, 0, 4): inner radius 0.6, outer 1.2.
    const tt::RecordingHost circle = renderUnder([](TessraRendererCUDA& r) {
        r.NuevaLuzDir(0.5f, 0, 4, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1.2f, 0.6f, 1.0f, 0, true, 1.0f);
    });
    const tt::RecordingHost square = renderUnder([](TessraRendererCUDA& r) {
        r.NuevaLuzDir(0.5f, 0, 4, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1.2f, 0.6f, 1.0f, 0, false, 1.0f);
    });
    int inside = 0, ramp = 0, outside = 0;
    for (int y = 0; y < kSize; y += 2) {
        for (int x = 0; x < kSize; x += 2) {
            const V3 P = planeHit(x, y);
            const float dx = P.x - 0.5f, dy = P.y;
            const float dr = std::sqrt(dx * dx + dy * dy);
            const float* c = circle.pixel(x, y);
            if (dr > 1.2f + 1e-4f) {
                EXPECT_EQ(c[0], 0.0f);
                ++outside;
            } else if (dr < 1.2f - 1e-4f) {
                // N.L = 1 for the axis +z; f runs from 0 at the outer radius to 1 inside.
                const float f = std::min(1.0f, std::max(0.0f, (dr - 1.2f) / (0.6f - 1.2f)));
                EXPECT_NEAR(c[0], f, 2e-3f);
                dr < 0.6f ? ++inside : ++ramp;
            }
            const float* s = square.pixel(x, y);
            const float a = dx, b = dy;
            if (std::fabs(a) > 1.2f + 1e-4f || std::fabs(b) > 1.2f + 1e-4f) {
                EXPECT_EQ(s[0], 0.0f);
            } else if (std::fabs(a) < 1.2f - 1e-4f && std::fabs(b) < 1.2f - 1e-4f) {
                auto edge = [](float t) {
                    const float o = 1.2f, in = 0.6f;
                    if (t > in) return std::min(1.0f, std::max(0.0f, (t - o) / (in - o)));
                    if (t < -in) return std::min(1.0f, std::max(0.0f, -(t + o) / (in - o)));
                    return 1.0f;
                };
                EXPECT_NEAR(s[0], edge(a) * edge(b), 2e-3f);
            }
        }
    }
    EXPECT_GT(inside, 5);
    EXPECT_GT(ramp, 5);
    EXPECT_GT(outside, 50);
}

// Mean over the n x n strata of a light, computed directly from the sampling pattern.
V3 strataMean(int kind, V3 pos, float radius, float w, float h, V3 P, int n = 8) {
    float sum = 0;
    for (int si = 0; si < n; ++si) {
        for (int sj = 0; sj < n; ++sj) {
            V3 S = pos;
            if (kind == 3) {
                const float a = float(si) / n, z = 1 - 2 * a, r = std::sqrt(std::max(0.0f, 1 - z * z));
                const float phi = 6.28318f * sj / n;
                S = add(pos, mul({r * std::cos(phi), r * std::sin(phi), z}, radius));
            } else {
                const float a = float(si) / n - 0.5f, b = float(sj) / n - 0.5f;
                S = add(pos, {a * w, b * h, 0});
            }
            const float ndotl = unit(sub(S, P)).z;
            if (kind == 4 && !(ndotl > 0)) continue;  // the axis (0, 0, -1) faces the floor
            sum += std::max(0.0f, ndotl);
        }
    }
    const float m = sum / float(n * n);
    return {m, m, m};
}

TEST(AreaLights, SphereAndRectangleAverageTheirSixtyFourStrata) {
    const tt::RecordingHost sphere = renderUnder(
        [](TessraRendererCUDA& r) { r.NuevaLuzOmniEsfera(0.3f, 0.2f, 1.5f, 1, 1, 1, 1.0f, 0.5f, 0); });
    // Rows U = x, V = y, axis A = -z: lights the floor below it.
    const tt::RecordingHost rect = renderUnder([](TessraRendererCUDA& r) {
        r.NuevaLuzRect(0, 0, 1.5f, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, -1, 1.0f, 1.5f, 0.8f, 0);
    });
    const tt::RecordingHost backSide = renderUnder([](TessraRendererCUDA& r) {
        r.NuevaLuzRect(0, 0, 1.5f, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1.0f, 1.5f, 0.8f, 0);
    });
    for (const auto& p : kProbe) {
        const V3 P = planeHit(p[0], p[1]);
        expectRgb(sphere.pixel(p[0], p[1]), strataMean(3, {0.3f, 0.2f, 1.5f}, 0.5f, 0, 0, P), 3e-4f);
        expectRgb(rect.pixel(p[0], p[1]), strataMean(4, {0, 0, 1.5f}, 0, 1.5f, 0.8f, P), 3e-4f);
        expectRgb(backSide.pixel(p[0], p[1]), {0, 0, 0}, 0.0f);
    }
}

// Ray against the occluder square [-0.5, 0.5]^2 at z = 1: does the segment P -> S cross it?
bool occluded(V3 P, V3 S) {
    const float t = (1.0f - P.z) / (S.z - P.z);
    if (!(t > 0 && t < 1)) return false;
    const V3 X = add(P, mul(sub(S, P), t));
    return std::fabs(X.x) <= 0.5f && std::fabs(X.y) <= 0.5f;
}

TEST(AreaLights, SoftShadowIsTheMeanOfVisibleStrata) {
    Scene s({1, 1, 1});
    const int blocker = tt::addDiffuse(*s.r, 1, 1, 1);
    tt::addQuad(*s.r, {-0.5f, -0.5f, 1}, {0.5f, -0.5f, 1}, {0.5f, 0.5f, 1}, {-0.5f, 0.5f, 1}, {0, 0, 1}, blocker);
    const V3 c = {0.0f, 0.0f, 2.0f};
    const float R = 0.6f;
    s.r->NuevaLuzOmniEsfera(c.x, c.y, c.z, 1, 1, 1, 1.0f, R, 0);
    s.r->shadowMode = 1;
    const tt::RecordingHost shadowed = s.render();
    s.r->shadowMode = 0;
    const tt::RecordingHost open = s.render();

    int penumbra = 0;
    for (int y = 0; y < kSize; y += 2) {
        for (int x = 0; x < kSize; x += 2) {
            const V3 P = planeHit(x, y);
            // Pixels that see the blocker instead of the floor are not part of this check.
            if (std::fabs(P.x * 0.8f) <= 0.5f && std::fabs(P.y * 0.8f) <= 0.5f) continue;
            float sum = 0, all = 0;
            int hidden = 0;
            for (int si = 0; si < 8; ++si) {
                for (int sj = 0; sj < 8; ++sj) {
                    const float a = si / 8.0f, z = 1 - 2 * a, r = std::sqrt(std::max(0.0f, 1 - z * z));
                    const float phi = 6.28318f * sj / 8;
                    const V3 S = add(c, mul({r * std::cos(phi), r * std::sin(phi), z}, R));
                    const float e = std::max(0.0f, unit(sub(S, P)).z);
                    all += e;
                    if (occluded(P, S)) {
                        ++hidden;
                    } else {
                        sum += e;
                    }
                }
            }
            if (hidden > 0 && hidden < 64) ++penumbra;
            EXPECT_NEAR(shadowed.pixel(x, y)[0], sum / 64.0f, 5e-4f) << x << "," << y;
            EXPECT_NEAR(open.pixel(x, y)[0], all / 64.0f, 5e-4f) << x << "," << y;
        }
    }
    EXPECT_GT(penumbra, 10);
}

TEST(Delivery, RowsAreClippedAtTheImageEdgeAndTilesKeepTheirSize) {
    Scene s({1, 1, 1}, 600, 300);
    s.r->NuevaLuzOmni(0, 0, 2, 1, 1, 1, 1.0f, 0, 1.0f);
    const tt::RecordingHost host = s.render();
    // 3 x 2 tiles, columns outer: (0,0) (0,256) (256,0) (256,256) (512,0) (512,256).
    ASSERT_EQ(host.tiles.size(), 6u);
    const uint32_t order[6][2] = {{0, 0}, {0, 256}, {256, 0}, {256, 256}, {512, 0}, {512, 256}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(host.tiles[i].x, order[i][0]);
        EXPECT_EQ(host.tiles[i].y, order[i][1]);
        EXPECT_EQ(host.tiles[i].w, 256u);
        EXPECT_EQ(host.tiles[i].h, 256u);
    }
    size_t rows88 = 0, rows44 = 0;
    for (const auto& run : host.runs) {
        if (run.x == 512) {
            EXPECT_EQ(run.count, 88u);
            ++rows88;
        } else {
            EXPECT_EQ(run.count, 256u);
        }
        if (run.y >= 256) ++rows44;
    }
    EXPECT_EQ(rows88, 300u);
    EXPECT_EQ(rows44, 3u * 44u);
    EXPECT_EQ(host.runs.size(), 3u * 300u);
    for (size_t i = 0; i < host.image.size(); ++i) ASSERT_GE(host.image[i], 0.0f) << "pixel never delivered";
}

TEST(Delivery, AbortAfterTheFirstTileAndRenderWithoutCallbacks) {
    Scene s({1, 1, 1}, 512, 512);
    s.r->NuevaLuzOmni(0, 0, 2, 1, 1, 1, 1.0f, 0, 1.0f);
    tt::RecordingHost host(512, 512);
    host.abortAfterTiles = 1;
    s.r->callbacks = &host;
    tt::setCameraLookingDownZ(*s.r, kEye);
    tt::StdoutCapture quiet;
    quiet.start();
    s.r->Render();
    quiet.stop();
    ASSERT_EQ(host.tiles.size(), 1u);
    EXPECT_EQ(host.runs.size(), 256u);
    for (const auto& run : host.runs) EXPECT_LT(run.y, 256u);
    // The aborted render left its scene on the device; the next render releases it first.
    const size_t live = rt::liveAllocationCount();
    s.r->callbacks = nullptr;
    tt::setCameraLookingDownZ(*s.r, kEye);
    quiet.start();
    s.r->Render();
    quiet.stop();
    EXPECT_LT(rt::liveAllocationCount(), live);

    // Without the abort: 3 x 3 tiles, the last row and column wholly outside the image.
    tt::RecordingHost full(512, 512);
    s.r->callbacks = &full;
    tt::setCameraLookingDownZ(*s.r, kEye);
    const uint32_t usedBefore = s.r->usedDeviceMem;
    quiet.start();
    s.r->Render();
    quiet.stop();
    EXPECT_EQ(full.tiles.size(), 9u);
    EXPECT_EQ(full.tiles[1].y, 256u);
    EXPECT_EQ(full.tiles[3].x, 256u);
    EXPECT_EQ(full.runs.size(), 512u * 2u);
    // Accounting counts every request and never subtracts: a second render of the same
    // scene requests exactly as much again.
    const uint32_t oneRender = s.r->usedDeviceMem - usedBefore;
    tt::setCameraLookingDownZ(*s.r, kEye);
    quiet.start();
    s.r->Render();
    quiet.stop();
    EXPECT_EQ(s.r->usedDeviceMem - usedBefore, 2 * oneRender);
    s.r->CleanUp();
}

TEST(Determinism, RepeatedRendersAndThreadCountsGiveIdenticalBytes) {
    Scene s({0.9f, 0.7f, 0.5f}, 96, 80);
    const int blocker = tt::addDiffuse(*s.r, 0.2f, 0.9f, 0.3f);
    tt::addQuad(*s.r, {-0.5f, -0.5f, 1}, {0.5f, -0.5f, 1}, {0.5f, 0.5f, 1}, {-0.5f, 0.5f, 1}, {0, 0, 1}, blocker);
    s.r->NuevaLuzOmniEsfera(0.2f, 0.1f, 2.0f, 1, 1, 1, 1.0f, 0.5f, 0);
    s.r->NuevaLuzOmni(-1, 1, 3, 1, 0.8f, 0.6f, 0.5f, 0, 1.0f);
    s.r->shadowMode = 1;
    rt::setThreadCount(1);
    const tt::RecordingHost a = s.render();
    rt::setThreadCount(2);
    const tt::RecordingHost b = s.render();
    const tt::RecordingHost c = s.render();
    rt::setThreadCount(0);
    ASSERT_EQ(a.image.size(), b.image.size());
    EXPECT_EQ(std::memcmp(a.image.data(), b.image.data(), a.image.size() * 4), 0);
    EXPECT_EQ(std::memcmp(b.image.data(), c.image.data(), b.image.size() * 4), 0);
}

}  // namespace

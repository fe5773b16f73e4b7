// Full renders on the CPU backend: direct light with shadows, an area light with 64
// shadow rays per pixel, and a reflection scene whose time is split by stage through
// the status texts the renderer reports.
//
//   build/bench/bench_render --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <unistd.h>

#include "host/internal.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// A host that drops pixels and times each stage by the status text in force.
class TimingHost : public TessraCallbacks {
public:
    void DrawPixels(const float*, uint32_t, uint32_t, uint32_t) override {}
    void TileFinished(uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void SetStatusText(const char* text) override {
        const auto now = Clock::now();
        if (!current.empty()) seconds[current] += std::chrono::duration<double>(now - since).count();
        current = text;
        since = now;
    }
    bool AbortRequested() override { return false; }
    void SetFinalGatherCount(uint32_t) override {}
    void ReportIrradianceTime(float, float) override {}
    void SetPhotonCount(uint32_t) override {}
    void finish() { SetStatusText(""); }
    std::map<std::string, double> seconds;
    std::string current;
    Clock::time_point since;
};

// A rolling terrain of about 2 * n * n triangles over [-5, 5]^2.
void addTerrain(TessraRendererCUDA& r, int n, int material) {
    auto h = [](float x, float y) { return 0.3f * std::sin(1.7f * x) * std::cos(1.3f * y); };
    const float step = 10.0f / n;
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            const float x0 = -5 + i * step, y0 = -5 + j * step, x1 = x0 + step, y1 = y0 + step;
            const tt::V3 a = {x0, y0, h(x0, y0)}, b = {x1, y0, h(x1, y0)}, c = {x1, y1, h(x1, y1)},
                         d = {x0, y1, h(x0, y1)};
            tt::addTriangle(r, a, b, c, {0, 0, 1}, material);
            tt::addTriangle(r, a, c, d, {0, 0, 1}, material);
        }
    }
}

void addSphere(TessraRendererCUDA& r, tt::V3 c, float radius, int material, int rings = 24, int segments = 48) {
    auto p = [&](int i, int j) {
        const float th = 3.14159265f * i / rings, ph = 6.2831853f * j / segments;
        return tt::V3{std::sin(th) * std::cos(ph), std::sin(th) * std::sin(ph), std::cos(th)};
    };
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            const tt::V3 n[4] = {p(i, j), p(i + 1, j), p(i + 1, j + 1), p(i, j + 1)};
            tt::V3 v[4];
            for (int k = 0; k < 4; ++k) v[k] = {c.x + radius * n[k].x, c.y + radius * n[k].y, c.z + radius * n[k].z};
            float d[24];
            auto put = [&](int slot, int k) {
                d[3 * slot] = v[k].x, d[3 * slot + 1] = v[k].y, d[3 * slot + 2] = v[k].z;
                d[9 + 3 * slot] = n[k].x, d[10 + 3 * slot] = n[k].y, d[11 + 3 * slot] = n[k].z;
            };
            for (int k = 18; k < 24; ++k) d[k] = 0;
            put(0, 0), put(1, 1), put(2, 2);
            r.NuevoTriangulo(d, material, false, 1.0f);
            put(0, 0), put(1, 2), put(2, 3);
            r.NuevoTriangulo(d, material, false, 1.0f);
        }
    }
}

void render(benchmark::State& state, TessraRendererCUDA& r, TimingHost& host) {
    r.callbacks = &host;
    tt::setCamera(r, {0, -7, 5}, {0, 0, 0}, {0, 0, 1});
    tt::StdoutCapture quiet;
    quiet.start();
    host.since = Clock::now();
    r.Render();
    host.finish();
    quiet.stop();
    r.callbacks = nullptr;
}

void BM_DirectLight(benchmark::State& state) {
    const int size = int(state.range(0));
    const bool area = state.range(1) != 0;
    TessraRendererCUDA* r = tt::newRenderer(size, size);
    r->fieldOfView = 0.9f;
    addTerrain(*r, 224, tt::addDiffuse(*r, 0.8f, 0.8f, 0.8f));  // 100,352 triangles
    if (area)
        r->NuevaLuzRect(0.5f, 0.5f, 4, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, -1, 1.0f, 2.0f, 2.0f, 0);
    else
        r->NuevaLuzOmni(2, -1, 4, 1, 1, 1, 1.0f, 0, 1.0f);
    r->shadowMode = 1;
    TimingHost host;
    for (auto _ : state) render(state, *r, host);
    const double pixels = double(size) * size;
    const double rays = pixels * (1 + (area ? 64 : 1));
    state.counters["rays/s"] = benchmark::Counter(rays * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["tris"] = double(r->triangles.size());
    delete r;
}
BENCHMARK(BM_DirectLight)
    ->ArgsProduct({{512, 1024}, {0, 1}})
    ->ArgNames({"size", "area"})
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

void BM_Reflections(benchmark::State& state) {
    const int size = int(state.range(0));
    TessraRendererCUDA* r = tt::newRenderer(size, size);
    r->fieldOfView = 0.9f;
    addTerrain(*r, 60, tt::addDiffuse(*r, 0.7f, 0.7f, 0.7f));
    material_t m;
    m.reflective = true;
    m.reflColor[0] = m.reflColor[1] = m.reflColor[2] = 230;
    const int mirror = r->NuevoMaterial(m);
    m.reflGloss = 0.7f;
    m.diffuse[0] = 0.6f, m.diffuse[1] = 0.5f, m.diffuse[2] = 0.2f;
    const int glossy = r->NuevoMaterial(m);
    material_t g;
    g.refractive = true;
    g.refrColor[0] = g.refrColor[1] = g.refrColor[2] = 240;
    const int glass = r->NuevoMaterial(g);
    tt::addQuad(*r, {-4, 3, 0}, {4, 3, 0}, {4, 3, 4}, {-4, 3, 4}, {0, -1, 0}, mirror);
    addSphere(*r, {-1.5f, 0, 1}, 1.0f, glossy);
    addSphere(*r, {1.5f, -0.5f, 1}, 1.0f, glass);
    r->NuevaLuzRect(0, -1, 5, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, -1, 1.0f, 2.0f, 2.0f, 0);
    r->shadowMode = 1;
    TimingHost host;
    for (auto _ : state) render(state, *r, host);
    double total = 0;
    for (const auto& [k, v] : host.seconds) total += v;
    for (const auto& [k, v] : host.seconds)
        if (v / total > 0.001) std::fprintf(stderr, "  %-40s %7.2f s  %5.1f %%\n", k.c_str(), v, 100 * v / total);
    state.counters["tris"] = double(r->triangles.size());
    delete r;
}
BENCHMARK(BM_Reflections)->Arg(256)->ArgName("size")->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

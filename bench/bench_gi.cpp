// Global-illumination throughput on the CPU backend: photon emission and tracing, the
// k-nearest photon search, final-gather placement with the irradiance cache, and whole
// Cornell-box renders.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <random>

#include "device/kernels_gi.h"
#include "host/internal.h"
#include "host/kdtree.h"
#include "support/cornell.h"

namespace {

// The CPU backend unless TESSRA_TEST_BACKEND names another (the GPU machine's script).
void selectBackend() {
    const char* b = std::getenv("TESSRA_TEST_BACKEND");
    Tessra_SelectBackend(b ? b : "cpu");
}

void upload(TessraRendererCUDA& r) {
    tt::setCameraLookingDownZ(r, tt::kCornellEye);
    tt::StdoutCapture quiet;
    quiet.start();
    r.initScene();
    for (int row = 0; row < 3; ++row)
        for (int c = 0; c < 4; ++c) r.invViewMatrix[row * 4 + c] = r.cameraMatrix[row * 4 + c];
    quiet.stop();
}

void BM_CastPhotons(benchmark::State& state) {
    selectBackend();
    TessraRendererCUDA r;
    r.width = r.height = 64;
    tt::addCornellBox(r);
    tt::enablePhotonMapping(r, uint32_t(state.range(0)), false);
    upload(r);
    for (auto _ : state) {
        tt::StdoutCapture quiet;
        quiet.start();
        r.castPhotons();
        quiet.stop();
    }
    // Every path is traced once per pass (emission plus numBounces).
    state.counters["photons/s"] =
        benchmark::Counter(double(state.range(0)) * (1 + r.numBounces) * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["stored"] = double(r.photonKdTree->numRecords);
    r.CleanUp();
}
BENCHMARK(BM_CastPhotons)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_KNearest(benchmark::State& state) {
    selectBackend();
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1, 1);
    const int n = int(state.range(0));
    std::vector<float4> p(n), s(n, make_float4(0, 1, 0, 0)), c(n, make_float4(1, 1, 1, 0));
    for (auto& e : p) e = make_float4(u(rng), -1.0f + 0.01f * u(rng), u(rng), 1);
    KdTree t(0.0f);
    t.AddRecords(uint32_t(n), p.data(), s.data(), c.data());
    t.Build();
    t.Bind();
    PhotonSearch ps;
    ps.range = 1.0f;
    ps.firstPass = 0;
    KnnList<40> l;
    float3 acc = make_float3(0, 0, 0);
    for (auto _ : state) {
        const float3 q = make_float3(u(rng), -1.0f, u(rng));
        kdTreeKNearest(q, make_float3(0, 1, 0), ps, l);
        acc += photonDensity(l, make_float3(0, 1, 0), ps.range);
    }
    benchmark::DoNotOptimize(acc);
    state.counters["queries/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_KNearest)->Arg(100000)->Arg(1000000);

void BM_FinalGatherPlacementAndCache(benchmark::State& state) {
    selectBackend();
    TessraRendererCUDA r;
    r.width = r.height = 256;
    tt::addCornellBox(r);
    tt::enablePhotonMapping(r, 50000, true);
    r.irradianceSamples = 64;
    upload(r);
    {
        tt::StdoutCapture quiet;
        quiet.start();
        r.castPhotons();
        quiet.stop();
    }
    TessraFrameBuffer fb(&r, 256, 256);
    double cacheMs = 0;
    for (auto _ : state) {
        delete r.fgKdTree;
        r.fgKdTree = new KdTree(0.0f);
        r.InitScreenCUDA(0, 0, fb, false);
        r.DistributeFinalGatherPoints(fb);
        const auto t0 = std::chrono::steady_clock::now();
        tt::StdoutCapture quiet;
        quiet.start();
        r.CalculateIrradianceCache();
        quiet.stop();
        cacheMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
    state.counters["records"] = double(r.fgKdTree->numRecords);
    state.counters["cache_ms"] = cacheMs / double(state.iterations());
}
BENCHMARK(BM_FinalGatherPlacementAndCache)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_CornellRender(benchmark::State& state) {
    selectBackend();
    for (auto _ : state) {
        TessraRendererCUDA r;
        r.width = r.height = int(state.range(0));
        tt::addCornellBox(r);
        tt::enablePhotonMapping(r, 100000, state.range(1) != 0);
        r.irradianceSamples = 64;
        benchmark::DoNotOptimize(tt::renderCornell(r));
    }
}
BENCHMARK(BM_CornellRender)
    ->ArgNames({"size", "fg"})
    ->Args({512, 0})
    ->Args({512, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();

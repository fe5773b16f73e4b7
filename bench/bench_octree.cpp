// The octree build (bounds, the subdivision, flattening and the upload to the CPU
// backend, all of the Octree constructor) per million triangles, with 1 and 2 worker
// threads, and the peak of resident memory it adds per triangle, of which device_B/tri
// stays allocated on the CPU backend (the device copies, in host memory there).
//
//   build/bench/bench_octree --benchmark_counters_tabular=true
//
// TESSRA_BENCH_TRIS=1000000,4000000 sets the mesh sizes (makeMesh: half random
// triangles, half a height field); TESSRA_BENCH_THREADS=1,2,16 the worker counts.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "support/meshes.h"

namespace {

using namespace meshes;

constexpr uint32_t kDepth = 8;  // the renderer's default maxOctreeDepth

// A field of /proc/self/status in bytes (Linux), 0 where there is none.
size_t statusBytes(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        size_t kb = 0;
        if (key == field && in >> kb) return kb * 1024;
        std::getline(in, key);
    }
    return 0;
}

// Writing 5 to clear_refs resets the peak (VmHWM) to the present resident size.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

const Mesh& meshOf(size_t triangles) {
    static std::map<size_t, std::unique_ptr<Mesh>> meshes;
    auto& m = meshes[triangles];
    if (!m) m = std::make_unique<Mesh>(makeMesh(triangles, 7));
    return *m;
}

void BM_OctreeBuild(benchmark::State& state, size_t triangles, unsigned threads) {
    const Mesh& m = meshOf(triangles);
    rt::setThreadCount(threads);
    size_t peak = 0, nodes = 0, entries = 0, device = 0;
    double total = 0;
    for (auto _ : state) {
        const size_t before = statusBytes("VmRSS:"), allocated = rt::liveAllocationBytes();
        resetPeak();
        tt::StdoutCapture quiet(true);
        const auto t0 = std::chrono::steady_clock::now();
        const Octree o(uint32_t(m.triangles()), m.vertices.data(), kDepth);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(s);
        total += s;
        quiet.stop();
        peak = std::max(peak, statusBytes("VmHWM:") - before);
        nodes = o.num_nodos_totales, entries = o.totalContenido, device = rt::liveAllocationBytes() - allocated;
    }
    rt::setThreadCount(0);
    const double tris = double(m.triangles());
    state.counters["tris"] = tris;
    state.counters["s/Mtri"] = total / double(state.iterations()) / (tris * 1e-6);
    state.counters["peak_B/tri"] = double(peak) / tris;
    state.counters["device_B/tri"] = double(device) / tris;
    state.counters["nodes"] = double(nodes);
    state.counters["entries"] = double(entries);
}

std::vector<size_t> listFrom(const char* env, const char* fallback) {
    std::vector<size_t> out;
    const char* list = std::getenv(env);
    for (const char* p = list ? list : fallback; *p;) {
        char* end = nullptr;
        out.push_back(std::strtoull(p, &end, 10));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p) break;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    for (size_t tris : listFrom("TESSRA_BENCH_TRIS", "1000000"))
        for (size_t threads : listFrom("TESSRA_BENCH_THREADS", "1,2"))
            benchmark::RegisterBenchmark(
                ("BM_OctreeBuild/" + std::to_string(tris) + "/threads:" + std::to_string(threads)).c_str(),
                BM_OctreeBuild, tris, unsigned(threads))
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(3);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// The largest scenes and images: renders a terrain of about T triangles at W x H with one
// point light and shadows, and prints the time, the peak resident memory, the device
// memory the renderer requested and every message. Not a Google Benchmark: one run per
// call, because a run can take minutes and gigabytes.
//   bench_load TRIANGLES WIDTH HEIGHT [DEVICE_CAP_MIB]
// A cap makes the CPU backend refuse allocations beyond it, to show the message one step
// past the memory a device has.
//
// Reading model files, as a Google Benchmark: the same terrain written as OBJ, binary PLY
// and binary STL into a scratch folder, read by tessra-render's readers and by Assimp.
//   bench_load import [TRIANGLES] [--benchmark_...]
//   bench_load write-meshes FOLDER TRIANGLES     (mesh.obj, mesh.ply, mesh.stl, for timing tessra-render)
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/device.h"
#include "support/test_support.h"

#if TESSRA_HAVE_APP
#include "mesh_readers.h"
#include "scene.h"
#endif

namespace {

float terrainHeight(float x, float y) { return 0.3f * std::sin(1.7f * x) * std::cos(1.3f * y); }

// The terrain's (n + 1)^2 corners, row by row, and two triangles per cell.
void writeMeshes(const std::string& folder, double triangles) {
    const int n = std::max(1, int(std::sqrt(triangles / 2.0)));
    const float step = 10.0f / float(n);
    std::vector<float> p;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) {
            const float x = -5 + i * step, y = -5 + j * step;
            p.insert(p.end(), {x, y, terrainHeight(x, y)});
        }
    std::vector<uint32_t> t;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const uint32_t a = uint32_t(j * (n + 1) + i), b = a + 1, c = b + uint32_t(n + 1), d = a + uint32_t(n + 1);
            t.insert(t.end(), {a, b, c, a, c, d});
        }
    std::filesystem::create_directories(folder);
    {
        std::string text;
        char b[32];
        auto number = [&](float v) {
            const auto r = std::to_chars(b, b + sizeof(b), v, std::chars_format::general, 7);
            text.append(b, r.ptr);
        };
        for (size_t i = 0; i < p.size(); i += 3) {
            text += "v ";
            for (int k = 0; k < 3; ++k) {
                number(p[i + size_t(k)]);
                text += k < 2 ? ' ' : '\n';
            }
        }
        for (size_t i = 0; i < t.size(); i += 3)
            text += "f " + std::to_string(t[i] + 1) + " " + std::to_string(t[i + 1] + 1) + " " +
                    std::to_string(t[i + 2] + 1) + "\n";
        std::ofstream(folder + "/mesh.obj", std::ios::binary) << text;
    }
    {
        std::ofstream ply(folder + "/mesh.ply", std::ios::binary);
        ply << "ply\nformat binary_little_endian 1.0\nelement vertex " << p.size() / 3
            << "\nproperty float x\nproperty float y\nproperty float z\nelement face " << t.size() / 3
            << "\nproperty list uchar uint vertex_indices\nend_header\n";
        ply.write(reinterpret_cast<const char*>(p.data()), std::streamsize(p.size() * 4));
        std::vector<char> faces;
        for (size_t i = 0; i < t.size(); i += 3) {
            faces.push_back(3);
            const char* q = reinterpret_cast<const char*>(&t[i]);
            faces.insert(faces.end(), q, q + 12);
        }
        ply.write(faces.data(), std::streamsize(faces.size()));
    }
    {
        std::vector<char> stl(84 + 50 * (t.size() / 3), '\0');
        const uint32_t count = uint32_t(t.size() / 3);
        std::memcpy(&stl[80], &count, 4);
        for (size_t f = 0; f < count; ++f) {
            float v[12] = {0, 0, 1};
            for (int c = 0; c < 3; ++c) std::memcpy(&v[3 + 3 * c], &p[3 * t[3 * f + size_t(c)]], 12);
            std::memcpy(&stl[84 + 50 * f], v, 48);
        }
        std::ofstream(folder + "/mesh.stl", std::ios::binary).write(stl.data(), std::streamsize(stl.size()));
    }
}

#if TESSRA_HAVE_APP
int importBenchmarks(int argc, char** argv) {
    double triangles = 1e6;
    if (argc > 2 && argv[2][0] != '-') {
        triangles = std::atof(argv[2]);
        --argc;
        ++argv;
    }
    const std::string folder = (std::filesystem::temp_directory_path() / "tessra-bench-import").string();
    writeMeshes(folder, triangles);
    const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (const char* ext : {"obj", "ply", "stl"})
        for (int assimp = 0; assimp < 2; ++assimp) {
            const std::string path = folder + "/mesh." + ext;
            benchmark::RegisterBenchmark((std::string("Import/") + ext + (assimp ? "/assimp" : "/tessra")).c_str(),
                                         [path, assimp, identity](benchmark::State& state) {
                                             size_t n = 0;
                                             for (auto _ : state) {
                                                 tr::Scene scene;
                                                 if (assimp) tr::importWithAssimp(scene, path, identity, {});
                                                 else tr::importModel(scene, path, identity, {});
                                                 n = scene.triangles.size();
                                             }
                                             state.counters["triangles"] = double(n);
                                             state.counters["MB/s"] = benchmark::Counter(
                                                 double(std::filesystem::file_size(path)) * 1e-6 * double(state.iterations()),
                                                 benchmark::Counter::kIsRate);
                                         })
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Iterations(2);
        }
    --argc;
    ++argv;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(folder);
    return 0;
}
#endif

struct CountingHost : TessraCallbacks {
    void DrawPixels(const float*, uint32_t count, uint32_t, uint32_t) override { pixels += count; }
    void TileFinished(uint32_t, uint32_t, uint32_t, uint32_t) override { ++tiles; }
    void SetStatusText(const char*) override {}
    bool AbortRequested() override { return false; }
    void SetFinalGatherCount(uint32_t) override {}
    void ReportIrradianceTime(float, float) override {}
    void SetPhotonCount(uint32_t) override {}
    unsigned long long pixels = 0, tiles = 0;
};

// Standard error: the render silences standard output.
void onMessage(const char* text, const char* title, void*) { std::fprintf(stderr, "message: %s: %s\n", title, text); }

double peakResidentGiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_maxrss) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "import") == 0) {
#if TESSRA_HAVE_APP
        return importBenchmarks(argc, argv);
#else
        std::fprintf(stderr, "%s: built without tessra-render's readers (TESSRA_BUILD_APP off)\n", argv[0]);
        return 2;
#endif
    }
    if (argc == 4 && std::strcmp(argv[1], "write-meshes") == 0) {
        writeMeshes(argv[2], std::atof(argv[3]));
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s TRIANGLES WIDTH HEIGHT [DEVICE_CAP_MIB]\n", argv[0]);
        return 2;
    }
    const double triangles = std::atof(argv[1]);
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]);
    TessraRendererCUDA* r = tt::newRenderer(w, h);
    if (argc > 4) rt::setMemoryCap(size_t(std::atof(argv[4]) * 1024.0 * 1024.0));
    Tessra_SetMessageHandler(onMessage, nullptr);
    const int n = std::max(1, int(std::sqrt(triangles / 2.0)));
    const int m = tt::addDiffuse(*r, 0.8f, 0.8f, 0.8f);
    auto height = terrainHeight;
    const float step = 10.0f / float(n);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const float x0 = -5 + i * step, y0 = -5 + j * step, x1 = x0 + step, y1 = y0 + step;
            const tt::V3 a = {x0, y0, height(x0, y0)}, b = {x1, y0, height(x1, y0)}, c = {x1, y1, height(x1, y1)},
                         d = {x0, y1, height(x0, y1)};
            tt::addTriangle(*r, a, b, c, {0, 0, 1}, m);
            tt::addTriangle(*r, a, c, d, {0, 0, 1}, m);
        }
    r->NuevaLuzOmni(2, -1, 4, 1, 1, 1, 1.0f, 0, 1.0f);
    r->shadowMode = 1;
    r->fieldOfView = 0.9f;
    CountingHost host;
    const auto t0 = std::chrono::steady_clock::now();
    tt::renderQuietly(*r, host, {0, -7, 5}, {0, 0, 0}, {0, 0, 1});
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("triangles %zu  image %d x %d  %.1f s  pixels delivered %llu of %llu  tiles %llu  device memory "
                "requested %.1f MiB  peak resident %.2f GiB\n",
                r->triangles.size(), w, h, s, host.pixels, (unsigned long long)w * h, host.tiles,
                double(r->usedDeviceMem) / (1024.0 * 1024.0), peakResidentGiB());
    r->CleanUp();
    Tessra_DeleteRenderer(&r);
    return 0;
}

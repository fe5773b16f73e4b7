// Ray throughput of intersectOctree (through the cast_rays kernel on the CPU backend)
// against Embree 3's rtcIntersect1 / rtcOccluded1 on the same rays in the same run:
// primary rays of a 1024 x 1024 camera, random rays, and any-hit shadow rays from a
// point light to the primary hits, on deterministic meshes of 10k, 100k and 1M
// triangles (10M with TESSRA_BENCH_10M=1) and on a real mesh from assimp-testmodels;
// with 1 and 2 worker threads; and the octree build time per million triangles.
//
//   build/bench/bench_rays --benchmark_counters_tabular=true
//
// With TESSRA_BENCH_DUMP=file it runs no benchmark and instead writes every value the
// traversal delivers (all hit fields of every ray set on three meshes, and Cornell-box
// renders with shadows, an area light and photon mapping with final gather) to file,
// so that two builds can be compared byte for byte with cmp.
//
// TESSRA_BENCH_MESH names another real mesh file; TESSRA_TEST_BACKEND=cuda casts our
// rays on the CUDA backend instead (Embree stays on the CPU); TESSRA_BENCH_THREADS=1,2,16
// sets the worker thread counts (default 1,2).
//
// ratio = our rays/s over Embree's; the cpu-s figures divide by the CPU time of all
// threads instead of the wall clock (on a shared machine the less noisy figure), and
// cpu_ratio is their ratio; agree = fraction of rays on which both report the same hit
// or miss (and, for nearest hits, distances within 1e-3).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "support/cornell.h"
#include "support/meshes.h"

#if defined(TESSRA_HAVE_EMBREE)
#include <embree3/rtcore.h>
#endif
#if defined(TESSRA_HAVE_ASSIMP)
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <assimp/Importer.hpp>
#endif

namespace {

using namespace meshes;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }
// CPU time of the whole process, every thread (Linux): unlike the wall clock, it does
// not grow when other programs share the cores.
double processCpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

constexpr uint32_t kDepth = 8;  // the renderer's default maxOctreeDepth
constexpr const char* kRealMesh = "/usr/share/assimp/models/PLY/Wuson.ply";

struct MeshSpec {
    std::string name;
    size_t triangles;  // 0: the real mesh
};

// The real mesh, scaled into [-1, 1]^3 where the camera and random rays look.
bool loadRealMesh(Mesh& m) {
#if defined(TESSRA_HAVE_ASSIMP)
    Assimp::Importer imp;
    const char* path = std::getenv("TESSRA_BENCH_MESH");
    const aiScene* s = imp.ReadFile(path ? path : kRealMesh, aiProcess_Triangulate | aiProcess_PreTransformVertices);
    if (!s) return false;
    float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
    for (unsigned k = 0; k < s->mNumMeshes; ++k)
        for (unsigned v = 0; v < s->mMeshes[k]->mNumVertices; ++v) {
            const aiVector3D& p = s->mMeshes[k]->mVertices[v];
            for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], p[a]), hi[a] = std::max(hi[a], p[a]);
        }
    const float scale = 2.0f / std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
    auto at = [&](const aiVector3D& p) {
        return make_float3((p.x - 0.5f * (lo[0] + hi[0])) * scale, (p.y - 0.5f * (lo[1] + hi[1])) * scale,
                           (p.z - 0.5f * (lo[2] + hi[2])) * scale);
    };
    for (unsigned k = 0; k < s->mNumMeshes; ++k) {
        const aiMesh* mesh = s->mMeshes[k];
        for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
            const aiFace& face = mesh->mFaces[f];
            if (face.mNumIndices != 3) continue;
            m.add(at(mesh->mVertices[face.mIndices[0]]), at(mesh->mVertices[face.mIndices[1]]),
                  at(mesh->mVertices[face.mIndices[2]]));
        }
    }
    return m.triangles() > 0;
#else
    (void)m;
    return false;
#endif
}

#if defined(TESSRA_HAVE_EMBREE)
class EmbreeScene {
public:
    explicit EmbreeScene(const Mesh& m) {
        device_ = rtcNewDevice("threads=2");
        scene_ = rtcNewScene(device_);
        const size_t n = m.triangles();
        RTCGeometry g = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_TRIANGLE);
        auto* v = static_cast<float*>(
            rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), 3 * n));
        auto* idx = static_cast<unsigned*>(
            rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), n));
        for (size_t i = 0; i < 3 * n; ++i) {
            v[3 * i] = m.vertices[i].x, v[3 * i + 1] = m.vertices[i].y, v[3 * i + 2] = m.vertices[i].z;
            idx[i] = unsigned(i);
        }
        rtcCommitGeometry(g);
        rtcAttachGeometry(scene_, g);
        rtcReleaseGeometry(g);
        const auto t0 = Clock::now();
        rtcCommitScene(scene_);
        buildSeconds = seconds(t0, Clock::now());
    }
    ~EmbreeScene() {
        rtcReleaseScene(scene_);
        rtcReleaseDevice(device_);
    }
    EmbreeScene(const EmbreeScene&) = delete;
    EmbreeScene& operator=(const EmbreeScene&) = delete;

    // Casts every ray on `threads` threads taking 256 rays at a time.
    void cast(const std::vector<float4>& rays, bool anyHit, unsigned threads, std::vector<unsigned char>& found,
              std::vector<float>& distance) const {
        const size_t n = rayCount(rays);
        found.assign(n, 0);
        distance.assign(n, 0.0f);
        std::atomic<size_t> next{0};
        auto work = [&] {
            RTCIntersectContext ctx;
            rtcInitIntersectContext(&ctx);
            for (;;) {
                const size_t first = next.fetch_add(256);
                if (first >= n) return;
                const size_t last = std::min(n, first + 256);
                for (size_t i = first; i < last; ++i) {
                    const float4 a = rays[2 * i], b = rays[2 * i + 1];
                    RTCRayHit rh;
                    RTCRay& r = rh.ray;
                    r.org_x = a.x, r.org_y = a.y, r.org_z = a.z, r.tnear = 0.0f;
                    r.dir_x = b.x, r.dir_y = b.y, r.dir_z = b.z, r.time = 0.0f;
                    r.tfar = a.w, r.mask = ~0u, r.id = 0, r.flags = 0;
                    if (anyHit) {
                        rtcOccluded1(scene_, &ctx, &r);
                        found[i] = r.tfar < 0.0f;
                    } else {
                        rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
                        rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
                        rtcIntersect1(scene_, &ctx, &rh);
                        found[i] = rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
                        distance[i] = found[i] ? r.tfar : 0.0f;
                    }
                }
            }
        };
        std::vector<std::thread> pool;
        for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
        work();
        for (auto& t : pool) t.join();
    }
    double buildSeconds = 0;

private:
    RTCDevice device_;
    RTCScene scene_;
};
#endif

enum Kind { Primary, Random, Shadow };
const char* const kKindNames[] = {"primary", "random", "shadow"};

// One mesh with its octree on the CPU backend, its Embree scene and its three ray sets;
// only the mesh in use is kept.
struct Setup {
    std::string name;
    Mesh mesh;
    std::unique_ptr<DeviceScene> scene;
    double octreeSeconds = 0;
#if defined(TESSRA_HAVE_EMBREE)
    std::unique_ptr<EmbreeScene> embree;
#endif
    std::vector<float4> rays[3];
};
std::unique_ptr<Setup> g_setup;

Setup& setupFor(const MeshSpec& spec) {
    if (g_setup && g_setup->name == spec.name) return *g_setup;
    g_setup.reset();
    auto s = std::make_unique<Setup>();
    s->name = spec.name;
    if (spec.triangles) s->mesh = makeMesh(spec.triangles, 7);
    else loadRealMesh(s->mesh);
    const char* backend = std::getenv("TESSRA_TEST_BACKEND");
    rt::selectBackend(backend ? backend : "cpu");
    const auto t0 = Clock::now();
    s->scene = std::make_unique<DeviceScene>(s->mesh, kDepth);
    s->octreeSeconds = seconds(t0, Clock::now());
#if defined(TESSRA_HAVE_EMBREE)
    s->embree = std::make_unique<EmbreeScene>(s->mesh);
#endif
    s->rays[Primary] = defaultCameraRays(1024, 1024);
    s->rays[Random] = randomRays(size_t(1) << 19, 5);
    // Shadow rays run from the light to every primary hit, stopping just short of it,
    // as the direct-light kernels cast them.
    const CastResults hits = castRays(s->rays[Primary], false);
    const float3 light = make_float3(2.0f, 3.0f, 4.0f);
    for (size_t i = 0; i < hits.found.size(); ++i) {
        if (!hits.found[i]) continue;
        const float3 d = xyz(hits.position[i]) - light;
        addRay(s->rays[Shadow], light, d, std::sqrt(dot(d, d)) - 0.01f);
    }
    g_setup = std::move(s);
    return *g_setup;
}

void BM_Rays(benchmark::State& state, MeshSpec spec, Kind kind, unsigned threads) {
    Setup& s = setupFor(spec);
    if (s.mesh.triangles() == 0) {
        state.SkipWithError("mesh not available");
        return;
    }
    s.scene->bind();
    rt::setThreadCount(threads);
    const std::vector<float4>& rays = s.rays[kind];
    const bool anyHit = kind == Shadow;
    RayBatch batch(rays);
    double ours = 0, theirs = 0, oursCpu = 0, theirsCpu = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const double c0 = processCpuSeconds();
        batch.cast(anyHit);
        oursCpu += processCpuSeconds() - c0;
        const double t = seconds(t0, Clock::now());
        state.SetIterationTime(t);
        ours += t;
#if defined(TESSRA_HAVE_EMBREE)
        std::vector<unsigned char> found;
        std::vector<float> distance;
        const auto t1 = Clock::now();
        const double c1 = processCpuSeconds();
        s.embree->cast(rays, anyHit, threads, found, distance);
        theirsCpu += processCpuSeconds() - c1;
        theirs += seconds(t1, Clock::now());
#endif
    }
    const double n = double(rayCount(rays)) * double(state.iterations());
    state.counters["tris"] = double(s.mesh.triangles());
    state.counters["Mrays/s"] = n / ours * 1e-6;
    state.counters["Mrays/cpu-s"] = n / oursCpu * 1e-6;
#if defined(TESSRA_HAVE_EMBREE)
    state.counters["embree_Mrays/s"] = n / theirs * 1e-6;
    state.counters["ratio"] = theirs / ours;
    state.counters["embree_Mrays/cpu-s"] = n / theirsCpu * 1e-6;
    state.counters["cpu_ratio"] = theirsCpu / oursCpu;
    // The same answers: hit or miss, and the nearest distance.
    std::vector<unsigned char> found;
    std::vector<float> distance;
    s.embree->cast(rays, anyHit, threads, found, distance);
    const CastResults r = batch.download(anyHit);
    size_t same = 0;
    for (size_t i = 0; i < found.size(); ++i)
        same += r.found[i] == found[i] &&
                (anyHit || !found[i] || std::fabs(r.distance[i] - distance[i]) <= 1e-3f * distance[i]);
    state.counters["agree"] = double(same) / double(found.size());
#endif
    rt::setThreadCount(0);
}

// The octree build of the setup (timed once when the mesh was made) and Embree's.
void BM_Build(benchmark::State& state, MeshSpec spec) {
    Setup& s = setupFor(spec);
    if (s.mesh.triangles() == 0) {
        state.SkipWithError("mesh not available");
        return;
    }
    for (auto _ : state) state.SetIterationTime(s.octreeSeconds);
    const double mtri = double(s.mesh.triangles()) * 1e-6;
    state.counters["tris"] = double(s.mesh.triangles());
    state.counters["s/Mtri"] = s.octreeSeconds / mtri;
    state.counters["nodes"] = double(s.scene->octree->num_nodos_totales);
    state.counters["entries"] = double(s.scene->octree->totalContenido);
#if defined(TESSRA_HAVE_EMBREE)
    state.counters["embree_s/Mtri"] = s.embree->buildSeconds / mtri;
#endif
}

template <typename T>
void put(std::FILE* f, const std::vector<T>& v) {
    std::fwrite(v.data(), sizeof(T), v.size(), f);
}

int dump(const char* path) {
    std::FILE* f = std::fopen(path, "wb");
    if (!f) return 1;
    for (const MeshSpec& spec : {MeshSpec{"10k", 10000}, MeshSpec{"100k", 100000}, MeshSpec{"wuson", 0}}) {
        Setup& s = setupFor(spec);
        s.scene->bind();
        for (int k = 0; k < 3; ++k) {
            const CastResults n = castRays(s.rays[k], false), a = castRays(s.rays[k], true);
            put(f, n.found), put(f, n.triangle), put(f, n.distance), put(f, n.position), put(f, n.normal);
            put(f, n.barycentric), put(f, a.found);
        }
    }
    g_setup.reset();
    for (int variant = 0; variant < 3; ++variant) {
        std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(128, 128));
        tt::addCornellBox(*r);
        if (variant == 1) r->NuevaLuzRect(0, 0.95f, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, -1, 0, 0.5f, 0.6f, 0.6f, 0);
        if (variant == 2) tt::enablePhotonMapping(*r, 20000, true);
        put(f, tt::renderCornell(*r));
    }
    return std::fclose(f) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* path = std::getenv("TESSRA_BENCH_DUMP")) return dump(path);
    std::vector<MeshSpec> specs = {{"10k", 10000}, {"100k", 100000}, {"1M", 1000000}};
    if (const char* e = std::getenv("TESSRA_BENCH_10M"); e && *e == '1') specs.push_back({"10M", 10000000});
    specs.push_back({"wuson", 0});
    std::vector<unsigned> threadCounts;
    const char* list = std::getenv("TESSRA_BENCH_THREADS");
    for (const char* p = list ? list : "1,2"; *p;) {
        char* end = nullptr;
        const unsigned long v = std::strtoul(p, &end, 10);
        if (end == p) break;
        if (v > 0) threadCounts.push_back(unsigned(v));
        p = *end ? end + 1 : end;
    }
    for (const MeshSpec& spec : specs) {
        benchmark::RegisterBenchmark(("BM_Build/" + spec.name).c_str(), BM_Build, spec)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        for (Kind kind : {Primary, Random, Shadow})
            for (unsigned threads : threadCounts)
                benchmark::RegisterBenchmark(
                    ("BM_Rays/" + spec.name + "/" + kKindNames[kind] + "/threads:" + std::to_string(threads)).c_str(),
                    BM_Rays, spec, kind, threads)
                    ->Iterations(2)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_setup.reset();
    return 0;
}

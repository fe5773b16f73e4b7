// Deterministic meshes and rays shared by the ray-casting tests and benchmarks, a
// scene put on the active backend the way initScene binds it, a batch caster over the
// cast_rays kernel, and the obvious reference: a loop over every triangle.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "device/kernels_screen.h"
#include "host/Octree.h"
#include "runtime/device.h"
#include "support/test_support.h"

namespace meshes {

// Floats from the generator's bits: std::uniform_real_distribution does not promise the
// same sequence on every standard library.
class Rng {
public:
    explicit Rng(uint32_t seed) : gen_(seed) {}
    float uniform() { return float(gen_() >> 8) * (1.0f / 16777216.0f); }
    float range(float lo, float hi) { return lo + (hi - lo) * uniform(); }
    float3 vec(float lo, float hi) { return make_float3(range(lo, hi), range(lo, hi), range(lo, hi)); }

private:
    std::mt19937 gen_;
};

struct Mesh {
    std::vector<float4> vertices, normals;  // three per triangle, w = 1
    size_t triangles() const { return vertices.size() / 3; }
    float3 vertex(size_t t, int k) const { return xyz(vertices[3 * t + k]); }
    void add(float3 a, float3 b, float3 c) {
        float3 n = cross(b - a, c - a);
        const float l = std::sqrt(dot(n, n));
        n = l > 0.0f ? n / l : make_float3(0, 0, 1);
        for (float3 v : {a, b, c}) {
            vertices.push_back(make_float4(v, 1.0f));
            normals.push_back(make_float4(n, 1.0f));
        }
    }
};

// Random triangles in [-1, 1]^3, each about 1.5 times the mean spacing across, so that
// they overlap and cross leaf boundaries.
inline void addRandomTriangles(Mesh& m, size_t n, uint32_t seed) {
    Rng rng(seed);
    const float s = 1.5f / std::cbrt(float(std::max<size_t>(n, 1)));
    for (size_t i = 0; i < n; ++i) {
        const float3 c = rng.vec(-1, 1), a = c + rng.vec(-s, s), b = c + rng.vec(-s, s);
        m.add(a, b, c + rng.vec(-s, s));
    }
}

// About n triangles: half random, half a wavy height field whose triangles share edges.
inline Mesh makeMesh(size_t n, uint32_t seed) {
    Mesh m;
    addRandomTriangles(m, n / 2, seed);
    const unsigned cells = std::max(1u, unsigned(std::ceil(std::sqrt(double(n - n / 2) / 2.0))));
    Rng rng(seed + 1);
    std::vector<float3> p;
    for (unsigned j = 0; j <= cells; ++j)
        for (unsigned i = 0; i <= cells; ++i) {
            const float x = -1.0f + 2.0f * float(i) / float(cells), y = -1.0f + 2.0f * float(j) / float(cells);
            p.push_back(
                make_float3(x, y, -0.5f + 0.25f * std::sin(3.0f * x) * std::cos(2.0f * y) + rng.range(-0.02f, 0.02f)));
        }
    for (unsigned j = 0; j < cells; ++j)
        for (unsigned i = 0; i < cells; ++i) {
            const size_t a = size_t(j) * (cells + 1) + i, d = a + cells + 1;
            m.add(p[a], p[a + 1], p[d + 1]);
            m.add(p[a], p[d + 1], p[d]);
        }
    return m;
}

// Rays are two float4: (origin, maximum distance), (unit direction, 0).
inline void addRay(std::vector<float4>& rays, float3 o, float3 d, float maxDistance = 1e7f) {
    rays.push_back(make_float4(o, maxDistance));
    rays.push_back(make_float4(d / std::sqrt(dot(d, d)), 0.0f));
}
inline size_t rayCount(const std::vector<float4>& rays) { return rays.size() / 2; }

// Through every pixel centre of a w x h pinhole camera (+y up, vertical field fovY).
inline std::vector<float4> cameraRays(unsigned w, unsigned h, float3 eye, float3 target, float fovY) {
    auto unit = [](float3 v) { return v / std::sqrt(dot(v, v)); };  // not the device's fast normalize
    const float3 fwd = unit(target - eye), right = unit(cross(fwd, make_float3(0, 1, 0))), up = cross(right, fwd);
    const float th = std::tan(0.5f * fovY), aspect = float(w) / float(h);
    std::vector<float4> rays;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x)
            addRay(rays, eye,
                   fwd + right * ((2.0f * (float(x) + 0.5f) / float(w) - 1.0f) * th * aspect) +
                       up * ((1.0f - 2.0f * (float(y) + 0.5f) / float(h)) * th));
    return rays;
}

inline std::vector<float4> defaultCameraRays(unsigned w, unsigned h) {
    return cameraRays(w, h, make_float3(0.35f, 0.6f, 3.2f), make_float3(0, 0, -0.2f), 0.9f);
}

// From anywhere in [-1.6, 1.6]^3 (inside the mesh volume too) towards a point of [-1, 1]^3.
inline std::vector<float4> randomRays(size_t n, uint32_t seed) {
    Rng rng(seed);
    std::vector<float4> rays;
    for (size_t i = 0; i < n; ++i) {
        const float3 o = rng.vec(-1.6f, 1.6f);
        float3 t = rng.vec(-1, 1);
        if (dot(t - o, t - o) < 1e-6f) t = o + make_float3(0, 0, -1);
        addRay(rays, o, t - o);
    }
    return rays;
}

// The octree and the normals that intersectOctree reads, on the backend active at
// construction, bound as initScene binds them.
class DeviceScene {
public:
    DeviceScene(const Mesh& m, uint32_t maxDepth) : bytes_(m.normals.size() * 3 * sizeof(float)) {
        {
            tt::StdoutCapture quiet(true);  // the build prints its statistics
            octree = new Octree(uint32_t(m.triangles()), m.vertices.data(), maxDepth);
        }
        std::vector<float> normals;
        for (const float4& n : m.normals) normals.insert(normals.end(), {n.x, n.y, n.z});
        rt::malloc(&normals_, bytes_), rt::memcpyHtoD(normals_, normals.data(), bytes_);
        bind();
    }
    ~DeviceScene() { delete octree, rt::free(normals_); }
    DeviceScene(const DeviceScene&) = delete;
    DeviceScene& operator=(const DeviceScene&) = delete;
    void bind() const {
        SetCudaOctreeTextures(octree);
        rt::bindTexture(rt::Symbol::texTriNorms, normals_, bytes_);
    }
    Octree* octree = nullptr;

private:
    size_t bytes_;
    void* normals_ = nullptr;
};

struct CastResults {
    std::vector<unsigned char> found;
    std::vector<int> triangle;
    std::vector<float> distance;
    std::vector<float4> position, normal;
    std::vector<float2> barycentric;
};

// Device buffers for one set of rays, reused across casts. Nearest mode writes every
// field; any-hit mode only the found flags.
class RayBatch {
public:
    explicit RayBatch(const std::vector<float4>& rays) : n_(rayCount(rays)) {
        rt::malloc(&rays_, rays.size() * sizeof(float4));
        rt::memcpyHtoD(rays_, rays.data(), rays.size() * sizeof(float4));
        for (int f = 0; f < 6; ++f) rt::malloc(&out_[f], n_ * kBytes[f]);
    }
    ~RayBatch() {
        for (void* p : {rays_, out_[0], out_[1], out_[2], out_[3], out_[4], out_[5]}) rt::free(p);
    }
    RayBatch(const RayBatch&) = delete;
    RayBatch& operator=(const RayBatch&) = delete;

    void cast(bool anyHit) {
        auto field = [&](int f) { return anyHit ? nullptr : out_[f]; };
        rt::launch(TESSRA_KERNEL(cast_rays), dim3(unsigned((n_ + 63) / 64), 1, 1), dim3(64, 1, 1),
                   static_cast<const float4*>(rays_), unsigned(n_), anyHit, static_cast<unsigned char*>(out_[0]),
                   static_cast<int*>(field(1)), static_cast<float*>(field(2)), static_cast<float4*>(field(3)),
                   static_cast<float4*>(field(4)), static_cast<float2*>(field(5)));
        rt::synchronize();
    }
    CastResults download(bool anyHit) const {
        CastResults r;
        r.found.resize(n_);
        if (!anyHit) {
            r.triangle.resize(n_), r.distance.resize(n_), r.position.resize(n_), r.normal.resize(n_);
            r.barycentric.resize(n_);
        }
        void* host[6] = {r.found.data(),    r.triangle.data(), r.distance.data(),
                         r.position.data(), r.normal.data(),   r.barycentric.data()};
        for (int f = 0; f < (anyHit ? 1 : 6); ++f) rt::memcpyDtoH(host[f], out_[f], n_ * kBytes[f]);
        return r;
    }
    size_t size() const { return n_; }

private:
    static constexpr size_t kBytes[6] = {1, 4, 4, 16, 16, 8};  // found, triangle, distance, position, normal, uv
    size_t n_;
    void* rays_ = nullptr;
    void* out_[6] = {};
};

inline CastResults castRays(const std::vector<float4>& rays, bool anyHit) {
    RayBatch b(rays);
    b.cast(anyHit);
    return b.download(anyHit);
}

struct RefHit {
    bool found = false;
    int triangle = -1;
    float distance = 0.0f;
    float3 position = {0, 0, 0};
};

inline Ray rayAt(const std::vector<float4>& rays, size_t i) {
    Ray r;
    r.o = xyz(rays[2 * i]), r.d = xyz(rays[2 * i + 1]);
    return r;
}

// Every triangle, for every ray on every core: the nearest hit below the ray's maximum
// distance (ties go to the lower index).
inline std::vector<RefHit> bruteForceAll(const Mesh& m, const std::vector<float4>& rays) {
    std::vector<RefHit> refs(rayCount(rays));
    auto one = [&](size_t i) {
        const Ray r = rayAt(rays, i);
        for (size_t t = 0; t < m.triangles(); ++t) {
            float tt, s, t2;
            if (!intersectTriangle(r, m.vertex(t, 0), m.vertex(t, 1), m.vertex(t, 2), tt, s, t2)) continue;
            const float3 p = r.o + r.d * tt;
            const float dist = length(p - r.o);
            if (dist < rays[2 * i].w && (!refs[i].found || dist < refs[i].distance)) refs[i] = {true, int(t), dist, p};
        }
    };
    const unsigned k = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < k; ++w)
        pool.emplace_back([&, w] {
            for (size_t i = w; i < refs.size(); i += k) one(i);
        });
    for (std::thread& t : pool) t.join();
    return refs;
}

}  // namespace meshes

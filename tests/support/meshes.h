// Deterministic meshes and rays shared by the ray-casting tests and benchmarks, a
// scene put on the active backend the way initScene binds it, a batch caster over the
// cast_rays kernel, and two references that know nothing of the octree: a loop over
// every triangle and a uniform grid walked in double precision.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <thread>
#include <vector>

#include "device/kernels_screen.h"
#include "host/Octree.h"
#include "runtime/device.h"

namespace meshes {

// Uniform floats from a fixed-seed generator, written out so that every standard
// library gives the same sequence (std::uniform_real_distribution does not promise it).
class Rng {
public:
    explicit Rng(uint32_t seed) : gen_(seed) {}
    float uniform() { return float(gen_() >> 8) * (1.0f / 16777216.0f); }
    float range(float lo, float hi) { return lo + (hi - lo) * uniform(); }

private:
    std::mt19937 gen_;
};

struct Mesh {
    std::vector<float4> vertices;  // three per triangle, w = 1
    std::vector<float4> normals;   // three per triangle, w = 1
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

// n triangles of random shape scattered in [-1, 1]^3, each spanning about 1.5 times the
// mean spacing so that they overlap and cross leaf boundaries.
inline void addRandomTriangles(Mesh& m, size_t n, uint32_t seed) {
    Rng rng(seed);
    const float s = 1.5f * 2.0f / std::cbrt(float(std::max<size_t>(n, 1)));
    for (size_t i = 0; i < n; ++i) {
        const float3 c = make_float3(rng.range(-1, 1), rng.range(-1, 1), rng.range(-1, 1));
        float3 v[3];
        for (float3& p : v) p = c + make_float3(rng.range(-s, s), rng.range(-s, s), rng.range(-s, s)) * 0.5f;
        m.add(v[0], v[1], v[2]);
    }
}

// A height field over [-1, 1]^2 at z around -0.5 with 2 * cells^2 triangles, displaced by
// smooth waves and a little noise; neighbouring triangles share edges exactly.
inline void addDisplacedGrid(Mesh& m, unsigned cells, uint32_t seed) {
    Rng rng(seed);
    std::vector<float3> p(size_t(cells + 1) * (cells + 1));
    for (unsigned j = 0; j <= cells; ++j)
        for (unsigned i = 0; i <= cells; ++i) {
            const float x = -1.0f + 2.0f * float(i) / float(cells), y = -1.0f + 2.0f * float(j) / float(cells);
            const float z = -0.5f + 0.25f * std::sin(3.0f * x) * std::cos(2.0f * y) + rng.range(-0.02f, 0.02f);
            p[size_t(j) * (cells + 1) + i] = make_float3(x, y, z);
        }
    for (unsigned j = 0; j < cells; ++j)
        for (unsigned i = 0; i < cells; ++i) {
            const float3 a = p[size_t(j) * (cells + 1) + i], b = p[size_t(j) * (cells + 1) + i + 1];
            const float3 c = p[size_t(j + 1) * (cells + 1) + i + 1], d = p[size_t(j + 1) * (cells + 1) + i];
            m.add(a, b, c);
            m.add(a, c, d);
        }
}

// About n triangles: half random, half displaced grid.
inline Mesh makeMesh(size_t n, uint32_t seed) {
    Mesh m;
    addRandomTriangles(m, n / 2, seed);
    const unsigned cells = std::max(1u, unsigned(std::ceil(std::sqrt(double(n - n / 2) / 2.0))));
    addDisplacedGrid(m, cells, seed + 1);
    return m;
}

// Rays are two float4: (origin, maximum distance), (unit direction, 0).
inline void addRay(std::vector<float4>& rays, float3 o, float3 d, float maxDistance) {
    rays.push_back(make_float4(o, maxDistance));
    rays.push_back(make_float4(d / std::sqrt(dot(d, d)), 0.0f));
}
inline size_t rayCount(const std::vector<float4>& rays) { return rays.size() / 2; }

// One ray through the centre of every pixel of a w x h pinhole camera at eye looking at
// target (+y up, vertical field of view fovY radians).
inline std::vector<float4> cameraRays(unsigned w, unsigned h, float3 eye, float3 target, float fovY,
                                      float maxDistance = 10000000.0f) {
    auto unit = [](float3 v) { return v / std::sqrt(dot(v, v)); };
    const float3 fwd = unit(target - eye);
    const float3 right = unit(cross(fwd, make_float3(0, 1, 0)));
    const float3 up = cross(right, fwd);
    const float th = std::tan(0.5f * fovY), aspect = float(w) / float(h);
    std::vector<float4> rays;
    rays.reserve(size_t(w) * h * 2);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            const float u = (2.0f * (float(x) + 0.5f) / float(w) - 1.0f) * th * aspect;
            const float v = (1.0f - 2.0f * (float(y) + 0.5f) / float(h)) * th;
            addRay(rays, eye, fwd + right * u + up * v, maxDistance);
        }
    return rays;
}

inline std::vector<float4> defaultCameraRays(unsigned w, unsigned h) {
    return cameraRays(w, h, make_float3(0.35f, 0.6f, 3.2f), make_float3(0, 0, -0.2f), 0.9f);
}

// n rays from anywhere in [-1.6, 1.6]^3 (inside the mesh volume too) towards a random
// point of [-1, 1]^3.
inline std::vector<float4> randomRays(size_t n, uint32_t seed, float maxDistance = 10000000.0f) {
    Rng rng(seed);
    std::vector<float4> rays;
    rays.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        const float3 o = make_float3(rng.range(-1.6f, 1.6f), rng.range(-1.6f, 1.6f), rng.range(-1.6f, 1.6f));
        float3 t = make_float3(rng.range(-1, 1), rng.range(-1, 1), rng.range(-1, 1));
        if (dot(t - o, t - o) < 1e-6f) t = o + make_float3(0, 0, -1);
        addRay(rays, o, t - o, maxDistance);
    }
    return rays;
}

// Shadow rays from the given points towards a point light: the maximum distance stops
// just short of the light, as the direct-light kernels ask.
inline std::vector<float4> shadowRays(const std::vector<float3>& from, float3 light) {
    std::vector<float4> rays;
    rays.reserve(2 * from.size());
    for (const float3& p : from) {
        const float3 d = light - p;
        const float l = std::sqrt(dot(d, d));
        addRay(rays, p, d, l - 0.01f);
    }
    return rays;
}

// Silences standard output while alive (the octree build prints its statistics).
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

private:
    int saved_ = -1;
};

// The octree and the two triangle arrays that intersectOctree reads, on the backend
// active at construction, bound as initScene binds them.
class DeviceScene {
public:
    DeviceScene(const Mesh& m, uint32_t maxDepth) : tris_(m.triangles()) {
        {
            QuietStdout quiet;
            octree = new Octree(uint32_t(tris_), m.vertices.data(), maxDepth);
        }
        const size_t bytes = m.vertices.size() * sizeof(float4);
        rt::malloc(&vertices_, bytes);
        rt::memcpyHtoD(vertices_, m.vertices.data(), bytes);
        rt::malloc(&normals_, bytes);
        rt::memcpyHtoD(normals_, m.normals.data(), bytes);
        bind();
    }
    ~DeviceScene() {
        delete octree;
        rt::free(vertices_);
        rt::free(normals_);
    }
    DeviceScene(const DeviceScene&) = delete;
    DeviceScene& operator=(const DeviceScene&) = delete;
    void bind() const {
        SetCudaOctreeTextures(octree);
        rt::bindTexture(rt::Symbol::texTris, vertices_, 3 * tris_ * sizeof(float4));
        rt::bindTexture(rt::Symbol::texTriNorms, normals_, 3 * tris_ * sizeof(float4));
    }
    Octree* octree = nullptr;

private:
    size_t tris_;
    void* vertices_ = nullptr;
    void* normals_ = nullptr;
};

struct CastResults {
    std::vector<unsigned char> found;
    std::vector<int> triangle;
    std::vector<float> distance;
    std::vector<float4> position;
    std::vector<float4> normal;
    std::vector<float2> barycentric;
};

// Device buffers for one set of rays, reused across casts.
class RayBatch {
public:
    explicit RayBatch(const std::vector<float4>& rays) : n_(rayCount(rays)) {
        rt::malloc(&rays_, rays.size() * sizeof(float4));
        rt::memcpyHtoD(rays_, rays.data(), rays.size() * sizeof(float4));
        rt::malloc(&found_, n_);
        rt::malloc(&tri_, n_ * 4);
        rt::malloc(&dist_, n_ * 4);
        rt::malloc(&pos_, n_ * 16);
        rt::malloc(&norm_, n_ * 16);
        rt::malloc(&bary_, n_ * 8);
    }
    ~RayBatch() {
        for (void* p : {rays_, found_, tri_, dist_, pos_, norm_, bary_}) rt::free(p);
    }
    RayBatch(const RayBatch&) = delete;
    RayBatch& operator=(const RayBatch&) = delete;

    // Nearest mode writes every field; any-hit mode only the found flags.
    void cast(bool anyHit) {
        const unsigned block = 64;
        const dim3 grid(unsigned((n_ + block - 1) / block), 1, 1);
        rt::launch(TESSRA_KERNEL(cast_rays), grid, dim3(block, 1, 1), static_cast<const float4*>(rays_),
                   unsigned(n_), anyHit, static_cast<unsigned char*>(found_), anyHit ? nullptr : static_cast<int*>(tri_),
                   anyHit ? nullptr : static_cast<float*>(dist_), anyHit ? nullptr : static_cast<float4*>(pos_),
                   anyHit ? nullptr : static_cast<float4*>(norm_), anyHit ? nullptr : static_cast<float2*>(bary_));
        rt::synchronize();
    }
    CastResults download(bool anyHit) const {
        CastResults r;
        r.found.resize(n_);
        rt::memcpyDtoH(r.found.data(), found_, n_);
        if (anyHit) return r;
        r.triangle.resize(n_);
        r.distance.resize(n_);
        r.position.resize(n_);
        r.normal.resize(n_);
        r.barycentric.resize(n_);
        rt::memcpyDtoH(r.triangle.data(), tri_, n_ * 4);
        rt::memcpyDtoH(r.distance.data(), dist_, n_ * 4);
        rt::memcpyDtoH(r.position.data(), pos_, n_ * 16);
        rt::memcpyDtoH(r.normal.data(), norm_, n_ * 16);
        rt::memcpyDtoH(r.barycentric.data(), bary_, n_ * 8);
        return r;
    }
    size_t size() const { return n_; }

private:
    size_t n_;
    void *rays_ = nullptr, *found_ = nullptr, *tri_ = nullptr, *dist_ = nullptr, *pos_ = nullptr, *norm_ = nullptr,
         *bary_ = nullptr;
};

inline CastResults castRays(const std::vector<float4>& rays, bool anyHit) {
    RayBatch b(rays);
    b.cast(anyHit);
    return b.download(anyHit);
}

// ---------------------------------------------------------------------------------
// References.

struct RefHit {
    bool found = false;
    int triangle = -1;
    float distance = 0.0f;
    float3 position = {0, 0, 0};
};

inline Ray rayAt(const std::vector<float4>& rays, size_t i) {
    Ray r;
    r.o = xyz(rays[2 * i]);
    r.d = xyz(rays[2 * i + 1]);
    return r;
}

// Tests triangle t and keeps it when nearer than best (ties go to the lower index).
inline void testTriangle(const Mesh& m, const Ray& r, size_t t, float maxDistance, RefHit& best) {
    float tt, s, t2;
    if (!intersectTriangle(r, m.vertex(t, 0), m.vertex(t, 1), m.vertex(t, 2), tt, s, t2)) return;
    const float3 p = r.o + r.d * tt;
    const float dist = length(p - r.o);
    if (!(dist < maxDistance)) return;
    if (!best.found || dist < best.distance || (dist == best.distance && int(t) < best.triangle)) {
        best.found = true;
        best.triangle = int(t);
        best.distance = dist;
        best.position = p;
    }
}

// The obvious answer: every triangle, nearest distance.
inline RefHit bruteForce(const Mesh& m, const Ray& r, float maxDistance) {
    RefHit best;
    for (size_t t = 0; t < m.triangles(); ++t) testTriangle(m, r, t, maxDistance, best);
    return best;
}

// A uniform grid: every triangle is listed in every cell its (slightly enlarged) bounding
// box touches, and a ray walks the cells it crosses in double precision, stopping after
// the cell whose exit lies beyond the nearest hit found. It gives the brute-force answer
// at a fraction of the cost, and is itself checked against the full loop.
class UniformGrid {
public:
    UniformGrid(const Mesh& m, unsigned res) : mesh_(m), res_(res) {
        for (int a = 0; a < 3; ++a) {
            lo_[a] = 1e30;
            hi_[a] = -1e30;
        }
        for (const float4& v : m.vertices) {
            const double c[3] = {v.x, v.y, v.z};
            for (int a = 0; a < 3; ++a) {
                lo_[a] = std::min(lo_[a], c[a]);
                hi_[a] = std::max(hi_[a], c[a]);
            }
        }
        for (int a = 0; a < 3; ++a) {
            const double pad = 1e-3 * (hi_[a] - lo_[a]) + 1e-6;
            lo_[a] -= pad;
            hi_[a] += pad;
            cell_[a] = (hi_[a] - lo_[a]) / res;
        }
        const size_t cells = size_t(res) * res * res;
        std::vector<uint32_t> counts(cells + 1, 0);
        auto forCells = [&](size_t t, auto&& f) {
            int i0[3], i1[3];
            for (int a = 0; a < 3; ++a) {
                double mn = 1e30, mx = -1e30;
                for (int k = 0; k < 3; ++k) {
                    const float4& v = m.vertices[3 * t + k];
                    const double c = a == 0 ? v.x : (a == 1 ? v.y : v.z);
                    mn = std::min(mn, c);
                    mx = std::max(mx, c);
                }
                const double eps = 1e-3 * cell_[a];
                i0[a] = clampCell(int(std::floor((mn - eps - lo_[a]) / cell_[a])));
                i1[a] = clampCell(int(std::floor((mx + eps - lo_[a]) / cell_[a])));
            }
            for (int z = i0[2]; z <= i1[2]; ++z)
                for (int y = i0[1]; y <= i1[1]; ++y)
                    for (int x = i0[0]; x <= i1[0]; ++x) f(index(x, y, z));
        };
        for (size_t t = 0; t < m.triangles(); ++t) forCells(t, [&](size_t c) { ++counts[c + 1]; });
        for (size_t c = 0; c < cells; ++c) counts[c + 1] += counts[c];
        start_ = counts;
        items_.resize(counts[cells]);
        for (size_t t = 0; t < m.triangles(); ++t) forCells(t, [&](size_t c) { items_[counts[c]++] = uint32_t(t); });
    }

    RefHit nearest(const Ray& r, float maxDistance) const {
        RefHit best;
        const double o[3] = {r.o.x, r.o.y, r.o.z}, d[3] = {r.d.x, r.d.y, r.d.z};
        double t0 = 0.0, t1 = 1e30;
        for (int a = 0; a < 3; ++a) {
            if (d[a] == 0.0) {
                if (o[a] < lo_[a] || o[a] > hi_[a]) return best;
                continue;
            }
            double ta = (lo_[a] - o[a]) / d[a], tb = (hi_[a] - o[a]) / d[a];
            if (ta > tb) std::swap(ta, tb);
            t0 = std::max(t0, ta);
            t1 = std::min(t1, tb);
        }
        if (t0 > t1) return best;
        int idx[3], step[3];
        double tNext[3], tDelta[3];
        for (int a = 0; a < 3; ++a) {
            const double p = o[a] + d[a] * t0;
            idx[a] = clampCell(int(std::floor((p - lo_[a]) / cell_[a])));
            if (d[a] > 0) {
                step[a] = 1;
                tNext[a] = (lo_[a] + (idx[a] + 1) * cell_[a] - o[a]) / d[a];
                tDelta[a] = cell_[a] / d[a];
            } else if (d[a] < 0) {
                step[a] = -1;
                tNext[a] = (lo_[a] + idx[a] * cell_[a] - o[a]) / d[a];
                tDelta[a] = -cell_[a] / d[a];
            } else {
                step[a] = 0;
                tNext[a] = 1e30;
                tDelta[a] = 1e30;
            }
        }
        for (;;) {
            const size_t c = index(idx[0], idx[1], idx[2]);
            for (uint32_t k = start_[c]; k < start_[c + 1]; ++k) testTriangle(mesh_, r, items_[k], maxDistance, best);
            const int a = tNext[0] < tNext[1] ? (tNext[0] < tNext[2] ? 0 : 2) : (tNext[1] < tNext[2] ? 1 : 2);
            const double exit = tNext[a];
            // A hit short of this cell's exit (with a margin for the float hit point) can
            // not be beaten by a triangle of a later cell.
            if (best.found && double(best.distance) < exit - 1e-4) return best;
            if (exit > t1) return best;
            idx[a] += step[a];
            if (idx[a] < 0 || idx[a] >= int(res_)) return best;
            tNext[a] += tDelta[a];
        }
    }

private:
    int clampCell(int i) const { return i < 0 ? 0 : (i >= int(res_) ? int(res_) - 1 : i); }
    size_t index(int x, int y, int z) const { return (size_t(z) * res_ + y) * res_ + x; }

    const Mesh& mesh_;
    unsigned res_;
    double lo_[3], hi_[3], cell_[3];
    std::vector<uint32_t> start_, items_;
};

// Runs f(i) for i in [0, n) on every core; f must only write its own elements.
template <typename F>
void parallelFor(size_t n, F&& f) {
    const unsigned k = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < k; ++w)
        pool.emplace_back([&, w] {
            for (size_t i = w; i < n; i += k) f(i);
        });
    for (std::thread& t : pool) t.join();
}

// True when p lies within eps of a face of the octree leaf that contains it (or of any
// node box on the way down), where float rounding may put the hit in either leaf.
inline bool nearLeafBoundary(const Octree& o, float3 p, float eps) {
    uint32_t i = 0;
    for (;;) {
        const float3 mn = xyz(o.bounds[2 * i]), mx = xyz(o.bounds[2 * i + 1]);
        const float pc[3] = {p.x, p.y, p.z}, lo[3] = {mn.x, mn.y, mn.z}, hi[3] = {mx.x, mx.y, mx.z};
        for (int a = 0; a < 3; ++a)
            if (std::fabs(pc[a] - lo[a]) < eps || std::fabs(pc[a] - hi[a]) < eps) return true;
        if (o.offsetsCont[i] >= 0) return false;
        const float3 c = (mn + mx) * 0.5f;
        const int slot = (p.z > c.z ? 4 : 0) + (p.x > c.x ? 2 : 0) + (p.y > c.y ? 0 : 1);
        const int child = o.hijos[8 * i + slot];
        if (child < 0) return false;
        i = uint32_t(child);
    }
}

}  // namespace meshes

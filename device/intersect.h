// Ray casting: the slab test, the ray-triangle test and the octree walk that every
// kernel uses to find what a ray hits.
#pragma once

#include "device/defs.h"

#if !defined(__CUDACC__) && (defined(__SSE2__) || defined(_M_X64))
#include <immintrin.h>
#endif

struct Ray {
    float3 o;
    float3 d;
};

struct OctreeHit {
    bool found;
    float distance;
    float3 position;
    unsigned int triangle;
    float2 barycentric;
    float3 normal;
};

TESSRA_HD OctreeHit noHit() {
    OctreeHit h;
    h.found = false;
    h.distance = 0.0f;
    h.position = make_float3(0, 0, 0);
    h.triangle = 0;
    h.barycentric = make_float2(0, 0);
    h.normal = make_float3(0, 0, 0);
    return h;
}

// One axis of the slab test from its two plane parameters a = (lo - o) / d and
// b = (hi - o) / d. A ray parallel to the axis that starts exactly on one of the two
// planes gives 0 * inf = NaN; it runs inside that face, and faces count as inside, so
// the axis does not limit the interval. fminf and fmaxf would instead pick the infinite
// operand and drop the box on both sides of the plane.
TESSRA_HD void slabPair(float a, float b, float& t0, float& t1) {
    if (a != a || b != b) {
        t0 = -3.0e38f;
        t1 = 3.0e38f;
        return;
    }
    t0 = minf(a, b);
    t1 = maxf(a, b);
}
TESSRA_HD void slabInterval(float o, float invD, float lo, float hi, float& t0, float& t1) {
    slabPair((lo - o) * invD, (hi - o) * invD, t0, t1);
}

// Slab test: tnear is the largest per-axis entry, tfar the smallest per-axis exit.
TESSRA_HD void intersectBox(const Ray& r, float3 invD, float3 bmin, float3 bmax, float& tnear, float& tfar) {
    float x0, x1, y0, y1, z0, z1;
    slabInterval(r.o.x, invD.x, bmin.x, bmax.x, x0, x1);
    slabInterval(r.o.y, invD.y, bmin.y, bmax.y, y0, y1);
    slabInterval(r.o.z, invD.z, bmin.z, bmax.z, z0, z1);
    tnear = fmaxf3(x0, y0, z0);
    tfar = fminf3(x1, y1, z1);
}

// The child slot on the origin's side of a node centre: slot = 4 (z high) + 2 (x high)
// + (y low), which is also the row of the traverse-order table. An origin exactly on a
// centre plane takes the side the ray heads into; a fixed row there would visit the
// far children first and return a farther hit as the nearest.
TESSRA_HD bool originOnHighSide(float o, float c, float d) { return o > c || (o == c && d > 0.0f); }
TESSRA_HD int traverseRow(const Ray& r, float3 c) {
    const bool xHigh = originOnHighSide(r.o.x, c.x, r.d.x);
    const bool yHigh = originOnHighSide(r.o.y, c.y, r.d.y);
    const bool zHigh = originOnHighSide(r.o.z, c.z, r.d.z);
    return (zHigh ? 4 : 0) + (xHigh ? 2 : 0) + (yHigh ? 0 : 1);
}

// The per-triangle half of the test, computed once at upload (the octree keeps it in
// leaf order, so a leaf's triangles are read in one sweep). The normal e1 x e2 and the
// denominator uv * uv - uu * vv are cheaper to compute again than to read: a quarter of
// the octree's memory.
struct PreparedTriangle {
    float4 a, b, c;  // (v0, uu), (e1, uv), (e2, vv)
};
constexpr int kPreparedFloat4s = 3;
TESSRA_HD PreparedTriangle prepareTriangle(float3 v0, float3 v1, float3 v2) {
    const float3 e1 = v1 - v0, e2 = v2 - v0;
    PreparedTriangle p;
    p.a = make_float4(v0, dot(e1, e1));
    p.b = make_float4(e1, dot(e1, e2));
    p.c = make_float4(e2, dot(e2, e2));
    return p;
}

// Barycentric slack: two triangles sharing an edge compute their weights along it with
// different roundings, and without slack a ray aimed exactly at the edge can miss both.
constexpr float kEdgeSlack = 1e-5f;

// Parametric plane and dot-product barycentric test on a prepared triangle; both faces
// hit. The comparisons are written so that NaN (huge or sliver triangles) is a miss.
// Reported weights always lie on the triangle.
// A ray counts as parallel below |n.d| = 1e-4 for triangles with |n| >= 1; smaller
// triangles use the same bound relative to |n|, or any triangle of area under 5e-5 would
// be invisible from every side. A plane parameter above tMax is a miss before the weights.
TESSRA_HD bool intersectPrepared(const Ray& r, float4 pa, float4 pb, float4 pc, float& t, float& s, float& t2,
                                 float tMax = INFINITY) {
    const float3 e1 = xyz(pb), e2 = xyz(pc);
    const float3 n = cross(e1, e2);
    const float b = dot(n, r.d);
    const float nn = dot(n, n);
    const float parallel = nn >= 1.0f ? 0.0001f : 0.0001f * sqrtf(nn);
    if (!(fabsf(b) >= parallel) || !(nn > 0.0f)) return false;
    const float3 v0 = xyz(pa);
    t = -dot(n, r.o - v0) / b;
    if (!(t > 0.0f) || t > tMax) return false;
    const float3 p = r.o + r.d * t;
    const float3 w = p - v0;
    const float uu = pa.w, uv = pb.w, vv = pc.w, D = uv * uv - uu * vv;
    const float wu = dot(w, e1), wv = dot(w, e2);
    s = (uv * wv - vv * wu) / D;
    if (!(s >= -kEdgeSlack && s <= 1.0f + kEdgeSlack)) return false;
    t2 = (uv * wu - uu * wv) / D;
    if (!(t2 >= -kEdgeSlack && s + t2 <= 1.0f + kEdgeSlack)) return false;
    // Weights of a hit in the slack are moved onto the triangle.
    s = minf(maxf(s, 0.0f), 1.0f);
    t2 = minf(maxf(t2, 0.0f), 1.0f - s);
    return true;
}

// The same test on raw vertices (reference loops, tests); the octree walk uses the
// prepared form, with the same operations in the same order.
TESSRA_HD bool intersectTriangle(const Ray& r, float3 v0, float3 v1, float3 v2, float& t, float& s, float& t2) {
    const PreparedTriangle p = prepareTriangle(v0, v1, v2);
    return intersectPrepared(r, p.a, p.b, p.c, t, s, t2);
}

// Which children of an inner node the walk enters: bit slot set where the child exists
// and its box passes the test of intersectOctree. A child's box is its parent's low
// face, centre or high face on each axis, exactly as the build cut it, so the three
// plane parameters of each axis serve all eight children. The host build tests the
// eight boxes in two SSE2 groups with the same operations (slabPair yields no NaN, so
// minf and maxf are minps and maxps there).
#if !defined(__CUDACC__) && (defined(__SSE2__) || defined(_M_X64))
inline unsigned int childrenEntered(const Ray& r, float3 invD, float3 bmin, float3 c, float3 bmax, float dScale,
                                    float limit, const int* children) {
    const __m128 o = _mm_setr_ps(r.o.x, r.o.y, r.o.z, 0.0f), id = _mm_setr_ps(invD.x, invD.y, invD.z, 0.0f);
    const __m128 tl = _mm_mul_ps(_mm_sub_ps(_mm_setr_ps(bmin.x, bmin.y, bmin.z, 0.0f), o), id);
    const __m128 tc = _mm_mul_ps(_mm_sub_ps(_mm_setr_ps(c.x, c.y, c.z, 0.0f), o), id);
    const __m128 th = _mm_mul_ps(_mm_sub_ps(_mm_setr_ps(bmax.x, bmax.y, bmax.z, 0.0f), o), id);
    const __m128 lowest = _mm_set1_ps(-3.0e38f), highest = _mm_set1_ps(3.0e38f);
    const __m128 nanL = _mm_cmpunord_ps(tl, tc), nanH = _mm_cmpunord_ps(tc, th);
    const __m128 lo0 = _mm_or_ps(_mm_and_ps(nanL, lowest), _mm_andnot_ps(nanL, _mm_min_ps(tl, tc)));
    const __m128 lo1 = _mm_or_ps(_mm_and_ps(nanL, highest), _mm_andnot_ps(nanL, _mm_max_ps(tl, tc)));
    const __m128 hi0 = _mm_or_ps(_mm_and_ps(nanH, lowest), _mm_andnot_ps(nanH, _mm_min_ps(tc, th)));
    const __m128 hi1 = _mm_or_ps(_mm_and_ps(nanH, highest), _mm_andnot_ps(nanH, _mm_max_ps(tc, th)));
    // Lane i of a group is slot 4 z + i: x high for i >= 2, y low for odd i.
    const __m128 x0 = _mm_shuffle_ps(lo0, hi0, _MM_SHUFFLE(0, 0, 0, 0));
    const __m128 x1 = _mm_shuffle_ps(lo1, hi1, _MM_SHUFFLE(0, 0, 0, 0));
    const __m128 y0h = _mm_shuffle_ps(hi0, lo0, _MM_SHUFFLE(1, 1, 1, 1));
    const __m128 y1h = _mm_shuffle_ps(hi1, lo1, _MM_SHUFFLE(1, 1, 1, 1));
    const __m128 y0 = _mm_shuffle_ps(y0h, y0h, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 y1 = _mm_shuffle_ps(y1h, y1h, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 minT = _mm_set1_ps(0.0f), scale = _mm_set1_ps(dScale), lim = _mm_set1_ps(limit);
    unsigned int mask = 0;
    for (int z = 0; z < 2; ++z) {
        const __m128 a0 = z ? hi0 : lo0, a1 = z ? hi1 : lo1;
        const __m128 z0 = _mm_shuffle_ps(a0, a0, _MM_SHUFFLE(2, 2, 2, 2));
        const __m128 z1 = _mm_shuffle_ps(a1, a1, _MM_SHUFFLE(2, 2, 2, 2));
        const __m128 tnear = _mm_max_ps(x0, _mm_max_ps(y0, z0));
        const __m128 tfar = _mm_min_ps(x1, _mm_min_ps(y1, z1));
        const __m128 in = _mm_and_ps(_mm_and_ps(_mm_cmpgt_ps(tfar, minT), _mm_cmplt_ps(tnear, tfar)),
                                     _mm_cmpngt_ps(_mm_mul_ps(tnear, scale), lim));
        mask |= unsigned(_mm_movemask_ps(in)) << (4 * z);
    }
    for (int slot = 0; slot < 8; ++slot)
        if (children[slot] < 0) mask &= ~(1u << slot);
    return mask;
}
#else
TESSRA_HD unsigned int childrenEntered(const Ray& r, float3 invD, float3 bmin, float3 c, float3 bmax, float dScale,
                                       float limit, const int* children) {
    // Per axis, the interval of the low-side and of the high-side children.
    float lo0[3], lo1[3], hi0[3], hi1[3];
    const float o[3] = {r.o.x, r.o.y, r.o.z}, id[3] = {invD.x, invD.y, invD.z};
    const float pl[3] = {bmin.x, bmin.y, bmin.z}, pc[3] = {c.x, c.y, c.z}, ph[3] = {bmax.x, bmax.y, bmax.z};
    for (int a = 0; a < 3; ++a) {
        const float tl = (pl[a] - o[a]) * id[a], tc = (pc[a] - o[a]) * id[a], th = (ph[a] - o[a]) * id[a];
        slabPair(tl, tc, lo0[a], lo1[a]);
        slabPair(tc, th, hi0[a], hi1[a]);
    }
    unsigned int mask = 0;
    for (int slot = 0; slot < 8; ++slot) {
        if (children[slot] < 0) continue;
        // slot = 4 (z high) + 2 (x high) + (y low)
        const bool xh = slot & 2, yl = slot & 1, zh = slot & 4;
        const float tnear = fmaxf3(xh ? hi0[0] : lo0[0], yl ? lo0[1] : hi0[1], zh ? hi0[2] : lo0[2]);
        const float tfar = fminf3(xh ? hi1[0] : lo1[0], yl ? lo1[1] : hi1[1], zh ? hi1[2] : lo1[2]);
        if (!(tfar > 0.0f && tnear < tfar) || tnear * dScale > limit) continue;
        mask |= 1u << slot;
    }
    return mask;
}
#endif

// The leaf loop tests kLeafLanes consecutive entries per call and gets back a mask of
// hits (bit j: entry e + j) with their t and clamped weights; it then takes them in
// entry order, as one at a time. The host build tests eight entries per call, in eight
// AVX lanes where the processor has them and else in two groups of four SSE2 lanes; each
// lane does the scalar test's operations in the scalar test's order (no fused
// multiply-add), so every value is the same bit for bit. Elsewhere one entry per call,
// which is intersectPrepared itself.
#if !defined(__CUDACC__) && (defined(__SSE2__) || defined(_M_X64))
constexpr unsigned int kLeafLanes = 8;

// The four-lane test of the prepared triangles at q[0..3] (lanes past `lanes` are masked off).
inline unsigned int preparedLanes4(const Ray& r, const float* const* q, unsigned int lanes, float* t, float* s,
                                   float* t2) {
    __m128 vx = _mm_loadu_ps(q[0]), vy = _mm_loadu_ps(q[1]), vz = _mm_loadu_ps(q[2]), uu = _mm_loadu_ps(q[3]);
    __m128 e1x = _mm_loadu_ps(q[0] + 4), e1y = _mm_loadu_ps(q[1] + 4), e1z = _mm_loadu_ps(q[2] + 4),
           uv = _mm_loadu_ps(q[3] + 4);
    __m128 e2x = _mm_loadu_ps(q[0] + 8), e2y = _mm_loadu_ps(q[1] + 8), e2z = _mm_loadu_ps(q[2] + 8),
           vv = _mm_loadu_ps(q[3] + 8);
    _MM_TRANSPOSE4_PS(vx, vy, vz, uu);
    _MM_TRANSPOSE4_PS(e1x, e1y, e1z, uv);
    _MM_TRANSPOSE4_PS(e2x, e2y, e2z, vv);
    // cross(e1, e2) and uv * uv - uu * vv, as the scalar test computes them.
    const __m128 nx = _mm_sub_ps(_mm_mul_ps(e1y, e2z), _mm_mul_ps(e1z, e2y));
    const __m128 ny = _mm_sub_ps(_mm_mul_ps(e1z, e2x), _mm_mul_ps(e1x, e2z));
    const __m128 nz = _mm_sub_ps(_mm_mul_ps(e1x, e2y), _mm_mul_ps(e1y, e2x));
    const __m128 D = _mm_sub_ps(_mm_mul_ps(uv, uv), _mm_mul_ps(uu, vv));

    const __m128 ox = _mm_set1_ps(r.o.x), oy = _mm_set1_ps(r.o.y), oz = _mm_set1_ps(r.o.z);
    const __m128 dx = _mm_set1_ps(r.d.x), dy = _mm_set1_ps(r.d.y), dz = _mm_set1_ps(r.d.z);
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
    const __m128 signBit = _mm_set1_ps(-0.0f);
    const __m128 lowSlack = _mm_set1_ps(-kEdgeSlack), highSlack = _mm_set1_ps(1.0f + kEdgeSlack);
    // dot(a, b) = (a.x * b.x + a.y * b.y) + a.z * b.z, as the scalar dot.
    const __m128 b = _mm_add_ps(_mm_add_ps(_mm_mul_ps(nx, dx), _mm_mul_ps(ny, dy)), _mm_mul_ps(nz, dz));
    const __m128 nn = _mm_add_ps(_mm_add_ps(_mm_mul_ps(nx, nx), _mm_mul_ps(ny, ny)), _mm_mul_ps(nz, nz));
    const __m128 big = _mm_cmpge_ps(nn, one);
    const __m128 parallel = _mm_or_ps(_mm_and_ps(big, _mm_set1_ps(0.0001f)),
                                      _mm_andnot_ps(big, _mm_mul_ps(_mm_set1_ps(0.0001f), _mm_sqrt_ps(nn))));
    __m128 ok = _mm_and_ps(_mm_cmpge_ps(_mm_andnot_ps(signBit, b), parallel), _mm_cmpgt_ps(nn, zero));
    const __m128 gx = _mm_sub_ps(ox, vx), gy = _mm_sub_ps(oy, vy), gz = _mm_sub_ps(oz, vz);
    const __m128 ng = _mm_add_ps(_mm_add_ps(_mm_mul_ps(nx, gx), _mm_mul_ps(ny, gy)), _mm_mul_ps(nz, gz));
    const __m128 tv = _mm_div_ps(_mm_xor_ps(ng, signBit), b);
    ok = _mm_and_ps(ok, _mm_cmpgt_ps(tv, zero));
    const __m128 wx = _mm_sub_ps(_mm_add_ps(ox, _mm_mul_ps(dx, tv)), vx);
    const __m128 wy = _mm_sub_ps(_mm_add_ps(oy, _mm_mul_ps(dy, tv)), vy);
    const __m128 wz = _mm_sub_ps(_mm_add_ps(oz, _mm_mul_ps(dz, tv)), vz);
    const __m128 wu = _mm_add_ps(_mm_add_ps(_mm_mul_ps(wx, e1x), _mm_mul_ps(wy, e1y)), _mm_mul_ps(wz, e1z));
    const __m128 wv = _mm_add_ps(_mm_add_ps(_mm_mul_ps(wx, e2x), _mm_mul_ps(wy, e2y)), _mm_mul_ps(wz, e2z));
    const __m128 sv = _mm_div_ps(_mm_sub_ps(_mm_mul_ps(uv, wv), _mm_mul_ps(vv, wu)), D);
    ok = _mm_and_ps(ok, _mm_and_ps(_mm_cmpge_ps(sv, lowSlack), _mm_cmple_ps(sv, highSlack)));
    const __m128 t2v = _mm_div_ps(_mm_sub_ps(_mm_mul_ps(uv, wu), _mm_mul_ps(uu, wv)), D);
    ok = _mm_and_ps(ok, _mm_and_ps(_mm_cmpge_ps(t2v, lowSlack), _mm_cmple_ps(_mm_add_ps(sv, t2v), highSlack)));
    const unsigned int hits = unsigned(_mm_movemask_ps(ok)) & ((1u << lanes) - 1u);
    if (!hits) return 0;
    // minf(maxf(x, 0), hi) with hi never NaN where the lane hit: maxps and minps.
    const __m128 sc = _mm_min_ps(_mm_max_ps(sv, zero), one);
    const __m128 t2c = _mm_min_ps(_mm_max_ps(t2v, zero), _mm_sub_ps(one, sc));
    _mm_storeu_ps(t, tv);
    _mm_storeu_ps(s, sc);
    _mm_storeu_ps(t2, t2c);
    return hits;
}

#if defined(__GNUC__)
#define TESSRA_HAVE_AVX_LANES 1
inline const bool kCpuHasAvx = (__builtin_cpu_init(), __builtin_cpu_supports("avx"));

// The four-lane test above, eight lanes wide.
__attribute__((target("avx"))) inline unsigned int preparedLanesAvx(const Ray& r, const float* const* q,
                                                                    unsigned int lanes, float* t, float* s,
                                                                    float* t2) {
    constexpr unsigned int F = kPreparedFloat4s;
    // Field f of the eight entries: rows hold entries j and j + 4 side by side, and one
    // 4 x 4 transpose within each 128-bit half gives lanes 0-3 and 4-7 at once.
    __m256 f[4 * F];
    for (unsigned int k = 0; k < F; ++k) {
        __m256 r[4];
        for (int j = 0; j < 4; ++j) {
            const __m128 lo = _mm_loadu_ps(q[j] + 4 * k), hi = _mm_loadu_ps(q[j + 4] + 4 * k);
            r[j] = _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
        }
        const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpacklo_ps(r[2], r[3]);
        const __m256 t2 = _mm256_unpackhi_ps(r[0], r[1]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
        f[4 * k + 0] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0));
        f[4 * k + 1] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2));
        f[4 * k + 2] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0));
        f[4 * k + 3] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2));
    }
    const __m256 vx = f[0], vy = f[1], vz = f[2], uu = f[3];
    const __m256 e1x = f[4], e1y = f[5], e1z = f[6], uv = f[7];
    const __m256 e2x = f[8], e2y = f[9], e2z = f[10], vv = f[11];
    const __m256 nx = _mm256_sub_ps(_mm256_mul_ps(e1y, e2z), _mm256_mul_ps(e1z, e2y));
    const __m256 ny = _mm256_sub_ps(_mm256_mul_ps(e1z, e2x), _mm256_mul_ps(e1x, e2z));
    const __m256 nz = _mm256_sub_ps(_mm256_mul_ps(e1x, e2y), _mm256_mul_ps(e1y, e2x));
    const __m256 D = _mm256_sub_ps(_mm256_mul_ps(uv, uv), _mm256_mul_ps(uu, vv));

    const __m256 ox = _mm256_set1_ps(r.o.x), oy = _mm256_set1_ps(r.o.y), oz = _mm256_set1_ps(r.o.z);
    const __m256 dx = _mm256_set1_ps(r.d.x), dy = _mm256_set1_ps(r.d.y), dz = _mm256_set1_ps(r.d.z);
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
    const __m256 signBit = _mm256_set1_ps(-0.0f);
    const __m256 lowSlack = _mm256_set1_ps(-kEdgeSlack), highSlack = _mm256_set1_ps(1.0f + kEdgeSlack);
    const __m256 b =
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(nx, dx), _mm256_mul_ps(ny, dy)), _mm256_mul_ps(nz, dz));
    const __m256 nn =
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(nx, nx), _mm256_mul_ps(ny, ny)), _mm256_mul_ps(nz, nz));
    const __m256 big = _mm256_cmp_ps(nn, one, _CMP_GE_OQ);
    const __m256 parallel =
        _mm256_or_ps(_mm256_and_ps(big, _mm256_set1_ps(0.0001f)),
                     _mm256_andnot_ps(big, _mm256_mul_ps(_mm256_set1_ps(0.0001f), _mm256_sqrt_ps(nn))));
    __m256 ok = _mm256_and_ps(_mm256_cmp_ps(_mm256_andnot_ps(signBit, b), parallel, _CMP_GE_OQ),
                              _mm256_cmp_ps(nn, zero, _CMP_GT_OQ));
    const __m256 gx = _mm256_sub_ps(ox, vx), gy = _mm256_sub_ps(oy, vy), gz = _mm256_sub_ps(oz, vz);
    const __m256 ng =
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(nx, gx), _mm256_mul_ps(ny, gy)), _mm256_mul_ps(nz, gz));
    const __m256 tv = _mm256_div_ps(_mm256_xor_ps(ng, signBit), b);
    ok = _mm256_and_ps(ok, _mm256_cmp_ps(tv, zero, _CMP_GT_OQ));
    const __m256 wx = _mm256_sub_ps(_mm256_add_ps(ox, _mm256_mul_ps(dx, tv)), vx);
    const __m256 wy = _mm256_sub_ps(_mm256_add_ps(oy, _mm256_mul_ps(dy, tv)), vy);
    const __m256 wz = _mm256_sub_ps(_mm256_add_ps(oz, _mm256_mul_ps(dz, tv)), vz);
    const __m256 wu =
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(wx, e1x), _mm256_mul_ps(wy, e1y)), _mm256_mul_ps(wz, e1z));
    const __m256 wv =
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(wx, e2x), _mm256_mul_ps(wy, e2y)), _mm256_mul_ps(wz, e2z));
    const __m256 sv = _mm256_div_ps(_mm256_sub_ps(_mm256_mul_ps(uv, wv), _mm256_mul_ps(vv, wu)), D);
    ok = _mm256_and_ps(
        ok, _mm256_and_ps(_mm256_cmp_ps(sv, lowSlack, _CMP_GE_OQ), _mm256_cmp_ps(sv, highSlack, _CMP_LE_OQ)));
    const __m256 t2v = _mm256_div_ps(_mm256_sub_ps(_mm256_mul_ps(uv, wu), _mm256_mul_ps(uu, wv)), D);
    ok = _mm256_and_ps(ok, _mm256_and_ps(_mm256_cmp_ps(t2v, lowSlack, _CMP_GE_OQ),
                                         _mm256_cmp_ps(_mm256_add_ps(sv, t2v), highSlack, _CMP_LE_OQ)));
    const unsigned int hits = unsigned(_mm256_movemask_ps(ok)) & ((1u << lanes) - 1u);
    if (!hits) return 0;
    const __m256 sc = _mm256_min_ps(_mm256_max_ps(sv, zero), one);
    const __m256 t2c = _mm256_min_ps(_mm256_max_ps(t2v, zero), _mm256_sub_ps(one, sc));
    _mm256_storeu_ps(t, tv);
    _mm256_storeu_ps(s, sc);
    _mm256_storeu_ps(t2, t2c);
    return hits;
}
#endif

// The lanes of the prepared triangles at q[0..lanes) (at most eight): AVX where the
// processor has it and avx is set, else two groups of SSE2 lanes.
TESSRA_DEVICE_INLINE unsigned int preparedLanes(const Ray& r, const float* const* q, unsigned int lanes, float* t,
                                                float* s, float* t2, bool avx) {
#if defined(TESSRA_HAVE_AVX_LANES)
    if (avx && lanes > 4 && kCpuHasAvx) return preparedLanesAvx(r, q, lanes, t, s, t2);
#endif
    (void)avx;
    unsigned int hits = preparedLanes4(r, q, lanes < 4u ? lanes : 4u, t, s, t2);
    if (lanes > 4) hits |= preparedLanes4(r, q + 4, lanes - 4, t + 4, s + 4, t2 + 4) << 4;
    return hits;
}

// Entries past the array, one at a time with the clamped fetches.
inline unsigned int preparedClamped(const Ray& r, const TexRef<float4>& tris, const int* at, unsigned int lanes,
                                    float* t, float* s, float* t2) {
    unsigned int hits = 0;
    for (unsigned int j = 0; j < lanes; ++j) {
        const int f = at[j];
        if (intersectPrepared(r, tex1Dfetch(tris, f), tex1Dfetch(tris, f + 1), tex1Dfetch(tris, f + 2), t[j], s[j],
                              t2[j]))
            hits |= 1u << j;
    }
    return hits;
}

// The count entries from e (at most eight are tested). Lanes past the count repeat the
// last entry and are masked off.
TESSRA_DEVICE_INLINE unsigned int preparedRun(const Ray& r, const TexRef<float4>& tris, int e, unsigned int count,
                                              float* t, float* s, float* t2, bool avx) {
    constexpr int F = kPreparedFloat4s;
    const unsigned int lanes = count < 8u ? count : 8u;
    if (e < 0 || uint32_t(e) + F * lanes > tris.count) {
        const int at[8] = {e, e + F, e + 2 * F, e + 3 * F, e + 4 * F, e + 5 * F, e + 6 * F, e + 7 * F};
        return preparedClamped(r, tris, at, lanes, t, s, t2);
    }
    const float* p = &tris.ptr[e].x;
    const float* q[8];
    for (unsigned int j = 0; j < 8; ++j) q[j] = p + 4 * F * (j < lanes ? j : lanes - 1);
    return preparedLanes(r, q, lanes, t, s, t2, avx);
}
TESSRA_DEVICE_INLINE unsigned int intersectPreparedLanes(const Ray& r, const TexRef<float4>& tris, int e,
                                                         unsigned int count, float* t, float* s, float* t2) {
    return preparedRun(r, tris, e, count, t, s, t2, true);
}
// SSE2 lanes alone, for the tests that compare the two.
inline unsigned int intersectPreparedLanesSse(const Ray& r, const TexRef<float4>& tris, int e, unsigned int count,
                                              float* t, float* s, float* t2) {
    return preparedRun(r, tris, e, count, t, s, t2, false);
}

// The same for the entries whose first float4 are at[0..count).
TESSRA_DEVICE_INLINE unsigned int intersectPreparedAt(const Ray& r, const TexRef<float4>& tris, const int* at,
                                                      unsigned int count, float* t, float* s, float* t2) {
    constexpr unsigned int F = kPreparedFloat4s;
    const unsigned int lanes = count < 8u ? count : 8u;
    bool inside = true;
    for (unsigned int j = 0; j < lanes; ++j) inside = inside && at[j] >= 0 && uint32_t(at[j]) + F <= tris.count;
    if (!inside) return preparedClamped(r, tris, at, lanes, t, s, t2);
    const float* q[8];
    for (unsigned int j = 0; j < 8; ++j) q[j] = &tris.ptr[at[j < lanes ? j : lanes - 1]].x;
    return preparedLanes(r, q, lanes, t, s, t2, true);
}
#else
constexpr unsigned int kLeafLanes = 1;

TESSRA_HD unsigned int intersectPreparedLanes(const Ray& r, const TexRef<float4>& tris, int e, unsigned int count,
                                              float* t, float* s, float* t2) {
    return intersectPrepared(r, tex1Dfetch(tris, e), tex1Dfetch(tris, e + 1), tex1Dfetch(tris, e + 2), t[0], s[0],
                             t2[0])
               ? 1u
               : 0u;
}

TESSRA_HD unsigned int intersectPreparedAt(const Ray& r, const TexRef<float4>& tris, const int* at, unsigned int,
                                           float* t, float* s, float* t2) {
    return intersectPreparedLanes(r, tris, at[0], 1, t, s, t2);
}
#endif

// A leaf's entries in groups of this many; the leaf's first (otherwise unused) entry holds
// the boxes of its first two groups, as twelve floats: min and max of the first, then of
// the second, so group g lies in its float4s g and g + 1. Leaf entry off's box of group g:
constexpr unsigned int kLeafGroup = 8;
TESSRA_HD void leafGroupBox(const TexRef<float4>& tris, int off, unsigned int g, float3& lo, float3& hi) {
    const int f = kPreparedFloat4s * off + int(g);
    const float4 f0 = tex1Dfetch(tris, f), f1 = tex1Dfetch(tris, f + 1);
    if (g == 0) lo = xyz(f0), hi = make_float3(f0.w, f1.x, f1.y);
    else lo = make_float3(f0.z, f0.w, f1.x), hi = make_float3(f1.y, f1.z, f1.w);
}

// Whether a hit lies in the leaf box bmin..bmax, with the rounding of its position
// allowed for: a triangle on the scene's outer faces (a single-sided wall on the edge
// of the bounds) was missed where rounding put its hit a hair outside every box, and
// light came through the joints of such walls. Only hits nearer than the best so far
// come here, so the slack costs the walk nothing per leaf.
TESSRA_HD bool insideLeaf(float3 P, float3 bmin, float3 bmax) {
    const float slack = 1e-5f * fmaxf3(bmax.x - bmin.x, bmax.y - bmin.y, bmax.z - bmin.z) +
                        1e-6f * maxf(fmaxf3(fabsf(bmin.x), fabsf(bmin.y), fabsf(bmin.z)),
                                     fmaxf3(fabsf(bmax.x), fabsf(bmax.y), fabsf(bmax.z)));
    return P.x >= bmin.x - slack && P.x <= bmax.x + slack && P.y >= bmin.y - slack && P.y <= bmax.y + slack &&
           P.z >= bmin.z - slack && P.z <= bmax.z + slack;
}

// The eight child slots of inner node i (-1 where a child is absent): the node's last
// two float4, as int bits.
TESSRA_HD void nodeChildren(const TexRef<float4>& nodes, unsigned int i, int (&kids)[8]) {
    const float4 l0 = tex1Dfetch(nodes, int(4 * i + 2)), l1 = tex1Dfetch(nodes, int(4 * i + 3));
    const float f[8] = {l0.x, l0.y, l0.z, l0.w, l1.x, l1.y, l1.z, l1.w};
    for (int k = 0; k < 8; ++k) kids[k] = floatBitsToInt(f[k]);
}

// Walks the octree front to back and returns the first accepted hit: in nearest mode the
// nearest hit in the first leaf that has one (the in-leaf box test keeps a triangle that
// spans several leaves from answering outside the leaf that contains the hit point); in
// any-hit mode the first hit below maxDistance.
//
// A node whose entry lies beyond maxDistance cannot hold an acceptable hit (accepted hits
// lie inside their leaf and nearer than the best so far, and the walk ends with the
// first leaf that has one), so children are box-tested before they are pushed and only
// those the ray enters go on the stack (childrenEntered). The margin keeps hits exactly
// on a box face; dScale converts the box test's ray parameter into distance for
// directions that are not exactly unit length.
TESSRA_DEVICE OctreeHit intersectOctree(const Ray& ray, float maxDistance, bool anyHit) {
    OctreeHit hit = noHit();
    const DeviceSymbols& S = SYM;
    const float3 invD = make_float3(fastRcp(ray.d.x), fastRcp(ray.d.y), fastRcp(ray.d.z));
    const float dScale = length(ray.d);
    const float limit = maxDistance * 1.00001f + 1e-5f;
    {
        const float3 bmin = xyz(tex1Dfetch(S.texNodes, 0)), bmax = xyz(tex1Dfetch(S.texNodes, 1));
        float tnear, tfar;
        intersectBox(ray, invD, bmin, bmax, tnear, tfar);
        if (!(tfar > 0.0f && tnear < tfar) || tnear * dScale > limit) return hit;
    }
    unsigned int pila[128];
    unsigned int count = 1;
    pila[0] = 0;
    float best = maxDistance;
    bool found = false;
    while (count > 0 && !found) {
        const unsigned int i = pila[--count];
        const float4 lo4 = tex1Dfetch(S.texNodes, int(4 * i)), hi4 = tex1Dfetch(S.texNodes, int(4 * i + 1));
        const float3 bmin = xyz(lo4), bmax = xyz(hi4);
        const int off = floatBitsToInt(lo4.w);
        if (off < 0) {
            int idhijos[8];
            nodeChildren(S.texNodes, i, idhijos);
            const float3 c = (bmin + bmax) * 0.5f;
            unsigned int entered = childrenEntered(ray, invD, bmin, c, bmax, dScale, limit, idhijos);
            const int row = traverseRow(ray, c);
            for (int j = 0; j < 8 && entered; ++j) {
                const int slot = tex1Dfetch(S.texTraverseOrder, 8 * row + j) & 0xff;
                if (!((entered >> slot) & 1u)) continue;
                entered &= ~(1u << slot);  // the loop ends with the last child entered
                const int child = idhijos[slot];
                if (count > 127) return noHit();  // stack full: reported as a miss
                tex1DPrefetch(S.texNodes, 4 * child);
                pila[count++] = unsigned(child);
            }
            continue;
        }

        const unsigned int n = unsigned(floatBitsToInt(hi4.w));
        // Ask for the rest of the leaf while the first group is tested, rather than one miss
        // after another (the first group's loads come at once anyway).
        const int F = kPreparedFloat4s;
        for (int e = F * int(off + 1 + kLeafLanes); e < F * int(off + 1 + n); e += 4)  // 64-byte lines
            tex1DPrefetch(S.texLeafTris, e);
        for (unsigned int k0 = 0; k0 < n; k0 += kLeafLanes) {
            if (k0 % kLeafGroup == 0 && k0 < 2 * kLeafGroup) {
                float3 lo, hi;
                leafGroupBox(S.texLeafTris, off, k0 / kLeafGroup, lo, hi);
                float tnear, tfar;
                intersectBox(ray, invD, lo, hi, tnear, tfar);
                if (!(tfar > 0.0f && tnear <= tfar) || tnear * dScale > best * 1.00001f + 1e-5f) {
                    k0 += kLeafGroup - kLeafLanes;  // the ray passes beside the group
                    continue;
                }
            }
            float tl[kLeafLanes], sl[kLeafLanes], t2l[kLeafLanes];
            const unsigned int hits =
                intersectPreparedLanes(ray, S.texLeafTris, F * int(off + 1 + k0), n - k0, tl, sl, t2l);
            for (unsigned int j = 0; j < kLeafLanes; ++j) {
                if (!((hits >> j) & 1u)) continue;
                const unsigned int k = k0 + j;
                const float t = tl[j], s = sl[j], t2 = t2l[j];
                const float3 P = ray.o + ray.d * t;
                const float dist = length(P - ray.o);
                if (!(dist < best)) continue;
                if (!insideLeaf(P, bmin, bmax)) continue;
                if (anyHit) {
                    hit.found = true;
                    return hit;
                }
                best = dist;
                const unsigned int tri = tex1Dfetch(S.texContenido, int(off + 1 + k));
                auto normal = [&](int k) {
                    const int f = int(9 * tri) + 3 * k;
                    return make_float3(tex1Dfetch(S.texTriNorms, f), tex1Dfetch(S.texTriNorms, f + 1),
                                       tex1Dfetch(S.texTriNorms, f + 2));
                };
                const float3 n0 = normal(0), n1 = normal(1), n2 = normal(2);
                hit.found = true;
                hit.distance = dist;
                hit.position = P;
                hit.triangle = tri;
                hit.barycentric = make_float2(s, t2);
                hit.normal = n0 + (n1 - n0) * s + (n2 - n0) * t2;
                found = true;
            }
        }
    }
    return hit;
}

// The shadow rays' tree is built at most this many two-child levels deep (the root's
// depth is 1), and walked in records of four children (see host/bvh.h), each at least
// two levels below its parent's but once on the way down (where a part built on its own
// begins): a way down passes at most half that many records and one, each leaving at
// most three children on the walk's stack.
constexpr unsigned int kBvhMaxDepth = 32;
constexpr unsigned int kBvhRecord = 8;  // float4 a record
TESSRA_HD constexpr unsigned int bvhStack(unsigned int depth) { return 3 * (depth / 2 + 1); }
constexpr unsigned int kBvhStack = bvhStack(kBvhMaxDepth);

// Which of a record's four children the ray enters (bit c), by intersectBox and the
// octree walk's entry rule (not beyond limit), and where: enter[c] = max(tnear, 0).
// Children of count -1 are absent. f is the record. The host build tests the four boxes
// in SSE2 lanes with the same operations (slabPair yields no NaN, so minf and maxf are
// minps and maxps there), so the values are the same bit for bit.
#if !defined(__CUDACC__) && (defined(__SSE2__) || defined(_M_X64))
inline unsigned int enterBoxes(const Ray& r, float3 invD, float dScale, float limit, const float4* f,
                               float* enter) {
    const __m128 lowest = _mm_set1_ps(-3.0e38f), highest = _mm_set1_ps(3.0e38f);
    __m128 t0[3], t1[3];
    const float o[3] = {r.o.x, r.o.y, r.o.z}, id[3] = {invD.x, invD.y, invD.z};
    for (int a = 0; a < 3; ++a) {
        const __m128 oa = _mm_set1_ps(o[a]), ia = _mm_set1_ps(id[a]);
        const __m128 tl = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(&f[a].x), oa), ia);
        const __m128 th = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(&f[3 + a].x), oa), ia);
        const __m128 nan = _mm_cmpunord_ps(tl, th);
        t0[a] = _mm_or_ps(_mm_and_ps(nan, lowest), _mm_andnot_ps(nan, _mm_min_ps(tl, th)));
        t1[a] = _mm_or_ps(_mm_and_ps(nan, highest), _mm_andnot_ps(nan, _mm_max_ps(tl, th)));
    }
    const __m128 tnear = _mm_max_ps(t0[0], _mm_max_ps(t0[1], t0[2]));
    const __m128 tfar = _mm_min_ps(t1[0], _mm_min_ps(t1[1], t1[2]));
    const __m128 absent =
        _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_castps_si128(_mm_loadu_ps(&f[7].x)), _mm_set1_epi32(-1)));
    const __m128 in = _mm_andnot_ps(
        absent, _mm_and_ps(_mm_and_ps(_mm_cmpgt_ps(tfar, _mm_setzero_ps()), _mm_cmple_ps(tnear, tfar)),
                           _mm_cmpngt_ps(_mm_mul_ps(tnear, _mm_set1_ps(dScale)), _mm_set1_ps(limit))));
    _mm_storeu_ps(enter, _mm_max_ps(tnear, _mm_setzero_ps()));
    return unsigned(_mm_movemask_ps(in));
}
#else
TESSRA_HD unsigned int enterBoxes(const Ray& r, float3 invD, float dScale, float limit, const float4* f,
                                  float* enter) {
    // Lane c of float4 k.
    auto lane = [f](int k, int c) { return c == 0 ? f[k].x : c == 1 ? f[k].y : c == 2 ? f[k].z : f[k].w; };
    unsigned int in = 0;
    for (int c = 0; c < 4; ++c) {
        float tnear, tfar;
        intersectBox(r, invD, make_float3(lane(0, c), lane(1, c), lane(2, c)),
                     make_float3(lane(3, c), lane(4, c), lane(5, c)), tnear, tfar);
        enter[c] = maxf(tnear, 0.0f);
        if (floatBitsToInt(lane(7, c)) != -1 && tfar > 0.0f && tnear <= tfar && !(tnear * dScale > limit))
            in |= 1u << c;
    }
    return in;
}
#endif

// Whether anything stops ray r before maxDistance. The shadow tree (host/bvh.h) is
// walked nearer child first with the octree walk's triangle test and distance rule; a
// hit anywhere on a listed triangle answers, so the answer is that of a test of every
// triangle the octree lists, whatever the tree's shape.
TESSRA_DEVICE bool occluded(const Ray& ray, float maxDistance) {
    const DeviceSymbols& S = SYM;
    if (S.texBvhNodes.count < kBvhRecord) return false;  // no scene
    const float3 invD = make_float3(fastRcp(ray.d.x), fastRcp(ray.d.y), fastRcp(ray.d.z));
    const float dScale = length(ray.d);
    const float limit = maxDistance * 1.00001f + 1e-5f;
    constexpr unsigned int lanes = kLeafLanes;
    // Whether a leaf's triangles stop the ray.
    auto leafBlocks = [&](int first, unsigned int count) {
        for (unsigned int k0 = 0; k0 < count; k0 += lanes) {
            int at[lanes];
            for (unsigned int j = 0; j < lanes; ++j)
                at[j] = tex1Dfetch(S.texBvhRefs, first + int(k0 + (k0 + j < count ? j : 0)));
            float tl[lanes], sl[lanes], t2l[lanes];
            const unsigned int hits = intersectPreparedAt(ray, S.texLeafTris, at, count - k0, tl, sl, t2l);
            for (unsigned int j = 0; j < lanes; ++j)
                if (((hits >> j) & 1u) && length(ray.o + ray.d * tl[j] - ray.o) < maxDistance) return true;
        }
        return false;
    };
    unsigned int stack[kBvhStack];
    unsigned int top = 0, node = 0;
    for (;;) {
        float4 f[kBvhRecord];
        for (unsigned int k = 0; k < kBvhRecord; ++k) f[k] = tex1Dfetch(S.texBvhNodes, int(kBvhRecord * node + k));
        float enter[4];
        const unsigned int in = enterBoxes(ray, invD, dScale, limit, f, enter);
        const int index[4] = {floatBitsToInt(f[6].x), floatBitsToInt(f[6].y), floatBitsToInt(f[6].z),
                              floatBitsToInt(f[6].w)};
        const int count[4] = {floatBitsToInt(f[7].x), floatBitsToInt(f[7].y), floatBitsToInt(f[7].z),
                              floatBitsToInt(f[7].w)};
        // Leaves are tested at once, inner children go on nearest last.
        unsigned int inner = 0;
        for (int c = 0; c < 4; ++c) {
            if (!((in >> c) & 1u)) continue;
            if (count[c] == 0) inner |= 1u << c;
            else if (leafBlocks(index[c], unsigned(count[c]))) return true;
        }
        while (inner) {
            int farthest = -1;
            for (int c = 0; c < 4; ++c)
                if (((inner >> c) & 1u) && (farthest < 0 || enter[c] > enter[farthest])) farthest = c;
            inner &= ~(1u << farthest);
            stack[top++] = unsigned(index[farthest]);
        }
        if (top == 0) return false;
        node = stack[--top];
    }
}

// ---------------------------------------------------------------------------------
// Shadow rays from one light rectangle that all end at one point P (an area light's
// n x n samples of a pixel): one walk of the shaft between the rectangle and P finds the
// triangles that may stop any of them, and each ray then tests only those. A triangle
// farther than the margin outside the shaft cannot be hit by any of its rays, rounding
// and the edge slack allowed for, so every ray gets the answer of a test of every
// triangle. Through dense geometry (too many candidates) the rays walk the octree each.

constexpr int kShaftCandidates = 16;

struct ShadowShaft {
    float4 planes[5];  // four sides and the light's plane; inside where dot(n, x) + w >= -margin
    float3 lo, hi;     // the shaft's box, margin included
    float margin;
    int count;         // candidates in entry[], or -1: each ray walks the octree
    int entry[kShaftCandidates];  // the candidates' first float4s in texLeafTris
};

TESSRA_HD bool outsidePlane(float4 pl, float3 p, float margin) { return dot(xyz(pl), p) + pl.w < -margin; }

// Whether the box lo..hi misses the shaft's box.
TESSRA_HD bool outsideShaftBox(const ShadowShaft& s, float3 lo, float3 hi) {
    return hi.x < s.lo.x || hi.y < s.lo.y || hi.z < s.lo.z || lo.x > s.hi.x || lo.y > s.hi.y || lo.z > s.hi.z;
}

// Whether the box lo..hi lies wholly outside the shaft, by its box or one of its planes.
TESSRA_HD bool boxOutsideShaft(const ShadowShaft& s, float3 lo, float3 hi) {
    if (outsideShaftBox(s, lo, hi)) return true;
    for (int i = 0; i < 5; ++i) {
        const float3 n = xyz(s.planes[i]);
        const float3 far = make_float3(n.x > 0.0f ? hi.x : lo.x, n.y > 0.0f ? hi.y : lo.y, n.z > 0.0f ? hi.z : lo.z);
        if (outsidePlane(s.planes[i], far, s.margin)) return true;
    }
    return false;
}

// Whether triangle (v0, v0 + e1, v0 + e2) lies wholly outside the shaft of apex P and
// rectangle corners c: by the shaft's box or planes, or by its own plane with the whole
// shaft on one side.
TESSRA_HD bool triangleOutsideShaft(const ShadowShaft& s, float3 P, const float3 (&c)[4], float3 v0, float3 e1,
                                    float3 e2) {
    const float3 v1 = v0 + e1, v2 = v0 + e2;
    if (outsideShaftBox(s, minf3(v0, minf3(v1, v2)), maxf3(v0, maxf3(v1, v2)))) return true;
    for (int i = 0; i < 5; ++i)
        if (outsidePlane(s.planes[i], v0, s.margin) && outsidePlane(s.planes[i], v1, s.margin) &&
            outsidePlane(s.planes[i], v2, s.margin))
            return true;
    const float3 n = cross(e1, e2);
    const float len = length(n);
    if (!(len > 0.0f)) return false;
    const float m = s.margin * len, d0 = dot(n, P - v0);
    bool above = d0 > m, below = d0 < -m;
    for (int i = 0; i < 4 && (above || below); ++i) {
        const float d = dot(n, c[i] - v0);
        above = above && d > m;
        below = below && d < -m;
    }
    return above || below;
}

// The shaft from the light rectangle of centre C, half edges U and V, to P; count -1
// where P lies in the light's plane or the walk finds too many candidates.
TESSRA_DEVICE ShadowShaft shadowShaft(float3 P, float3 C, float3 U, float3 V) {
    const DeviceSymbols& S = SYM;
    ShadowShaft s;
    s.count = -1;
    const float3 c[4] = {C - U - V, C + U - V, C + U + V, C - U + V};
    s.margin = 100.0f * S.c_rayEpsilon + 1e-5f * fmaxf3(fabsf(P.x), fabsf(P.y), fabsf(P.z)) +
               1e-5f * (fmaxf3(fabsf(C.x), fabsf(C.y), fabsf(C.z)) + length(U) + length(V));
    float3 nl = cross(U, V);
    if (dot(nl, P - C) < 0.0f) nl = -nl;
    const float ll = length(nl);
    if (!(ll > 0.0f) || !(dot(nl, P - C) > s.margin * ll)) return s;
    nl = nl / ll;
    s.planes[4] = make_float4(nl, -dot(nl, C));
    for (int i = 0; i < 4; ++i) {
        float3 n = cross(c[i] - P, c[(i + 1) % 4] - P);
        if (dot(n, C - P) < 0.0f) n = -n;
        const float len = length(n);
        if (!(len > 0.0f)) return s;
        n = n / len;
        s.planes[i] = make_float4(n, -dot(n, P));
    }
    const float3 g = make_float3(s.margin, s.margin, s.margin);
    s.lo = minf3(minf3(minf3(c[0], c[1]), minf3(c[2], c[3])), P) - g;
    s.hi = maxf3(maxf3(maxf3(c[0], c[1]), maxf3(c[2], c[3])), P) + g;
    s.count = 0;
    unsigned int pila[128];
    unsigned int depth = 1;
    pila[0] = 0;
    const int F = kPreparedFloat4s;
    while (depth > 0) {
        const unsigned int i = pila[--depth];
        const float4 lo4 = tex1Dfetch(S.texNodes, int(4 * i)), hi4 = tex1Dfetch(S.texNodes, int(4 * i + 1));
        if (boxOutsideShaft(s, xyz(lo4), xyz(hi4))) continue;
        const int off = floatBitsToInt(lo4.w);
        if (off < 0) {
            int kids[8];
            nodeChildren(S.texNodes, i, kids);
            for (int k = 0; k < 8; ++k) {
                if (kids[k] < 0) continue;
                if (depth > 127) {
                    s.count = -1;
                    return s;
                }
                pila[depth++] = unsigned(kids[k]);
            }
            continue;
        }
        const unsigned int n = unsigned(floatBitsToInt(hi4.w));
        for (unsigned int k = 0; k < n; ++k) {
            if (k % kLeafGroup == 0 && k < 2 * kLeafGroup) {
                float3 glo, ghi;
                leafGroupBox(S.texLeafTris, off, k / kLeafGroup, glo, ghi);
                if (boxOutsideShaft(s, glo, ghi)) {
                    k += kLeafGroup - 1;
                    continue;
                }
            }
            const int e = F * int(off + 1 + k);
            const float4 pa = tex1Dfetch(S.texLeafTris, e), pb = tex1Dfetch(S.texLeafTris, e + 1),
                         pc = tex1Dfetch(S.texLeafTris, e + 2);
            if (triangleOutsideShaft(s, P, c, xyz(pa), xyz(pb), xyz(pc))) continue;
            // A triangle in several leaves is taken once.
            const unsigned int tri = tex1Dfetch(S.texContenido, int(off + 1 + k));
            bool seen = false;
            for (int j = 0; j < s.count && !seen; ++j)
                seen = tex1Dfetch(S.texContenido, s.entry[j] / F) == tri;
            if (seen) continue;
            if (s.count == kShaftCandidates) {
                s.count = -1;
                return s;
            }
            s.entry[s.count++] = e;
        }
    }
    return s;
}

// Whether shadow ray r is stopped before maxDistance: by the shaft's candidates, with
// the walk's own test and its distance rule, or by the walk where the shaft has none.
TESSRA_DEVICE bool shaftBlocks(const ShadowShaft* s, const Ray& r, float maxDistance) {
    if (!s || s->count < 0) return occluded(r, maxDistance);
    const DeviceSymbols& S = SYM;
    for (int j = 0; j < s->count; ++j) {
        const int e = s->entry[j];
        // Most candidates are the surface at the rays' end, whose plane lies beyond the
        // shortened ray by far more than a unit direction's rounding: the bound on t
        // refuses them before the weights' divisions, as the distance rule would after.
        float t, b1, b2;
        if (!intersectPrepared(r, tex1Dfetch(S.texLeafTris, e), tex1Dfetch(S.texLeafTris, e + 1),
                               tex1Dfetch(S.texLeafTris, e + 2), t, b1, b2, 1.001f * maxDistance))
            continue;
        if (length(r.o + r.d * t - r.o) < maxDistance) return true;
    }
    return false;
}

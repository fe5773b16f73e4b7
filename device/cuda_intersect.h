// Ray casting: the slab test, the ray-triangle test and the octree walk that every
// kernel uses to find what a ray hits.
#pragma once

#include "device/cuda_defs.h"

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
// leaf order, so a leaf's triangles are read in one sweep).
struct PreparedTriangle {
    float4 a, b, c, d;  // (v0, uu), (e1, uv), (e2, vv), (e1 x e2, uv * uv - uu * vv)
};
TESSRA_HD PreparedTriangle prepareTriangle(float3 v0, float3 v1, float3 v2) {
    const float3 e1 = v1 - v0, e2 = v2 - v0;
    const float uu = dot(e1, e1), uv = dot(e1, e2), vv = dot(e2, e2);
    PreparedTriangle p;
    p.a = make_float4(v0, uu);
    p.b = make_float4(e1, uv);
    p.c = make_float4(e2, vv);
    p.d = make_float4(cross(e1, e2), uv * uv - uu * vv);
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
// be invisible from every side.
TESSRA_HD bool intersectPrepared(const Ray& r, float4 pa, float4 pb, float4 pc, float4 pd, float& t, float& s,
                                 float& t2) {
    const float3 n = xyz(pd);
    const float b = dot(n, r.d);
    const float nn = dot(n, n);
    const float parallel = nn >= 1.0f ? 0.0001f : 0.0001f * sqrtf(nn);
    if (!(fabsf(b) >= parallel) || !(nn > 0.0f)) return false;
    const float3 v0 = xyz(pa);
    t = -dot(n, r.o - v0) / b;
    if (!(t > 0.0f)) return false;
    const float3 p = r.o + r.d * t;
    const float3 w = p - v0;
    const float3 e1 = xyz(pb), e2 = xyz(pc);
    const float uu = pa.w, uv = pb.w, vv = pc.w, D = pd.w;
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
    return intersectPrepared(r, p.a, p.b, p.c, p.d, t, s, t2);
}

// Walks the octree front to back and returns the first accepted hit: in nearest mode the
// nearest hit in the first leaf that has one (the in-leaf box test keeps a triangle that
// spans several leaves from answering outside the leaf that contains the hit point); in
// any-hit mode the first hit below maxDistance.
//
// A node whose entry lies beyond maxDistance cannot hold an acceptable hit (accepted hits
// lie inside their leaf and nearer than the best so far, and the walk ends with the
// first leaf that has one), so children are box-tested before they are pushed and only
// those the ray enters go on the stack. A child's box is its parent's low face, centre
// or high face on each axis, exactly as the build cut it, so the three plane parameters
// of each axis serve all eight children. The margin keeps hits exactly on a box face;
// dScale converts the box test's ray parameter into distance for directions that are
// not exactly unit length.
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
        if (!(tfar > 0.001f && tnear < tfar) || tnear * dScale > limit) return hit;
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
            const float4 l0 = tex1Dfetch(S.texNodes, int(4 * i + 2)), l1 = tex1Dfetch(S.texNodes, int(4 * i + 3));
            const int idhijos[8] = {floatBitsToInt(l0.x), floatBitsToInt(l0.y), floatBitsToInt(l0.z),
                                    floatBitsToInt(l0.w), floatBitsToInt(l1.x), floatBitsToInt(l1.y),
                                    floatBitsToInt(l1.z), floatBitsToInt(l1.w)};
            const float3 c = (bmin + bmax) * 0.5f;
            // Per axis, the interval of the low-side and of the high-side children.
            float lo0[3], lo1[3], hi0[3], hi1[3];
            const float o[3] = {ray.o.x, ray.o.y, ray.o.z}, id[3] = {invD.x, invD.y, invD.z};
            const float pl[3] = {bmin.x, bmin.y, bmin.z}, pc[3] = {c.x, c.y, c.z}, ph[3] = {bmax.x, bmax.y, bmax.z};
            for (int a = 0; a < 3; ++a) {
                const float tl = (pl[a] - o[a]) * id[a], tc = (pc[a] - o[a]) * id[a], th = (ph[a] - o[a]) * id[a];
                slabPair(tl, tc, lo0[a], lo1[a]);
                slabPair(tc, th, hi0[a], hi1[a]);
            }
            const int row = traverseRow(ray, c);
            for (int j = 0; j < 8; ++j) {
                const int slot = tex1Dfetch(S.texTraverseOrder, 8 * row + j) & 0xff;
                const int child = idhijos[slot];
                if (child < 0) continue;
                // slot = 4 (z high) + 2 (x high) + (y low)
                const bool xh = slot & 2, yl = slot & 1, zh = slot & 4;
                const float tnear = fmaxf3(xh ? hi0[0] : lo0[0], yl ? lo0[1] : hi0[1], zh ? hi0[2] : lo0[2]);
                const float tfar = fminf3(xh ? hi1[0] : lo1[0], yl ? lo1[1] : hi1[1], zh ? hi1[2] : lo1[2]);
                if (!(tfar > 0.001f && tnear < tfar) || tnear * dScale > limit) continue;
                if (count > 127) return noHit();  // stack full: reported as a miss
                tex1DPrefetch(S.texNodes, 4 * child);
                pila[count++] = unsigned(child);
            }
            continue;
        }

        const unsigned int n = unsigned(floatBitsToInt(hi4.w));
        // Ask for the whole leaf at once rather than one miss after another.
        for (unsigned int k = 0; k < n; ++k) tex1DPrefetch(S.texLeafTris, int(4 * (off + 1 + k)));
        for (unsigned int k = 0; k < n; ++k) {
            const int e = int(4 * (off + 1 + k));
            float t, s, t2;
            if (!intersectPrepared(ray, tex1Dfetch(S.texLeafTris, e), tex1Dfetch(S.texLeafTris, e + 1),
                                   tex1Dfetch(S.texLeafTris, e + 2), tex1Dfetch(S.texLeafTris, e + 3), t, s, t2))
                continue;
            const float3 P = ray.o + ray.d * t;
            const float dist = length(P - ray.o);
            if (!(dist < best)) continue;
            if (!(P.x >= bmin.x && P.x <= bmax.x && P.y >= bmin.y && P.y <= bmax.y && P.z >= bmin.z &&
                  P.z <= bmax.z))
                continue;
            if (anyHit) {
                hit.found = true;
                return hit;
            }
            best = dist;
            const unsigned int tri = tex1Dfetch(S.texContenido, int(off + 1 + k));
            const float3 n0 = xyz(tex1Dfetch(S.texTriNorms, int(3 * tri)));
            const float3 n1 = xyz(tex1Dfetch(S.texTriNorms, int(3 * tri + 1)));
            const float3 n2 = xyz(tex1Dfetch(S.texTriNorms, int(3 * tri + 2)));
            hit.found = true;
            hit.distance = dist;
            hit.position = P;
            hit.triangle = tri;
            hit.barycentric = make_float2(s, t2);
            hit.normal = n0 + (n1 - n0) * s + (n2 - n0) * t2;
            found = true;
        }
    }
    return hit;
}

// Ray casting: intersectOctree through the cast_rays kernel against a loop over every
// triangle, on ordinary meshes and on the awkward cases (origins and rays inside node
// planes, flat scenes, trees as deep as allowed, shared edges), the triangle and grouped
// tests against closed forms and their one-at-a-time forms; the octree build, and the
// kd-tree's k-nearest searches against brute force.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <set>
#include <tuple>

#include "device/kernels_gi.h"
#include "host/bvh.h"
#include "host/estimates.h"
#include "host/internal.h"
#include "host/kdtree.h"
#include "runtime/cpu/cpu_backend.h"
#include "support/meshes.h"

namespace {

using namespace meshes;

// True when p lies within eps of a face of a node box on the way down to its leaf, on an
// axis the ray crosses (any axis without d): rounding may put such a hit in either leaf.
bool nearLeafBoundary(const Octree& o, float3 p, float eps, const float3* d) {
    for (uint32_t i = 0;;) {
        const float3 mn = xyz(o.bounds[2 * i]), mx = xyz(o.bounds[2 * i + 1]);
        for (int a = 0; a < 3; ++a)
            if ((!d || (&d->x)[a] != 0.0f) &&
                (std::fabs((&p.x)[a] - (&mn.x)[a]) < eps || std::fabs((&p.x)[a] - (&mx.x)[a]) < eps))
                return true;
        if (o.offsetsCont[i] >= 0) return false;
        const float3 c = (mn + mx) * 0.5f;
        const int child = o.hijos[8 * i + (p.z > c.z ? 4 : 0) + (p.x > c.x ? 2 : 0) + (p.y > c.y ? 0 : 1)];
        if (child < 0) return false;
        i = uint32_t(child);
    }
}

float relDiff(float a, float b) { return std::fabs(a - b) / std::max(std::fabs(b), 1e-30f); }

// Casts for the nearest hit and, with maximum distances on both sides of the reference's
// hit, for any hit, and judges both against the loop over all triangles: at most one in
// 10000 wrong, at least the shares given of the rays judged and of those judged hit. A
// hit at the origin or near a leaf face is not judged; with crossedOnly only the axes the
// ray crosses count, since a hit lies exactly on the planes its ray runs in.
void judge(const Mesh& m, const Octree& o, const std::vector<float4>& rays, const std::string& what, double judged,
           double hits, bool crossedOnly = false, float eps = 1e-5f) {
    const std::vector<RefHit> refs = bruteForceAll(m, rays);
    const CastResults near = castRays(rays, false);
    static const float kFactors[4] = {0.5f, 0.9f, 1.1f, 2.0f};
    std::vector<float4> shadow(rays);
    for (size_t i = 0; i < refs.size(); ++i) shadow[2 * i].w = refs[i].found ? refs[i].distance * kFactors[i % 4] : 1e7f;
    const CastResults any = castRays(shadow, true);
    size_t nJudged = 0, nHits = 0, bad = 0;
    for (size_t i = 0; i < refs.size(); ++i) {
        const Ray r = rayAt(rays, i);
        const RefHit& ref = refs[i];
        if (ref.found && (ref.distance < 0.001f || nearLeafBoundary(o, ref.position, eps, crossedOnly ? &r.d : nullptr)))
            continue;
        ++nJudged;
        nHits += ref.found;
        bool ok = bool(near.found[i]) == ref.found && bool(any.found[i]) == (ref.found && ref.distance < shadow[2 * i].w);
        if (ok && ref.found) {
            // Another triangle only at the same distance (a shared edge, crossing triangles);
            // the surface fields belong to the reported triangle and distance.
            const int t = near.triangle[i];
            const float2 b = near.barycentric[i];
            ok = t >= 0 && size_t(t) < m.triangles() &&
                 relDiff(near.distance[i], ref.distance) <= (t == ref.triangle ? 1e-4f : 1e-5f) &&
                 length(xyz(near.position[i]) - (r.o + r.d * near.distance[i])) <=
                     1e-4f * std::max(1.0f, near.distance[i]) &&
                 length(xyz(near.normal[i]) - xyz(m.normals[3 * size_t(t)])) <= 1e-4f && b.x >= 0 && b.y >= 0 &&
                 b.x + b.y <= 1;
        }
        if (!ok && bad++ < 4)
            ADD_FAILURE() << what << ", ray " << i << ": octree tri " << near.triangle[i] << " at " << near.distance[i]
                          << ", any " << int(any.found[i]) << "; reference tri " << ref.triangle << " at " << ref.distance;
    }
    EXPECT_LE(bad, nJudged / 10000) << what;
    EXPECT_GE(double(nJudged), judged * double(refs.size())) << what;
    EXPECT_GE(double(nHits), hits * double(nJudged)) << what;
}

TEST(RayCast, MeshesAgreeWithLoopOverAllTriangles) {
    rt::selectBackend("cpu");
    const std::vector<float4> camera = defaultCameraRays(192, 192), random = randomRays(30000, 5);
    for (const size_t triangles : {1000, 100000}) {
        const Mesh m = makeMesh(triangles, triangles == 1000 ? 11 : 23);
        const DeviceScene scene(m, 8);
        // The large mesh against a sample: the loop costs a full pass over the mesh per ray.
        const size_t stride = triangles == 1000 ? 1 : 128;
        for (const std::vector<float4>* all : {&camera, &random}) {
            std::vector<float4> rays;
            for (size_t i = 0; i < rayCount(*all); i += stride) rays.insert(rays.end(), {(*all)[2 * i], (*all)[2 * i + 1]});
            judge(m, *scene.octree, rays, std::to_string(triangles) + " triangles", 0.99, 0.25);
        }
    }
}

// One face of the box [lo, lo + e]^3 at coordinate side on axis, as a k x k grid whose
// cells alternate their diagonals. Every vertex is computed the same way on every face,
// so that faces share their edges bit for bit.
void addBoxFace(Mesh& m, int axis, float side, float lo, float e, int k = 8) {
    auto at = [&](int i, int j) {
        float3 p = make_float3(lo, lo, lo);
        (&p.x)[axis] = side;
        (&p.x)[(axis + 1) % 3] = lo + e * (float(i) / float(k));
        (&p.x)[(axis + 2) % 3] = lo + e * (float(j) / float(k));
        return p;
    };
    for (int j = 0; j < k; ++j)
        for (int i = 0; i < k; ++i) {
            if ((i + j) % 2)
                m.add(at(i, j), at(i + 1, j), at(i + 1, j + 1)), m.add(at(i, j), at(i + 1, j + 1), at(i, j + 1));
            else
                m.add(at(i, j), at(i + 1, j), at(i, j + 1)), m.add(at(i + 1, j), at(i + 1, j + 1), at(i, j + 1));
        }
}

// A Cornell box (walls split into small triangles so that the tree subdivides) in the
// symmetric [-1, 1]^3 form and the classic [0, 556]^3 one, against rays with one or two
// direction components exactly zero (either sign): a camera's centre row and column on
// the root's centre planes, fans from the root centre and its front face, and origins
// on the centre planes and faces of the upper nodes.
TEST(RayCast, ZeroDirectionComponentsAndOriginsOnNodePlanesAgreeWithTheLoop) {
    rt::selectBackend("cpu");
    for (const float hi : {1.0f, 556.0f}) {
        const float lo = hi == 1.0f ? -1.0f : 0.0f, e = hi - lo;
        Mesh m;
        for (const auto& [axis, side] : {std::pair{1, lo}, {1, hi}, {2, lo}, {0, lo}, {0, hi}}) addBoxFace(m, axis, side, lo, e);
        addBoxFace(m, 1, lo + 0.45f * e, lo + 0.3f * e, 0.2f * e);  // a block across the centre
        addBoxFace(m, 2, lo + 0.5f * e, lo + 0.3f * e, 0.2f * e);
        const DeviceScene scene(m, 8);
        const Octree& o = *scene.octree;
        ASSERT_LT(o.offsetsCont[0], 0);
        const float3 c0 = xyz(o.pos[0]), eye = make_float3(c0.x, c0.y, hi + 1.2f * e);
        std::vector<float4> rays;
        for (int k = 0; k < 256; ++k) {
            const float u = 2.0f * float(k) / 256.0f - 1.0f;  // as the primary-ray kernel forms pixels
            for (const float3 d : {make_float3(0.0f, 0.4f * u, -1), make_float3(0.4f * u, 0.0f, -1),
                                   make_float3(-0.0f, 0.4f * u, -1)})
                addRay(rays, eye, d);
            if (k % 4) continue;
            for (const float3 from : {c0, make_float3(c0.x, c0.y, o.bounds[1].z)})
                for (const float3 d : {make_float3(0.0f, u, -1), make_float3(u, -0.0f, k % 8 ? 1 : -1),
                                       make_float3(0.0f, k % 8 ? 1 : -1, 0.0f)})
                    addRay(rays, from, d);
        }
        std::vector<uint32_t> nodes = {0};
        for (size_t n = 0; n < 9 && n < nodes.size(); ++n)
            for (int s = 0; s < 8; ++s)
                if (o.hijos[8 * nodes[n] + s] >= 0) nodes.push_back(uint32_t(o.hijos[8 * nodes[n] + s]));
        Rng rng(91);
        for (const uint32_t n : nodes) {
            const float3 mn = xyz(o.bounds[2 * n]), mx = xyz(o.bounds[2 * n + 1]), c = xyz(o.pos[n]);
            for (int k = 0; k < 60; ++k) {
                float3 p = rng.vec(lo, hi), d = rng.vec(-1, 1);
                const int a = k % 3, b = (k / 3) % 3;
                (&p.x)[a] = k % 2 ? (&c.x)[a] : (k % 4 < 2 ? (&mn.x)[a] : (&mx.x)[a]);
                if (k % 5 == 0) (&p.x)[b] = (&c.x)[b];
                (&d.x)[a] = (k & 8) ? -0.0f : 0.0f;
                if (k % 7 < 3) (&d.x)[(a + 1 + (k & 1)) % 3] = 0.0f;
                addRay(rays, p, d);
            }
        }
        judge(m, o, rays, "box " + std::to_string(int(hi)), 0.75, 0.34, true, 1e-5f * hi);
    }
}

// A floor of exactly z = 0 gives a root box of no extent on one axis; a fan of triangles
// around one vertex can never be separated, so its tree goes as deep as it may, and a
// deeper request is clamped to what the traversal stack holds. A blocker exactly at a
// ray's maximum distance does not count; just beyond it does.
TEST(RayCast, FlatScenesAndTheDeepestTreesAgreeWithTheLoop) {
    rt::selectBackend("cpu");
    Mesh floor;
    addBoxFace(floor, 2, 0.0f, -1.0f, 2.0f);
    std::vector<float4> rays = cameraRays(64, 64, make_float3(0.1f, 0.2f, 2.0f), make_float3(0, 0, 0), 0.9f);
    for (const uint32_t depth : {1u, 8u}) {
        const DeviceScene scene(floor, depth);
        // Every hit lies on the root's flat faces: all are judged.
        judge(floor, *scene.octree, rays, "floor, depth " + std::to_string(depth), 1, 0.5, false, 0.0f);
        std::vector<float4> limited;
        for (const float max : {1.0f, 1.0001f, 0.5f}) addRay(limited, make_float3(0.375f, 0.0625f, 1), make_float3(0, 0, -1), max);
        const CastResults any = castRays(limited, true), nearest = castRays(limited, false);
        EXPECT_EQ(std::vector<unsigned char>({0, 1, 0}), any.found);
        EXPECT_EQ(std::vector<unsigned char>({0, 1, 0}), nearest.found);
        EXPECT_FLOAT_EQ(nearest.distance[1], 1.0f);
    }

    Mesh fan;
    const float3 centre = make_float3(0.1f, -0.05f, 0.02f);
    for (int k = 0; k < 120; ++k) {
        const float a0 = 6.28318f * float(k) / 120.0f, a1 = 6.28318f * float(k + 1) / 120.0f;
        fan.add(centre, centre + make_float3(std::cos(a0), std::sin(a0), 0.3f * std::sin(3 * a0)),
                centre + make_float3(std::cos(a1), std::sin(a1), 0.3f * std::sin(3 * a1)));
    }
    const DeviceScene deep(fan, 40);
    EXPECT_EQ(deep.octree->maxDeep, Octree::kMaxDepth);
    // Rays aimed at points ever closer to the shared vertex, from both sides.
    Rng rng(3);
    rays.clear();
    for (int k = 0; k < 4000; ++k) {
        const float r = std::pow(10.0f, rng.range(-4.0f, -0.5f)), a = rng.range(0, 6.28318f);
        const float3 o = make_float3(rng.range(-2, 2), rng.range(-2, 2), k % 2 ? 2.0f : -2.0f);
        addRay(rays, o, centre + make_float3(r * std::cos(a), r * std::sin(a), 0.0f) - o);
    }
    judge(fan, *deep.octree, rays, "fan at the deepest level", 0.5, 0);
}

// A cube tessellated into a grid per face, at full size and at a hundredth (triangles of
// area 3e-6): every ray from inside aimed at a vertex or an edge hits the surface where
// it was aimed. Two triangles that round an edge differently must not leave a crack,
// and small triangles must not count as parallel.
TEST(RayCast, RaysAtSharedEdgesAndVerticesOfAClosedMeshAlwaysHit) {
    rt::selectBackend("cpu");
    for (const float scale : {1.0f, 0.01f}) {
        Mesh m;
        for (int axis = 0; axis < 3; ++axis)
            for (const float side : {-scale, scale}) addBoxFace(m, axis, side, -scale, 2 * scale);
        const DeviceScene scene(m, 4);
        Rng rng(17);
        std::vector<float4> rays;
        std::vector<float> expected;
        for (int k = 0; k < 6; ++k) {
            const float3 o = k ? rng.vec(-0.8f, 0.8f) * scale : make_float3(0, 0, 0);
            for (size_t t = 0; t < m.triangles(); ++t)
                for (int j = 0; j < 3; ++j)
                    for (const float3 target : {m.vertex(t, j), (m.vertex(t, j) + m.vertex(t, (j + 1) % 3)) * 0.5f}) {
                        addRay(rays, o, target - o);
                        expected.push_back(length(target - o));
                    }
        }
        const CastResults near = castRays(rays, false), any = castRays(rays, true);
        size_t wrong = 0;
        for (size_t i = 0; i < expected.size(); ++i)
            wrong += !near.found[i] || !any.found[i] || relDiff(near.distance[i], expected[i]) > 1e-4f;
        EXPECT_EQ(wrong, 0u) << "missed or hit elsewhere, scale " << scale;
    }
}

TEST(IntersectTriangle, ClosedFormHits) {
    const float3 v0 = make_float3(0, 0, 0), v1 = make_float3(2, 0, 0), v2 = make_float3(0, 4, 0), down = {0, 0, -1};
    float t, s, t2;
    auto hits = [&](float3 o, float3 d, float3 c) {
        Ray r;
        r.o = o, r.d = d / std::sqrt(dot(d, d));
        return intersectTriangle(r, v0, v1, c, t, s, t2);
    };
    // The point (0.5, 1, 0) has weights 0.25 of v1 and 0.25 of v2; the back face counts.
    ASSERT_TRUE(hits(make_float3(0.5f, 1, 3), down, v2));
    EXPECT_NEAR(t, 3.0f, 1e-6f);
    EXPECT_NEAR(s, 0.25f, 1e-6f);
    EXPECT_NEAR(t2, 0.25f, 1e-6f);
    ASSERT_TRUE(hits(make_float3(0.5f, 1, -2), -down, v2));
    EXPECT_NEAR(t, 2.0f, 1e-6f);
    // Behind the origin, outside, parallel within |n.d| < 0.0001 (|n| = 8), zero area.
    EXPECT_FALSE(hits(make_float3(0.5f, 1, -2), down, v2));
    EXPECT_FALSE(hits(make_float3(1.5f, 3, 3), down, v2));
    EXPECT_FALSE(hits(make_float3(0.5f, 1, 3), make_float3(1, 0, -1e-6f), v2));
    EXPECT_FALSE(hits(make_float3(1, 0, 3), down, v1));
}

// Huge, tiny, sliver and needle triangles, up to 1e38 across, where products inside the
// test overflow (inf - inf) or divide 0 by 0: a hit never has non-numeric weights. The
// walk tests a leaf's triangles in groups (the form this processor takes, or SSE2
// groups), and every bit must be that of the one-at-a-time test, also for groups that
// run past the array, for rays that are not unit or have a zero component, and for
// rays aimed just inside and just outside an edge.
TEST(IntersectTriangle, DegenerateTrianglesAndGroupedTestsGiveTheBitsOfSingleTests) {
    using Lanes = unsigned int (*)(const Ray&, const TexRef<float4>&, int, unsigned int, float*, float*, float*);
    const Lanes forms[2] = {intersectPreparedLanes, intersectPreparedLanesSse};
    auto same = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    Rng rng(9);
    size_t hits = 0;
    for (int batch = 0; batch < 2000; ++batch) {
        std::vector<float4> tris;
        std::vector<float3> verts;
        std::vector<float> scales;
        for (int k = 0; k < 16; ++k) {
            const float scale = std::pow(10.0f, rng.range(-20.0f, 38.0f));
            float3 a = rng.vec(-1, 1) * scale, b = rng.vec(-1, 1) * scale, c;
            switch (k % 4) {
                case 0: c = rng.vec(-1, 1) * scale; break;
                case 1: c = a + (b - a) * rng.range(-2, 2); break;
                case 2: c = a + (b - a) * 1e-7f + make_float3(0, 1e-30f, 0); break;
                default: c = b, b = b * 1.0000001f; break;
            }
            const PreparedTriangle p = prepareTriangle(a, b, c);
            tris.insert(tris.end(), {p.a, p.b, p.c});
            verts.insert(verts.end(), {a, b, c});
            scales.push_back(scale);
        }
        const TexRef<float4> tex{tris.data(), uint32_t(tris.size())};
        for (int i = 0; i < 100; ++i) {
            const int first = int(rng.uniform() * 16), count = 1 + i % 9, aim = std::min(15, first + i % count);
            // Aimed inside the triangle, or within 3e-5 of an edge in weights, where the
            // slack that closes cracks decides.
            const float3* v = &verts[3 * size_t(aim)];
            float ws = rng.uniform(), wt = rng.uniform() * (1 - ws);
            const float band = rng.range(-3e-5f, 3e-5f);
            if (i % 4 == 1) ws = band;
            if (i % 4 == 2) wt = band;
            if (i % 4 == 3) wt = 1 - ws + band;
            const float3 target = v[0] + (v[1] - v[0]) * ws + (v[2] - v[0]) * wt;
            Ray r;
            r.o = target + rng.vec(-1, 1) * scales[size_t(aim)] * 3.0f;
            float3 d = target - r.o;
            if (i % 5 == 0) d.x = 0.0f;
            if (!(dot(d, d) > 0.0f) || !std::isfinite(dot(d, d))) continue;
            r.d = i % 2 ? d : d / std::sqrt(dot(d, d));
            float t[kLeafLanes], s[kLeafLanes], t2[kLeafLanes];
            const unsigned int mask = forms[(i / 2) % 2](r, tex, kPreparedFloat4s * first, unsigned(count), t, s, t2);
            for (int j = 0; j < int(kLeafLanes); ++j) {
                const int e = kPreparedFloat4s * (first + j);
                float rt, rs, rt2;
                const bool ref = j < count && intersectPrepared(r, tex1Dfetch(tex, e), tex1Dfetch(tex, e + 1),
                                                                tex1Dfetch(tex, e + 2), rt, rs, rt2);
                ASSERT_EQ(((mask >> j) & 1u) != 0, ref) << "batch " << batch << ", ray " << i << ", lane " << j;
                hits += ref;
                ASSERT_TRUE(!ref || (same(t[j], rt) && same(s[j], rs) && same(t2[j], rt2) && std::isfinite(rt) &&
                                     rt > 0 && rs >= 0 && rs <= 1 && rt2 >= 0 && rs + rt2 <= 1))
                    << "batch " << batch << ", ray " << i << ", lane " << j;
            }
        }
    }
    EXPECT_GT(hits, 20000u);
}

// ---------------------------------------------------------------------------------
// The octree build: leaf lists against an exact clipping test, triangles on faces and
// splitting planes included, where the ray-casting tests above leave hits out as
// ambiguous; a wrong child order or a wrong copy on the device shows in those tests.

// Exact overlap in double precision: clip the triangle against the six box planes and
// see whether anything is left (Sutherland-Hodgman); a single point counts.
bool clipOverlap(const Mesh& m, size_t t, const float3& mn, const float3& mx) {
    using P = std::array<double, 3>;
    std::vector<P> poly;
    for (int k = 0; k < 3; ++k) poly.push_back({m.vertex(t, k).x, m.vertex(t, k).y, m.vertex(t, k).z});
    for (int a = 0; a < 3 && !poly.empty(); ++a)
        for (const bool high : {false, true}) {
            const double plane = high ? (&mx.x)[a] : (&mn.x)[a];
            auto inside = [&](const P& p) { return high ? p[a] <= plane : p[a] >= plane; };
            std::vector<P> out;
            for (size_t i = 0; i < poly.size(); ++i) {
                const P &p = poly[i], &q = poly[(i + 1) % poly.size()];
                if (inside(p)) out.push_back(p);
                if (inside(p) == inside(q)) continue;
                P r;
                for (int b = 0; b < 3; ++b) r[b] = b == a ? plane : p[b] + (plane - p[a]) / (q[a] - p[a]) * (q[b] - p[b]);
                out.push_back(r);
            }
            poly.swap(out);
        }
    return !poly.empty();
}

// An area light's shadow rays to one point through the shaft's candidates against the
// loop over every triangle, exactly: points on a height field under random triangles,
// lit by tilted rectangles above, the rays stopped just short of the point (as the
// lighting stops them) or halfway. A point in the light's plane walks the octree.
TEST(RayCast, ShadowShaftsAnswerAsTheLoopOverAllTriangles) {
    rt::selectBackend("cpu");
    const Mesh m = makeMesh(600, 41);
    const DeviceScene scene(m, 8);
    const std::vector<float4> camera = cameraRays(40, 40, make_float3(0, 0, 3), make_float3(0, 0, -0.5f), 0.9f);
    const CastResults hits = castRays(camera, false);
    Rng rng(43);
    const unsigned side = 4, per = side * side;
    std::vector<float4> shafts, rays;
    std::vector<bool> level;
    for (size_t i = 0; i < hits.found.size(); ++i) {
        if (!hits.found[i]) continue;
        const float3 P = xyz(hits.position[i]);
        const float a = rng.range(0.0f, 6.28f), hu = rng.range(0.02f, 0.4f), hv = rng.range(0.02f, 0.4f);
        const float3 U = make_float3(std::cos(a), std::sin(a), 0.1f) * hu;
        const float3 V = make_float3(-std::sin(a), std::cos(a), 0.2f) * hv;
        // Every twentieth point has the light's centre level with it, in the light's plane.
        level.push_back(i % 20 == 0);
        const float3 C =
            level.back() ? P - U * 2.0f : make_float3(rng.range(-1, 1), rng.range(-1, 1), rng.range(1.1f, 2));
        shafts.insert(shafts.end(), {make_float4(P, 0), make_float4(C, 0), make_float4(U, 0), make_float4(V, 0)});
        for (unsigned k = 0; k < per; ++k) {
            const float3 S = C + U * (-1.0f + 2.0f * float(k % side) / float(side - 1)) +
                             V * (-1.0f + 2.0f * float(k / side) / float(side - 1));
            const float len = length(P - S);
            addRay(rays, S, P - S, k % 5 == 0 ? 0.5f * len : len * (1.0f - 1e-5f));
        }
    }
    const size_t count = shafts.size() / 4;
    void *dShafts, *dRays, *dBlocked, *dCandidates;
    rt::malloc(&dShafts, shafts.size() * 16), rt::malloc(&dRays, rays.size() * 16);
    rt::malloc(&dBlocked, count * per), rt::malloc(&dCandidates, count * 4);
    rt::memcpyHtoD(dShafts, shafts.data(), shafts.size() * 16), rt::memcpyHtoD(dRays, rays.data(), rays.size() * 16);
    rt::launch(TESSRA_KERNEL(cast_shaft_rays), dim3(unsigned((count + 63) / 64), 1, 1), dim3(64, 1, 1),
               static_cast<const float4*>(dShafts), unsigned(count), static_cast<const float4*>(dRays), per,
               static_cast<unsigned char*>(dBlocked), static_cast<int*>(dCandidates));
    rt::synchronize();
    std::vector<unsigned char> blocked(count * per);
    std::vector<int> candidates(count);
    rt::memcpyDtoH(blocked.data(), dBlocked, blocked.size()), rt::memcpyDtoH(candidates.data(), dCandidates, count * 4);
    for (void* p : {dShafts, dRays, dBlocked, dCandidates}) rt::free(p);

    const std::vector<RefHit> refs = bruteForceAll(m, rays);
    size_t wrong = 0, byCandidates = 0, stopped = 0, inPlane = 0, walked = 0;
    for (size_t s = 0; s < count; ++s) {
        walked += candidates[s] < 0;
        inPlane += level[s] && candidates[s] < 0;
        if (candidates[s] < 0) continue;
        for (size_t k = s * per; k < (s + 1) * per; ++k) {
            ++byCandidates;
            stopped += blocked[k];
            if (bool(blocked[k]) != refs[k].found && wrong++ < 4)
                ADD_FAILURE() << "shaft " << s << " ray " << k << ": " << int(blocked[k]) << " against the loop's "
                              << refs[k].found;
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(inPlane, size_t(std::count(level.begin(), level.end(), true)))
        << "a point in the light's plane has no shaft";
    EXPECT_GE(byCandidates, rayCount(rays) / 2);
    EXPECT_GE(stopped, byCandidates / 20);
    EXPECT_LE(stopped, byCandidates / 2);
    EXPECT_GT(walked, inPlane) << "no shaft met too many triangles";
}

// Every triangle that really meets a leaf box is listed in that leaf (the build may list
// more: its test is conservative; in exact coordinates it lists no more), and inner nodes
// have all eight children pointing back. Random meshes shrink the box by a hair, since a
// triangle merely touching a face from outside may go either way; the last mesh, in exact
// coordinates, does not: a vertex on a face counts as inside and a triangle in a
// splitting plane is listed on both sides.
TEST(OctreeBuild, LeafListsHoldEveryTriangleThatMeetsTheLeaf) {
    Mesh sparse;  // a cluster in one corner and one far triangle: most children empty
    addRandomTriangles(sparse, 40, 6);
    for (float4& v : sparse.vertices) v = make_float4(0.1f * v.x - 0.9f, 0.1f * v.y - 0.9f, 0.1f * v.z - 0.9f, 1);
    sparse.add(make_float3(1, 1, 1), make_float3(0.99f, 1, 1), make_float3(1, 0.99f, 1));
    Mesh planes;  // the scene box is [-1, 1]^3, its centre the origin
    planes.add(make_float3(-1, -1, -1), make_float3(-0.75f, -1, -1), make_float3(-1, -0.75f, -1));
    planes.add(make_float3(1, 1, 1), make_float3(0.75f, 1, 1), make_float3(1, 0.75f, 1));
    planes.add(make_float3(0.25f, 0.25f, 0), make_float3(0.5f, 0.25f, 0), make_float3(0.25f, 0.5f, 0));
    planes.add(make_float3(0, 0.5f, -0.5f), make_float3(-0.375f, 0.5f, -0.5f), make_float3(-0.375f, 0.75f, -0.5f));
    for (int k = 0; k < 20; ++k) {  // filler far from every plane, so that the root splits
        const float x = -0.8f + 0.02f * float(k);
        planes.add(make_float3(x, -0.6f, -0.6f), make_float3(x + 0.01f, -0.6f, -0.6f), make_float3(x, -0.5f, -0.6f));
    }
    for (const auto& [m, depth, shrink] :
         {std::tuple{makeMesh(1500, 8), 5u, 1e-5f}, std::tuple{sparse, 3u, 1e-5f}, std::tuple{planes, 2u, 0.0f}}) {
        tt::StdoutCapture quiet(true);
        const Octree o(uint32_t(m.triangles()), m.vertices.data(), depth);
        quiet.stop();
        ASSERT_GE(o.num_nodos_totales, 9u);
        size_t leaves = 0, empty = 0, listed = 0;
        for (uint32_t i = 0; i < o.num_nodos_totales; ++i) {
            if (o.offsetsCont[i] < 0) {
                for (int s = 0; s < 8; ++s) {
                    ASSERT_GE(o.hijos[8 * i + s], 0);
                    EXPECT_EQ(o.parents[o.hijos[8 * i + s]], int(i));
                }
                continue;
            }
            ASSERT_LT(uint32_t(o.offsetsCont[i]), o.totalContenido);
            const uint32_t* list = o.contenido + o.offsetsCont[i];  // a count, then the triangles
            const std::set<uint32_t> inLeaf(list + 1, list + 1 + list[0]);
            ++leaves, empty += inLeaf.empty(), listed += inLeaf.size();
            const float3 mn = xyz(o.bounds[2 * i]), mx = xyz(o.bounds[2 * i + 1]), eps = (mx - mn) * shrink;
            for (size_t t = 0; t < m.triangles(); ++t)
                if (clipOverlap(m, t, mn + eps, mx - eps))
                    EXPECT_TRUE(inLeaf.count(uint32_t(t))) << "triangle " << t << " missing from leaf " << i;
        }
        EXPECT_GE(leaves, 8u);
        if (depth == 3) EXPECT_GE(empty, 4u);
        if (depth == 2) EXPECT_EQ(listed, m.triangles() + 2) << "only the two on planes are listed twice";
    }
}

// Everything the build hands over, host and device: the counts and every array.
std::vector<uint8_t> everything(const Octree& o) {
    const size_t n = o.num_nodos_totales, c = o.totalContenido;
    if (!o.built()) return {0};  // an octree over its budget has nothing else to show
    const uint32_t counts[3] = {o.num_nodos_totales, o.totalContenido, o.maxDeep};
    std::vector<uint8_t> out(reinterpret_cast<const uint8_t*>(counts), reinterpret_cast<const uint8_t*>(counts + 3));
    auto host = [&](const void* p, size_t bytes) {
        out.insert(out.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + bytes);
    };
    auto device = [&](const void* p, size_t bytes) {
        out.resize(out.size() + bytes);
        EXPECT_EQ(rt::memcpyDtoH(out.data() + out.size() - bytes, p, bytes), rt::Success);
    };
    host(o.offsets.data(), 4 * o.offsets.size());
    host(o.bounds, 32 * n), host(o.pos, 16 * n), host(o.contenido, 4 * c), host(o.hijos, 32 * n);
    host(o.parents, 4 * n), host(o.offsetsCont, 4 * n), host(o.traverseOrder, 64);
    device(o.d_bounds, 32 * n), device(o.d_pos, 16 * n), device(o.d_contenido, 4 * c), device(o.d_hijos, 32 * n);
    device(o.d_parents, 4 * n), device(o.d_offsetsCont, 4 * n), device(o.d_traverseOrder, 64);
    device(o.d_nodes, 64 * n), device(o.d_leafTris, 16 * kPreparedFloat4s * c);
    device(o.d_bvhNodes, 16 * kBvhRecord * o.bvhNodes), device(o.d_bvhRefs, 4 * o.bvhRefs);
    return out;
}

// The shadow rays' tree over triangles spaced ever wider apart, where the surface-area
// heuristic alone peels a few off at each split, and over a mesh of many parts: the tree
// lists every triangle the octree lists once, in leaves of at most eight, boxes that hold
// their triangles, and a way down passes no more records than the walk's stack is sized
// for (each leaves at most three children on it).
TEST(OctreeBuild, ShadowTreeListsEveryTriangleOnceWithinTheWalksStack) {
    Mesh spaced;
    for (int k = 0; k < 3000; ++k) {
        const float x = std::pow(1.029f, float(k));
        spaced.add(make_float3(x, 0, 0), make_float3(x, 1, 0), make_float3(x, 0, 1));
    }
    const Mesh parts = makeMesh(40000, 7);
    // The heuristic's own tree is some 24 levels deep; 10 is the least that halving allows.
    const std::pair<const Mesh*, uint32_t> cases[] = {{&spaced, kBvhMaxDepth}, {&spaced, 10u}, {&parts, kBvhMaxDepth}};
    for (const auto& [m, limit] : cases) {
        const CornerView corners{&m->vertices[0].x, 12, 4};
        std::vector<int32_t> entry(m->triangles());
        for (size_t t = 0; t < entry.size(); ++t) entry[t] = t % 7 ? int32_t(3 * t) : -1;
        const ShadowBvh bvh = buildShadowBvh(corners, entry, limit, 3);
        ASSERT_EQ(bvh.nodes.size() % kBvhRecord, 0u);
        std::vector<int> seen(m->triangles(), 0), visits(bvh.nodes.size() / kBvhRecord, 0);
        uint32_t deepest = 0;
        std::vector<std::pair<uint32_t, uint32_t>> todo{{0, 1}};  // (record, records down to it)
        while (!todo.empty()) {
            const auto [i, depth] = todo.back();
            todo.pop_back();
            deepest = std::max(deepest, depth);
            ASSERT_LT(i, visits.size());
            ASSERT_EQ(++visits[i], 1);
            const float4* f = &bvh.nodes[kBvhRecord * i];
            auto lane = [f](int k, uint32_t c) { return (&f[k].x)[c]; };
            for (uint32_t c = 0; c < 4; ++c) {
                const int index = floatBitsToInt(lane(6, c)), count = floatBitsToInt(lane(7, c));
                if (count == 0) todo.push_back({uint32_t(index), depth + 1});
                if (count <= 0) continue;
                ASSERT_LE(count, int(kBvhLeafSize));
                for (int k = index; k < index + count; ++k) {
                    const size_t t = size_t(bvh.refs[size_t(k)]) / 3;
                    ++seen[t];
                    for (size_t v = 0; v < 3; ++v) {
                        const float3 p = corners(t, v);
                        EXPECT_TRUE(p.x >= lane(0, c) && p.y >= lane(1, c) && p.z >= lane(2, c) &&
                                    p.x <= lane(3, c) && p.y <= lane(4, c) && p.z <= lane(5, c));
                    }
                }
            }
        }
        EXPECT_EQ(std::count(visits.begin(), visits.end(), 0), 0);
        for (size_t t = 0; t < seen.size(); ++t) ASSERT_EQ(seen[t], t % 7 ? 1 : 0) << t;
        // Each record but one on a way down lies two levels below its parent.
        EXPECT_LE(3 * deepest, bvhStack(limit));
    }
}

// The build splits the top levels and grows subtrees on separate workers (the octree's
// and the shadow tree's); the arrays must be those of one worker, byte for byte, and the
// budget must run out for all or none: random triangles, large ones overlapping at the
// depth limit, a fan too dense at its apex for the budget, one point repeated down to the
// deepest level, a floor without thickness and no triangles at all.
TEST(OctreeBuild, EveryWorkerCountGivesTheSameArrays) {
    Mesh large, fan, point, floor;
    Rng rng(21);
    for (int k = 0; k < 400; ++k) large.add(rng.vec(-1, 1), rng.vec(-1, 1), rng.vec(-1, 1));
    for (int k = 0; k < 600; ++k) {
        const float a = 0.01f * float(k);
        fan.add(make_float3(0.1f, 0.2f, 0.3f), make_float3(std::cos(a), std::sin(a), 0.5f),
                make_float3(std::cos(a + 0.1f), std::sin(a + 0.1f), -0.5f));
    }
    const float3 p = make_float3(0.3f, 0.3f, 0.3f);
    for (int k = 0; k < 300; ++k) point.add(p, p, p);
    addRandomTriangles(floor, 800, 5);
    for (float4& v : floor.vertices) v.z = 0.0f;
    // The mesh, its depth and how deep the tree goes; 0: over the budget.
    const std::tuple<const char*, Mesh, uint32_t, uint32_t> cases[] = {
        {"random", makeMesh(4000, 3), 8, 8}, {"large", large, 6, 6},  {"fan", fan, Octree::kMaxDepth, 0},
        {"point", point, Octree::kMaxDepth, Octree::kMaxDepth},        {"floor", floor, 7, 7}, {"empty", Mesh{}, 8, 1},
    };
    for (const auto& [name, m, depth, deepest] : cases) {
        std::vector<uint8_t> serial;
        for (unsigned threads : {1u, 2u, 3u, 7u}) {
            rt::setThreadCount(threads);
            tt::StdoutCapture quiet(true);
            const Octree o(uint32_t(m.triangles()), m.vertices.data(), depth);
            quiet.stop();
            if (threads == 1) {
                EXPECT_EQ(o.built() ? o.maxDeep : 0u, deepest) << name;
                serial = everything(o);
                continue;
            }
            const std::vector<uint8_t> parallel = everything(o);
            const auto at = std::mismatch(serial.begin(), serial.end(), parallel.begin(), parallel.end());
            EXPECT_TRUE(at.first == serial.end() && at.second == parallel.end())
                << name << ", " << threads << " workers: byte " << (at.first - serial.begin()) << " of "
                << serial.size() << " differs";
        }
    }
    rt::setThreadCount(0);
}

// ---------------------------------------------------------------------------------
// The kd-tree build and its device layout through the k-nearest search against brute
// force. On the CPU backend the device search is an ordinary inline function reading
// the bound references, so the tests bind a tree and call it directly.

class KdTreeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(rt::selectBackend("cpu")); }
    rt::cpu::HostAccess deviceCodeOnHost;  // the searches run as device code on the host thread
};

// Each record's colour holds its index, so that what a search keeps can be named; its
// scalar is a function of its position.
float scalarOf(float3 p) { return p.x * 3.0f + p.z; }
void add(KdTree& t, const std::vector<float3>& points, size_t first, float w = 1.0f) {
    std::vector<float4> p, s, c;
    std::vector<float> scalars;
    for (size_t i = first; i < points.size(); ++i) {
        p.push_back(make_float4(points[i], w));
        s.push_back(make_float4(0, 0, 1, 0));
        c.push_back(make_float4(float(i), 0, 0, 0));
        scalars.push_back(scalarOf(points[i]));
    }
    t.AddRecords(uint32_t(p.size()), p.data(), s.data(), c.data(), 0.0f, scalars.data());
}

// The Euclidean key, below the range; with `reach`, also below the record's scalar, so
// that the walk may skip subtrees by their largest scalar.
struct IndexSearch {
    float range;
    bool reach = false;
    bool candidate(int i, float3 P, float3, float& key, float) const {
        key = length(xyz(tex1Dfetch(SYM.texKDTreePhotonPos, i)) - P);
        return key < range && (!reach || key < tex1Dfetch(SYM.texKDTreePhotonCol, i).w);
    }
    bool reaches(float a, float largest) const { return !reach || a < largest; }
};

// The K nearest within range, each once, with the scalar of its own record: a search
// that skips a subtree on a wrong plane, or a build that loses, repeats or moves a
// record or its payload, shows here.
template <int K>
void compareWithBruteForce(const KdTree& t, const std::vector<float3>& pts, float3 q, float range,
                           bool reach = false) {
    IndexSearch s{range, reach};
    KnnList<K> l;
    const unsigned count = kdTreeKNearest(q, make_float3(0, 0, 1), s, l);
    std::vector<std::pair<double, int>> all;
    for (size_t i = 0; i < pts.size(); ++i) {
        const double dx = double(pts[i].x) - q.x, dy = double(pts[i].y) - q.y, dz = double(pts[i].z) - q.z;
        const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (d < range && (!reach || d < scalarOf(pts[i]))) all.push_back({d, int(i)});
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(kdTreeAny(q, make_float3(0, 0, 1), s), !all.empty());
    const size_t expected = std::min<size_t>(K, all.size());
    ASSERT_EQ(count, expected);
    if (expected == 0) return;
    const double kth = all[expected - 1].first, tie = 1e-5 * kth;  // single-precision keys tie
    std::vector<int> kept;
    for (unsigned e = 0; e < count; ++e) {
        kept.push_back(int(tex1Dfetch(SYM.texKDTreePhotonCol, l.record[e]).x));
        EXPECT_EQ(t.scalars.at(size_t(l.record[e])), scalarOf(pts.at(size_t(kept.back()))));
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_TRUE(std::adjacent_find(kept.begin(), kept.end()) == kept.end()) << "a record kept twice";
    for (const auto& e : all) {
        const bool in = std::binary_search(kept.begin(), kept.end(), e.second);
        if (e.first < kth - tie) EXPECT_TRUE(in) << "missing record at " << e.first;
        if (e.first > kth + tie) EXPECT_FALSE(in) << "kept record at " << e.first;
    }
    EXPECT_EQ(l.maxKey, *std::max_element(l.key, l.key + count));
    EXPECT_NEAR(l.maxKey, kth, tie);
}

// Records of weight one half or less stay out; a rebuild keeps the old records and adds
// the new; the tree is as deep as a balanced one (the device search's stack is sized
// for that); an empty tree finds nothing; rebuilds and destruction release the arrays. A
// tree large enough to be built on the workers has the bytes of the one-thread build.
TEST_F(KdTreeTest, NearestAndAnyMatchBruteForceOnRandomPoints) {
    const size_t live = rt::liveAllocationCount();
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-5, 5);
    for (const int n : {0, 1, 5, 39, 40, 41, 500, 3000, 40000}) {
        std::vector<float3> pts;
        for (int i = 0; i < n; ++i) pts.push_back(make_float3(u(rng), u(rng), std::floor(u(rng)) * 0.2f));
        KdTree t(0.0f);
        add(t, pts, 0);
        add(t, {make_float3(1, 0, 0), make_float3(0, 1, 0)}, 0, 0.5f);
        if (n == 500) {
            t.Build();
            for (int i = 0; i < 211; ++i) pts.push_back(make_float3(u(rng), u(rng), u(rng) * 0.2f));
            add(t, pts, 500);
        }
        // The same records built again, on three workers.
        KdTree again(0.0f);
        again.records = t.records;
        rt::setThreadCount(3);
        again.Build();
        rt::setThreadCount(0);
        t.Build();
        for (const auto& [d, e] : {std::pair{t.d_planes, again.d_planes}, {t.d_children, again.d_children},
                                   {t.d_positions, again.d_positions}, {t.d_seconds, again.d_seconds},
                                   {t.d_thirds, again.d_thirds}}) {
            std::vector<uint8_t> one(pts.size() * 16), three(pts.size() * 16);
            ASSERT_EQ(rt::memcpyDtoH(one.data(), d, one.size()), rt::Success);
            ASSERT_EQ(rt::memcpyDtoH(three.data(), e, three.size()), rt::Success);
            EXPECT_TRUE(one == three);
        }
        EXPECT_EQ(again.maxDepth, t.maxDepth);
        t.Bind();
        ASSERT_EQ(t.nodeCount, pts.size());
        if (!pts.empty()) EXPECT_EQ(t.maxDepth, uint32_t(std::log2(double(pts.size()))));
        for (int k = 0; k < 25; ++k) {
            const float3 q = make_float3(u(rng), u(rng), u(rng) * 0.2f);
            SCOPED_TRACE(testing::Message() << "n=" << n << " query " << k);
            compareWithBruteForce<40>(t, pts, q, 1e6f);
            compareWithBruteForce<32>(t, pts, q, 2.0f);
            compareWithBruteForce<4>(t, pts, q, 200000.0f);
            compareWithBruteForce<1>(t, pts, q, 0.5f);
            compareWithBruteForce<32>(t, pts, q, 1e6f, true);
            compareWithBruteForce<1>(t, pts, q, 1e6f, true);
        }
    }
    EXPECT_EQ(rt::liveAllocationCount(), live);
}

// The precomputed estimates' search finds, of the estimates on surfaces facing like the
// query and in its tangent plane, the nearest one that reaches it, as the loop over all
// of them does: a subtree skipped by a wrong plane or reach, or a leaf that loses an
// estimate, shows here. A build on three workers has the bytes of the one-thread build.
TEST_F(KdTreeTest, EstimateSearchFindsWhatTheLoopOverAllEstimatesFinds) {
    const size_t live = rt::liveAllocationCount();
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-4, 4), r(0.02f, 0.6f);
    const float searchDistance = 0.5f;  // the reach is four times this, the thickness a quarter
    ASSERT_EQ(rt::copyToSymbol(rt::Symbol::c_photonSearchDistance, &searchDistance, 4), rt::Success);
    for (const int n : {0, 1, 8, 9, 300, 70000}) {
        // Two parallel floors 0.1 apart and a wall, each estimate facing up, down or sideways.
        std::vector<Estimate> e;
        for (int i = 0; i < n; ++i) {
            const int k = int(rng() % 4);
            const float3 p = k == 3 ? make_float3(0.25f * std::floor(u(rng)), u(rng), u(rng))
                                    : make_float3(u(rng), u(rng), k == 2 ? 0.1f : 0.0f);
            const float3 nor = k == 3 ? make_float3(1, 0, 0) : make_float3(0, 0, k == 1 ? -1.0f : 1.0f);
            e.push_back({p, nor, make_float4(float(i + 1), 0, 0, r(rng))});  // x names it
        }
        EstimateTree one, three;
        one.Build(e);
        rt::setThreadCount(3);
        three.Build(e);
        rt::setThreadCount(0);
        for (const auto& [a, b] : {std::pair{one.d_nodes, three.d_nodes}, {one.d_positions, three.d_positions},
                                   {one.d_irradiance, three.d_irradiance}}) {
            const size_t bytes = (a == one.d_nodes ? one.innerNodes : one.count) * size_t(16);
            std::vector<uint8_t> x(bytes), y(bytes);
            if (bytes) ASSERT_EQ(rt::memcpyDtoH(x.data(), a, bytes), rt::Success);
            if (bytes) ASSERT_EQ(rt::memcpyDtoH(y.data(), b, bytes), rt::Success);
            EXPECT_TRUE(x == y);
        }
        one.Bind();
        int found = 0;
        for (int q = 0; q < 400; ++q) {
            const bool onWall = q % 4 == 3;
            const float3 P = onWall ? make_float3(0.25f * std::floor(u(rng)) + 0.01f * u(rng), u(rng), u(rng))
                                    : make_float3(u(rng), u(rng), q % 4 == 2 ? 0.1f : 0.02f * u(rng));
            const float3 N = onWall ? make_float3(1, 0, 0) : make_float3(0, 0, q % 2 ? -1.0f : 1.0f);
            double best = 4.0 * searchDistance;
            int want = -1;
            for (int i = 0; i < n; ++i) {
                const float3 v = e[i].position - P;
                const double d = length(v);
                if (d < best && d <= 3.0 * e[i].irradiance.w && std::fabs(dot(N, v)) <= 0.25f * searchDistance &&
                    dot(N, e[i].normal) > 0.7f)
                    best = d, want = i;
            }
            const float3 E = precomputedEstimate(P, N);
            SCOPED_TRACE(testing::Message() << "n=" << n << " query " << q);
            EXPECT_EQ(float(want + 1), E.x);
            found += want >= 0;
        }
        if (n > 300) EXPECT_GT(found, 300);
    }
    EstimateTree().Bind();
    EXPECT_EQ(rt::liveAllocationCount(), live);
}

// The photon search keeps the K photons of the smallest key (the renderer's own
// ellipsoidalDistance: the tree and its search are on trial here) among those of the pass
// asked for and later. The key counts a photon in the tangent plane at about its distance
// and never gathers one straight along the normal. The density counts the photons on
// surfaces facing like the query over the disc of the farthest kept photon, or of the
// whole range when fewer than K lie in it: density times disc over the colours summed is
// the same for every query. Its absolute scale is held by the GI reference tests.
TEST_F(KdTreeTest, PhotonSearchKeepsTheNearestByTheEllipsoidalKeyOverTheirDisc) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float4> p, s, c;
    const float3 N = make_float3(0, 0, 1), q = make_float3(0.1f, -0.2f, 0.0f);
    for (int i = 0; i < 1600; ++i) {
        p.push_back(i == 1 ? make_float4(q.x, q.y, 0.05f, 1) : make_float4(u(rng), u(rng), 0.3f * u(rng), 1));
        s.push_back(i % 2 ? make_float4(0, 0, 1, 0) : make_float4(1, 0, 0, 0));  // half face away
        c.push_back(make_float4(0.01f * (i % 7), 0.02f, float(i), 0));  // z names the photon
    }
    EXPECT_NEAR(ellipsoidalDistance(q + make_float3(0.3f, 0, 0), q, N), 0.3f, 0.003f);
    EXPECT_NEAR(ellipsoidalDistance(q + make_float3(0, 0.2f, -0.2f), q, N), 0.2f * std::sqrt(2.0f), 0.003f);
    KdTree t(0.0f);
    t.AddRecords(800, p.data(), s.data(), c.data(), 0.0f);
    t.AddRecords(800, p.data() + 800, s.data() + 800, c.data() + 800, 1.0f);
    t.Build();
    t.Bind();
    std::vector<double> scale;
    for (const float firstPass : {0.0f, 1.0f}) {
        std::vector<std::pair<float, int>> all;
        for (int i = firstPass > 0 ? 800 : 0; i < 1600; ++i) all.push_back({ellipsoidalDistance(xyz(p[i]), q, N), i});
        std::sort(all.begin(), all.end());
        for (const float range : {1.0f, 0.1f}) {
            SCOPED_TRACE(testing::Message() << "pass " << firstPass << ", range " << range);
            const PhotonSearch ps{range, firstPass};
            KnnList<40> l;
            const unsigned found = kdTreeKNearest(q, N, ps, l);
            const unsigned inRange = unsigned(std::count_if(all.begin(), all.end(), [&](auto& e) { return e.first < range; }));
            ASSERT_EQ(found, std::min(40u, inRange));
            ASSERT_GT(found, 0u);
            std::vector<int> kept, want;
            for (unsigned e = 0; e < found; ++e) {
                kept.push_back(int(tex1Dfetch(SYM.texKDTreePhotonCol, l.record[e]).z));
                want.push_back(all[e].second);
            }
            std::sort(kept.begin(), kept.end());
            std::sort(want.begin(), want.end());
            EXPECT_EQ(kept, want);
            EXPECT_FALSE(std::binary_search(kept.begin(), kept.end(), 1)) << "the photon along the normal";
            double facing[2] = {0, 0};
            for (int i : kept)
                if (s[i].z > 0.5f) facing[0] += c[i].x, facing[1] += c[i].y;
            const double r = found == 40 ? l.maxKey : range;
            const float3 d = photonDensity(l, N, ps.range);
            EXPECT_NEAR(d.x / facing[0], d.y / facing[1], 1e-4 * d.y / facing[1]) << "facing away counted";
            scale.push_back(d.y * r * r / facing[1]);
        }
    }
    ASSERT_EQ(scale.size(), 4u);
    for (double v : scale) EXPECT_NEAR(v, scale[0], 1e-5 * scale[0]);
}

}  // namespace

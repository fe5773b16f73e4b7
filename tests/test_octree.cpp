// The octree build: leaf lists against an exact clipping test, and triangles on faces and
// splitting planes, where the ray-casting tests leave hits out as ambiguous. A wrong
// child order or a wrong copy on the device shows in those tests against brute force.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>

#include "support/meshes.h"

namespace {

using namespace meshes;

std::unique_ptr<Octree> build(const Mesh& m, uint32_t depth) {
    tt::StdoutCapture quiet(true);
    return std::make_unique<Octree>(uint32_t(m.triangles()), m.vertices.data(), depth);
}

std::vector<uint32_t> leafList(const Octree& o, uint32_t i) {
    const int32_t off = o.offsetsCont[i];
    if (off < 0) return {};
    return std::vector<uint32_t>(o.contenido + off + 1, o.contenido + off + 1 + o.contenido[off]);
}

// Exact overlap in double precision: clip the triangle against the six box planes and
// see whether anything is left (Sutherland-Hodgman).
bool clipOverlap(const Mesh& m, size_t t, const float3& mn, const float3& mx) {
    using P = std::array<double, 3>;
    std::vector<P> poly;
    for (int k = 0; k < 3; ++k) poly.push_back({m.vertex(t, k).x, m.vertex(t, k).y, m.vertex(t, k).z});
    const double lo[3] = {mn.x, mn.y, mn.z}, hi[3] = {mx.x, mx.y, mx.z};
    for (int a = 0; a < 3 && !poly.empty(); ++a)
        for (int side = 0; side < 2 && !poly.empty(); ++side) {
            auto inside = [&](const P& p) { return side ? p[a] <= hi[a] : p[a] >= lo[a]; };
            const double plane = side ? hi[a] : lo[a];
            std::vector<P> out;
            for (size_t i = 0; i < poly.size(); ++i) {
                const P& p = poly[i];
                const P& q = poly[(i + 1) % poly.size()];
                if (inside(p)) out.push_back(p);
                if (inside(p) == inside(q)) continue;
                const double u = (plane - p[a]) / (q[a] - p[a]);
                P r;
                for (int b = 0; b < 3; ++b) r[b] = b == a ? plane : p[b] + u * (q[b] - p[b]);
                out.push_back(r);
            }
            poly.swap(out);
        }
    return !poly.empty();
}

// Every triangle that really meets a leaf box is listed in that leaf (the build may list
// more: its test is conservative), a listed triangle's bounding box meets the leaf, inner
// nodes have all eight children pointing back, and empty leaves have valid offsets.
TEST(OctreeBuild, LeafListsHoldEveryTriangleThatMeetsTheLeaf) {
    Mesh sparse;  // a cluster in one corner and one far triangle: most children empty
    addRandomTriangles(sparse, 40, 6);
    for (float4& v : sparse.vertices) v = make_float4(0.1f * v.x - 0.9f, 0.1f * v.y - 0.9f, 0.1f * v.z - 0.9f, 1);
    sparse.add(make_float3(1, 1, 1), make_float3(0.99f, 1, 1), make_float3(1, 0.99f, 1));
    for (const auto& [m, depth] : {std::pair{makeMesh(1500, 8), 5u}, std::pair{sparse, 3u}}) {
        const auto o = build(m, depth);
        ASSERT_GT(o->num_nodos_totales, 9u);
        size_t leaves = 0, empty = 0;
        for (uint32_t i = 0; i < o->num_nodos_totales; ++i) {
            if (o->offsetsCont[i] < 0) {
                for (int s = 0; s < 8; ++s) {
                    ASSERT_GE(o->hijos[8 * i + s], 0);
                    EXPECT_EQ(o->parents[o->hijos[8 * i + s]], int(i));
                }
                continue;
            }
            ASSERT_LT(uint32_t(o->offsetsCont[i]), o->totalContenido);
            const std::vector<uint32_t> list = leafList(*o, i);
            const std::set<uint32_t> inLeaf(list.begin(), list.end());
            ++leaves;
            empty += list.empty();
            // Shrunk by a hair: a triangle merely touching a face from outside may go either way.
            const float3 mn = xyz(o->bounds[2 * i]), mx = xyz(o->bounds[2 * i + 1]), eps = (mx - mn) * 1e-5f;
            for (size_t t = 0; t < m.triangles(); ++t)
                if (clipOverlap(m, t, mn + eps, mx - eps))
                    EXPECT_TRUE(inLeaf.count(uint32_t(t))) << "triangle " << t << " missing from leaf " << i;
            for (uint32_t t : list) {
                auto meets = [&](int a) {
                    const float v[3] = {(&m.vertices[3 * t].x)[a], (&m.vertices[3 * t + 1].x)[a],
                                        (&m.vertices[3 * t + 2].x)[a]};
                    return std::min({v[0], v[1], v[2]}) <= (&mx.x)[a] && std::max({v[0], v[1], v[2]}) >= (&mn.x)[a];
                };
                EXPECT_TRUE(meets(0) && meets(1) && meets(2))
                    << "triangle " << t << " listed in leaf " << i << " lies outside it";
            }
        }
        EXPECT_GT(leaves, 8u);
        if (depth == 3) EXPECT_GE(empty, 4u);
    }
}

// A vertex exactly on a box face counts as inside; a triangle lying in a splitting plane
// is listed on both sides of it.
TEST(OctreeBuild, TrianglesOnFacesAndSplittingPlanesAreListedOnBothSides) {
    Mesh m;
    // Corners of the scene box at (-1,-1,-1) and (1,1,1): the root centre is the origin.
    m.add(make_float3(-1, -1, -1), make_float3(-0.9f, -1, -1), make_float3(-1, -0.9f, -1));
    m.add(make_float3(1, 1, 1), make_float3(0.9f, 1, 1), make_float3(1, 0.9f, 1));
    // In the plane z = 0 at x, y > 0: slots 2 (z low) and 6 (z high).
    m.add(make_float3(0.2f, 0.2f, 0), make_float3(0.6f, 0.2f, 0), make_float3(0.2f, 0.6f, 0));
    // One vertex on the plane x = 0 from the low side, at y > 0, z < 0: slots 0 and 2.
    m.add(make_float3(0, 0.5f, -0.5f), make_float3(-0.4f, 0.5f, -0.5f), make_float3(-0.4f, 0.7f, -0.5f));
    for (int k = 0; k < 20; ++k) {  // filler in slot 1, far from every plane
        const float x = -0.8f + 0.02f * float(k);
        m.add(make_float3(x, -0.6f, -0.6f), make_float3(x + 0.01f, -0.6f, -0.6f), make_float3(x, -0.5f, -0.6f));
    }
    const auto o = build(m, 2);
    ASSERT_EQ(o->num_nodos_totales, 9u);
    ASSERT_FLOAT_EQ(o->pos[0].x, 0.0f);
    auto listedIn = [&](uint32_t tri) {
        std::set<int> slots;
        for (int s = 0; s < 8; ++s) {
            const std::vector<uint32_t> l = leafList(*o, uint32_t(o->hijos[s]));
            if (std::find(l.begin(), l.end(), tri) != l.end()) slots.insert(s);
        }
        return slots;
    };
    EXPECT_EQ(listedIn(2), (std::set<int>{2, 6}));
    EXPECT_EQ(listedIn(3), (std::set<int>{0, 2}));
    EXPECT_EQ(listedIn(0), (std::set<int>{1}));
    EXPECT_EQ(listedIn(1), (std::set<int>{6}));
    EXPECT_EQ(listedIn(10), (std::set<int>{1}));
}

}  // namespace

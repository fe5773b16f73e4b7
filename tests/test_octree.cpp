// The octree build: leaf lists against an exact clipping test, triangles on faces and
// splitting planes included, where the ray-casting tests leave hits out as ambiguous. A
// wrong child order or a wrong copy on the device shows in those tests against brute force.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <set>
#include <tuple>

#include "support/meshes.h"

namespace {

using namespace meshes;

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

// Every triangle that really meets a leaf box is listed in that leaf (the build may list
// more: its test is conservative; in exact coordinates it lists no more), and inner nodes have all eight children pointing back. Random meshes shrink the box by a
// hair, since a triangle merely touching a face from outside may go either way; the
// last mesh, in exact coordinates, does not: a vertex on a face counts as inside and a
// triangle in a splitting plane is listed on both sides.
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
    device(o.d_nodes, 64 * n), device(o.d_leafTris, 64 * c);
    return out;
}

// The build splits the top levels and grows subtrees on separate workers; the arrays
// must be those of one worker, byte for byte, and the budget must run out for all or
// none: random triangles, large ones overlapping at the depth limit, a fan too dense at
// its apex for the budget, one point repeated down to the deepest level, a floor
// without thickness and no triangles at all.
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

}  // namespace

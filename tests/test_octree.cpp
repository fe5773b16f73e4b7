// The octree build: the flattened arrays for one leaf and for one subdivision, the
// child slot boxes, leaf lists against an exact clipping test, triangles on faces and
// splitting planes, empty leaves, the depth limits, the traverse-order table and the
// device copies with their bindings.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include "runtime/cpu/cpu_backend.h"
#include "support/meshes.h"

namespace {

using namespace meshes;

std::unique_ptr<Octree> build(const Mesh& m, uint32_t depth) {
    QuietStdout quiet;
    return std::make_unique<Octree>(uint32_t(m.triangles()), m.vertices.data(), depth);
}

// n small triangles spread over [-1, 1]^3.
Mesh scattered(size_t n, uint32_t seed) {
    Mesh m;
    addRandomTriangles(m, n, seed);
    return m;
}

std::vector<uint32_t> leafList(const Octree& o, uint32_t i) {
    const int32_t off = o.offsetsCont[i];
    std::vector<uint32_t> out;
    if (off < 0) return out;
    for (uint32_t k = 0; k < o.contenido[off]; ++k) out.push_back(o.contenido[off + 1 + k]);
    return out;
}

// Exact overlap in double precision: clip the triangle against the six box planes and
// see whether anything is left (Sutherland-Hodgman).
bool clipOverlap(const Mesh& m, size_t t, const float3& mn, const float3& mx) {
    std::vector<std::array<double, 3>> poly;
    for (int k = 0; k < 3; ++k) {
        const float3 v = m.vertex(t, k);
        poly.push_back({v.x, v.y, v.z});
    }
    const double lo[3] = {mn.x, mn.y, mn.z}, hi[3] = {mx.x, mx.y, mx.z};
    for (int a = 0; a < 3 && !poly.empty(); ++a)
        for (int side = 0; side < 2 && !poly.empty(); ++side) {
            auto inside = [&](const std::array<double, 3>& p) { return side ? p[a] <= hi[a] : p[a] >= lo[a]; };
            const double plane = side ? hi[a] : lo[a];
            std::vector<std::array<double, 3>> out;
            for (size_t i = 0; i < poly.size(); ++i) {
                const auto& p = poly[i];
                const auto& q = poly[(i + 1) % poly.size()];
                if (inside(p)) out.push_back(p);
                if (inside(p) != inside(q)) {
                    const double u = (plane - p[a]) / (q[a] - p[a]);
                    std::array<double, 3> r;
                    for (int b = 0; b < 3; ++b) r[b] = p[b] + u * (q[b] - p[b]);
                    r[a] = plane;
                    out.push_back(r);
                }
            }
            poly.swap(out);
        }
    return !poly.empty();
}

// The box of child slot s of [mn, mx]: slot = 4 (z high) + 2 (x high) + (y low).
void slotBox(int s, const float3& mn, const float3& mx, float3& cmn, float3& cmx) {
    const float3 c = (mn + mx) * 0.5f;
    const bool zHigh = s >= 4, xHigh = (s % 4) >= 2, yLow = s % 2 == 1;
    cmn = make_float3(xHigh ? c.x : mn.x, yLow ? mn.y : c.y, zHigh ? c.z : mn.z);
    cmx = make_float3(xHigh ? mx.x : c.x, yLow ? c.y : mx.y, zHigh ? mx.z : c.z);
}

TEST(OctreeBuild, EighteenOrFewerTrianglesMakeOneLeaf) {
    for (size_t n : {1u, 7u, 18u}) {
        const Mesh m = scattered(n, 3);
        const auto o = build(m, 8);
        EXPECT_EQ(o->num_nodos_totales, 1u);
        EXPECT_EQ(o->maxDeep, 1u);
        EXPECT_EQ(o->totalContenido, n + 1);
        for (int s = 0; s < 8; ++s) EXPECT_EQ(o->hijos[s], -1);
        EXPECT_EQ(o->offsetsCont[0], 0);
        EXPECT_EQ(o->parents[0], -1);
        EXPECT_EQ(o->contenido[0], n);
        for (size_t k = 0; k < n; ++k) EXPECT_EQ(o->contenido[1 + k], k);
        // The bounds of the single node are the root box: the scene box pushed out by
        // 1.05 times its extent on every side.
        float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
        for (const float4& v : m.vertices) {
            const float c[3] = {v.x, v.y, v.z};
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], c[a]);
                hi[a] = std::max(hi[a], c[a]);
            }
        }
        const float bmin[3] = {o->bounds[0].x, o->bounds[0].y, o->bounds[0].z};
        const float bmax[3] = {o->bounds[1].x, o->bounds[1].y, o->bounds[1].z};
        for (int a = 0; a < 3; ++a) {
            const float e = hi[a] - lo[a];
            EXPECT_FLOAT_EQ(bmin[a], lo[a] - 1.05f * e);
            EXPECT_FLOAT_EQ(bmax[a], hi[a] + 1.05f * e);
        }
        EXPECT_EQ(o->bounds[0].w, 0.0f);
        EXPECT_FLOAT_EQ(o->pos[0].x, 0.5f * (bmin[0] + bmax[0]));
        EXPECT_EQ(o->pos[0].w, 1.0f);
    }
}

TEST(OctreeBuild, NineteenTrianglesAtDepthTwoMakeNineNodesInSlotOrder) {
    for (size_t n : {19u, 200u}) {
        const Mesh m = scattered(n, 4);
        const auto o = build(m, 2);
        ASSERT_EQ(o->num_nodos_totales, 9u);
        EXPECT_EQ(o->maxDeep, 2u);
        // The root's list is the single word 0 at the start of the contents.
        EXPECT_EQ(o->contenido[0], 0u);
        EXPECT_EQ(o->offsetsCont[0], -1);
        EXPECT_EQ(o->parents[0], -1);
        const float3 rmn = xyz(o->bounds[0]), rmx = xyz(o->bounds[1]);
        uint32_t expectOffset = 1;
        for (int s = 0; s < 8; ++s) {
            const uint32_t child = uint32_t(s + 1);
            EXPECT_EQ(o->hijos[s], int(child));
            EXPECT_EQ(o->parents[child], 0);
            for (int k = 0; k < 8; ++k) EXPECT_EQ(o->hijos[8 * child + k], -1);
            // Leaves follow each other in the contents in node order.
            EXPECT_EQ(o->offsetsCont[child], int(expectOffset));
            expectOffset += o->contenido[expectOffset] + 1;
            float3 cmn, cmx;
            slotBox(s, rmn, rmx, cmn, cmx);
            EXPECT_EQ(xyz(o->bounds[2 * child]).x, cmn.x) << "slot " << s;
            EXPECT_EQ(xyz(o->bounds[2 * child]).y, cmn.y) << "slot " << s;
            EXPECT_EQ(xyz(o->bounds[2 * child]).z, cmn.z) << "slot " << s;
            EXPECT_EQ(xyz(o->bounds[2 * child + 1]).x, cmx.x) << "slot " << s;
            EXPECT_EQ(xyz(o->bounds[2 * child + 1]).y, cmx.y) << "slot " << s;
            EXPECT_EQ(xyz(o->bounds[2 * child + 1]).z, cmx.z) << "slot " << s;
        }
        EXPECT_EQ(o->totalContenido, expectOffset);
    }
}

TEST(OctreeBuild, DepthOneIsAlwaysALeaf) {
    const Mesh m = scattered(500, 5);
    const auto o = build(m, 1);
    EXPECT_EQ(o->num_nodos_totales, 1u);
    EXPECT_EQ(o->maxDeep, 1u);
    EXPECT_EQ(o->contenido[0], 500u);
    EXPECT_EQ(o->offsetsCont[0], 0);
}

// Every triangle that really meets a leaf box is listed in that leaf (the build may
// list more: its test is conservative), and every leaf's triangles touch its box's
// bounding region. Checked on a deep tree over a mixed mesh.
TEST(OctreeBuild, LeafListsHoldEveryTriangleThatMeetsTheLeaf) {
    const Mesh m = makeMesh(1500, 8);
    const auto o = build(m, 5);
    ASSERT_GT(o->num_nodos_totales, 9u);
    size_t leaves = 0, listed = 0;
    for (uint32_t i = 0; i < o->num_nodos_totales; ++i) {
        if (o->offsetsCont[i] < 0) {
            // Inner nodes have all eight children, each pointing back.
            for (int s = 0; s < 8; ++s) {
                ASSERT_GE(o->hijos[8 * i + s], 0);
                EXPECT_EQ(o->parents[o->hijos[8 * i + s]], int(i));
            }
            continue;
        }
        ++leaves;
        const std::vector<uint32_t> list = leafList(*o, i);
        const std::set<uint32_t> inLeaf(list.begin(), list.end());
        listed += list.size();
        // Shrunk by a hair so that triangles merely touching a face from outside, which
        // float rounding may decide either way, are not demanded.
        const float3 mn = xyz(o->bounds[2 * i]), mx = xyz(o->bounds[2 * i + 1]);
        const float3 eps = (mx - mn) * 1e-5f;
        for (size_t t = 0; t < m.triangles(); ++t)
            if (clipOverlap(m, t, mn + eps, mx - eps))
                EXPECT_TRUE(inLeaf.count(uint32_t(t))) << "triangle " << t << " missing from leaf " << i;
        for (uint32_t t : list) {
            // A listed triangle's bounding box meets the leaf box.
            float3 tmn = m.vertex(t, 0), tmx = tmn;
            for (int k = 1; k < 3; ++k) {
                const float3 v = m.vertex(t, k);
                tmn = make_float3(std::min(tmn.x, v.x), std::min(tmn.y, v.y), std::min(tmn.z, v.z));
                tmx = make_float3(std::max(tmx.x, v.x), std::max(tmx.y, v.y), std::max(tmx.z, v.z));
            }
            EXPECT_TRUE(tmn.x <= mx.x && tmx.x >= mn.x && tmn.y <= mx.y && tmx.y >= mn.y && tmn.z <= mx.z &&
                        tmx.z >= mn.z)
                << "triangle " << t << " listed in leaf " << i << " lies outside it";
        }
    }
    EXPECT_GT(leaves, 8u);
    EXPECT_GE(listed, m.triangles());
}

// A vertex exactly on a box face counts as inside; a triangle lying in a splitting
// plane is listed on both sides of it.
TEST(OctreeBuild, TrianglesOnFacesAndSplittingPlanesAreListedOnBothSides) {
    Mesh m;
    // Corners of the scene box at (-1,-1,-1) and (1,1,1): the root centre is the origin.
    m.add(make_float3(-1, -1, -1), make_float3(-0.9f, -1, -1), make_float3(-1, -0.9f, -1));
    m.add(make_float3(1, 1, 1), make_float3(0.9f, 1, 1), make_float3(1, 0.9f, 1));
    // In the plane z = 0, inside x, y > 0: slots 2 (z low) and 6 (z high).
    m.add(make_float3(0.2f, 0.2f, 0), make_float3(0.6f, 0.2f, 0), make_float3(0.2f, 0.6f, 0));
    // Touching the plane x = 0 with one vertex from the low side, at y > 0, z < 0:
    // slot 0 holds it, and slot 2 too, since the vertex lies on its face.
    m.add(make_float3(0, 0.5f, -0.5f), make_float3(-0.4f, 0.5f, -0.5f), make_float3(-0.4f, 0.7f, -0.5f));
    // Filler in the low x, low y, low z octant (slot 1), far from every plane.
    for (int k = 0; k < 20; ++k) {
        const float x = -0.8f + 0.02f * float(k);
        m.add(make_float3(x, -0.6f, -0.6f), make_float3(x + 0.01f, -0.6f, -0.6f), make_float3(x, -0.5f, -0.6f));
    }
    const auto o = build(m, 2);
    ASSERT_EQ(o->num_nodos_totales, 9u);
    EXPECT_FLOAT_EQ(o->pos[0].x, 0.0f);
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

TEST(OctreeBuild, TriBoxOverlapDecisions) {
    const float mn[3] = {0, 0, 0}, mx[3] = {1, 1, 1};
    // A vertex on a face or corner is inside.
    EXPECT_TRUE(triBoxOverlap(mn, mx, make_float3(1, 1, 1), make_float3(2, 2, 2), make_float3(2, 1, 3)));
    // All vertices beyond one face.
    EXPECT_FALSE(triBoxOverlap(mn, mx, make_float3(2, 0, 0), make_float3(3, 1, 0), make_float3(2, 1, 1)));
    // A large triangle crossing the box with no vertex inside.
    EXPECT_TRUE(triBoxOverlap(mn, mx, make_float3(-5, -5, 0.5f), make_float3(5, -5, 0.5f), make_float3(0, 10, 0.5f)));
    // Separated only by an edge axis: the edge x + y = 2.2 passes beside the corner.
    EXPECT_FALSE(triBoxOverlap(mn, mx, make_float3(2.7f, -0.5f, 0.5f), make_float3(-0.5f, 2.7f, 0.5f),
                               make_float3(2.7f, 2.7f, 0.5f)));
    // A zero-length edge gives non-numeric projections, which never reject.
    EXPECT_TRUE(triBoxOverlap(mn, mx, make_float3(2, 0.5f, 0.5f), make_float3(2, 0.5f, 0.5f),
                              make_float3(-1, 0.5f, 0.5f)));
    // The triangle's own plane is not an axis: the plane x + y + z = 3.3 passes beside
    // the corner (1, 1, 1), yet no other axis separates it, so it counts (conservative).
    EXPECT_TRUE(triBoxOverlap(mn, mx, make_float3(3.3f, 0, 0), make_float3(0, 3.3f, 0), make_float3(0, 0, 3.3f)));
}

TEST(OctreeBuild, EmptyLeavesHaveCountZeroAndAValidOffset) {
    // Everything in one octant of the scene box... with one triangle far away so that
    // the root centre lies between them and most children are empty.
    Mesh m;
    addRandomTriangles(m, 40, 6);
    for (float4& v : m.vertices) {
        v.x = 0.1f * v.x - 0.9f;
        v.y = 0.1f * v.y - 0.9f;
        v.z = 0.1f * v.z - 0.9f;
    }
    m.add(make_float3(1, 1, 1), make_float3(0.99f, 1, 1), make_float3(1, 0.99f, 1));
    const auto o = build(m, 2);
    ASSERT_EQ(o->num_nodos_totales, 9u);
    int empty = 0;
    for (int s = 0; s < 8; ++s) {
        const uint32_t c = uint32_t(o->hijos[s]);
        const int32_t off = o->offsetsCont[c];
        ASSERT_GE(off, 0);
        ASSERT_LT(uint32_t(off), o->totalContenido);
        if (o->contenido[off] == 0) ++empty;
    }
    EXPECT_GE(empty, 4);
}

TEST(OctreeBuild, DepthAboveTheStackLimitIsClamped) {
    const Mesh m = scattered(2000, 12);
    const auto a = build(m, 25);
    const auto b = build(m, Octree::kMaxDepth);
    EXPECT_LE(a->maxDeep, Octree::kMaxDepth);
    ASSERT_EQ(a->num_nodos_totales, b->num_nodos_totales);
    EXPECT_EQ(0, std::memcmp(a->hijos, b->hijos, 32 * size_t(a->num_nodos_totales)));
    // The traversal pushes at most 7 (D - 2) + 8 entries for a tree of depth D.
    EXPECT_LE(7 * (int(Octree::kMaxDepth) - 2) + 8, 128);
    EXPECT_GT(7 * (int(Octree::kMaxDepth) + 1 - 2) + 8, 128);
}

TEST(OctreeBuild, StatisticsLinesAreFormatted) {
    const Mesh m = scattered(19, 4);
    testing::internal::CaptureStdout();
    Octree o(uint32_t(m.triangles()), m.vertices.data(), 2);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Max deep: 2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("num_nodos_totales: 9\n"), std::string::npos) << out;
}

// Row r visits slot r first, then the three slots one axis away, then the three two
// axes away, then 7 - r; the table is pushed in order, so it is read backwards.
TEST(OctreeBuild, TraverseOrderRowsGoFromNearToFar) {
    for (int r = 0; r < 8; ++r) {
        std::set<int> seen;
        for (int j = 0; j < 8; ++j) {
            const int slot = kTraverseOrder[8 * r + 7 - j];
            seen.insert(slot);
            const int axes = __builtin_popcount(unsigned(slot ^ r));
            const int expect = j == 0 ? 0 : j <= 3 ? 1 : j <= 6 ? 2 : 3;
            EXPECT_EQ(axes, expect) << "row " << r << " entry " << j;
        }
        EXPECT_EQ(seen.size(), 8u);
    }
    const auto o = build(scattered(5, 1), 8);
    EXPECT_EQ(0, std::memcmp(o->traverseOrder, kTraverseOrder, 64));
}

// The device copies equal the host arrays and the bindings cover them whole.
TEST(OctreeBuild, UploadAndBindingsCoverEveryArray) {
    rt::selectBackend("cpu");
    const size_t before = rt::liveAllocationCount();
    {
        const Mesh m = scattered(300, 2);
        const auto o = build(m, 4);
        EXPECT_EQ(rt::liveAllocationCount(), before + 9);
        SetCudaOctreeTextures(o.get());
        const DeviceSymbols& S = rt::symbolMirror();
        const uint32_t n = o->num_nodos_totales;
        EXPECT_EQ(S.texBoundsOctree.count, 2 * n);
        EXPECT_EQ(S.texPosOctree.count, n);
        EXPECT_EQ(S.texHijosOctree.count, 2 * n);
        EXPECT_EQ(S.texParentsOctree.count, n);
        EXPECT_EQ(S.texOffsetsCont.count, n);
        EXPECT_EQ(S.texContenido.count, o->totalContenido);
        EXPECT_EQ(S.texTraverseOrder.count, 64u);
        EXPECT_EQ(S.texNodes.count, 4 * n);
        EXPECT_EQ(S.texLeafTris.count, 4 * o->totalContenido);
        rt::cpu::HostAccess deviceCodeOnHost;  // the fetches below are device code run on the host
        std::vector<char> back(32 * size_t(n));
        rt::memcpyDtoH(back.data(), o->d_hijos, back.size());
        EXPECT_EQ(0, std::memcmp(back.data(), o->hijos, back.size()));
        std::vector<uint32_t> cont(o->totalContenido);
        rt::memcpyDtoH(cont.data(), o->d_contenido, cont.size() * 4);
        EXPECT_EQ(0, std::memcmp(cont.data(), o->contenido, cont.size() * 4));
        for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(tex1Dfetch(S.texOffsetsCont, int(i)), o->offsetsCont[i]);
        // The walk's compact records say what the separate arrays say.
        for (uint32_t i = 0; i < n; ++i) {
            const float4 lo = tex1Dfetch(S.texNodes, int(4 * i)), hi = tex1Dfetch(S.texNodes, int(4 * i + 1));
            const float4 l0 = tex1Dfetch(S.texNodes, int(4 * i + 2)), l1 = tex1Dfetch(S.texNodes, int(4 * i + 3));
            EXPECT_EQ(0, std::memcmp(&lo, &o->bounds[2 * i], 12));
            EXPECT_EQ(0, std::memcmp(&hi, &o->bounds[2 * i + 1], 12));
            EXPECT_EQ(floatBitsToInt(lo.w), o->offsetsCont[i]);
            EXPECT_EQ(floatBitsToInt(hi.w), o->offsetsCont[i] >= 0 ? int(o->contenido[o->offsetsCont[i]]) : 0);
            const float links[8] = {l0.x, l0.y, l0.z, l0.w, l1.x, l1.y, l1.z, l1.w};
            for (int c = 0; c < 8; ++c) EXPECT_EQ(floatBitsToInt(links[c]), o->hijos[8 * i + c]);
        }
    }
    EXPECT_EQ(rt::liveAllocationCount(), before);
}

}  // namespace

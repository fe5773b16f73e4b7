// The kd-tree build and its device layout, and the k-nearest search against brute force.
// On the CPU backend the device search is an ordinary inline function reading the
// bound references, so the tests bind a tree and call it directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "device/kernels_gi.h"
#include "host/internal.h"
#include "host/kdtree.h"
#include "runtime/cpu/cpu_backend.h"

namespace {

struct Arrays {
    std::vector<float4> planes, pos, second, third;
    std::vector<int4> children;
};

Arrays readBack(const KdTree& t) {
    Arrays a;
    const size_t n = t.nodeCount;
    a.planes.resize(n);
    a.pos.resize(n);
    a.second.resize(n);
    a.third.resize(n);
    a.children.resize(n);
    if (n == 0) return a;
    EXPECT_EQ(rt::memcpyDtoH(a.planes.data(), t.d_planes, n * 16), rt::Success);
    EXPECT_EQ(rt::memcpyDtoH(a.children.data(), t.d_children, n * 16), rt::Success);
    EXPECT_EQ(rt::memcpyDtoH(a.pos.data(), t.d_positions, n * 16), rt::Success);
    EXPECT_EQ(rt::memcpyDtoH(a.second.data(), t.d_seconds, n * 16), rt::Success);
    EXPECT_EQ(rt::memcpyDtoH(a.third.data(), t.d_thirds, n * 16), rt::Success);
    return a;
}

void add(KdTree& t, const std::vector<float3>& points, float w = 1.0f) {
    std::vector<float4> p, s, c;
    for (size_t i = 0; i < points.size(); ++i) {
        p.push_back(make_float4(points[i], w));
        s.push_back(make_float4(0, 0, 1, 0));
        c.push_back(make_float4(float(i), 0, 0, 0));
    }
    t.AddRecords(uint32_t(points.size()), p.data(), s.data(), c.data());
}

class KdTreeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(rt::selectBackend("cpu")); }
    // The searches run as device code on the host thread, as a CPU launch would.
    rt::cpu::HostAccess deviceCodeOnHost;
};

TEST_F(KdTreeTest, OneRecord) {
    KdTree t(0.0f);
    add(t, {make_float3(2.5f, -1, 3)});
    t.Build();
    EXPECT_EQ(t.nodeCount, 1u);
    EXPECT_EQ(t.numRecords, 1u);
    EXPECT_EQ(t.maxDepth, 0u);
    const Arrays a = readBack(t);
    EXPECT_EQ(a.children[0].x, -1);
    EXPECT_EQ(a.children[0].y, -1);
    EXPECT_EQ(a.children[0].z, 0);
    EXPECT_EQ(a.children[0].w, 0);
    EXPECT_EQ(a.planes[0].x, 1.0f);
    EXPECT_EQ(a.planes[0].y, 0.0f);
    EXPECT_EQ(a.planes[0].z, 0.0f);
    EXPECT_EQ(a.planes[0].w, -2.5f);
    EXPECT_EQ(a.pos[0].x, 2.5f);
    EXPECT_EQ(a.pos[0].w, 0.0f);
}

TEST_F(KdTreeTest, TwoRecordsRootIsTheLargerX) {
    KdTree t(0.0f);
    add(t, {make_float3(1, 0, 0), make_float3(2, 0, 0)});
    t.Build();
    const Arrays a = readBack(t);
    ASSERT_EQ(t.nodeCount, 2u);
    EXPECT_EQ(a.pos[0].x, 2.0f);
    EXPECT_EQ(a.pos[1].x, 1.0f);
    EXPECT_EQ(a.children[0].x, 1);
    EXPECT_EQ(a.children[0].y, -1);
    EXPECT_EQ(a.children[1].x, -1);
    EXPECT_EQ(a.children[1].y, -1);
    // The child splits on y.
    EXPECT_EQ(a.planes[1].y, 1.0f);
    EXPECT_EQ(a.planes[1].x, 0.0f);
}

TEST_F(KdTreeTest, ThreeRecordsMedianRootAndChildrenOnY) {
    KdTree t(0.0f);
    add(t, {make_float3(5, 1, 0), make_float3(-3, 2, 0), make_float3(0, 3, 0)});
    t.Build();
    const Arrays a = readBack(t);
    ASSERT_EQ(t.nodeCount, 3u);
    EXPECT_EQ(t.maxDepth, 1u);
    EXPECT_EQ(a.pos[0].x, 0.0f);
    EXPECT_EQ(a.pos[1].x, -3.0f);
    EXPECT_EQ(a.pos[2].x, 5.0f);
    EXPECT_EQ(a.children[0].x, 1);
    EXPECT_EQ(a.children[0].y, 2);
    for (int i : {1, 2}) {
        EXPECT_EQ(a.planes[i].y, 1.0f);
        EXPECT_EQ(a.planes[i].w, -a.pos[i].y);
    }
    // The payload travels with its record.
    EXPECT_EQ(a.third[0].x, 2.0f);
    EXPECT_EQ(a.third[1].x, 1.0f);
    EXPECT_EQ(a.third[2].x, 0.0f);
}

TEST_F(KdTreeTest, SevenRecordsMakeACompleteTree) {
    KdTree t(0.0f);
    std::vector<float3> pts;
    for (int i = 0; i < 7; ++i) pts.push_back(make_float3(float(i), float((i * 3) % 7), float((i * 5) % 7)));
    add(t, pts);
    t.Build();
    EXPECT_EQ(t.nodeCount, 7u);
    EXPECT_EQ(t.maxDepth, 2u);
    const Arrays a = readBack(t);
    int leaves = 0;
    for (const int4& c : a.children) leaves += (c.x < 0 && c.y < 0);
    EXPECT_EQ(leaves, 4);
}

TEST_F(KdTreeTest, RecordsAtOrBelowHalfAreSkipped) {
    KdTree t(0.0f);
    add(t, {make_float3(0, 0, 0)}, 0.5f);
    add(t, {make_float3(1, 0, 0)}, 0.0f);
    add(t, {make_float3(2, 0, 0)}, 0.51f);
    EXPECT_EQ(t.numRecords, 1u);
    t.Build();
    ASSERT_EQ(t.nodeCount, 1u);
    EXPECT_EQ(readBack(t).pos[0].x, 2.0f);
}

// Walks the device layout and checks pre-order numbering and the split invariant.
void checkTree(const Arrays& a, int node, int depth, std::vector<int>& visited, int& next) {
    ASSERT_EQ(node, next) << "pre-order index";
    ++next;
    visited.push_back(node);
    const int axis = depth % 3;
    EXPECT_EQ((&a.planes[node].x)[axis], 1.0f);
    const float v = (&a.pos[node].x)[axis];
    EXPECT_EQ(a.planes[node].w, -v);
    std::function<void(int, bool)> below = [&](int s, bool left) {
        if (s < 0) return;
        const float c = (&a.pos[s].x)[axis];
        if (left) EXPECT_LE(c, v);
        else EXPECT_GE(c, v);
        below(a.children[s].x, left);
        below(a.children[s].y, left);
    };
    below(a.children[node].x, true);
    below(a.children[node].y, false);
    if (a.children[node].x >= 0) checkTree(a, a.children[node].x, depth + 1, visited, next);
    if (a.children[node].y >= 0) checkTree(a, a.children[node].y, depth + 1, visited, next);
}

TEST_F(KdTreeTest, RebuildCoversOldAndNewRecordsWithPreOrderIndices) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-10, 10);
    KdTree t(0.0f);
    std::vector<float3> first, second;
    for (int i = 0; i < 300; ++i) first.push_back(make_float3(u(rng), u(rng), u(rng)));
    for (int i = 0; i < 211; ++i) second.push_back(make_float3(u(rng), u(rng), std::floor(u(rng))));
    add(t, first);
    t.Build();
    EXPECT_EQ(t.nodeCount, 300u);
    add(t, second);
    t.Build();
    ASSERT_EQ(t.nodeCount, 511u);
    EXPECT_EQ(t.numRecords, 511u);
    EXPECT_EQ(t.maxDepth, 8u);  // floor(log2 511)
    const Arrays a = readBack(t);
    std::vector<int> visited;
    int next = 0;
    checkTree(a, 0, 0, visited, next);
    EXPECT_EQ(visited.size(), 511u);
    // Every record, old and new, is in the tree exactly once.
    std::vector<std::array<float, 3>> want, got;
    for (const float3& p : first) want.push_back({p.x, p.y, p.z});
    for (const float3& p : second) want.push_back({p.x, p.y, p.z});
    for (const float4& p : a.pos) got.push_back({p.x, p.y, p.z});
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(want, got);
}

TEST_F(KdTreeTest, EmptyTreeHasNoArraysAndSearchesFindNothing) {
    const size_t live = rt::liveAllocationCount();
    KdTree t(0.0f);
    t.Build();
    EXPECT_EQ(t.nodeCount, 0u);
    EXPECT_EQ(t.d_planes, nullptr);
    EXPECT_EQ(t.d_thirds, nullptr);
    EXPECT_EQ(rt::liveAllocationCount(), live);
    t.Bind();
    PhotonSearch s;
    s.range = 1e6f;
    s.firstPass = 0;
    KnnList<40> l;
    EXPECT_EQ(kdTreeKNearest(make_float3(0, 0, 0), make_float3(0, 0, 1), s, l), 0u);
    EXPECT_EQ(l.root, -1);
    EXPECT_EQ(photonDensity(l, make_float3(0, 0, 1), s.range).x, 0.0f);
}

TEST_F(KdTreeTest, DestructionReleasesTheDeviceArrays) {
    const size_t live = rt::liveAllocationCount();
    {
        KdTree t(0.0f);
        add(t, {make_float3(0, 0, 0), make_float3(1, 1, 1)});
        t.Build();
        EXPECT_EQ(rt::liveAllocationCount(), live + 5);
        t.Build();  // a rebuild frees the previous arrays first
        EXPECT_EQ(rt::liveAllocationCount(), live + 5);
    }
    EXPECT_EQ(rt::liveAllocationCount(), live);
}

// ---------------------------------------------------------------------------------
// k-nearest search.

// The Euclidean key; add() stores each point's index in its colour, so that the kept
// set can be compared with brute force.
struct IndexSearch {
    float range;
    bool candidate(int i, float3 P, float3, float& key) const {
        key = length(xyz(tex1Dfetch(SYM.texKDTreePhotonPos, i)) - P);
        return key < range;
    }
};
template <int K>
int pointIndex(const KnnList<K>& l, unsigned e) {
    return int(tex1Dfetch(SYM.texKDTreePhotonCol, l.record[e]).x);
}

template <int K>
void compareWithBruteForce(const std::vector<float3>& pts, float3 q, float range) {
    IndexSearch s;
    s.range = range;
    KnnList<K> l;
    const unsigned count = kdTreeKNearest(q, make_float3(0, 0, 1), s, l);
    std::vector<std::pair<double, int>> all;
    for (size_t i = 0; i < pts.size(); ++i) {
        const double dx = double(pts[i].x) - q.x, dy = double(pts[i].y) - q.y, dz = double(pts[i].z) - q.z;
        const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (d < range) all.push_back({d, int(i)});
    }
    std::sort(all.begin(), all.end());
    const size_t expected = std::min<size_t>(K, all.size());
    ASSERT_EQ(count, expected);
    if (expected == 0) return;
    const double kth = all[expected - 1].first;
    // Keys are single precision against the test's double: nearly equal keys are ties.
    const double tie = 1e-5 * kth;
    std::vector<int> kept;
    for (unsigned e = 0; e < count; ++e) kept.push_back(pointIndex(l, e));
    std::sort(kept.begin(), kept.end());
    EXPECT_TRUE(std::adjacent_find(kept.begin(), kept.end()) == kept.end()) << "a record kept twice";
    for (const auto& e : all) {
        const bool in = std::binary_search(kept.begin(), kept.end(), e.second);
        if (e.first < kth - tie) EXPECT_TRUE(in) << "missing record at " << e.first;
        if (e.first > kth + tie) EXPECT_FALSE(in) << "kept record at " << e.first;
    }
    // The radius is the largest kept key, as stored.
    float largest = -1;
    for (unsigned e = 0; e < count; ++e) largest = std::max(largest, l.key[e]);
    EXPECT_EQ(l.maxKey, largest);
    EXPECT_NEAR(l.maxKey, kth, tie);
    // The entries form a search tree by key holding every slot once.
    std::vector<int> order;
    std::function<void(int)> walk = [&](int s2) {
        if (s2 < 0) return;
        walk(l.left[s2]);
        order.push_back(s2);
        walk(l.right[s2]);
    };
    walk(l.root);
    ASSERT_EQ(order.size(), count);
    for (size_t i = 1; i < order.size(); ++i) EXPECT_LE(l.key[order[i - 1]], l.key[order[i]]);
}

TEST_F(KdTreeTest, KNearestMatchesBruteForceOnRandomPoints) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-5, 5);
    for (int n : {1, 5, 39, 40, 41, 500, 3000}) {
        std::vector<float3> pts;
        for (int i = 0; i < n; ++i) pts.push_back(make_float3(u(rng), u(rng), u(rng) * 0.2f));
        KdTree t(0.0f);
        add(t, pts);
        t.Build();
        t.Bind();
        for (int k = 0; k < 25; ++k) {
            const float3 q = make_float3(u(rng), u(rng), u(rng) * 0.2f);
            SCOPED_TRACE(testing::Message() << "n=" << n << " query " << k);
            compareWithBruteForce<40>(pts, q, 1e6f);
            compareWithBruteForce<32>(pts, q, 2.0f);
            compareWithBruteForce<4>(pts, q, 200000.0f);
        }
    }
}

TEST_F(KdTreeTest, FullListKeepsTheNearestAndDropsLargerKeys) {
    // Records on a line at distances 1 ... 6 from the query, added in a shuffled order.
    std::vector<float3> pts = {make_float3(4, 0, 0), make_float3(1, 0, 0), make_float3(6, 0, 0),
                               make_float3(2, 0, 0), make_float3(5, 0, 0), make_float3(3, 0, 0)};
    KdTree t(0.0f);
    add(t, pts);
    t.Build();
    t.Bind();
    IndexSearch s;
    s.range = 100.0f;
    KnnList<3> l;
    ASSERT_EQ(kdTreeKNearest(make_float3(0, 0, 0), make_float3(0, 0, 1), s, l), 3u);
    std::vector<float> keys;
    for (int e = 0; e < 3; ++e) keys.push_back(std::round(pts[pointIndex(l, e)].x));
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(l.maxKey, 3.0f);
    // The range cuts candidates: fewer than K in range keeps them all, and the radius is
    // the largest one found, not the range.
    s.range = 2.5f;
    ASSERT_EQ(kdTreeKNearest(make_float3(0, 0, 0), make_float3(0, 0, 1), s, l), 2u);
    EXPECT_EQ(l.maxKey, 2.0f);
}

// The replacement primitives on a hand-built entry tree.
TEST_F(KdTreeTest, WorstEntryIsTheRightmostAndItsLeftSubtreeMovesUp) {
    KnnList<4> l;
    for (int i = 0; i < 4; ++i) l.left[i] = l.right[i] = -1;
    // Keys: slot 0 = 2, slot 1 = 1, slot 2 = 5, slot 3 = 4; tree 2 -> (1, 5), 5 -> (4, -).
    const float keys[4] = {2, 1, 5, 4};
    for (int i = 0; i < 4; ++i) l.key[i] = keys[i];
    l.root = 0;
    l.left[0] = 1;
    l.right[0] = 2;
    l.left[2] = 3;
    EXPECT_EQ(searchMaxDist(l), 2);
    EXPECT_EQ(delWorstElem(l), 2);
    EXPECT_EQ(l.right[0], 3);  // the removed entry's left child takes its place
    EXPECT_EQ(searchMaxDist(l), 3);
    EXPECT_EQ(delWorstElem(l), 3);
    EXPECT_EQ(l.right[0], -1);
    EXPECT_EQ(searchMaxDist(l), 0);
    // Removing the root promotes its left child.
    EXPECT_EQ(delWorstElem(l), 0);
    EXPECT_EQ(l.root, 1);
    EXPECT_EQ(delWorstElem(l), 1);
    EXPECT_EQ(l.root, -1);
}

// Independent form of the photon key: distance over the fourth root of 1 - cos, with
// the cosine clamped into [0.01, 1].
double photonKey(float3 x, float3 p, float3 n) {
    const double vx = double(x.x) - p.x, vy = double(x.y) - p.y, vz = double(x.z) - p.z;
    const double d = std::sqrt(vx * vx + vy * vy + vz * vz);
    double c = (n.x * vx + n.y * vy + n.z * vz) / d;
    c = std::max(std::min(c, 1.0), 0.01);
    return d / std::pow(1.0 - c, 0.25);
}

// The input index of kept entry e, found by its position.
template <int K>
size_t pointIndexOf(const std::vector<float4>& p, const KnnList<K>& l, unsigned e) {
    const float4 x = tex1Dfetch(SYM.texKDTreePhotonPos, l.record[e]);
    for (size_t i = 0; i < p.size(); ++i)
        if (p[i].x == x.x && p[i].y == x.y && p[i].z == x.z) return i;
    ADD_FAILURE() << "kept entry not among the photons";
    return 0;
}

TEST_F(KdTreeTest, PhotonSearchUsesTheEllipsoidalKeyAndDensity) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float4> p, s, c;
    const float3 N = make_float3(0, 0, 1);
    for (int i = 0; i < 800; ++i) {
        p.push_back(make_float4(u(rng), u(rng), 0.3f * u(rng), 1));
        // Half the photons lie on surfaces facing away: they widen the radius only.
        s.push_back(i % 2 ? make_float4(0, 0, 1, 0) : make_float4(1, 0, 0, 0));
        c.push_back(make_float4(0.01f * (i % 7), 0.02f, 0.03f, 0));
    }
    KdTree t(0.0f);
    t.AddRecords(800, p.data(), s.data(), c.data());
    t.Build();
    t.Bind();
    const float3 q = make_float3(0.1f, -0.2f, 0.0f);
    PhotonSearch ps;
    ps.range = 1.0f;
    ps.firstPass = 0;
    KnnList<40> l;
    ASSERT_EQ(kdTreeKNearest(q, N, ps, l), 40u);
    std::vector<std::pair<double, int>> all;
    for (int i = 0; i < 800; ++i) {
        const double k = photonKey(xyz(p[i]), q, N);
        if (k < 1.0) all.push_back({k, i});
    }
    std::sort(all.begin(), all.end());
    const double kth = all[39].first;
    EXPECT_NEAR(l.maxKey, kth, 1e-5 * kth);
    // Density from the 40 nearest by the reference key, facing photons only.
    double sum = 0;
    for (int e = 0; e < 40; ++e)
        if (s[all[e].second].z > 0.5f) sum += c[all[e].second].x;
    const double r = l.maxKey;
    const double expected = sum / (r * r * 3.14159) * 1.27;
    EXPECT_NEAR(photonDensity(l, N, ps.range).x, expected, 2e-3 * expected + 1e-6);
    // With fewer than K photons in range every one of them was found: the disc is the
    // whole range, not the farthest of the few.
    ps.range = 0.1f;
    const unsigned few = kdTreeKNearest(q, N, ps, l);
    ASSERT_GT(few, 0u);
    ASSERT_LT(few, 40u);
    sum = 0;
    for (unsigned e = 0; e < few; ++e)
        if (s[pointIndexOf(p, l, e)].z > 0.5f) sum += c[pointIndexOf(p, l, e)].x;
    const double inRange = sum / (0.01 * 3.14159) * 1.27;
    EXPECT_NEAR(photonDensity(l, N, ps.range).x, inRange, 2e-3 * inRange + 1e-6);
}

TEST_F(KdTreeTest, PhotonAlongTheNormalIsNeverGatheredAndOneBelowCountsAtItsDistance) {
    std::vector<float4> p = {make_float4(0, 0, 0.5f, 1), make_float4(0.5f, 0, -0.2f, 1)};
    std::vector<float4> s = {make_float4(0, 0, 1, 0), make_float4(0, 0, 1, 0)};
    std::vector<float4> c = {make_float4(1, 1, 1, 0), make_float4(1, 1, 1, 0)};
    KdTree t(0.0f);
    t.AddRecords(2, p.data(), s.data(), c.data());
    t.Build();
    t.Bind();
    PhotonSearch ps;
    ps.range = 100.0f;
    ps.firstPass = 0;
    KnnList<40> l;
    ASSERT_EQ(kdTreeKNearest(make_float3(0, 0, 0), make_float3(0, 0, 1), ps, l), 1u);
    const double d = std::sqrt(0.25 + 0.04);
    EXPECT_NEAR(l.maxKey, d / std::pow(0.99, 0.25), 1e-5);
    // Photons of the first pass (tag 0) are left out by a gather from pass 1 on.
    ps.firstPass = 1;
    EXPECT_EQ(kdTreeKNearest(make_float3(0, 0, 0), make_float3(0, 0, 1), ps, l), 0u);
    KdTree bounced(0.0f);
    bounced.AddRecords(2, p.data(), s.data(), c.data(), 1.0f);
    bounced.Build();
    bounced.Bind();
    EXPECT_EQ(kdTreeKNearest(make_float3(0, 0, 0), make_float3(0, 0, 1), ps, l), 1u);
}

}  // namespace

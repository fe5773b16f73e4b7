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

// Each record's colour holds its index, so that what a search keeps can be named; its
// scalar is a function of its position.
float scalarOf(float3 p) { return p.x * 3.0f + p.z; }
void add(KdTree& t, const std::vector<float3>& points, float w = 1.0f) {
    std::vector<float4> p, s, c;
    std::vector<float> scalars;
    for (size_t i = 0; i < points.size(); ++i) {
        p.push_back(make_float4(points[i], w));
        s.push_back(make_float4(0, 0, 1, 0));
        c.push_back(make_float4(float(i), 0, 0, 0));
        scalars.push_back(scalarOf(points[i]));
    }
    t.AddRecords(uint32_t(points.size()), p.data(), s.data(), c.data(), 0.0f, scalars.data());
}

std::vector<float3> randomPoints(std::mt19937& rng, int n, float flatten = 1.0f) {
    std::uniform_real_distribution<float> u(-5, 5);
    std::vector<float3> pts;
    for (int i = 0; i < n; ++i) pts.push_back(make_float3(u(rng), u(rng), std::floor(u(rng)) * flatten));
    return pts;
}

class KdTreeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(rt::selectBackend("cpu")); }
    rt::cpu::HostAccess deviceCodeOnHost;  // the searches run as device code on the host thread
};

// Built and rebuilt trees hold every record of weight above one half exactly once with
// its payload, keep each record's scalar at its node (the final-gather placement carries
// harmonic distances through rebuilds so), are as deep as a balanced tree (the device
// search's stack is sized for that), release their arrays on rebuild and destruction,
// and an empty tree finds nothing. The split planes themselves are judged by the
// searches below.
TEST_F(KdTreeTest, BuildsBalancedTreesOfEveryRecord) {
    std::mt19937 rng(7);
    const size_t live = rt::liveAllocationCount();
    for (const int n : {1, 2, 3, 7, 300}) {
        SCOPED_TRACE(n);
        KdTree t(0.0f);
        std::vector<float3> pts = randomPoints(rng, n);
        add(t, pts);
        add(t, {make_float3(99, 0, 0)}, 0.5f);
        add(t, {make_float3(98, 0, 0)}, 0.0f);
        if (n == 300) {  // a rebuild takes the old records and the new
            t.Build();
            const std::vector<float3> more = randomPoints(rng, 211);
            add(t, more);
            pts.insert(pts.end(), more.begin(), more.end());
        }
        t.Build();
        const size_t count = pts.size();
        ASSERT_EQ(t.nodeCount, count);
        EXPECT_EQ(t.maxDepth, uint32_t(std::log2(double(count))));
        EXPECT_EQ(rt::liveAllocationCount(), live + 5);
        std::vector<float4> pos(count), thirds(count);
        ASSERT_EQ(rt::memcpyDtoH(pos.data(), t.d_positions, count * 16), rt::Success);
        ASSERT_EQ(rt::memcpyDtoH(thirds.data(), t.d_thirds, count * 16), rt::Success);
        std::vector<std::array<float, 4>> want, got;
        for (size_t i = 0; i < count; ++i) {
            want.push_back({pts[i].x, pts[i].y, pts[i].z, float(i >= 300 ? i - 300 : i)});  // indices per batch
            got.push_back({pos[i].x, pos[i].y, pos[i].z, thirds[i].x});
        }
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(want, got);
        ASSERT_EQ(t.scalars.size(), count);
        for (size_t i = 0; i < count; ++i) EXPECT_EQ(t.scalars[i], scalarOf(xyz(pos[i]))) << "node " << i;
    }
    EXPECT_EQ(rt::liveAllocationCount(), live);
    KdTree empty(0.0f);
    empty.Build();
    EXPECT_EQ(rt::liveAllocationCount(), live);
    empty.Bind();
    PhotonSearch s;
    s.range = 1e6f;
    s.firstPass = 0;
    KnnList<40> l;
    EXPECT_EQ(kdTreeKNearest(make_float3(0, 0, 0), make_float3(0, 0, 1), s, l), 0u);
    EXPECT_EQ(photonDensity(l, make_float3(0, 0, 1), s.range).x, 0.0f);
}

// The Euclidean key, below the range.
struct IndexSearch {
    float range;
    bool candidate(int i, float3 P, float3, float& key) const {
        key = length(xyz(tex1Dfetch(SYM.texKDTreePhotonPos, i)) - P);
        return key < range;
    }
};

template <int K>
void compareWithBruteForce(const std::vector<float3>& pts, float3 q, float range) {
    IndexSearch s{range};
    KnnList<K> l;
    const unsigned count = kdTreeKNearest(q, make_float3(0, 0, 1), s, l);
    std::vector<std::pair<double, int>> all;
    for (size_t i = 0; i < pts.size(); ++i) {
        const double dx = double(pts[i].x) - q.x, dy = double(pts[i].y) - q.y, dz = double(pts[i].z) - q.z;
        const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (d < range) all.push_back({d, int(i)});
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(kdTreeAny(q, make_float3(0, 0, 1), s), !all.empty());
    const size_t expected = std::min<size_t>(K, all.size());
    ASSERT_EQ(count, expected);
    if (expected == 0) return;
    const double kth = all[expected - 1].first, tie = 1e-5 * kth;  // single-precision keys tie
    std::vector<int> kept;
    for (unsigned e = 0; e < count; ++e) kept.push_back(int(tex1Dfetch(SYM.texKDTreePhotonCol, l.record[e]).x));
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

TEST_F(KdTreeTest, NearestAndAnyMatchBruteForceOnRandomPoints) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-5, 5);
    for (int n : {1, 5, 39, 40, 41, 500, 3000}) {
        const std::vector<float3> pts = randomPoints(rng, n, 0.2f);
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
            compareWithBruteForce<1>(pts, q, 0.5f);
        }
    }
}

// Independent form of the photon key: distance over the fourth root of 1 - cos, with
// the cosine clamped into [0.01, 1].
double photonKey(float3 x, float3 p, float3 n) {
    const double vx = double(x.x) - p.x, vy = double(x.y) - p.y, vz = double(x.z) - p.z;
    const double d = std::sqrt(vx * vx + vy * vy + vz * vz);
    const double c = std::max(std::min((n.x * vx + n.y * vy + n.z * vz) / d, 1.0), 0.01);
    return d / std::pow(1.0 - c, 0.25);
}

// The density: the colours of the photons on surfaces facing the normal over the disc of
// the largest key, or of the whole range when fewer than K photons lie in it.
TEST_F(KdTreeTest, PhotonSearchUsesTheEllipsoidalKeyAndDensity) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float4> p, s, c;
    const float3 N = make_float3(0, 0, 1), q = make_float3(0.1f, -0.2f, 0.0f);
    for (int i = 0; i < 800; ++i) {
        p.push_back(make_float4(u(rng), u(rng), 0.3f * u(rng), 1));
        s.push_back(i % 2 ? make_float4(0, 0, 1, 0) : make_float4(1, 0, 0, 0));  // half face away
        c.push_back(make_float4(0.01f * (i % 7), 0.02f, 0.03f, 0));
    }
    KdTree t(0.0f);
    t.AddRecords(800, p.data(), s.data(), c.data());
    t.Build();
    t.Bind();
    std::vector<std::pair<double, int>> all;
    for (int i = 0; i < 800; ++i) all.push_back({photonKey(xyz(p[i]), q, N), i});
    std::sort(all.begin(), all.end());
    for (const float range : {1.0f, 0.1f}) {
        PhotonSearch ps;
        ps.range = range;
        ps.firstPass = 0;
        KnnList<40> l;
        const unsigned found = kdTreeKNearest(q, N, ps, l);
        const unsigned inRange =
            unsigned(std::count_if(all.begin(), all.end(), [&](auto& e) { return e.first < range; }));
        ASSERT_EQ(found, std::min(40u, inRange));
        ASSERT_GT(found, 0u);
        double sum = 0;
        for (unsigned e = 0; e < found; ++e)
            if (s[all[e].second].z > 0.5f) sum += c[all[e].second].x;
        const double r = found == 40 ? all[39].first : range;
        if (found == 40) EXPECT_NEAR(l.maxKey, r, 1e-5 * r);
        const double expected = sum / (r * r * 3.14159) * 1.27;
        EXPECT_NEAR(photonDensity(l, N, ps.range).x, expected, 2e-3 * expected + 1e-6) << "range " << range;
    }
}

// A photon straight along the normal is never gathered; one below the surface counts at
// its distance; a gather from pass 1 on leaves out the photons of the first pass.
TEST_F(KdTreeTest, PhotonAlongTheNormalAndFirstPassPhotonsAreLeftOut) {
    std::vector<float4> p = {make_float4(0, 0, 0.5f, 1), make_float4(0.5f, 0, -0.2f, 1)};
    std::vector<float4> s = {make_float4(0, 0, 1, 0), make_float4(0, 0, 1, 0)};
    std::vector<float4> c = {make_float4(1, 1, 1, 0), make_float4(1, 1, 1, 0)};
    PhotonSearch ps;
    ps.range = 100.0f;
    KnnList<40> l;
    for (const float tag : {0.0f, 1.0f}) {
        KdTree t(0.0f);
        t.AddRecords(2, p.data(), s.data(), c.data(), tag);
        t.Build();
        t.Bind();
        ps.firstPass = 0;
        ASSERT_EQ(kdTreeKNearest(make_float3(0, 0, 0), make_float3(0, 0, 1), ps, l), 1u);
        EXPECT_NEAR(l.maxKey, std::sqrt(0.25 + 0.04) / std::pow(0.99, 0.25), 1e-5);
        ps.firstPass = 1;
        EXPECT_EQ(kdTreeKNearest(make_float3(0, 0, 0), make_float3(0, 0, 1), ps, l), unsigned(tag));
    }
}

}  // namespace

// The kd-tree build and its device layout through the k-nearest search against brute
// force. On the CPU backend the device search is an ordinary inline function reading
// the bound references, so the tests bind a tree and call it directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "device/kernels_gi.h"
#include "host/internal.h"
#include "host/kdtree.h"
#include "runtime/cpu/cpu_backend.h"

namespace {

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

// The Euclidean key, below the range.
struct IndexSearch {
    float range;
    bool candidate(int i, float3 P, float3, float& key, float) const {
        key = length(xyz(tex1Dfetch(SYM.texKDTreePhotonPos, i)) - P);
        return key < range;
    }
};

// The K nearest within range, each once, with the scalar of its own record: a search
// that skips a subtree on a wrong plane, or a build that loses, repeats or moves a
// record or its payload, shows here.
template <int K>
void compareWithBruteForce(const KdTree& t, const std::vector<float3>& pts, float3 q, float range) {
    IndexSearch s{range};
    KnnList<K> l;
    const unsigned count = kdTreeKNearest(q, make_float3(0, 0, 1), s, l);
    std::vector<std::pair<double, int>> all;
    for (size_t i = 0; i < pts.size(); ++i) {
        const double dx = double(pts[i].x) - q.x, dy = double(pts[i].y) - q.y, dz = double(pts[i].z) - q.z;
        if (const double d = std::sqrt(dx * dx + dy * dy + dz * dz); d < range) all.push_back({d, int(i)});
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
// for that); an empty tree finds nothing; rebuilds and destruction release the arrays.
TEST_F(KdTreeTest, NearestAndAnyMatchBruteForceOnRandomPoints) {
    const size_t live = rt::liveAllocationCount();
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-5, 5);
    for (const int n : {0, 1, 5, 39, 40, 41, 500, 3000}) {
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
        t.Build();
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
        }
    }
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

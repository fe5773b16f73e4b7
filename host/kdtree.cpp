#include "host/kdtree.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "host/internal.h"
#include "host/parallel.h"
#include "runtime/device.h"

KdTree::KdTree(float v) : value(v) {}

KdTree::~KdTree() {
    host::freeChecked(d_planes, "kdtree", 146);
    host::freeChecked(d_children, "kdtree", 147);
    host::freeChecked(d_positions, "kdtree", 148);
    host::freeChecked(d_seconds, "kdtree", 149);
    host::freeChecked(d_thirds, "kdtree", 150);
}

void KdTree::AddRecords(uint32_t count, const float4* positions, const float4* seconds, const float4* thirds,
                        float tag, const float* scalars, float wAbove, float wAtMost) {
    // The final-gather tree grows by small batches: keep the growth geometric.
    if (records.capacity() < records.size() + count)
        host::reserveHuge(records, std::max(records.size() + count, 2 * records.capacity()));
    for (uint32_t i = 0; i < count; ++i) {
        if (!(positions[i].w > wAbove && positions[i].w <= wAtMost)) continue;
        records.push_back({xyz(positions[i]), xyz(seconds[i]), xyz(thirds[i]), tag, scalars ? scalars[i] : 0.0f});
        ++numRecords;
    }
}

namespace {
float axisValue(const float3& p, uint32_t a) { return a == 0 ? p.x : (a == 1 ? p.y : p.z); }
}  // namespace

// The tree's nodes are handed out in pre-order (node, left subtree, right subtree), so
// where each node goes follows from the sizes alone: the root of list[begin, end) is
// its median on the level's axis, its left child the next node and its right child the
// one after the left subtree's. The first levels are split a level at a time, each
// range of a level on any worker, until there are ranges enough to keep the workers
// busy; then each builds its whole subtree. The arrays are the same for any number.
struct KdRange {
    size_t begin, end;
    uint32_t node, depth;
};

void KdTree::splitKdRange(const KdRange& r, KdRange* halves, int& count) {
    const uint32_t a = r.depth % 3;
    const size_t median = (r.end - r.begin) / 2;
    // Only the median and the split around it matter: each half is ordered again below.
    std::nth_element(records.begin() + r.begin, records.begin() + r.begin + median, records.begin() + r.end,
                     [a](const KdRecord& l, const KdRecord& q) {
                         return axisValue(l.position, a) < axisValue(q.position, a);
                     });
    const KdRecord& p = records[r.begin + median];
    const uint32_t i = r.node;
    const float3 e = make_float3(a == 0 ? 1.f : 0.f, a == 1 ? 1.f : 0.f, a == 2 ? 1.f : 0.f);
    planes_[i] = make_float4(e, -dot(e, p.position));
    positions_[i] = make_float4(p.position, p.tag);
    seconds_[i] = make_float4(p.second, 0.0f);
    thirds_[i] = make_float4(p.third, p.scalar);
    scalars[i] = p.scalar;
    count = 0;
    int4 c = make_int4(-1, -1, 0, 0);
    if (median >= 1) {
        c.x = int(i + 1);
        halves[count++] = {r.begin, r.begin + median, i + 1, r.depth + 1};
    }
    if (r.end - r.begin > median + 1) {
        c.y = int(i + 1 + median);
        halves[count++] = {r.begin + median + 1, r.end, i + 1 + uint32_t(median), r.depth + 1};
    }
    children_[i] = c;
}

uint32_t KdTree::buildKdSubtree(const KdRange& r) {
    KdRange halves[2];
    int count;
    splitKdRange(r, halves, count);
    uint32_t deepest = r.depth;
    for (int h = 0; h < count; ++h) deepest = std::max(deepest, buildKdSubtree(halves[h]));
    return deepest;
}

void KdTree::buildKdTree(unsigned workers) {
    std::vector<KdRange> level{{0, records.size(), 0, 0}}, next;
    while (!level.empty() && level.size() < 8 * size_t(workers) && workers > 1) {
        std::vector<std::array<KdRange, 2>> halves(level.size());
        std::vector<int> counts(level.size());
        host::parallelFor(level.size(), workers,
                          [&](size_t k, unsigned) { splitKdRange(level[k], halves[k].data(), counts[k]); });
        maxDepth = level[0].depth;
        next.clear();
        for (size_t k = 0; k < level.size(); ++k)
            next.insert(next.end(), halves[k].begin(), halves[k].begin() + counts[k]);
        std::swap(level, next);
    }
    std::vector<uint32_t> deepest(level.size());
    host::parallelFor(level.size(), workers, [&](size_t k, unsigned) { deepest[k] = buildKdSubtree(level[k]); });
    for (uint32_t d : deepest) maxDepth = std::max(maxDepth, d);
    nodeCount = uint32_t(records.size());
    // z and w of the children carry the largest scalar under each child, so that a search
    // for records that reach only as far as their scalar skips whole subtrees. Children
    // come after their parent, so one pass from the last node up finds them all.
    std::vector<float> largest(records.size());
    for (size_t i = records.size(); i-- > 0;) {
        int4& c = children_[i];
        float m = thirds_[i].w;
        if (c.x >= 0) m = std::max(m, largest[size_t(c.x)]), c.z = floatBitsToInt(largest[size_t(c.x)]);
        if (c.y >= 0) m = std::max(m, largest[size_t(c.y)]), c.w = floatBitsToInt(largest[size_t(c.y)]);
        largest[i] = m;
    }
}

void KdTree::Build() {
    host::freeChecked(d_planes, "kdtree", 64);
    host::freeChecked(d_children, "kdtree", 65);
    host::freeChecked(d_positions, "kdtree", 66);
    host::freeChecked(d_seconds, "kdtree", 67);
    host::freeChecked(d_thirds, "kdtree", 68);
    maxDepth = nodeCount = 0;
    const size_t n = records.size();
    // The searches' queues address nodes in 30 bits; a tree that large (80 GB of arrays)
    // fails as its allocation would.
    if (n >= (size_t(1) << 30)) TESSRA_CHECK(rt::ErrorMemoryAllocation, "kdtree", 112);
    numRecords = uint32_t(n);
    // Every node writes its entry of each array once.
    for (auto* v : {&planes_, &positions_, &seconds_, &thirds_}) host::resizeHuge(*v, n);
    host::resizeHuge(children_, n);
    host::resizeHuge(scalars, n);
    // Small trees (the final-gather records, rebuilt after every placement step) are
    // not worth the threads.
    if (n) buildKdTree(n >= 16384 ? std::max(rt::threadCount(), 1u) : 1u);

    const size_t bytes = n * 16;
    if (bytes) {
        // Each array is copied whole, so no byte of it is left undefined.
        const std::pair<void**, const void*> arrays[] = {{&d_planes, planes_.data()},
                                                         {&d_children, children_.data()},
                                                         {&d_positions, positions_.data()},
                                                         {&d_seconds, seconds_.data()},
                                                         {&d_thirds, thirds_.data()}};
        for (const auto& [d, h] : arrays) {
            TESSRA_CHECK(rt::malloc(d, bytes), "kdtree", 112);
            TESSRA_CHECK(rt::memcpyHtoD(*d, h, bytes), "kdtree", 123);
        }
    }
    planes_ = positions_ = seconds_ = thirds_ = {};
    children_ = {};
}

void KdTree::Bind() const {
    // The arrays hold the nodes of the last build; records added since are not on the
    // device yet and must not widen the bound range.
    const size_t bytes = size_t(nodeCount) * 16;
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texKDTreePlanos, d_planes, bytes), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texKDTreeHijos, d_children, bytes), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texKDTreePhotonPos, d_positions, bytes), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texKDTreePhotonDir, d_seconds, bytes), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texKDTreePhotonCol, d_thirds, bytes), "volumeRender", __LINE__);
}

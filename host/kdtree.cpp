#include "host/kdtree.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "host/internal.h"

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
        records.reserve(std::max(records.size() + count, 2 * records.capacity()));
    for (uint32_t i = 0; i < count; ++i) {
        if (!(positions[i].w > wAbove && positions[i].w <= wAtMost)) continue;
        records.push_back({xyz(positions[i]), xyz(seconds[i]), xyz(thirds[i]), tag, scalars ? scalars[i] : 0.0f});
        ++numRecords;
    }
}

namespace {
float axisValue(const float3& p, uint32_t a) { return a == 0 ? p.x : (a == 1 ? p.y : p.z); }
}  // namespace

// Builds the subtree over list[begin, end): splits that range at its median on the
// node's axis, takes the median as the node and recurses into both halves. Indices are
// handed out in pre-order (node, left subtree, right subtree); returns the node's.
uint32_t KdTree::buildKdNode(std::vector<KdRecord>& list, size_t begin, size_t end, uint32_t depth) {
    const uint32_t a = depth % 3;
    const size_t size = end - begin;
    const size_t median = size / 2;
    // Only the median and the split around it matter: each half is ordered again below.
    std::nth_element(list.begin() + begin, list.begin() + begin + median, list.begin() + end,
                     [a](const KdRecord& l, const KdRecord& r) {
                         return axisValue(l.position, a) < axisValue(r.position, a);
                     });
    const uint32_t i = nodeCount++;
    maxDepth = std::max(maxDepth, depth);

    const KdRecord& p = list[begin + median];
    const float3 e = make_float3(a == 0 ? 1.f : 0.f, a == 1 ? 1.f : 0.f, a == 2 ? 1.f : 0.f);
    planes_[i] = make_float4(e, -dot(e, p.position));
    positions_[i] = make_float4(p.position, p.tag);
    seconds_[i] = make_float4(p.second, 0.0f);
    thirds_[i] = make_float4(p.third, p.scalar);
    scalars[i] = p.scalar;
    int4 children = make_int4(-1, -1, 0, 0);
    if (median >= 1) children.x = int(buildKdNode(list, begin, begin + median, depth + 1));
    if (size > median + 1) children.y = int(buildKdNode(list, begin + median + 1, end, depth + 1));
    children_[i] = children;
    return i;
}

void KdTree::Build() {
    host::freeChecked(d_planes, "kdtree", 64);
    host::freeChecked(d_children, "kdtree", 65);
    host::freeChecked(d_positions, "kdtree", 66);
    host::freeChecked(d_seconds, "kdtree", 67);
    host::freeChecked(d_thirds, "kdtree", 68);
    maxDepth = nodeCount = 0;
    const size_t n = records.size();
    numRecords = uint32_t(n);
    // Every node writes its entry of each array once.
    planes_.resize(n);
    children_.resize(n);
    positions_.resize(n);
    seconds_.resize(n);
    thirds_.resize(n);
    scalars.resize(n);
    if (n) buildKdNode(records, 0, n, 0);

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

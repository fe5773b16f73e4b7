#include "host/kdtree.h"

#include <algorithm>
#include <cstring>

#include "host/internal.h"

KdNode::~KdNode() {
    delete left;
    delete right;
}

KdTree::KdTree(float v) : value(v) {}

KdTree::~KdTree() {
    delete root;
    root = nullptr;
    host::freeChecked(d_planes, "kdtree", 146);
    host::freeChecked(d_children, "kdtree", 147);
    host::freeChecked(d_positions, "kdtree", 148);
    host::freeChecked(d_seconds, "kdtree", 149);
    host::freeChecked(d_thirds, "kdtree", 150);
}

void KdTree::AddRecords(uint32_t count, const float4* positions, const float4* seconds, const float4* thirds,
                        float tag, const float* scalars) {
    for (uint32_t i = 0; i < count; ++i) {
        if (!(positions[i].w > 0.5f)) continue;
        records.push_back({xyz(positions[i]), xyz(seconds[i]), xyz(thirds[i]), tag, scalars ? scalars[i] : 0.0f});
        ++numRecords;
    }
}

namespace {
float axisValue(const float3& p, uint32_t a) { return a == 0 ? p.x : (a == 1 ? p.y : p.z); }
}  // namespace

// Builds the subtree over list[begin, end): splits that range at its median on the
// node's axis, takes the median as the node and recurses into both halves. Indices are handed out in
// pre-order (node, left subtree, right subtree).
KdNode* KdTree::buildKdNode(std::vector<KdRecord>& list, size_t begin, size_t end, uint32_t depth) {
    const uint32_t a = depth % 3;
    const size_t size = end - begin;
    const size_t median = size / 2;
    // Only the median and the split around it matter: each half is ordered again below.
    std::nth_element(list.begin() + begin, list.begin() + begin + median, list.begin() + end,
                     [a](const KdRecord& l, const KdRecord& r) {
                         return axisValue(l.position, a) < axisValue(r.position, a);
                     });
    KdNode* node = new KdNode;
    node->owner = this;
    node->index = nextIndex++;
    ++nodeCount;
    maxDepth = std::max(maxDepth, depth);

    const KdRecord& p = list[begin + median];
    const float3 e = make_float3(a == 0 ? 1.f : 0.f, a == 1 ? 1.f : 0.f, a == 2 ? 1.f : 0.f);
    node->position = p.position;
    node->planeNormal = e;
    node->planeOffset = -dot(e, p.position);
    ++numRecords;
    const uint32_t i = node->index;
    planes_[i] = make_float4(e, node->planeOffset);
    positions_[i] = make_float4(p.position, p.tag);
    seconds_[i] = make_float4(p.second, 0.0f);
    thirds_[i] = make_float4(p.third, 0.0f);
    scalars[i] = p.scalar;
    children_[i] = make_int4(-1, -1, 0, 0);
    if (size == 1) return node;
    if (median >= 1) {
        node->left = buildKdNode(list, begin, begin + median, depth + 1);
        children_[i].x = int(node->left->index);
    }
    if (size == median + 1) return node;
    node->right = buildKdNode(list, begin + median + 1, end, depth + 1);
    children_[i].y = int(node->right->index);
    return node;
}

void KdTree::Build() {
    host::freeChecked(d_planes, "kdtree", 64);
    host::freeChecked(d_children, "kdtree", 65);
    host::freeChecked(d_positions, "kdtree", 66);
    host::freeChecked(d_seconds, "kdtree", 67);
    host::freeChecked(d_thirds, "kdtree", 68);
    maxDepth = nodeCount = nextIndex = 0;
    const size_t n = numRecords;
    planes_.assign(n, float4{});
    children_.assign(n, int4{});
    positions_.assign(n, float4{});
    seconds_.assign(n, float4{});
    thirds_.assign(n, float4{});
    scalars.assign(n, 0.0f);
    delete root;
    root = nullptr;
    numRecords = 0;
    // The node builder needs at least one record; an empty tree has no arrays.
    if (!records.empty()) root = buildKdNode(records, 0, records.size(), 0);

    const size_t bytes = size_t(numRecords) * 16;
    if (bytes) {
        TESSRA_CHECK(rt::malloc(&d_planes, bytes), "kdtree", 112);
        TESSRA_CHECK(rt::memset(d_planes, 0, bytes), "kdtree", 113);
        TESSRA_CHECK(rt::malloc(&d_children, bytes), "kdtree", 114);
        TESSRA_CHECK(rt::memset(d_children, 0, bytes), "kdtree", 115);
        TESSRA_CHECK(rt::malloc(&d_positions, bytes), "kdtree", 116);
        TESSRA_CHECK(rt::memset(d_positions, 0, bytes), "kdtree", 117);
        TESSRA_CHECK(rt::malloc(&d_seconds, bytes), "kdtree", 118);
        TESSRA_CHECK(rt::memset(d_seconds, 0, bytes), "kdtree", 119);
        TESSRA_CHECK(rt::malloc(&d_thirds, bytes), "kdtree", 120);
        TESSRA_CHECK(rt::memset(d_thirds, 0, bytes), "kdtree", 121);
        TESSRA_CHECK(rt::memcpyHtoD(d_planes, planes_.data(), bytes), "kdtree", 123);
        TESSRA_CHECK(rt::memcpyHtoD(d_children, children_.data(), bytes), "kdtree", 124);
        TESSRA_CHECK(rt::memcpyHtoD(d_positions, positions_.data(), bytes), "kdtree", 125);
        TESSRA_CHECK(rt::memcpyHtoD(d_seconds, seconds_.data(), bytes), "kdtree", 126);
        TESSRA_CHECK(rt::memcpyHtoD(d_thirds, thirds_.data(), bytes), "kdtree", 127);
    }
    planes_ = positions_ = seconds_ = thirds_ = {};
    children_ = {};
}

void KdTree::Bind() const {
    // The arrays hold the nodes of the last build; records added since are not on the
    // device yet and must not widen the bound range.
    const size_t bytes = size_t(nodeCount) * 16;
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texKDTreePlanos, d_planes, bytes), "volumeRender", 2460);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texKDTreeHijos, d_children, bytes), "volumeRender", 2461);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texKDTreePhotonPos, d_positions, bytes), "volumeRender", 2462);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texKDTreePhotonDir, d_seconds, bytes), "volumeRender", 2463);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texKDTreePhotonCol, d_thirds, bytes), "volumeRender", 2464);
}

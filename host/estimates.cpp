#include "host/estimates.h"

#include <algorithm>
#include <numeric>

#include "host/internal.h"
#include "host/parallel.h"
#include "runtime/device.h"

// How far an estimate reaches, in radii of the photons it took: where photons are sparse
// that is far, but the estimate of a dense, bright patch does not light the dark floor
// beside it. The device compares with the product, so it is formed here once.
constexpr float kEstimateReach = 3.0f;
constexpr uint32_t kLeafSize = 8;

EstimateTree::~EstimateTree() {
    for (void** p : {&d_nodes, &d_positions, &d_normals, &d_irradiance}) host::freeChecked(*p, "estimates", __LINE__);
}

namespace {
float coordinate(const float3& p, int a) { return a == 0 ? p.x : a == 1 ? p.y : p.z; }
}  // namespace

void EstimateTree::Build(std::vector<Estimate> e) {
    for (void** p : {&d_nodes, &d_positions, &d_normals, &d_irradiance}) host::freeChecked(*p, "estimates", __LINE__);
    const size_t m = e.size();
    uint32_t levels = 0;
    while ((size_t(1) << levels) * kLeafSize < m) ++levels;
    count = uint32_t(m);
    innerNodes = (1u << levels) - 1u;
    if (!m) return;
    const size_t leaves = size_t(1) << levels;
    const auto leafStart = [&](size_t j) { return j * m / leaves; };
    // Ordered by coordinate and then by index, a total order: each subtree's set of
    // estimates, and so every array, is the same for any sort implementation.
    std::vector<uint32_t> order(m);
    std::iota(order.begin(), order.end(), 0u);
    std::vector<float4> nodes(innerNodes);
    const unsigned workers = m >= 65536 ? std::max(rt::threadCount(), 1u) : 1u;
    for (uint32_t level = 0; level < levels; ++level) {
        const size_t first = (size_t(1) << level) - 1, width = size_t(1) << level;
        host::parallelFor(width, workers, [&](size_t k, unsigned) {
            const size_t span = leaves >> level;
            const size_t b = leafStart(k * span), mid = leafStart(k * span + span / 2), end = leafStart((k + 1) * span);
            float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
            for (size_t i = b; i < end; ++i)
                for (int a = 0; a < 3; ++a) {
                    lo[a] = std::min(lo[a], coordinate(e[order[i]].position, a));
                    hi[a] = std::max(hi[a], coordinate(e[order[i]].position, a));
                }
            // Across the widest extent: the estimates lie on surfaces, which a fixed
            // cycle of axes cuts into slivers.
            int axis = 0;
            for (int a = 1; a < 3; ++a)
                if (hi[a] - lo[a] > hi[axis] - lo[axis]) axis = a;
            // Every leaf holds more than four estimates, so both halves have some.
            const auto before = [&](uint32_t x, uint32_t y) {
                const float cx = coordinate(e[x].position, axis), cy = coordinate(e[y].position, axis);
                return cx < cy || (cx == cy && x < y);
            };
            std::nth_element(order.begin() + b, order.begin() + mid, order.begin() + end, before);
            nodes[first + k] = make_float4(coordinate(e[order[mid]].position, axis), intBitsToFloat(axis), 0.0f, 0.0f);
        });
    }
    // In leaf order, each leaf's estimates by index, so that a search meets them the same
    // way whatever order the partitions left.
    for (size_t j = 0; j < leaves; ++j) std::sort(order.begin() + leafStart(j), order.begin() + leafStart(j + 1));
    std::vector<float4> pos(m), nor(m), irr(m);
    std::vector<float> reach(2 * leaves - 1, 0.0f);  // the largest reach under each node
    for (size_t j = 0; j < leaves; ++j)
        for (size_t i = leafStart(j); i < leafStart(j + 1); ++i) {
            const Estimate& x = e[order[i]];
            pos[i] = make_float4(x.position, kEstimateReach * x.irradiance.w);
            nor[i] = make_float4(x.normal, 0.0f);
            irr[i] = x.irradiance;
            reach[innerNodes + j] = std::max(reach[innerNodes + j], pos[i].w);
        }
    for (size_t k = innerNodes; k-- > 0;) {
        nodes[k].z = reach[2 * k + 1];
        nodes[k].w = reach[2 * k + 2];
        reach[k] = std::max(nodes[k].z, nodes[k].w);
    }
    const std::pair<void**, const std::vector<float4>*> arrays[] = {
        {&d_nodes, &nodes}, {&d_positions, &pos}, {&d_normals, &nor}, {&d_irradiance, &irr}};
    for (const auto& [d, h] : arrays) {
        if (h->empty()) continue;
        TESSRA_CHECK(rt::malloc(d, h->size() * 16), "estimates", __LINE__);
        TESSRA_CHECK(rt::memcpyHtoD(*d, h->data(), h->size() * 16), "estimates", __LINE__);
    }
}

void EstimateTree::Bind() const {
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texEstimateNodes, d_nodes, size_t(innerNodes) * 16), "estimates",
                 __LINE__);
    const size_t bytes = size_t(count) * 16;
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texEstimatePos, d_positions, bytes), "estimates", __LINE__);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texEstimateDir, d_normals, bytes), "estimates", __LINE__);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texEstimateCol, d_irradiance, bytes), "estimates", __LINE__);
}

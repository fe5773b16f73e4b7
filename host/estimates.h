// The photon map's precomputed irradiance estimates in a tree of their own, for final
// gather's rays: a balanced 3-d tree whose leaves hold four to eight estimates side by
// side, so that a nearest search descends a few levels and then reads consecutive
// entries (on the point-per-node photon tree it visited some forty scattered nodes).
//
// The tree is complete and implicit: with L leaves (a power of two) inner node k has
// children 2k + 1 and 2k + 2, and leaf j holds estimates [j m / L, (j + 1) m / L). The
// device reads four arrays, see the texEstimate references.
#pragma once

#include <cstdint>
#include <vector>

#include "device/defs.h"

struct Estimate {
    float3 position;
    float3 normal;
    float4 irradiance;  // w: the radius of the photons it took
};

class EstimateTree {
public:
    EstimateTree() = default;
    ~EstimateTree();
    EstimateTree(const EstimateTree&) = delete;
    EstimateTree& operator=(const EstimateTree&) = delete;

    // Builds the tree and uploads it; the estimates' order does not matter beyond ties
    // (of equal coordinates, the earlier one goes left).
    void Build(std::vector<Estimate> estimates);
    // Binds the four arrays to the estimate references.
    void Bind() const;

    uint32_t count = 0, innerNodes = 0;
    void* d_nodes = nullptr;
    void* d_positions = nullptr;
    void* d_normals = nullptr;
    void* d_irradiance = nullptr;
};

// A balanced point-per-node 3-d tree over records (position, second vector, third
// vector), built on the host and uploaded as five parallel arrays for the gather
// kernels. An empty tree has no device arrays; binding it binds empty references, and
// a search over it finds nothing.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "device/defs.h"

struct KdRecord {
    float3 position;
    float3 second;
    float3 third;
    float tag;     // uploaded as the position's w: the photon pass that stored the record
    float scalar;  // kept on the host, in node order (scalars), and in w of the device's thirds
};

struct KdRange;  // a range of the records that a subtree's nodes come from

class KdTree {
public:
    explicit KdTree(float value);
    ~KdTree();
    KdTree(const KdTree&) = delete;
    KdTree& operator=(const KdTree&) = delete;

    // Records whose position has wAbove < w <= wAtMost (a photon's w tells how it came);
    // scalars, when given, one per record.
    void AddRecords(uint32_t count, const float4* positions, const float4* seconds, const float4* thirds,
                    float tag = 0.0f, const float* scalars = nullptr, float wAbove = 0.5f, float wAtMost = INFINITY);
    void Build();
    // Binds the five arrays to the kd-tree texture references.
    void Bind() const;

    float value;
    uint32_t maxDepth = 0;
    uint32_t nodeCount = 0;
    uint32_t numRecords = 0;
    void* d_planes = nullptr;
    void* d_children = nullptr;
    void* d_positions = nullptr;
    void* d_seconds = nullptr;
    void* d_thirds = nullptr;
    std::vector<KdRecord> records;
    // Each node's record's scalar, by node index of the last build (the final-gather
    // tree keeps the records' harmonic distances here, measured once per record).
    std::vector<float> scalars;

private:
    void buildKdTree(unsigned workers);
    void splitKdRange(const KdRange& r, KdRange* halves, int& count);
    uint32_t buildKdSubtree(const KdRange& r);
    // Staging arrays of a build, released when it ends.
    std::vector<float4> planes_, positions_, seconds_, thirds_;
    std::vector<int4> children_;
};

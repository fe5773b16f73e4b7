// The triangle octree: built on the host, flattened into seven arrays, uploaded and
// bound to the octree texture references that intersectOctree walks, with the
// per-triangle constants of its ray-triangle test.
#pragma once

#include <cstdint>
#include <vector>

#include "device/defs.h"

// Where the octree reads triangle t's corner k: three floats at p + t * triangle + k * corner.
struct CornerView {
    const float* p;
    size_t triangle, corner;
    float3 operator()(size_t t, size_t k) const {
        const float* c = p + t * triangle + k * corner;
        return make_float3(c[0], c[1], c[2]);
    }
};

class Octree {
public:
    // The deepest tree whose traversal stack (7 * (depth - 2) + 8 entries) fits in the
    // 128 entries of intersectOctree; deeper requests are clamped with a message.
    static constexpr uint32_t kMaxDepth = 19;

    // Builds on rt::threadCount() workers; the arrays do not depend on their number.
    Octree(uint32_t numTris, CornerView corners, uint32_t maxDepth);
    // Three float4 corners per triangle.
    Octree(uint32_t numTris, const float4* vertices, uint32_t maxDepth)
        : Octree(numTris, CornerView{reinterpret_cast<const float*>(vertices), 12, 4}, maxDepth) {}
    // Many large overlapping triangles fill every node down to the deepest level, so the
    // build stops, unuploaded, once nodes plus triangle references pass this budget.
    static uint64_t budget(uint32_t numTris) { return 64 * uint64_t(numTris) + (uint64_t(1) << 22); }
    bool built() const { return !overBudget_; }
    ~Octree();
    Octree(const Octree&) = delete;
    Octree& operator=(const Octree&) = delete;

    // Nodes are numbered depth first, children in slot order, and each node's stretch of
    // contenido follows in the same order; offsets holds every node's start in it. Over
    // the budget the counts are of whatever was built before the workers stopped, and
    // the arrays stay null.
    uint32_t num_nodos_totales = 0;
    uint32_t totalContenido = 0;
    uint32_t maxDeep = 0;
    std::vector<uint32_t> offsets;

    // Host arrays and their device copies. The renderer reads none of the host arrays
    // after the upload, but the tests walk them, so they are kept until destruction
    // (88 bytes per node and 4 per entry of contenido).
#define TESSRA_OCTREE_ARRAY(T, h, d, bytes, tex, allocLine, freeLine, bindLine) T* h = nullptr;
#include "host/octree_arrays.def"
#undef TESSRA_OCTREE_ARRAY
#define TESSRA_OCTREE_ARRAY(T, h, d, bytes, tex, allocLine, freeLine, bindLine) void* d = nullptr;
#include "host/octree_arrays.def"
#undef TESSRA_OCTREE_ARRAY
    // What one step of the walk reads, in one 64-byte record per node: (min, leaf offset
    // into contenido or -1), (max, leaf triangle count), children 0-3, children 4-7, the
    // integers stored as float bits. Written to the device a slice at a time, with no
    // host copy: only the walk reads it.
    void* d_nodes = nullptr;
    // Three float4 per entry of contenido (PreparedTriangle; a leaf's count entry holds
    // its group boxes), also device only.
    void* d_leafTris = nullptr;
    // The shadow rays' tree (ShadowBvh): its records and refs, device only.
    uint32_t bvhNodes = 0, bvhRefs = 0;
    void* d_bvhNodes = nullptr;
    void* d_bvhRefs = nullptr;

private:
    void build(uint32_t numTris, CornerView corners, uint32_t maxDepth);
    void upload(CornerView corners, unsigned workers);
    void uploadShadowTree(CornerView corners, uint32_t numTris, unsigned workers);
    void leafGroupBoxes(CornerView corners, size_t leafOffset, float4* out) const;
    void release();

    bool overBudget_ = false;
};

// The separating-axis test of the build (without the triangle-plane axis).
bool triBoxOverlap(const float* bmin, const float* bmax, float3 v0, float3 v1, float3 v2);

// The fixed front-to-back visiting table: row r lists child slots in push order.
extern const uint8_t kTraverseOrder[64];

void SetCudaOctreeTextures(const Octree* octree);

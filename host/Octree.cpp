#include "host/Octree.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "device/intersect.h"
#include "host/internal.h"

const uint8_t kTraverseOrder[64] = {
    7, 6, 5, 3, 4, 2, 1, 0,  //
    6, 7, 4, 2, 3, 5, 0, 1,  //
    5, 7, 4, 1, 6, 3, 0, 2,  //
    4, 5, 6, 0, 7, 2, 1, 3,  //
    3, 7, 1, 2, 6, 5, 0, 4,  //
    2, 3, 6, 0, 7, 4, 1, 5,  //
    1, 5, 3, 0, 7, 4, 2, 6,  //
    0, 4, 2, 1, 6, 5, 3, 7,  //
};

OctreeNode::~OctreeNode() {
    for (OctreeNode*& c : children) {
        delete c;
        c = nullptr;
    }
}

bool triBoxOverlap(const float* bmin, const float* bmax, float3 v0, float3 v1, float3 v2) {
    const float3 v[3] = {v0, v1, v2};
    for (const float3& p : v) {
        if (bmin[0] <= p.x && p.x <= bmax[0] && bmin[1] <= p.y && p.y <= bmax[1] && bmin[2] <= p.z &&
            p.z <= bmax[2])
            return true;
    }
    if (v0.y > bmax[1] && v1.y > bmax[1] && v2.y > bmax[1]) return false;
    if (v0.y < bmin[1] && v1.y < bmin[1] && v2.y < bmin[1]) return false;
    if (v0.x > bmax[0] && v1.x > bmax[0] && v2.x > bmax[0]) return false;
    if (v0.x < bmin[0] && v1.x < bmin[0] && v2.x < bmin[0]) return false;
    if (v0.z > bmax[2] && v1.z > bmax[2] && v2.z > bmax[2]) return false;
    if (v0.z < bmin[2] && v1.z < bmin[2] && v2.z < bmin[2]) return false;

    const float3 h = make_float3((bmax[0] - bmin[0]) * 0.5f, (bmax[1] - bmin[1]) * 0.5f, (bmax[2] - bmin[2]) * 0.5f);
    const float3 c = make_float3((bmax[0] + bmin[0]) * 0.5f, (bmax[1] + bmin[1]) * 0.5f, (bmax[2] + bmin[2]) * 0.5f);
    const float3 a = v0 - c, b = v1 - c, d = v2 - c;
    auto unit = [](float3 e) { return e / std::sqrt(dot(e, e)); };
    const float3 edges[3] = {unit(b - a), unit(d - b), unit(a - d)};
    const float3 axes[3] = {make_float3(1, 0, 0), make_float3(0, 1, 0), make_float3(0, 0, 1)};
    for (const float3& u : axes) {
        for (const float3& e : edges) {
            const float3 ax = cross(u, e);
            const float p0 = dot(ax, a), p1 = dot(ax, b), p2 = dot(ax, d);
            const float r = h.x * std::fabs(ax.x) + h.y * std::fabs(ax.y) + h.z * std::fabs(ax.z);
            // NaN projections (a zero-length edge) never reject, as on the original.
            if (fminf3(p0, p1, p2) > r || -r > fmaxf3(p0, p1, p2)) return false;
        }
    }
    return true;
}

Octree::Octree(uint32_t numTris, const float4* vertices, uint32_t maxDepth) : vertices_(vertices) {
    // No destructor runs for a constructor that throws: what is built so far goes here.
    try {
        build(numTris, vertices, maxDepth);
    } catch (...) {
        release();
        throw;
    }
}

void Octree::build(uint32_t numTris, const float4* vertices, uint32_t maxDepth) {
    if (maxDepth > kMaxDepth) {
        TESSRA_PRINTF("maxOctreeDepth %u is deeper than the traversal supports; using %u.\n", maxDepth, kMaxDepth);
        maxDepth = kMaxDepth;
    }
    float mn[3] = {9999999.0f, 1e9f, 1e11f};
    float mx[3] = {-9999999.0f, -1e9f, -1e11f};
    std::vector<uint32_t> candidates;
    candidates.reserve(numTris);
    for (uint32_t t = 0; t < numTris; ++t) {
        for (int k = 0; k < 3; ++k) {
            const float4& v = vertices[3 * t + k];
            const float c[3] = {v.x, v.y, v.z};
            for (int a = 0; a < 3; ++a) {
                if (c[a] < mn[a]) mn[a] = c[a];
                if (c[a] > mx[a]) mx[a] = c[a];
            }
        }
        candidates.push_back(t);
    }
    // A flat, axis-aligned scene has no extent on one axis, and boxes of zero thickness
    // are never entered by the slab test (tnear equals tfar), so the whole scene would be
    // invisible. Such an axis is widened to a thousandth of the largest extent.
    const float largest = std::fmax(std::fmax(mx[0] - mn[0], mx[1] - mn[1]), mx[2] - mn[2]);
    const float thinnest = largest > 0.0f ? 1e-3f * largest : 1.0f;
    float rootMin[3], rootMax[3];
    for (int a = 0; a < 3; ++a) {
        const float e = std::fmax(mx[a] - mn[a], thinnest);
        rootMin[a] = mn[a] - 1.05f * e;
        rootMax[a] = mx[a] + 1.05f * e;
    }
    maxDeep = 0;
    num_nodos_totales = 0;
    totalContenido = 0;
    depth_ = 0;
    budget_ = budget(numTris);
    root = buildNode(rootMin, rootMax, candidates, maxDepth);
    if (overBudget_) {
        TESSRA_PRINTF("Octree over its budget of %llu nodes and references.\n",
                      static_cast<unsigned long long>(budget_));
        return;
    }
    TESSRA_PRINTF("Max deep: %d\n", int(maxDeep));
    TESSRA_PRINTF("num_nodos_totales: %d\n", int(num_nodos_totales));

    const uint32_t n = num_nodos_totales;
    bounds = new float4[2 * size_t(n)];
    pos = new float4[n];
    contenido = new uint32_t[totalContenido];
    hijos = new int32_t[8 * size_t(n)];
    parents = new int32_t[n];
    offsetsCont = new int32_t[n];
    traverseOrder = new uint8_t[64];
    flattenNode(root);
    parents[0] = -1;
    std::memcpy(traverseOrder, kTraverseOrder, 64);
    nodes = new float4[4 * size_t(n)];
    for (uint32_t i = 0; i < n; ++i) {
        const int32_t off = offsetsCont[i];
        const int32_t count = off >= 0 ? int32_t(contenido[off]) : 0;
        nodes[4 * size_t(i)] = make_float4(xyz(bounds[2 * i]), intBitsToFloat(off));
        nodes[4 * size_t(i) + 1] = make_float4(xyz(bounds[2 * i + 1]), intBitsToFloat(count));
        float4* links = nodes + 4 * size_t(i) + 2;
        for (int s = 0; s < 8; ++s) (&links[s / 4].x)[s % 4] = intBitsToFloat(hijos[8 * i + s]);
    }
    // The leaves' triangles in leaf order, prepared for the ray test, so that a leaf's
    // tests read consecutive memory: four float4 per entry of contenido (the count
    // entries stay zero).
    std::vector<PreparedTriangle> prepared(numTris);
    for (uint32_t t = 0; t < numTris; ++t)
        prepared[t] = prepareTriangle(xyz(vertices[3 * t]), xyz(vertices[3 * t + 1]), xyz(vertices[3 * t + 2]));
    leafTris = new float4[4 * size_t(totalContenido)]();
    for (uint32_t i = 0; i < n; ++i) {
        if (offsetsCont[i] < 0) continue;
        const uint32_t o = uint32_t(offsetsCont[i]);
        for (uint32_t k = 0; k < contenido[o]; ++k) {
            const PreparedTriangle& p = prepared[contenido[o + 1 + k]];
            float4* e = leafTris + 4 * (size_t(o) + 1 + k);
            e[0] = p.a, e[1] = p.b, e[2] = p.c, e[3] = p.d;
        }
    }
    upload();
}

OctreeNode* Octree::buildNode(const float* bmin, const float* bmax, const std::vector<uint32_t>& candidates,
                              uint32_t maxDepth) {
    ++depth_;
    if (depth_ > maxDeep) maxDeep = depth_;
    std::vector<uint32_t> local;
    for (uint32_t t : candidates) {
        const float3 v0 = xyz(vertices_[3 * t]), v1 = xyz(vertices_[3 * t + 1]), v2 = xyz(vertices_[3 * t + 2]);
        if (triBoxOverlap(bmin, bmax, v0, v1, v2)) local.push_back(t);
    }
    spent_ += 1 + local.size();
    if (spent_ > budget_) overBudget_ = true;
    // Held until it is linked in: a child build that throws must not leak it.
    std::unique_ptr<OctreeNode> node(new OctreeNode);
    std::memcpy(node->min, bmin, sizeof(node->min));
    std::memcpy(node->max, bmax, sizeof(node->max));
    node->owner = this;
    node->index = num_nodos_totales++;
    offsets.push_back(totalContenido);
    if (depth_ < maxDepth && local.size() > 18 && !overBudget_) {
        totalContenido += 1;
        const float c[3] = {(bmin[0] + bmax[0]) * 0.5f, (bmin[1] + bmax[1]) * 0.5f, (bmin[2] + bmax[2]) * 0.5f};
        for (int slot = 0; slot < 8; ++slot) {
            // slot = 4 * (z high) + 2 * (x high) + (y low)
            const bool zHigh = slot & 4, xHigh = slot & 2, yLow = slot & 1;
            const float cmin[3] = {xHigh ? c[0] : bmin[0], yLow ? bmin[1] : c[1], zHigh ? c[2] : bmin[2]};
            const float cmax[3] = {xHigh ? bmax[0] : c[0], yLow ? c[1] : bmax[1], zHigh ? bmax[2] : c[2]};
            node->children[slot] = buildNode(cmin, cmax, local, maxDepth);
        }
    } else {
        totalContenido += uint32_t(local.size()) + 1;
        node->triangles = std::move(local);
    }
    --depth_;
    return node.release();
}

void Octree::flattenNode(const OctreeNode* node) {
    if (!node) return;
    const uint32_t i = node->index;
    bounds[2 * i] = make_float4(node->min[0], node->min[1], node->min[2], 0.0f);
    bounds[2 * i + 1] = make_float4(node->max[0], node->max[1], node->max[2], 0.0f);
    pos[i] = make_float4((node->min[0] + node->max[0]) * 0.5f, (node->min[1] + node->max[1]) * 0.5f,
                         (node->min[2] + node->max[2]) * 0.5f, 1.0f);
    const uint32_t o = offsets[i];
    contenido[o] = uint32_t(node->triangles.size());
    for (size_t k = 0; k < node->triangles.size(); ++k) contenido[o + 1 + k] = node->triangles[k];
    bool leaf = true;
    for (int s = 0; s < 8; ++s) {
        const OctreeNode* c = node->children[s];
        if (c) {
            parents[c->index] = int32_t(i);
            hijos[8 * i + s] = int32_t(c->index);
            leaf = false;
        } else {
            hijos[8 * i + s] = -1;
        }
    }
    offsetsCont[i] = leaf ? int32_t(o) : -1;
    for (const OctreeNode* c : node->children) flattenNode(c);
}

void Octree::upload() {
    const size_t n = num_nodos_totales;
    struct Item {
        void** dev;
        const void* host;
        size_t bytes;
        int allocLine;
    };
    const Item items[] = {
        {&d_bounds, bounds, 32 * n, 155},           {&d_pos, pos, 16 * n, 158},
        {&d_contenido, contenido, 4 * size_t(totalContenido), 161},
        {&d_hijos, hijos, 32 * n, 164},             {&d_parents, parents, 4 * n, 167},
        {&d_offsetsCont, offsetsCont, 4 * n, 170}, {&d_traverseOrder, traverseOrder, 64, 173},
        {&d_nodes, nodes, 64 * n, 176},             {&d_leafTris, leafTris, 64 * size_t(totalContenido), 178},
    };
    for (const Item& it : items) {
        TESSRA_CHECK(rt::malloc(it.dev, it.bytes), "Octree", it.allocLine);
        TESSRA_CHECK(rt::memcpyHtoD(*it.dev, it.host, it.bytes), "Octree", it.allocLine + 1);
    }
}

Octree::~Octree() { release(); }

void Octree::release() {
    delete root;
    root = nullptr;
    delete[] bounds;
    delete[] pos;
    delete[] contenido;
    delete[] hijos;
    delete[] parents;
    delete[] offsetsCont;
    delete[] traverseOrder;
    delete[] nodes;
    delete[] leafTris;
    host::freeChecked(d_bounds, "Octree", 189);
    host::freeChecked(d_pos, "Octree", 190);
    host::freeChecked(d_contenido, "Octree", 191);
    host::freeChecked(d_hijos, "Octree", 192);
    host::freeChecked(d_parents, "Octree", 193);
    host::freeChecked(d_offsetsCont, "Octree", 194);
    host::freeChecked(d_traverseOrder, "Octree", 195);
    host::freeChecked(d_nodes, "Octree", 196);
    host::freeChecked(d_leafTris, "Octree", 197);
}

void SetCudaOctreeTextures(const Octree* o) {
    const size_t n = o->num_nodos_totales;
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texBoundsOctree, o->d_bounds, 32 * n), "volumeRender", 2415);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texPosOctree, o->d_pos, 16 * n), "volumeRender", 2416);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texContenido, o->d_contenido, 4 * size_t(o->totalContenido)),
                 "volumeRender", 2417);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texHijosOctree, o->d_hijos, 32 * n), "volumeRender", 2418);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texParentsOctree, o->d_parents, 4 * n), "volumeRender", 2419);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texOffsetsCont, o->d_offsetsCont, 4 * n), "volumeRender", 2420);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texTraverseOrder, o->d_traverseOrder, 64), "volumeRender", 2421);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texNodes, o->d_nodes, 64 * n), "volumeRender", 2422);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texLeafTris, o->d_leafTris, 64 * size_t(o->totalContenido)),
                 "volumeRender", 2423);
}

#include "host/Octree.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "device/intersect.h"
#include "host/bvh.h"
#include "host/internal.h"
#include "host/parallel.h"
#include "runtime/device.h"

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

namespace {

using host::parallelFor;

struct Box {
    float min[3], max[3];
};

Box childBox(const Box& b, int slot) {
    // slot = 4 * (z high) + 2 * (x high) + (y low)
    const float c[3] = {(b.min[0] + b.max[0]) * 0.5f, (b.min[1] + b.max[1]) * 0.5f, (b.min[2] + b.max[2]) * 0.5f};
    const bool zHigh = slot & 4, xHigh = slot & 2, yLow = slot & 1;
    return {{xHigh ? c[0] : b.min[0], yLow ? b.min[1] : c[1], zHigh ? c[2] : b.min[2]},
            {xHigh ? b.max[0] : c[0], yLow ? c[1] : b.max[1], zHigh ? b.max[2] : c[2]}};
}

// A stretch of the depth-first numbering: one inner node of the top levels, whose
// children's lists every worker helped filter, or a whole subtree grown by one worker.
// Flattening places the pieces in the order they were made, which is the depth-first
// order, so that the arrays are those of a build on one thread.
struct Piece {
    Box box;
    uint32_t depth = 0;
    int32_t parent = -1;  // the piece holding the parent node
    bool inner = false;
    uint32_t children[8] = {};      // an inner node's child pieces
    std::vector<uint32_t> local;    // a subtree's root list, until it is grown
    std::vector<uint32_t> sizes;    // a subtree's nodes depth first: nodes below and including each
    std::vector<uint32_t> entries;  // its stretch of contenido
    uint32_t deepest = 0;
    uint32_t firstNode = 0, firstEntry = 0;
};

// Candidate lists are filtered in slices of this many triangles on separate workers.
constexpr size_t kSlice = 1024;

class Builder {
public:
    Builder(CornerView corners, uint32_t numTris, uint32_t maxDepth, unsigned workers, uint64_t budget)
        : corners_(corners), numTris_(numTris), maxDepth_(maxDepth), workers_(std::max(workers, 1u)),
          budget_(budget),
          // Nodes with longer lists are split on the calling thread, so that there are
          // about eight subtrees per worker; one worker grows the whole tree itself.
          splitAbove_(workers_ > 1 ? std::max<size_t>(128, numTris / (8 * workers_)) : SIZE_MAX) {}

    std::vector<Piece> run(const Box& root) {
        std::vector<uint32_t> all;
        sliced(numTris_, 1, &all, [&](size_t first, size_t count, std::vector<uint32_t>* out) {
            for (size_t t = first; t < first + count; ++t)
                if (triBoxOverlap(root.min, root.max, corners_(t, 0), corners_(t, 1), corners_(t, 2)))
                    out->push_back(uint32_t(t));
        });
        account(all.size());
        splitTop(root, 1, std::move(all), -1);
        std::vector<uint32_t> order;
        for (uint32_t i = 0; i < pieces_.size(); ++i)
            if (!pieces_[i].inner) order.push_back(i);
        // The longest lists first, so that no worker starts a large subtree last. Not
        // std::stable_sort, which would swallow a failed allocation of its buffer: the
        // build reports every one.
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            const size_t la = pieces_[a].local.size(), lb = pieces_[b].local.size();
            return la != lb ? la > lb : a < b;
        });
        std::vector<std::vector<std::vector<uint32_t>>> scratch(workers_);
        parallelFor(order.size(), workers_, [&](size_t k, unsigned w) {
            Piece& p = pieces_[order[k]];
            if (scratch[w].empty()) scratch[w].resize(8 * (Octree::kMaxDepth + 1));
            grow(p, p.box, p.depth, p.local, scratch[w]);
            std::vector<uint32_t>().swap(p.local);
        });
        return std::move(pieces_);
    }
    bool overBudget() const { return overBudget_.load(); }

private:
    // Appends each listed triangle to the lists of the children of `box` it meets, in list
    // order. A triangle wholly on one side of a centre plane is rejected by that axis from
    // every child on the other side, so only the children it may meet are tested.
    void childLists(const uint32_t* list, size_t count, const Box& box, std::vector<uint32_t>* out) const {
        Box boxes[8];
        for (int slot = 0; slot < 8; ++slot) boxes[slot] = childBox(box, slot);
        const float3 c = make_float3(boxes[0].max[0], boxes[0].min[1], boxes[0].max[2]);
        // slot = 4 (z high) + 2 (x high) + (y low)
        constexpr unsigned kXHigh = 0xcc, kYLow = 0xaa, kZHigh = 0xf0;
        for (size_t k = 0; k < count; ++k) {
            const float3 v0 = corners_(list[k], 0), v1 = corners_(list[k], 1), v2 = corners_(list[k], 2);
            unsigned slots = 0xff;
            if (v0.x < c.x && v1.x < c.x && v2.x < c.x) slots &= ~kXHigh;
            if (v0.x > c.x && v1.x > c.x && v2.x > c.x) slots &= kXHigh;
            if (v0.y < c.y && v1.y < c.y && v2.y < c.y) slots &= kYLow;
            if (v0.y > c.y && v1.y > c.y && v2.y > c.y) slots &= ~kYLow;
            if (v0.z < c.z && v1.z < c.z && v2.z < c.z) slots &= ~kZHigh;
            if (v0.z > c.z && v1.z > c.z && v2.z > c.z) slots &= kZHigh;
            for (int slot = 0; slot < 8; ++slot)
                if ((slots >> slot) & 1u && triBoxOverlap(boxes[slot].min, boxes[slot].max, v0, v1, v2))
                    out[slot].push_back(list[k]);
        }
    }

    // Fills `outputs` lists from `count` candidates, every worker filling slices of them;
    // each slice's result is appended in slice order, as one pass would write it.
    template <class Fill>
    void sliced(size_t count, int outputs, std::vector<uint32_t>* out, Fill fill) const {
        const size_t slices = std::max<size_t>(1, (count + kSlice - 1) / kSlice);
        std::vector<std::vector<uint32_t>> parts(slices * size_t(outputs));
        parallelFor(slices, workers_, [&](size_t s, unsigned) {
            const size_t first = s * kSlice;
            fill(first, std::min(kSlice, count - std::min(count, first)), &parts[s * size_t(outputs)]);
        });
        for (int b = 0; b < outputs; ++b) {
            size_t total = 0;
            for (size_t s = 0; s < slices; ++s) total += parts[s * size_t(outputs) + size_t(b)].size();
            out[b].reserve(total);
            for (size_t s = 0; s < slices; ++s) {
                std::vector<uint32_t>& part = parts[s * size_t(outputs) + size_t(b)];
                out[b].insert(out[b].end(), part.begin(), part.end());
                std::vector<uint32_t>().swap(part);
            }
        }
    }

    // A node's cost against the budget, counted once it has its list and before it is
    // split. Every node counted is one that the unlimited build also makes, and that
    // build makes all of them, so whether the total passes the budget does not depend
    // on the order the workers count in.
    void account(size_t listed) {
        const uint64_t cost = 1 + listed;
        if (spent_.fetch_add(cost, std::memory_order_relaxed) + cost > budget_) overBudget_ = true;
    }
    bool subdivides(uint32_t depth, size_t listed) const {
        return depth < maxDepth_ && listed > 18 && !overBudget_.load(std::memory_order_relaxed);
    }

    void splitTop(const Box& box, uint32_t depth, std::vector<uint32_t> local, int32_t parent) {
        const uint32_t me = uint32_t(pieces_.size());
        pieces_.emplace_back();
        pieces_[me].box = box, pieces_[me].depth = depth, pieces_[me].parent = parent;
        if (local.size() <= splitAbove_ || !subdivides(depth, local.size())) {
            pieces_[me].local = std::move(local);
            return;
        }
        pieces_[me].inner = true;
        pieces_[me].deepest = depth;
        std::vector<uint32_t> children[8];
        sliced(local.size(), 8, children, [&](size_t first, size_t count, std::vector<uint32_t>* out) {
            childLists(local.data() + first, count, box, out);
        });
        std::vector<uint32_t>().swap(local);
        for (const std::vector<uint32_t>& c : children) account(c.size());
        for (int slot = 0; slot < 8; ++slot) {
            pieces_[me].children[slot] = uint32_t(pieces_.size());
            splitTop(childBox(box, slot), depth + 1, std::move(children[slot]), int32_t(me));
        }
    }

    // The build of one thread, depth first, into the piece's own arrays; scratch[8 d + s]
    // holds the list of child s of the node being grown at depth d.
    void grow(Piece& p, const Box& box, uint32_t depth, const std::vector<uint32_t>& local,
              std::vector<std::vector<uint32_t>>& scratch) {
        p.deepest = std::max(p.deepest, depth);
        const size_t at = p.sizes.size();
        p.sizes.push_back(1);
        if (!subdivides(depth, local.size())) {
            p.entries.push_back(uint32_t(local.size()));
            p.entries.insert(p.entries.end(), local.begin(), local.end());
            return;
        }
        p.entries.push_back(0);
        std::vector<uint32_t>* child = &scratch[8 * size_t(depth)];
        for (int slot = 0; slot < 8; ++slot) child[slot].clear();
        childLists(local.data(), local.size(), box, child);
        for (int slot = 0; slot < 8; ++slot) {
            account(child[slot].size());
            grow(p, childBox(box, slot), depth + 1, child[slot], scratch);
        }
        p.sizes[at] = uint32_t(p.sizes.size() - at);
    }

    CornerView corners_;
    uint32_t numTris_, maxDepth_;
    unsigned workers_;
    uint64_t budget_;
    size_t splitAbove_;
    std::atomic<uint64_t> spent_{0};
    std::atomic<bool> overBudget_{false};
    std::vector<Piece> pieces_;
};

// Writes the pieces into the octree's host arrays at the places the depth-first
// numbering gives them; each piece writes only its own nodes and entries.
class Flattener {
public:
    Flattener(Octree& o, std::vector<Piece>& pieces) : o_(o), pieces_(pieces) {}

    void piece(size_t i) {
        Piece& p = pieces_[i];
        const int32_t parent = p.parent >= 0 ? int32_t(pieces_[p.parent].firstNode) : -1;
        if (p.inner) {
            node(p.firstNode, p.box, parent, p.firstEntry, false);
            o_.contenido[p.firstEntry] = 0;
            for (int s = 0; s < 8; ++s)
                o_.hijos[8 * size_t(p.firstNode) + s] = int32_t(pieces_[p.children[s]].firstNode);
            return;
        }
        std::memcpy(o_.contenido + p.firstEntry, p.entries.data(), 4 * p.entries.size());
        uint32_t entry = p.firstEntry;
        walk(p, 0, p.box, parent, entry);
        std::vector<uint32_t>().swap(p.sizes);
        std::vector<uint32_t>().swap(p.entries);
    }

private:
    void node(uint32_t i, const Box& b, int32_t parent, uint32_t entry, bool leaf) {
        o_.bounds[2 * size_t(i)] = make_float4(b.min[0], b.min[1], b.min[2], 0.0f);
        o_.bounds[2 * size_t(i) + 1] = make_float4(b.max[0], b.max[1], b.max[2], 0.0f);
        o_.pos[i] = make_float4((b.min[0] + b.max[0]) * 0.5f, (b.min[1] + b.max[1]) * 0.5f,
                                (b.min[2] + b.max[2]) * 0.5f, 1.0f);
        o_.parents[i] = parent;
        o_.offsets[i] = entry;
        o_.offsetsCont[i] = leaf ? int32_t(entry) : -1;
    }

    void walk(const Piece& p, uint32_t k, const Box& box, int32_t parent, uint32_t& entry) {
        const uint32_t i = p.firstNode + k;
        const bool leaf = p.sizes[k] == 1;
        node(i, box, parent, entry, leaf);
        int32_t* links = o_.hijos + 8 * size_t(i);
        if (leaf) {
            entry += o_.contenido[entry] + 1;
            for (int s = 0; s < 8; ++s) links[s] = -1;
            return;
        }
        entry += 1;
        uint32_t child = k + 1;
        for (int s = 0; s < 8; ++s) {
            links[s] = int32_t(p.firstNode + child);
            walk(p, child, childBox(box, s), int32_t(i), entry);
            child += p.sizes[child];
        }
    }

    Octree& o_;
    std::vector<Piece>& pieces_;
};

}  // namespace

Octree::Octree(uint32_t numTris, CornerView corners, uint32_t maxDepth) {
    // No destructor runs for a constructor that throws: what is built so far goes here.
    try {
        build(numTris, corners, maxDepth);
    } catch (...) {
        release();
        throw;
    }
}

void Octree::build(uint32_t numTris, CornerView corners, uint32_t maxDepth) {
    if (maxDepth > kMaxDepth) {
        TESSRA_PRINTF("maxOctreeDepth %u is deeper than the traversal supports; using %u.\n", maxDepth, kMaxDepth);
        maxDepth = kMaxDepth;
    }
    float mn[3] = {9999999.0f, 1e9f, 1e11f};
    float mx[3] = {-9999999.0f, -1e9f, -1e11f};
    for (uint32_t t = 0; t < numTris; ++t) {
        for (int k = 0; k < 3; ++k) {
            const float3 v = corners(t, size_t(k));
            const float c[3] = {v.x, v.y, v.z};
            for (int a = 0; a < 3; ++a) {
                if (c[a] < mn[a]) mn[a] = c[a];
                if (c[a] > mx[a]) mx[a] = c[a];
            }
        }
    }
    // A flat, axis-aligned scene has no extent on one axis, and boxes of zero thickness
    // are never entered by the slab test (tnear equals tfar), so the whole scene would be
    // invisible. Such an axis is widened to a thousandth of the largest extent.
    const float largest = std::fmax(std::fmax(mx[0] - mn[0], mx[1] - mn[1]), mx[2] - mn[2]);
    const float thinnest = largest > 0.0f ? 1e-3f * largest : 1.0f;
    Box root;
    for (int a = 0; a < 3; ++a) {
        const float e = std::fmax(mx[a] - mn[a], thinnest);
        root.min[a] = mn[a] - 1.05f * e;
        root.max[a] = mx[a] + 1.05f * e;
    }
    const unsigned workers = std::max(rt::threadCount(), 1u);
    Builder builder(corners, numTris, maxDepth, workers, budget(numTris));
    std::vector<Piece> pieces = builder.run(root);

    uint64_t nodes = 0, entries = 0;
    maxDeep = 0;
    for (Piece& p : pieces) {
        p.firstNode = uint32_t(nodes), p.firstEntry = uint32_t(entries);
        nodes += p.inner ? 1 : p.sizes.size();
        entries += p.inner ? 1 : p.entries.size();
        maxDeep = std::max(maxDeep, p.deepest);
    }
    num_nodos_totales = uint32_t(nodes);
    totalContenido = uint32_t(entries);
    overBudget_ = builder.overBudget();
    if (overBudget_) {
        TESSRA_PRINTF("Octree over its budget of %llu nodes and references.\n",
                      static_cast<unsigned long long>(budget(numTris)));
        return;
    }
    TESSRA_PRINTF("Max deep: %d\n", int(maxDeep));
    TESSRA_PRINTF("num_nodos_totales: %d\n", int(num_nodos_totales));

    const size_t n = num_nodos_totales;
    bounds = new float4[2 * n];
    pos = new float4[n];
    contenido = new uint32_t[totalContenido];
    hijos = new int32_t[8 * n];
    parents = new int32_t[n];
    offsetsCont = new int32_t[n];
    traverseOrder = new uint8_t[64];
    std::memcpy(traverseOrder, kTraverseOrder, 64);
    offsets.resize(n);
    Flattener flattener(*this, pieces);
    parallelFor(pieces.size(), workers, [&](size_t i, unsigned) { flattener.piece(i); });
    pieces = {};
    upload(corners, workers);
    uploadShadowTree(corners, numTris, workers);
}

// A leaf's first entry holds the boxes of its first two groups of kLeafGroup entries
// (min, max, min, max), so that a ray passing beside a group skips its tests. Each box is
// widened far beyond the rounding of a hit's position (and of the box test) and of the
// test's slack at edges: a box may only skip hits there are none of.
void Octree::leafGroupBoxes(CornerView corners, size_t o, float4* out) const {
    const uint32_t count = contenido[o];
    float box[12] = {};  // a group the leaf does not have is never read; it stays zero
    for (uint32_t g = 0; g < 2 && g * kLeafGroup < count; ++g) {
        float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (uint32_t k = g * kLeafGroup; k < std::min(count, (g + 1) * kLeafGroup); ++k)
            for (int c = 0; c < 3; ++c) {
                const float3 v = corners(contenido[o + 1 + k], size_t(c));
                const float p[3] = {v.x, v.y, v.z};
                for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], p[a]), hi[a] = std::max(hi[a], p[a]);
            }
        float extent = 0, magnitude = 0;
        for (int a = 0; a < 3; ++a)
            extent = std::max(extent, hi[a] - lo[a]),
            magnitude = std::max({magnitude, std::fabs(lo[a]), std::fabs(hi[a])});
        const float m = 1e-4f * extent + 1e-5f * magnitude;
        for (int a = 0; a < 3; ++a) box[6 * g + a] = lo[a] - m, box[6 * g + 3 + a] = hi[a] + m;
    }
    for (int f = 0; f < kPreparedFloat4s; ++f)
        out[f] = make_float4(box[4 * f], box[4 * f + 1], box[4 * f + 2], box[4 * f + 3]);
}

void Octree::upload(CornerView corners, unsigned workers) {
    const size_t n = num_nodos_totales, entries = totalContenido;
    const Octree& O = *this;
#define TESSRA_OCTREE_ARRAY(T, h, d, bytes, tex, allocLine, freeLine, bindLine) \
    TESSRA_CHECK(rt::malloc(&d, bytes), "Octree", allocLine);                   \
    TESSRA_CHECK(rt::memcpyHtoD(d, h, bytes), "Octree", allocLine + 1);
#include "host/octree_arrays.def"
#undef TESSRA_OCTREE_ARRAY

    // The walk's node records and prepared triangles are made a stretch at a time into
    // one staging buffer, every worker filling a part, and copied from there, so that
    // neither array is ever whole on the host.
    constexpr size_t kStretch = size_t(1) << 15;  // records of at most four float4 (2 MiB)
    constexpr size_t kParts = 64;
    std::vector<float4> stage(4 * std::min(kStretch, std::max(n, entries)));
    auto stream = [&](void* dev, size_t count, size_t width, int line, auto fill) {
        for (size_t first = 0; first < count; first += kStretch) {
            const size_t m = std::min(kStretch, count - first), part = (m + kParts - 1) / kParts;
            parallelFor(kParts, workers, [&](size_t k, unsigned) {
                const size_t a = std::min(m, k * part), b = std::min(m, a + part);
                if (a < b) fill(stage.data() + width * a, first + a, first + b);
            });
            TESSRA_CHECK(rt::memcpyHtoD(static_cast<float4*>(dev) + width * first, stage.data(), 16 * width * m),
                         "Octree", line);
        }
    };

    TESSRA_CHECK(rt::malloc(&d_nodes, 64 * n), "Octree", __LINE__);
    stream(d_nodes, n, 4, 177, [&](float4* out, size_t a, size_t b) {
        for (size_t i = a; i < b; ++i, out += 4) {
            const int32_t off = offsetsCont[i];
            const int32_t count = off >= 0 ? int32_t(contenido[off]) : 0;
            out[0] = make_float4(xyz(bounds[2 * i]), intBitsToFloat(off));
            out[1] = make_float4(xyz(bounds[2 * i + 1]), intBitsToFloat(count));
            for (int s = 0; s < 8; ++s) (&out[2 + s / 4].x)[s % 4] = intBitsToFloat(hijos[8 * i + s]);
        }
    });

    // The leaves' triangles in leaf order, prepared for the ray test, so that a leaf's
    // tests read consecutive memory. A node's stretch of contenido runs from its offset
    // to the next node's; a leaf's first entry is its count.
    constexpr size_t F = kPreparedFloat4s;
    TESSRA_CHECK(rt::malloc(&d_leafTris, 16 * F * entries), "Octree", __LINE__);
    stream(d_leafTris, entries, F, 179, [&](float4* out, size_t a, size_t b) {
        size_t i = size_t(std::upper_bound(offsets.begin(), offsets.end(), uint32_t(a)) - offsets.begin()) - 1;
        for (size_t e = a; e < b; ++i) {
            const size_t o = offsets[i], end = std::min(b, o + (offsetsCont[i] >= 0 ? contenido[o] + 1 : 1));
            for (; e < end; ++e, out += F) {
                if (e == o) {
                    leafGroupBoxes(corners, o, out);
                    continue;
                }
                const size_t t = contenido[e];
                const PreparedTriangle p =
                    prepareTriangle(corners(t, 0), corners(t, 1), corners(t, 2));
                out[0] = p.a, out[1] = p.b, out[2] = p.c;
            }
        }
    });
}

// The shadow rays' tree reads each triangle's first entry in leaf order; its host arrays
// go once the device has them.
void Octree::uploadShadowTree(CornerView corners, uint32_t numTris, unsigned workers) {
    constexpr size_t F = kPreparedFloat4s;
    std::vector<int32_t> entry(numTris, -1);
    for (size_t i = num_nodos_totales; i-- > 0;) {
        const int32_t o = offsetsCont[i];
        if (o < 0) continue;
        for (uint32_t k = 0; k < contenido[o]; ++k) entry[contenido[o + 1 + k]] = int32_t(F * (o + 1 + k));
    }
    {
        const ShadowBvh bvh = buildShadowBvh(corners, std::move(entry), kBvhMaxDepth, workers);
        bvhNodes = uint32_t(bvh.nodes.size() / kBvhRecord);
        bvhRefs = uint32_t(bvh.refs.size());
        const size_t bytes = sizeof(float4) * bvh.nodes.size();
        TESSRA_CHECK(rt::malloc(&d_bvhNodes, bytes), "Octree", __LINE__);
        TESSRA_CHECK(rt::memcpyHtoD(d_bvhNodes, bvh.nodes.data(), bytes), "Octree", __LINE__);
        TESSRA_CHECK(rt::malloc(&d_bvhRefs, 4 * size_t(bvhRefs)), "Octree", __LINE__);
        TESSRA_CHECK(rt::memcpyHtoD(d_bvhRefs, bvh.refs.data(), 4 * size_t(bvhRefs)), "Octree", __LINE__);
    }
    platform::releaseFreedMemory();
}

Octree::~Octree() { release(); }

void Octree::release() {
#define TESSRA_OCTREE_ARRAY(T, h, d, bytes, tex, allocLine, freeLine, bindLine) delete[] h;
#include "host/octree_arrays.def"
#undef TESSRA_OCTREE_ARRAY
#define TESSRA_OCTREE_ARRAY(T, h, d, bytes, tex, allocLine, freeLine, bindLine) \
    host::freeChecked(d, "Octree", freeLine);
#include "host/octree_arrays.def"
#undef TESSRA_OCTREE_ARRAY
    host::freeChecked(d_nodes, "Octree", 196);
    host::freeChecked(d_leafTris, "Octree", 197);
    host::freeChecked(d_bvhNodes, "Octree", 198);
    host::freeChecked(d_bvhRefs, "Octree", 199);
}
void SetCudaOctreeTextures(const Octree* o) {
    const size_t n = o->num_nodos_totales;
    const Octree& O = *o;
#define TESSRA_OCTREE_ARRAY(T, h, d, bytes, tex, allocLine, freeLine, bindLine) \
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::tex, O.d, bytes), "volumeRender", bindLine);
#include "host/octree_arrays.def"
#undef TESSRA_OCTREE_ARRAY
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texNodes, o->d_nodes, 64 * n), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texLeafTris, o->d_leafTris,
                                 16 * kPreparedFloat4s * size_t(o->totalContenido)),
                 "volumeRender", __LINE__);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texBvhNodes, o->d_bvhNodes, 16 * kBvhRecord * size_t(o->bvhNodes)),
                 "volumeRender", __LINE__);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texBvhRefs, o->d_bvhRefs, 4 * size_t(o->bvhRefs)), "volumeRender",
                 __LINE__);
}

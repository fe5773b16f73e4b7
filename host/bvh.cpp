#include "host/bvh.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "host/parallel.h"

namespace {

// Boxes in steps of 1/65535 of the scene's largest extent from its low corner, rounded
// outwards: 16 bytes a triangle, and integer work in the build's passes. Every box is
// conservative, so the walk's answers do not change; some boxes only grow by a step.
struct Box {
    uint16_t lo[3] = {65535, 65535, 65535}, hi[3] = {0, 0, 0};
    void grow(const Box& b) {
        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], b.lo[a]), hi[a] = std::max(hi[a], b.hi[a]);
    }
    float area() const {
        if (hi[0] < lo[0]) return 0.0f;
        const float x = float(hi[0] - lo[0]), y = float(hi[1] - lo[1]), z = float(hi[2] - lo[2]);
        return x * y + y * z + z * x;
    }
};

struct Prim {
    Box box;
    int32_t ref;
    uint32_t centre(int a) const { return uint32_t(box.lo[a]) + box.hi[a]; }  // twice the centre
};

// The range of the prims' centres (twice, as Prim::centre).
struct Centres {
    uint32_t lo[3] = {~0u, ~0u, ~0u}, hi[3] = {0, 0, 0};
    void grow(const Prim& p) {
        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], p.centre(a)), hi[a] = std::max(hi[a], p.centre(a));
    }
    void grow(const Centres& c) {
        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], c.lo[a]), hi[a] = std::max(hi[a], c.hi[a]);
    }
    int widest() const {
        int axis = 0;
        for (int a = 1; a < 3; ++a)
            if (hi[a] - lo[a] > hi[axis] - lo[axis]) axis = a;
        return axis;
    }
};

// The map between the steps and the scene's coordinates.
struct Grid {
    double origin[3] = {0, 0, 0}, step = 1;
    // The step at or below (low) or at or above v.
    uint16_t toStep(float v, int a, bool low) const {
        const double q = (double(v) - origin[a]) / step;
        return uint16_t(std::clamp(low ? std::floor(q) : std::ceil(q), 0.0, 65535.0));
    }
    // The coordinate of step q on axis a, rounded outwards.
    float toScene(uint16_t q, int a, bool low) const {
        const float v = float(origin[a] + double(q) * step);
        return std::nextafter(v, low ? -INFINITY : INFINITY);
    }
};

constexpr int kBins = 16;
// Subtrees of at most this many triangles are built on their own, in parallel: a fixed
// size, so that the node numbers do not depend on the worker count either.
constexpr uint32_t kSubtree = 1u << 14;

// Records numbered within one part of the tree. The build writes two-child records of
// four float4, (min, index) and (max, count) of each child with ShadowBvh's counts;
// widen turns them into the records of four children that the device reads.
using Nodes = std::vector<float4>;

class TreeBuilder {
public:
    TreeBuilder(std::vector<Prim>& prims, const Grid& grid, uint32_t maxDepth, unsigned workers)
        : prims_(prims), grid_(grid), maxDepth_(maxDepth), workers_(workers) {}

    // A node still to build: [begin, end) at depth, whose entry (two float4) goes to
    // float4 slot of the records, or to the root entry.
    static constexpr uint32_t kRootEntry = ~0u;
    struct Part {
        uint32_t slot, begin, end, depth;
    };

    // Builds the subtree of [begin, end) at depth: its root's entry into root (an inner
    // root's record is out's first), its records into out.
    void build(Nodes& out, uint32_t begin, uint32_t end, uint32_t depth, float4* root) const {
        std::vector<Part> stack{{kRootEntry, begin, end, depth}};
        while (!stack.empty()) {
            const Part t = stack.back();
            stack.pop_back();
            Box box;
            const uint32_t mid = shape(t, box, 1);
            Part kids[2];
            // The right child first on the stack, so that the left is built (and numbered) first.
            if (place(out, t, box, mid, root, kids)) stack.push_back(kids[1]), stack.push_back(kids[0]);
        }
    }

    // The top of the tree over every triangle, level by level, down to the parts of at most
    // kSubtree triangles, whose entries are left unwritten: a level's nodes are split side
    // by side on the workers (a level of one node takes them all for its passes), then
    // numbered in order.
    void buildTop(Nodes& out, std::vector<Part>& parts, float4* root) const {
        std::vector<Part> level{{kRootEntry, 0, uint32_t(prims_.size()), 1}};
        while (!level.empty()) {
            std::vector<Box> boxes(level.size());
            std::vector<uint32_t> mids(level.size());
            if (level.size() == 1) mids[0] = shape(level[0], boxes[0], workers_);
            else
                host::parallelFor(level.size(), workers_,
                                  [&](size_t k, unsigned) { mids[k] = shape(level[k], boxes[k], 1); });
            std::vector<Part> next;
            for (size_t k = 0; k < level.size(); ++k) {
                Part kids[2];
                if (!place(out, level[k], boxes[k], mids[k], root, kids)) continue;
                for (const Part& c : kids) (c.end - c.begin <= kSubtree ? parts : next).push_back(c);
            }
            level = std::move(next);
        }
    }

private:
    bool leaf(const Part& t) const { return t.end - t.begin <= kBvhLeafSize; }

    // Node t's box on `workers`, and where it splits (for an inner node).
    uint32_t shape(const Part& t, Box& box, unsigned workers) const {
        Centres centres;
        bounds(t.begin, t.end, box, centres, workers);
        return leaf(t) ? t.end : split(t.begin, t.end, centres, t.depth, workers);
    }

    // Writes node t's entry, and for an inner node its record, whose children go to kids.
    bool place(Nodes& out, const Part& t, const Box& box, uint32_t mid, float4* root, Part* kids) const {
        auto entry = [&] { return t.slot == kRootEntry ? root : &out[t.slot]; };
        if (leaf(t)) {
            write(entry(), box, t.begin, int32_t(t.end - t.begin));
            return false;
        }
        const uint32_t record = uint32_t(out.size() / 4);
        out.resize(out.size() + 4);
        write(entry(), box, record, 0);
        kids[0] = {4 * record, t.begin, mid, t.depth + 1};
        kids[1] = {4 * record + 2, mid, t.end, t.depth + 1};
        return true;
    }

    // body(a, b, acc) over [begin, end) into one accumulator: for the top's large ranges on
    // the workers in chunks, each into an accumulator of its own merged in chunk order.
    // Minima, maxima and counts merge to the same values whatever the chunks.
    template <typename Acc, typename Body>
    Acc reduce(uint32_t begin, uint32_t end, unsigned workers, const Body& body) const {
        constexpr uint32_t kChunk = 1u << 17;
        const uint32_t chunks = (end - begin + kChunk - 1) / kChunk;
        Acc out;
        if (workers <= 1 || chunks <= 1) {
            body(begin, end, out);
            return out;
        }
        std::vector<Acc> part(chunks);
        host::parallelFor(chunks, workers, [&](size_t k, unsigned) {
            body(begin + uint32_t(k) * kChunk, std::min(end, begin + uint32_t(k + 1) * kChunk), part[k]);
        });
        for (const Acc& p : part) out.merge(p);
        return out;
    }

    struct Extent {
        Box box;
        Centres centres;
        void merge(const Extent& e) { box.grow(e.box), centres.grow(e.centres); }
    };
    struct Bins {
        Box box[kBins];
        uint32_t count[kBins] = {};
        void merge(const Bins& b) {
            for (int k = 0; k < kBins; ++k) box[k].grow(b.box[k]), count[k] += b.count[k];
        }
    };

    // The box and the centres' range of [begin, end).
    void bounds(uint32_t begin, uint32_t end, Box& box, Centres& centres, unsigned workers) const {
        const Extent e = reduce<Extent>(begin, end, workers, [&](uint32_t a, uint32_t b, Extent& x) {
            for (uint32_t i = a; i < b; ++i) x.box.grow(prims_[i].box), x.centres.grow(prims_[i]);
        });
        box = e.box, centres = e.centres;
    }

    // Where [begin, end) splits: by the surface-area heuristic, or in halves by centre
    // where that would leave a side deeper than the walk's stack allows. The tree's shape
    // steers only the walk's speed, never its answer.
    uint32_t split(uint32_t begin, uint32_t end, const Centres& centres, uint32_t depth, unsigned workers) const {
        const uint32_t mid = sahSplit(begin, end, centres, workers);
        if (depth + 1 + levels(mid - begin) <= maxDepth_ && depth + 1 + levels(end - mid) <= maxDepth_) return mid;
        const int axis = centres.widest();
        const auto first = prims_.begin() + begin, half = first + (end - begin) / 2;
        std::nth_element(first, half, prims_.begin() + end, [axis](const Prim& a, const Prim& b) {
            return a.centre(axis) < b.centre(axis) || (a.centre(axis) == b.centre(axis) && a.ref < b.ref);
        });
        return begin + (end - begin) / 2;
    }

    // The levels below a node of n triangles when every split halves.
    static uint32_t levels(uint32_t n) {
        uint32_t l = 0;
        for (uint32_t m = kBvhLeafSize; m < n; m *= 2) ++l;
        return l;
    }

    // The split between bins of the widest centroid axis with the least surface-area cost
    // (binning all three axes found trees no better for shadow rays).
    uint32_t sahSplit(uint32_t begin, uint32_t end, const Centres& centres, unsigned workers) const {
        const int axis = centres.widest();
        const uint32_t lo = centres.lo[axis], extent = centres.hi[axis] - lo, n = end - begin;
        if (extent == 0) return begin + n / 2;  // every centre in one place: halves by index
        const float scale = float(kBins) / float(extent);
        auto binOf = [&](const Prim& p) { return std::min(kBins - 1, int(float(p.centre(axis) - lo) * scale)); };
        const Bins binned = reduce<Bins>(begin, end, workers, [&](uint32_t a, uint32_t b, Bins& x) {
            for (uint32_t i = a; i < b; ++i) {
                const int k = binOf(prims_[i]);
                x.box[k].grow(prims_[i].box);
                ++x.count[k];
            }
        });
        const Box* bins = binned.box;
        const uint32_t* counts = binned.count;
        float rightArea[kBins];
        uint32_t rightCount[kBins];
        Box acc;
        uint32_t c = 0;
        for (int b = kBins - 1; b > 0; --b) {
            acc.grow(bins[b]);
            c += counts[b];
            rightArea[b] = acc.area(), rightCount[b] = c;
        }
        acc = Box();
        c = 0;
        int best = -1;
        float bestCost = INFINITY;
        for (int b = 1; b < kBins; ++b) {
            acc.grow(bins[b - 1]);
            c += counts[b - 1];
            if (c == 0 || rightCount[b] == 0) continue;
            const float cost = acc.area() * float(c) + rightArea[b] * float(rightCount[b]);
            if (cost < bestCost) bestCost = cost, best = b;
        }
        if (best < 0) return begin + n / 2;
        const auto first = prims_.begin() + begin, last = prims_.begin() + end;
        const auto mid = std::partition(first, last, [&](const Prim& p) { return binOf(p) < best; });
        return begin + uint32_t(mid - first);
    }

    // A node's box is widened far beyond the rounding of the box test and of the
    // triangle test's slack at edges, as the octree's leaf groups are: it may only skip
    // hits there are none of.
    void write(float4* entry, const Box& steps, uint32_t index, int32_t count) const {
        float lo[3], hi[3], extent = 0, magnitude = 0;
        for (int a = 0; a < 3; ++a) {
            lo[a] = grid_.toScene(steps.lo[a], a, true), hi[a] = grid_.toScene(steps.hi[a], a, false);
            extent = std::max(extent, hi[a] - lo[a]);
            magnitude = std::max({magnitude, std::fabs(lo[a]), std::fabs(hi[a])});
        }
        const float m = 1e-4f * extent + 1e-5f * magnitude;
        entry[0] = make_float4(lo[0] - m, lo[1] - m, lo[2] - m, intBitsToFloat(int32_t(index)));
        entry[1] = make_float4(hi[0] + m, hi[1] + m, hi[2] + m, intBitsToFloat(count));
    }

    std::vector<Prim>& prims_;
    const Grid& grid_;
    uint32_t maxDepth_;
    unsigned workers_;
};

// The triangles' boxes in the grid of the finite ones' bounds. A triangle with a corner
// that is not finite is never hit (its test's parameter is NaN or zero) and is left out.
std::vector<Prim> primitives(CornerView corners, std::vector<int32_t>& entry, Grid& grid, unsigned workers) {
    constexpr size_t kChunk = size_t(1) << 16;
    const size_t chunks = (entry.size() + kChunk - 1) / kChunk;
    std::vector<float> bounds(6 * chunks);
    std::vector<size_t> counts(chunks + 1, 0);
    host::parallelFor(chunks, workers, [&](size_t c, unsigned) {
        float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (size_t t = c * kChunk; t < std::min(entry.size(), (c + 1) * kChunk); ++t) {
            if (entry[t] < 0) continue;
            float3 v[3];
            bool finite = true;
            for (size_t k = 0; k < 3; ++k) {
                v[k] = corners(t, k);
                finite = finite && std::isfinite(v[k].x) && std::isfinite(v[k].y) && std::isfinite(v[k].z);
            }
            if (!finite) {
                entry[t] = -1;
                continue;
            }
            ++counts[c + 1];
            for (size_t k = 0; k < 3; ++k)
                for (int a = 0; a < 3; ++a)
                    lo[a] = std::min(lo[a], (&v[k].x)[a]), hi[a] = std::max(hi[a], (&v[k].x)[a]);
        }
        for (int a = 0; a < 3; ++a) bounds[6 * c + a] = lo[a], bounds[6 * c + 3 + a] = hi[a];
    });
    double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY}, largest = 0;
    for (size_t c = 0; c < chunks; ++c) {
        counts[c + 1] += counts[c];
        for (int a = 0; a < 3; ++a)
            lo[a] = std::min(lo[a], double(bounds[6 * c + a])), hi[a] = std::max(hi[a], double(bounds[6 * c + 3 + a]));
    }
    std::vector<Prim> prims(counts[chunks]);
    if (prims.empty()) return prims;
    for (int a = 0; a < 3; ++a) grid.origin[a] = lo[a], largest = std::max(largest, hi[a] - lo[a]);
    grid.step = largest > 0 ? largest / 65535.0 : 1.0;
    host::parallelFor(chunks, workers, [&](size_t c, unsigned) {
        size_t i = counts[c];
        for (size_t t = c * kChunk; t < std::min(entry.size(), (c + 1) * kChunk); ++t) {
            if (entry[t] < 0) continue;
            Prim& p = prims[i++];
            for (int a = 0; a < 3; ++a) {
                float l = INFINITY, h = -INFINITY;
                for (size_t k = 0; k < 3; ++k) {
                    const float3 v = corners(t, k);
                    l = std::min(l, (&v.x)[a]), h = std::max(h, (&v.x)[a]);
                }
                p.box.lo[a] = grid.toStep(l, a, true), p.box.hi[a] = grid.toStep(h, a, false);
            }
            p.ref = entry[t];
        }
    });
    return prims;
}

// Two-child records turned into records of four children: from a record's two children,
// the shallowest inner child (the larger by surface area among equals) is replaced by its
// own two until there are four or only leaves, so every inner child lies at least two
// levels down. An inner child that roots a part (part(record, c) >= 0) stays a child, one
// level down, and its index is left for the part's first record (links: which float of
// out, which part). Records are appended to out as they are met, the root's first.
template <typename PartOf>
void widen(const float4* binary, uint32_t root, const PartOf& part, Nodes& out,
           std::vector<std::pair<size_t, int32_t>>* links) {
    struct Child {
        float4 lo, hi;
        uint32_t record, slot, level;  // where the entry lies: child slot of the record
        bool inner() const { return floatBitsToInt(hi.w) == 0; }
        float area() const {
            const float x = hi.x - lo.x, y = hi.y - lo.y, z = hi.z - lo.z;
            return x * y + y * z + z * x;
        }
    };
    auto childOf = [binary](uint32_t r, uint32_t c, uint32_t level) {
        return Child{binary[4 * r + 2 * c], binary[4 * r + 2 * c + 1], r, c, level};
    };
    // (two-child record, the record it becomes)
    std::vector<std::pair<uint32_t, size_t>> todo{{root, out.size() / kBvhRecord}};
    out.resize(out.size() + kBvhRecord);
    while (!todo.empty()) {
        const auto [from, to] = todo.back();
        todo.pop_back();
        Child kids[4] = {childOf(from, 0, 0), childOf(from, 1, 0)};
        uint32_t n = 2;
        while (n < 4) {
            int open = -1;
            for (int k = 0; k < int(n); ++k)
                if (kids[k].inner() && part(kids[k].record, kids[k].slot) < 0 &&
                    (open < 0 || kids[k].level < kids[open].level ||
                     (kids[k].level == kids[open].level && kids[k].area() > kids[open].area())))
                    open = k;
            if (open < 0) break;
            const uint32_t r = uint32_t(floatBitsToInt(kids[open].lo.w)), level = kids[open].level + 1;
            for (int k = int(n); k > open + 1; --k) kids[k] = kids[k - 1];
            kids[open] = childOf(r, 0, level);
            kids[open + 1] = childOf(r, 1, level);
            ++n;
        }
        for (uint32_t c = 0; c < 4; ++c) {
            const Child k = c < n ? kids[c] : Child{make_float4(0, 0, 0, 0), make_float4(0, 0, 0, intBitsToFloat(-1))};
            int32_t index = floatBitsToInt(k.lo.w);
            if (k.inner()) {
                const int32_t p = part(k.record, k.slot);
                if (p >= 0) {
                    links->push_back({4 * (kBvhRecord * to + 6) + c, p});
                } else {
                    index = int32_t(out.size() / kBvhRecord);
                    out.resize(out.size() + kBvhRecord);
                    todo.push_back({uint32_t(floatBitsToInt(k.lo.w)), size_t(index)});
                }
            }
            float4* w = &out[kBvhRecord * to];
            (&w[0].x)[c] = k.lo.x, (&w[1].x)[c] = k.lo.y, (&w[2].x)[c] = k.lo.z;
            (&w[3].x)[c] = k.hi.x, (&w[4].x)[c] = k.hi.y, (&w[5].x)[c] = k.hi.z;
            (&w[6].x)[c] = intBitsToFloat(index), (&w[7].x)[c] = k.hi.w;
        }
    }
}

}  // namespace

ShadowBvh buildShadowBvh(CornerView corners, std::vector<int32_t> entry, uint32_t maxDepth, unsigned workers) {
    workers = std::max(workers, 1u);
    Grid grid;
    std::vector<Prim> prims = primitives(corners, entry, grid, workers);
    entry = {};
    ShadowBvh out;
    const float4 none = make_float4(0, 0, 0, intBitsToFloat(-1));
    const auto noParts = [](uint32_t, uint32_t) { return int32_t(-1); };
    if (prims.empty()) {
        const float4 empty[4] = {none, none, none, none};
        widen(empty, 0, noParts, out.nodes, nullptr);
        return out;
    }
    // The top of the tree here and its parts below kSubtree triangles on the workers, each
    // turned into records of four on its own; the parts' records follow the top's in the
    // order the parts were met.
    const TreeBuilder builder(prims, grid, maxDepth, workers);
    std::vector<TreeBuilder::Part> parts;
    float4 root[2];
    Nodes top;
    builder.buildTop(top, parts, root);
    if (floatBitsToInt(root[1].w) > 0) top = {root[0], root[1], none, none};  // one leaf
    std::vector<Nodes> wide(parts.size());
    std::vector<int32_t> partAt(top.size() / 2, -1);  // two-child entry 2 r + c
    host::parallelFor(parts.size(), workers, [&](size_t k, unsigned) {
        Nodes binary;
        float4* entry = &top[parts[k].slot];
        builder.build(binary, parts[k].begin, parts[k].end, parts[k].depth, entry);
        if (floatBitsToInt(entry[1].w) != 0) return;  // a leaf
        partAt[parts[k].slot / 2] = int32_t(k);
        widen(binary.data(), 0, noParts, wide[k], nullptr);
        wide[k].shrink_to_fit();
    });
    out.refs.resize(prims.size());
    for (size_t i = 0; i < prims.size(); ++i) out.refs[i] = prims[i].ref;
    prims = {};
    std::vector<std::pair<size_t, int32_t>> links;
    widen(top.data(), 0, [&](uint32_t r, uint32_t c) { return partAt[2 * r + c]; }, out.nodes, &links);
    top = {};
    // A part's record r becomes base + r, and so does every inner child it names.
    std::vector<size_t> base(parts.size() + 1, out.nodes.size() / kBvhRecord);
    for (size_t k = 0; k < parts.size(); ++k) base[k + 1] = base[k] + wide[k].size() / kBvhRecord;
    for (const auto& [at, k] : links) (&out.nodes[0].x)[at] = intBitsToFloat(int32_t(base[size_t(k)]));
    out.nodes.resize(kBvhRecord * base[parts.size()]);
    host::parallelFor(parts.size(), workers, [&](size_t k, unsigned) {
        float4* w = &out.nodes[kBvhRecord * base[k]];
        std::copy(wide[k].begin(), wide[k].end(), w);
        wide[k] = {};
        for (size_t r = 0; r < base[k + 1] - base[k]; ++r, w += kBvhRecord)
            for (int c = 0; c < 4; ++c)
                if (floatBitsToInt((&w[7].x)[c]) == 0)
                    (&w[6].x)[c] = intBitsToFloat(floatBitsToInt((&w[6].x)[c]) + int32_t(base[k]));
    });
    return out;
}

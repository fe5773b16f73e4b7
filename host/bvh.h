// The tree that shadow rays walk: a bounding-volume hierarchy over the octree's prepared
// triangles, built at upload beside the octree's arrays. A shadow ray only asks whether
// anything lies before its end, which any triangle answers wherever it is found; the
// octree's cells cut by the scene's box are poor for that in scenes much wider than
// tall (a floor under small objects makes cells twenty times wider than high, and a
// rising ray crosses dozens of them, each listing the same triangles again).
//
// A record holds the boxes of four children as six float4 (min x, y, z and max x, y, z
// of the four, one lane each), then their indices and counts (the integers as float
// bits). A child of count 0 is the inner node of that record, one of count c > 0 a leaf
// of c entries of refs from index (each a triangle's first float4 in texLeafTris), one
// of count -1 nothing. The root's record is the first.
#pragma once

#include <cstdint>
#include <vector>

#include "device/intersect.h"
#include "host/Octree.h"

constexpr uint32_t kBvhLeafSize = 8;  // one eight-lane test a leaf

struct ShadowBvh {
    std::vector<float4> nodes;
    std::vector<int32_t> refs;
};

// entry[t] is triangle t's first float4 in texLeafTris, or -1 where no leaf lists it
// (the octree never hits it, so neither does the tree). The same input gives the same
// arrays on every run. Splits that would leave a subtree deeper than maxDepth halve it
// instead; maxDepth must leave room for halving down to leaves. Built on `workers`
// threads; the arrays do not depend on their number.
ShadowBvh buildShadowBvh(CornerView corners, std::vector<int32_t> entry, uint32_t maxDepth = kBvhMaxDepth,
                         unsigned workers = 1);

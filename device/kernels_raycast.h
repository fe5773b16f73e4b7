// Casts a batch of rays, one thread per ray: nearest hits through intersectOctree, any
// hits through occluded, as the renderer casts them. Tests compare it against brute
// force and across backends; benchmarks measure its throughput. Rays are two float4
// each: (origin, maximum distance) and (unit direction, unused).
#pragma once

#include "device/defs.h"
#include "device/intersect.h"

// Output pointers may be null; a found flag is always written. The hit fields are
// written for every ray (zero where nothing was hit) so that results compare byte for
// byte between runs.
TESSRA_DEVICE void cast_rays(Lane t, const float4* rays, unsigned int numRays, bool anyHit,
                             unsigned char* outFound, int* outTriangle, float* outDistance, float4* outPosition,
                             float4* outNormal, float2* outBarycentric) {
    const unsigned int i = t.x();
    if (i >= numRays) return;
    const float4 a = rays[2 * i], b = rays[2 * i + 1];
    Ray ray;
    ray.o = xyz(a);
    ray.d = xyz(b);
    OctreeHit h = noHit();
    if (!anyHit) h = intersectOctree(ray, a.w, false);
    else h.found = occluded(ray, a.w);
    outFound[i] = h.found ? 1 : 0;
    if (outTriangle) outTriangle[i] = h.found ? int(h.triangle) : -1;
    if (outDistance) outDistance[i] = h.distance;
    if (outPosition) outPosition[i] = make_float4(h.position, 0.0f);
    if (outNormal) outNormal[i] = make_float4(h.normal, 0.0f);
    if (outBarycentric) outBarycentric[i] = h.barycentric;
}

// Shadow rays through shaftBlocks, one thread per shaft: shaft s is four float4 (P, the
// light rectangle's centre, its two half edges) and owns rays s * perShaft to
// (s + 1) * perShaft - 1, laid out as cast_rays reads them. Writes whether each ray is
// stopped, and each shaft's candidate count (-1 where its rays walked the octree).
TESSRA_DEVICE void cast_shaft_rays(Lane t, const float4* shafts, unsigned int numShafts, const float4* rays,
                                   unsigned int perShaft, unsigned char* outBlocked, int* outCandidates) {
    const unsigned int s = t.x();
    if (s >= numShafts) return;
    const ShadowShaft shaft =
        shadowShaft(xyz(shafts[4 * s]), xyz(shafts[4 * s + 1]), xyz(shafts[4 * s + 2]), xyz(shafts[4 * s + 3]));
    outCandidates[s] = shaft.count;
    for (unsigned int k = s * perShaft; k < (s + 1) * perShaft; ++k) {
        Ray ray;
        ray.o = xyz(rays[2 * k]);
        ray.d = xyz(rays[2 * k + 1]);
        outBlocked[k] = shaftBlocks(&shaft, ray, rays[2 * k].w) ? 1 : 0;
    }
}

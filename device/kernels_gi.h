// Global-illumination kernels: photon emission and bouncing, the kd-tree k-nearest
// search, density estimation, final-gather record placement and the irradiance cache.
#pragma once

#include "device/defs.h"
#include "device/intersect.h"
#include "device/lights.h"

// ---------------------------------------------------------------------------------
// k-nearest search over the kd-tree bound to the five kd-tree references.
//
// The kept entries form a max-heap over their slots, ordered by key and, among equal
// keys, by arrival, so that the worst entry is at the top: the later of two equal keys
// goes first, as it would from the right of a search tree. (A search tree was the first
// form; the walk meets records roughly nearest first, so it grew into a chain that every
// insertion walked.) An entry holds its key and the record's index in a slot that stays
// put while the heap moves; whatever a gather needs of the record is read from the tree
// once the search is done. Keys stay in single precision: a half-precision key loses the
// radius of a small scene (millimetre distances are subnormal halves) and half-precision
// colours overflow to infinity on a bright one, which is where non-numbers in the image
// came from.

template <int K>
struct KnnList {
    float key[K];
    int record[K];
    unsigned int arrival[K];
    short heap[K];
    unsigned int count;
    unsigned int arrived;
    float maxKey;
};

// Whether slot a's entry is worse than slot b's.
template <int K>
TESSRA_HD bool worseEntry(const KnnList<K>& l, int a, int b) {
    return l.key[a] > l.key[b] || (l.key[a] == l.key[b] && l.arrival[a] > l.arrival[b]);
}

// Writes an entry into a slot and moves the slot from heap place h to where it belongs.
template <int K>
TESSRA_HD void placeEntry(KnnList<K>& l, int slot, unsigned int h, float key, int record) {
    l.key[slot] = key;
    l.record[slot] = record;
    l.arrival[slot] = l.arrived++;
    while (h > 0) {
        const unsigned int up = (h - 1) / 2;
        if (!worseEntry(l, slot, l.heap[up])) break;
        l.heap[h] = l.heap[up];
        h = up;
    }
    for (;;) {
        unsigned int c = 2 * h + 1;
        if (c >= l.count) break;
        if (c + 1 < l.count && worseEntry(l, l.heap[c + 1], l.heap[c])) ++c;
        if (!worseEntry(l, l.heap[c], slot)) break;
        l.heap[h] = l.heap[c];
        h = c;
    }
    l.heap[h] = short(slot);
    l.maxKey = l.key[l.heap[0]];
}

// Keeps a candidate: in a free slot while there is one, else in place of the worst entry
// unless its key is larger.
template <int K>
TESSRA_HD void keepEntry(KnnList<K>& l, float key, int record) {
    if (l.count < unsigned(K)) {
        const unsigned int h = l.count++;
        placeEntry(l, int(h), h, key, record);
    } else if (!(key > l.maxKey)) {
        placeEntry(l, l.heap[0], 0u, key, record);
    }
}

// Ellipsoidal distance of a photon at X from the query (P, N): photons in or below the
// tangent plane count at about their distance, photons towards the normal grow without
// bound. A photon exactly at P has no direction; it gets a non-number key and is never
// a candidate, as on the device.
TESSRA_HD float ellipsoidalDistance(float3 X, float3 P, float3 N) {
    const float3 v = X - P;
    const float d = length(v);
    const float c = maxf(minf(dot(N, v * fastRcp(d)), 1.0f), 0.01f);
    return d * fastRsqrt(fastSqrt(1.0f - c));
}

TESSRA_DEVICE bool kdTreeIsEmpty() { return SYM.texKDTreeHijos.count == 0; }

// The search rules: key and candidate test of each use. A key above `bound` would not be
// kept, so a rule may refuse it before its other tests. `reaches` tells whether a subtree
// whose largest scalar is `largest` may hold a candidate at distance a or more: the
// irradiance cache's records and the precomputed estimates reach only as far as some
// multiple of their scalar.
//
// A photon's position carries in w the pass that stored it (0 for the first hits, 1
// after one bounce, ...); a search counts the photons of pass firstPass and later.
struct PhotonSearch {
    float range;
    float firstPass;
    TESSRA_DEVICE bool candidate(int i, float3 P, float3 N, float& key, float bound) const {
        const float4 x = tex1Dfetch(SYM.texKDTreePhotonPos, i);
        if (x.w < firstPass) return false;
        // The key is never below the plain distance: a photon farther than the bound (by
        // more than rounding) is refused before the key's roots.
        const float3 v = xyz(x) - P;
        const float limit = minf(bound, range) * 1.0001f;
        if (dot(v, v) > limit * limit) return false;
        key = ellipsoidalDistance(xyz(x), P, N);
        return key < range;
    }
    TESSRA_DEVICE bool reaches(float, float) const { return true; }
};

// Ward's error of record i at (P, N), over the cache's accuracy: the record is valid
// where it is below 1. Its distance scale R is the harmonic mean distance, clamped on
// the host to the footprint of a few pixels and to the neighbours' scales. A record
// facing away, or in front of the point (the point behind the record's tangent plane,
// as under the edge of a box), is never valid: its light is not the point's.
TESSRA_DEVICE float recordError(int i, float3 P, float3 N, float& d) {
    const DeviceSymbols& S = SYM;
    const float3 v = P - xyz(tex1Dfetch(S.texKDTreePhotonPos, i));
    const float3 n = xyz(tex1Dfetch(S.texKDTreePhotonDir, i));
    d = length(v);
    const float R = tex1Dfetch(S.texHarmMeanDistFG, i);
    const float c = dot(N, n);
    if (!(R > 0.0f) || !(c > 0.0f) || dot(v, N + n) < -0.1f * R) return INFINITY;
    // Over the accuracy a = 1 / FG_record_density; without a density every record serves.
    return (d / R + fastSqrt(maxf(1.0f - c, 0.0f))) * maxf(S.c_FG_record_density, 0.0f);
}

// Records valid at the query, nearest first. A record is valid no farther than its
// scale times the accuracy's inverse.
struct FGSearch {
    float range;
    TESSRA_DEVICE bool candidate(int i, float3 P, float3 N, float& key, float) const {
        return recordError(i, P, N, key) < 1.0f && key < range;
    }
    TESSRA_DEVICE bool reaches(float a, float largest) const {
        const float density = SYM.c_FG_record_density;
        return !(density > 0.0f) || a * density < largest;
    }
};

// How much a valid record with error e counts: falling to zero at the edge of its
// validity, so that the interpolated light is continuous where a record enters or leaves
// the set, and bounded at the record, so that records leave no dots.
TESSRA_HD float recordWeight(float e) {
    const float w = maxf(1.0f - e, 0.0f);
    return w * w;
}

// A search's queue holds a node in the low 30 bits and its plane's axis (its depth
// modulo 3) above them.
constexpr unsigned int kKdNodeBits = 30;
TESSRA_HD unsigned int kdEntry(int node, unsigned int axis) { return unsigned(node) | axis << kKdNodeBits; }
TESSRA_HD int kdNode(unsigned int entry) { return int(entry & ((1u << kKdNodeBits) - 1u)); }

// Node e's plane against the query: its signed distance, and the children on the
// query's side and on the other.
struct KdSplit {
    float side;
    int nearChild, farChild;
    float farLargest;  // the largest scalar under the far child
    unsigned int childAxis;
};
TESSRA_DEVICE_INLINE KdSplit kdSplit(unsigned int e, float3 P) {
    const DeviceSymbols& S = SYM;
    const int s = kdNode(e);
    const unsigned int a = e >> kKdNodeBits;
    // The plane passes through the node's record across its axis, so the record, which
    // the search reads anyway, gives its distance bit for bit as the plane's own array
    // would (a unit axis and -n.p): one line fewer to read per node.
    const float4 x = tex1Dfetch(S.texKDTreePhotonPos, s);
    const int4 ch = tex1Dfetch(S.texKDTreeHijos, s);
    const float side = a == 0 ? P.x - x.x : a == 1 ? P.y - x.y : P.z - x.z;
    const unsigned int next = a == 2 ? 0u : a + 1u;
    // The query's own side first. (A margin of 0.001 scene units sent queries near a
    // plane to the other side first, and in a millimetre-sized scene the far-side test
    // then skipped their own neighbourhood.)
    return side < 0.0f ? KdSplit{side, ch.x, ch.y, intBitsToFloat(ch.w), next}
                       : KdSplit{side, ch.y, ch.x, intBitsToFloat(ch.z), next};
}

// Pushes the path from node s (of plane axis a) down to a leaf, choosing the query's
// side at each plane.
TESSRA_DEVICE_INLINE void kdDescend(int s, unsigned int a, float3 P, unsigned int* queue, unsigned int& top) {
    while (s >= 0) {
        // A median-split tree stays far below 32 levels; a deeper path is cut here
        // rather than overrunning the stack.
        if (top >= 32) return;
        const unsigned int e = kdEntry(s, a);
        queue[top++] = e;
        const KdSplit k = kdSplit(e, P);
        s = k.nearChild;
        a = k.childAxis;
    }
}

// The K records nearest to (P, N) by the rule's key. Returns the number kept; the
// list holds them with their keys, and maxKey is the largest key kept. With First the
// walk ends at the first record that passes the rule (kdTreeAny).
template <int K, typename Rule, bool First = false>
TESSRA_DEVICE unsigned int kdTreeKNearest(float3 P, float3 N, const Rule& rule, KnnList<K>& l) {
    l.count = 0;
    l.arrived = 0;
    l.maxKey = -1e10f;
    // An empty tree binds empty references, which read as zero: there is nothing to
    // search, and a zero child index would send the walk round node 0 for ever.
    if (kdTreeIsEmpty()) return 0;
    unsigned int kdtreeQueue[32];
    unsigned int top = 0;
    kdDescend(0, 0u, P, kdtreeQueue, top);
    while (top > 0) {
        const unsigned int e = kdtreeQueue[--top];
        const int i = kdNode(e);
        float key;
        if (rule.candidate(i, P, N, key, l.count < unsigned(K) ? INFINITY : l.maxKey)) {
            keepEntry(l, key, i);
            if (First) break;
        }
        const KdSplit k = kdSplit(e, P);
        const float a = fabsf(k.side);
        if (k.farChild >= 0 && a < rule.range && (l.count < unsigned(K) || a < l.maxKey) &&
            rule.reaches(a, k.farLargest))
            kdDescend(k.farChild, k.childAxis, P, kdtreeQueue, top);
    }
    return l.count;
}

// Whether any record passes the rule: the nearest search's walk, ended by the first one
// (the search would go on comparing them).
template <typename Rule>
TESSRA_DEVICE bool kdTreeAny(float3 P, float3 N, const Rule& rule) {
    KnnList<1> l;
    return kdTreeKNearest<1, Rule, true>(P, N, rule, l) > 0;
}

// Irradiance estimate from the photons kept: the colours of those on a surface like the
// query's over the disc that holds them all. Every kept photon widens the disc. With a
// full list the disc reaches the farthest photon kept; with fewer than K every photon
// in range was found, so the disc is the whole search range: the farthest of a few
// photons would make a disc too small, and one photon near the query a value without
// bound.
// The density estimate's constant factor.
#define TESSRA_DENSITY_FACTOR 1.27f

// Whether photon i lies on a surface facing like the query's normal N.
TESSRA_DEVICE bool photonFacesLike(float3 N, int i) {
    return dot(N, xyz(tex1Dfetch(SYM.texKDTreePhotonDir, i))) > 0.5f;
}

template <int K>
TESSRA_DEVICE float3 photonDensity(const KnnList<K>& l, float3 N, float range, float* radius = nullptr) {
    const float r = l.count < unsigned(K) ? range : l.maxKey;
    if (radius) *radius = r;
    if (l.count == 0) return make_float3(0, 0, 0);
    const DeviceSymbols& S = SYM;
    float3 sum = make_float3(0, 0, 0);
    for (unsigned int e = 0; e < l.count; ++e) {
        const int i = l.record[e];
        if (photonFacesLike(N, i)) sum += xyz(tex1Dfetch(S.texKDTreePhotonCol, i));
    }
    // A zero radius (every photon kept sits on the query) spreads light over no area.
    if (!(r > 0.0f)) return make_float3(0, 0, 0);
    return sum * fastRcp(r * r * TESSRA_PI) * TESSRA_DENSITY_FACTOR;
}

// The light of the photons of pass firstPass and later on a surface like the query's,
// within `outer` of (P, N) and within `inner`: sums of all of them, without a list.
TESSRA_DEVICE void photonRangeSums(float3 P, float3 N, float firstPass, float inner, float outer, float3& in,
                                   float3& out) {
    in = out = make_float3(0, 0, 0);
    if (kdTreeIsEmpty()) return;
    PhotonSearch s;
    s.range = outer;
    s.firstPass = firstPass;
    unsigned int queue[32];
    unsigned int top = 0;
    kdDescend(0, 0u, P, queue, top);
    while (top > 0) {
        const unsigned int e = queue[--top];
        const int i = kdNode(e);
        float d;
        if (s.candidate(i, P, N, d, outer) && photonFacesLike(N, i)) {
            const float3 c = xyz(tex1Dfetch(SYM.texKDTreePhotonCol, i));
            out += c;
            if (d < inner) in += c;
        }
        const KdSplit k = kdSplit(e, P);
        if (k.farChild >= 0 && fabsf(k.side) < outer) kdDescend(k.farChild, k.childAxis, P, queue, top);
    }
}

TESSRA_DEVICE float3 photonEstimate(float3 P, float3 N, float firstPass, float* radius = nullptr,
                                    unsigned int* found = nullptr) {
    PhotonSearch s;
    s.range = SYM.c_photonSearchDistance;
    s.firstPass = firstPass;
    KnnList<40> l;
    kdTreeKNearest(P, N, s, l);
    if (found) *found = l.count;
    return photonDensity(l, N, s.range, radius);
}

// The estimate a camera hit shows: forty photons leave a pixel's light some 16 % off, so
// where forty were found the disc that held them is widened to twice its radius (four
// times the photons). Where the wider disc reaches a brighter or darker patch (a lit
// floor inside a thin shade, a shadow's edge) its light departs from the disc half its
// area, and that one is taken, or the forty photons' estimate where even it departs.
TESSRA_DEVICE float3 widePhotonEstimate(float3 P, float3 N, float firstPass) {
    float r;
    unsigned int n;
    const float3 E = photonEstimate(P, N, firstPass, &r, &n);
    if (n < 40 || !(r > 0.0f)) return E;
    const float outer = 2.0f * r, inner = 1.41421356f * r, tolerance = 0.3f;
    float3 wide, half;
    photonRangeSums(P, N, firstPass, inner, outer, half, wide);
    wide = wide * (fastRcp(outer * outer * TESSRA_PI) * TESSRA_DENSITY_FACTOR);
    half = half * (fastRcp(inner * inner * TESSRA_PI) * TESSRA_DENSITY_FACTOR);
    const float e = mean3(E), h = mean3(half);
    if (fabsf(mean3(wide) - h) < tolerance * h) return wide;
    return fabsf(h - e) < tolerance * e ? half : E;
}

// ---------------------------------------------------------------------------------
// Photon emission and bouncing.

// Where and in which direction light L emits a photon with the given sample numbers,
// the density of that choice and the light's power.
TESSRA_DEVICE void emitFromLight(const LightSample& L, float h2, float h3, float h5, float h7, float3& O, float3& D,
                                 float& p, float3& power) {
    float3 P = L.pos;
    power = L.color * L.intensity;
    switch (L.kind) {
        case LIGHT_SPOT_CIRCLE: {
            const float c = cosf(L.spot.x * 0.5f * TESSRA_PI / 180.0f);
            const float ct = c * (1.0f - h2) + h2;
            const float st = fastSqrt(maxf(0.0f, 1.0f - ct * ct));
            const float phi = TESSRA_2PI * h3;
            O = P;
            D = -(L.U * (cosf(phi) * st) + L.V * (sinf(phi) * st) + L.A * ct);
            p = fastRcp((1.0f - c) * TESSRA_2PI);
            return;
        }
        case LIGHT_OMNI:
        case LIGHT_OMNI_SPHERE: {
            if (L.kind == LIGHT_OMNI_SPHERE && L.lambert) {
                // From anywhere on the sphere, with the cosine to its normal: the same power
                // as the point's, so the same density.
                const float z = 1.0f - 2.0f * h2, r = fastSqrt(maxf(0.0f, 1.0f - z * z)), phi = TESSRA_2PI * h3;
                const float3 n = make_float3(r * cosf(phi), r * sinf(phi), z);
                O = P + n * L.radius;
                D = sampleCosineHemisphere(n, h5, h7);
                p = 0.0795775f;
                return;
            }
            if (L.kind == LIGHT_OMNI_SPHERE) P.z += L.radius;
            const float ct = 1.0f - 2.0f * h2;
            const float st = fastSqrt(maxf(0.0f, 1.0f - ct * ct));
            const float phi = TESSRA_2PI * h3;
            O = P;
            D = make_float3(cosf(phi) * st, sinf(phi) * st, ct);
            p = 0.0795775f;
            return;
        }
        case LIGHT_RECT: {
            O = P + L.U * ((h2 - 0.5f) * L.spot.z) + L.V * ((h3 - 0.5f) * L.spot.w);
            if (L.lambert) {
                // Intensity I cos about the light's direction sends pi I: the cosine's density is cos / pi.
                D = sampleCosineHemisphere(normalize(L.A), h5, h7);
                p = 1.0f / TESSRA_PI;
                return;
            }
            const float ct = 1.0f - 2.0f * h5;
            const float st = fastSqrt(maxf(0.0f, 1.0f - ct * ct));
            const float phi = TESSRA_2PI * h7;
            D = make_float3(cosf(phi) * st, sinf(phi) * st, ct);
            if (dot(D, normalize(cross(L.U, L.V))) < 0.0f) D = -D;
            p = 0.1607627f;
            return;
        }
        case LIGHT_DIR_CIRCLE:
        case LIGHT_DIR_RECT: {
            const float s = L.spot.x;
            // The square prism lights |a|, |b| <= s on its axes: its photons start over
            // that whole square, not over the quarter of it that (h - 0.5) s covers.
            const float2 xy = L.kind == LIGHT_DIR_CIRCLE ? concentricSampleDisk(2.0f * h2 - 1.0f, 2.0f * h3 - 1.0f)
                                          : make_float2(2.0f * h2 - 1.0f, 2.0f * h3 - 1.0f);
            O = P + L.U * (s * xy.x) + L.V * (s * xy.y);
            D = -L.A;
            p = fastRcp((0.5f * s) * (0.5f * s * TESSRA_PI));
            return;
        }
        default:
            // No emission rule: the photon still takes its share of the count and
            // carries nothing.
            O = make_float3(0, 0, 0);
            D = make_float3(1, 1, 1);
            p = 1.0f;
            power = make_float3(0, 0, 0);
            return;
    }
}

// A photon of the world: a direction over the whole sphere and a start on the disc of
// the scene's bounding sphere that faces it. With radiance c / pi from every direction
// (which shows colour c on a white surface open to it), the flux across the disc is
// 4 pi r^2 c, shared by the photons.
TESSRA_DEVICE void emitFromWorld(float h2, float h3, float h5, float h7, float3& O, float3& D, float3& flux) {
    const float4 sphere = SYM.c_worldSphere;
    if (SYM.c_worldImageSize.x == 0) {
        const float ct = 1.0f - 2.0f * h2;
        const float st = fastSqrt(maxf(0.0f, 1.0f - ct * ct));
        const float phi = TESSRA_2PI * h3;
        D = make_float3(cosf(phi) * st, sinf(phi) * st, ct);
        flux = SYM.c_envColor * (2.0f * TESSRA_2PI * sphere.w * sphere.w);
    } else {
        // An image sends photons from the directions it is bright in: radiance c / pi
        // over the disc's area pi r^2, divided by the density of the direction.
        float pdf;
        float3 c;
        D = -sampleWorldImage(h3, h2, pdf, c);
        flux = pdf > 0.0f ? c * (sphere.w * sphere.w / pdf) : make_float3(0, 0, 0);
    }
    const float2 xy = concentricSampleDisk(2.0f * h5 - 1.0f, 2.0f * h7 - 1.0f);
    const float3 T = tangentOf(D), B = cross(D, T), C = xyz(sphere);
    O = C + (T * xy.x + B * xy.y - D) * sphere.w;
}

// A photon of the emitting surfaces: a triangle chosen by power, a point spread over it,
// a face, and a cosine-distributed direction from it. A triangle of radiance L and area A
// sends out pi L A from each face, which is L A in the direct pass's units.
TESSRA_DEVICE void emitFromSurfaces(int q, float h2, float h3, float h5, float h7, float3& O, float3& D,
                                    float3& flux) {
    float rest;
    const Emitter e = chooseEmitter(halton(q, 11), rest);
    const float3 X = emitterPoint(e, h2, h3), c = cross(e.e1, e.e2);
    const float twiceArea = length(c);
    const float3 n = c * (halton(q, 19) < 0.5f ? 1.0f : -1.0f) * fastRcp(twiceArea);
    D = sampleCosineHemisphere(n, h5, h7);
    O = X + n * rayOffset(X);
    // Over the choice of triangle (pmf), face (1/2) and point (1/A): 2 L A / pmf.
    flux = e.radiance * (twiceArea * fastRcp(e.pmf));
}

// What the surface a ray hit reflects diffusely: its diffuse colour and its coat's mean.
TESSRA_DEVICE float3 hitDiffuse(const OctreeHit& h) {
    const int m = tex1Dfetch(SYM.texTriMatID, int(h.triangle));
    const float c = layerMeanAlbedo(m);
    return diffuseColor(m, triangleTexCoords(h.triangle, h.barycentric)) + make_float3(c, c, c);
}

// A photon on a mirror, glossy or glass layer goes on through it with the chance of the
// layer's share, as a path of the path tracer does, and rests on the diffuse rest (at
// most four layers deep). Returns the power factor of the layers passed, zero when the
// photon died or left the scene; h becomes where it rests, D its last direction, and
// viaLayer tells whether a layer sent it there. The numbers come from the photon's own.
TESSRA_DEVICE float3 throughLayers(OctreeHit& h, float3& D, unsigned int seed, bool& viaLayer) {
    float3 factor = make_float3(1, 1, 1);
    viaLayer = false;
    // Without caustics a photon rests where it lands, whatever the layers there.
    if (!SYM.c_caustics) return factor;
    for (unsigned int depth = 0;; ++depth) {
        const int m = tex1Dfetch(SYM.texTriMatID, int(h.triangle));
        const LayerShares w = layerShares(m);
        if (w.caps.y <= 0 && w.caps.z <= 0) return factor;
        const float pRefl = depth < 4 ? mean3(w.refl) : 0.0f, pRefr = depth < 4 ? mean3(w.refr) : 0.0f;
        const unsigned int key = mixBits(seed ^ (depth * 0x9e3779b9u));
        const float u = unitFromBits(key);
        if (!(u < pRefl + pRefr)) {
            const float pDiff = 1.0f - pRefl - pRefr;
            return pDiff > 0.0f ? factor * w.diffuse * fastRcp(pDiff) : make_float3(0, 0, 0);
        }
        const bool refract = !(u < pRefl);
        // A layer whose caustics are off takes its share of the light with it.
        if (!(SYM.c_caustics & (refract ? 2 : 1))) return make_float3(0, 0, 0);
        factor = factor * (refract ? w.refr * fastRcp(pRefr) : w.refl * fastRcp(pRefl));
        const unsigned int k2 = mixBits(key + 0x632be5abu);
        const float u1 = unitFromBits(k2), u2 = unitFromBits(mixBits(k2));
        Ray ray;
        ray.d = layerSampleDirection(D, h.normal, refract, layerGloss(w, m, refract), u1, u2);
        ray.o = h.position + ray.d * rayOffset(h.position);
        h = intersectOctree(ray, 999999.9f, false);
        if (!h.found) return make_float3(0, 0, 0);
        D = ray.d;
        viaLayer = true;
    }
}

// A photon's key for throughLayers: its number and its pass.
TESSRA_DEVICE unsigned int photonSeed(unsigned int i, unsigned int pass) {
    return mixBits(i * 0x85ebca6bu + pass * 0xc2b2ae35u + 0x27d4eb2fu);
}

// Emits photon number q (from 1) and follows it to where it rests, into slot i of the
// outputs, with inv its share of the light's power. A caustics round keeps only the
// photons that a layer sent.
TESSRA_DEVICE void emitPhoton(unsigned int i, int q, float inv, bool causticsOnly, float4* out_photons_pos,
                              float4* out_photons_dir, float4* out_photons_col, float4* out_normals_at_photon_pos,
                              unsigned int numLights, float2 rands) {
    const DeviceSymbols& S = SYM;
    const float h9 = halton(q, 9), h2 = halton(q, 2), h3 = halton(q, 3), h5 = halton(q, 5), h7 = halton(q, 7);
    // numLights counts, after the lights, the world when it lights the scene and then the
    // emitting triangles (one share for all of them) when there are any.
    const unsigned int l = f2u(float(numLights) * clampf(hashRand(rands.x, h9), 0.0f, 0.99f));
    const bool surfaces = S.c_numEmitters > 0 && l + 1 == numLights;
    const bool world = S.c_worldLight && l + 1 + (S.c_numEmitters > 0 ? 1u : 0u) == numLights;
    float3 O, D, power;
    float p = 1.0f, d = 1.0f;
    if (surfaces) {
        emitFromSurfaces(q, h2, h3, h5, h7, O, D, power);
    } else if (world) {
        emitFromWorld(h2, h3, h5, h7, O, D, power);
    } else {
        const LightSample L = fetchLight(l);
        emitFromLight(L, h2, h3, h5, h7, O, D, p, power);
        d = L.decayStart;
        // Balanced, a cone's or a beam's photons fade towards its edge as its direct
        // light does; their power factor makes up for the mean fade.
        if (S.c_balancedPhotons && L.kind != LIGHT_RECT && L.kind != LIGHT_OMNI && L.kind != LIGHT_OMNI_SPHERE) {
            float f;
            power = lightFalloff(L, O, -D, f) ? power * f : make_float3(0, 0, 0);
        }
    }
    Ray ray;
    ray.o = O;
    ray.d = D;
    OctreeHit h = intersectOctree(ray, 999999.9f, false);
    bool viaLayer = false;
    const float3 through =
        h.found ? throughLayers(h, D, photonSeed(unsigned(q - 1), 0), viaLayer) : make_float3(0, 0, 0);
    if (!h.found || !(mean3(through) > 0.0f) || (causticsOnly && !viaLayer)) {
        out_photons_pos[i] = make_float4(0, 0, 0, 0);
        return;
    }
    const float3 A = hitDiffuse(h) * through;
    // The lights' photons take the scene's energy factor; the flux of the world and of the
    // emitting surfaces is already in the direct pass's units and only loses the density
    // estimate's factor.
    const float energy = world || surfaces ? 1.0f / TESSRA_DENSITY_FACTOR
                                           : S.c_photonEnergy * tex1Dfetch(S.texLightsPhotonScale, int(l));
    const float3 col = power * (d * d) * (float(numLights) / p) * energy * A * inv;
    // A photon that a layer sent is marked (w 2): the camera's hits gather those apart.
    out_photons_pos[i] = make_float4(h.position, viaLayer ? 2.0f : 1.0f);
    out_photons_dir[i] = make_float4(D, 1.0f);
    out_photons_col[i] = make_float4(col, inv);
    out_normals_at_photon_pos[i] = make_float4(faceForward(h.normal, D), 1.0f);
}

TESSRA_DEVICE void cast_photons(Lane t, float4* out_photons_pos, float4* out_photons_dir, float4* out_photons_col,
                                unsigned int numLights, float2 rands, float3 rands01,
                                float4* out_normals_at_photon_pos, unsigned int photon_offset) {
    (void)rands01;
    const unsigned int i = photon_offset + t.x();
    if (int(i) >= SYM.c_maxPhotons || i >= 0x7fffffffu) return;
    emitPhoton(i, int(i) + 1, fastRcp(float(SYM.c_maxPhotons)), false, out_photons_pos, out_photons_dir,
               out_photons_col, out_normals_at_photon_pos, numLights, rands);
}

// One more round of c_maxPhotons photons, numbered after those of the rounds before,
// each with inv of the power: the rounds of a scene that few photons light twice (a room
// lit through a window), and the caustics' rounds, which keep only the photons a layer
// sent (few photons of the cast reach the caustics).
TESSRA_DEVICE void cast_photon_round(Lane t, float4* out_photons_pos, float4* out_photons_dir, float4* out_photons_col,
                                     float4* out_normals_at_photon_pos, unsigned int numLights, float2 rands,
                                     unsigned int photon_offset, unsigned int round, float inv, int causticsOnly) {
    const unsigned int i = photon_offset + t.x();
    if (int(i) >= SYM.c_maxPhotons) return;
    emitPhoton(i, int(i) + 1 + int(round) * SYM.c_maxPhotons, inv, causticsOnly != 0, out_photons_pos,
               out_photons_dir, out_photons_col, out_normals_at_photon_pos, numLights, rands);
}

TESSRA_DEVICE void bounce_photons(Lane t, float4* out_photons_pos, float4* out_photons_dir, float4* out_photons_col,
                                  float4* in_photons_pos, float4* in_photons_dir, float4* in_photons_col,
                                  unsigned int numLights, float2 rands, float3 rands01,
                                  float4* out_normals_at_photon_pos, unsigned int irebote,
                                  unsigned int photon_offset, unsigned int round) {
    (void)in_photons_dir;
    (void)numLights;
    (void)rands01;
    const DeviceSymbols& S = SYM;
    const unsigned int i = photon_offset + t.x();
    if (int(i) >= S.c_maxPhotons || i >= 0x7fffffffu) return;
    // The photon's number, from 0: the slot in the round's cast.
    const unsigned int number = i + round * unsigned(S.c_maxPhotons);
    const float4 inPos = in_photons_pos[i];
    if (inPos.w < 0.5f) return;
    out_photons_pos[i] = make_float4(0, 0, 0, 0);
    const float3 power = xyz(in_photons_col[i]);
    const float3 N = xyz(out_normals_at_photon_pos[i]);
    float u1, u2;
    if (irebote == 0) {
        const int q = int(number) + 1;
        u1 = halton(q, 13);
        u2 = halton(q, 17);
    } else {
        u1 = hashRand(float(irebote) * rands.x, float(number) + rands.y);
        u2 = hashRand(float(irebote) * rands.y, float(number) + rands.x);
    }
    // The stored normal faces the side the photon arrived on, so it leaves from there.
    Ray ray;
    ray.d = sampleCosineHemisphere(N, u1, u2);
    ray.o = xyz(inPos) + N * rayOffset(xyz(inPos));
    OctreeHit h = intersectOctree(ray, 999999.9f, false);
    if (!h.found) return;
    bool viaLayer = false;
    float3 D = ray.d;
    const float3 through = throughLayers(h, D, photonSeed(number, irebote + 1), viaLayer);
    if (!(mean3(through) > 0.0f)) return;
    out_photons_pos[i] = make_float4(h.position, viaLayer ? 2.0f : 1.0f);
    out_photons_dir[i] = make_float4(D, 1.0f);
    out_photons_col[i] = make_float4(power * hitDiffuse(h) * through, 1.0f);
    out_normals_at_photon_pos[i] = make_float4(faceForward(h.normal, D), 1.0f);
}

// ---------------------------------------------------------------------------------
// Photon gathers.

TESSRA_DEVICE void estimatePhotonMap_ss(Lane t, const ScreenView& screen, unsigned int imageW, unsigned int imageH,
                                        unsigned int xoffset, unsigned int yoffset, unsigned int renderViewWidth,
                                        float ambientLightIntens, float2 rands) {
    (void)renderViewWidth;
    (void)rands;
    const unsigned int x = xoffset + t.x(), y = yoffset + t.y();
    if (x >= imageW || y >= imageH) return;
    const unsigned int k = y * imageW + x;
    const float4 P = screen.ssPos[k];
    if (P.w < 0.5f) return;
    const float3 N = faceForward(xyz(screen.ssNormals[k]), xyz(P) - xyz(screen.ssEyePos[k]));
    const float3 E = SYM.c_widePhotonEstimate ? widePhotonEstimate(xyz(P), N, SYM.c_photonGatherFrom)
                                              : photonEstimate(xyz(P), N, SYM.c_photonGatherFrom);
    screen.ssColor[k] += make_float4(E * ambientLightIntens, 1.0f);
}

// A cosine-weighted ray from a final-gather record, lifted off its surface.
TESSRA_DEVICE Ray gatherRay(float3 P, float3 N, float2 rands) {
    Ray ray;
    ray.d = sampleCosineHemisphere(N, rands.x, rands.y);
    ray.o = P + N * rayOffset(P);
    return ray;
}

// A record's irradiance gradients (Ward and Heckbert): six float4 per record, the
// rotation gradient of red, green and blue, then their translation gradients, in xyz.
// The irradiance at (P, N) near record i is then
//   E_i + (n_i x N) . Gr + (P - x_i) . Gt.
// Rotation: a cosine-distributed sample along w with cos t = n . w adds L (n x w) / cos t.
// Translation, per sample: the light of a patch at distance r seen at angle t falls as
// cos t / r^2, which grows by 3 sin t / r per unit step towards it along the surface.
// Cosines are bounded below and distances by the record's scale, so that grazing or very
// near samples cannot dominate.
TESSRA_DEVICE void addGradientSample(float4* g, float3 N, float3 w, float r, float rMin, float3 L) {
    const float c = maxf(dot(N, w), 0.05f);
    const float3 rot = cross(N, w) * fastRcp(c);
    const float3 tan = (w - N * dot(N, w)) * (r < INFINITY ? 3.0f * fastRcp(maxf(r, rMin)) : 0.0f);
    const float Lc[3] = {L.x, L.y, L.z};
    for (int ch = 0; ch < 3; ++ch) {
        g[ch] += make_float4(rot * Lc[ch], 0.0f);
        g[3 + ch] += make_float4(tan * Lc[ch], 0.0f);
    }
}

// The photon map's irradiance estimate at every stride-th photon of the photon tree
// (Christensen 1999), so that a gather ray reads the nearest one instead of searching
// forty photons: the search was nine tenths of final gather's time.
TESSRA_DEVICE void precompute_irradiance(Lane t, unsigned int first, unsigned int last, unsigned int stride,
                                         float4* positions, float4* normals, float4* out) {
    const unsigned int k = first + t.x();
    if (k >= last) return;
    const size_t i = size_t(k) * stride;
    float radius;
    const float3 E = photonEstimate(xyz(positions[i]), xyz(normals[i]), 0.0f, &radius);
    out[k] = make_float4(E, radius);
}

// The nearest precomputed estimate on a surface facing like the query's and lying in
// its tangent plane, within four times the photon search distance (where photons are
// sparse a ray finding none would read darkness) and within the estimate's own reach
// (w of its position). A parallel surface a little behind or in front (the other wall of
// a thin shell, lit inside) is not the query's. The walk is EstimateTree's: the query's
// side of each plane first, the other side while it may hold a nearer estimate that
// reaches the query; of equal distances the first met is kept.
TESSRA_DEVICE float3 precomputedEstimate(float3 P, float3 N) {
    const DeviceSymbols& S = SYM;
    const unsigned int m = S.texEstimatePos.count;
    if (m == 0) return make_float3(0, 0, 0);
    const unsigned int inner = S.texEstimateNodes.count;
    const unsigned long long leaves = inner + 1ull;
    const float thickness = 0.25f * S.c_photonSearchDistance;
    float best = 4.0f * S.c_photonSearchDistance;
    int found = -1;
    unsigned int stack[32];
    float stackDistance[32];
    unsigned int top = 0, node = 0;
    for (;;) {
        while (node < inner) {
            const float4 split = tex1Dfetch(S.texEstimateNodes, int(node));
            const int axis = floatBitsToInt(split.y);
            const float side = (axis == 0 ? P.x : axis == 1 ? P.y : P.z) - split.x;
            const unsigned int left = 2 * node + 1;
            const float a = fabsf(side);
            // The stack never holds more than the tree's levels (at most 30); the bound
            // keeps a corrupt tree from overrunning it.
            if (a < best && a <= (side < 0.0f ? split.w : split.z) && top < 32) {
                stack[top] = side < 0.0f ? left + 1 : left;
                stackDistance[top++] = a;
            }
            node = side < 0.0f ? left : left + 1;
        }
        const unsigned long long j = node - inner;
        const unsigned int last = unsigned(((j + 1) * m) / leaves);
        for (unsigned int i = unsigned((j * m) / leaves); i < last; ++i) {
            const float4 x = tex1Dfetch(S.texEstimatePos, int(i));
            const float3 v = xyz(x) - P;
            // Most estimates lie beyond the nearest found (by more than rounding):
            // neither their distance's root nor their normal is needed.
            const float d2 = dot(v, v), limit = best * 1.0001f;
            if (d2 > limit * limit) continue;
            const float d = fastSqrt(d2);
            if (!(d < best) || d > x.w || fabsf(dot(N, v)) > thickness) continue;
            if (!(dot(N, xyz(tex1Dfetch(S.texEstimateDir, int(i)))) > 0.7f)) continue;
            best = d;
            found = int(i);
        }
        do {
            if (top == 0) return found < 0 ? make_float3(0, 0, 0) : xyz(tex1Dfetch(S.texEstimateCol, found));
            node = stack[--top];
        } while (!(stackDistance[top] < best));
    }
}

// Whether photons rest on the surface of triangle t: with caustics a pure mirror or clear
// glass passes every one on, and the estimate nearest to it would be a neighbour's light.
TESSRA_DEVICE bool keepsPhotons(unsigned int t) {
    if (!SYM.c_caustics) return true;
    const LayerShares w = layerShares(tex1Dfetch(SYM.texTriMatID, int(t)));
    return (w.caps.y <= 0 && w.caps.z <= 0) || mean3(w.diffuse) > 0.0f;
}

TESSRA_DEVICE void estimatePhotonMap_FG(Lane t, unsigned int first, unsigned int last, float4* normals,
                                        float4* positions, float ambientLightIntens, float4* lightAccum,
                                        float4* lightNorm, unsigned int numIters, float2 rands, float4* gradAccum,
                                        float4* gradNorm, const unsigned int* rays) {
    const unsigned int k = first + t.x();
    if (k >= last || (rays && numIters > rays[k - first])) return;
    const float3 P = xyz(positions[k]);
    const float3 N = xyz(normals[k]);
    const Ray ray = gatherRay(P, N, rands);
    const OctreeHit h = intersectOctree(ray, 999999.9f, false);
    float3 L;
    if (h.found) {
        // The directions are cosine-distributed, so the plain mean of what they see is
        // the irradiance: weighting each by the cosine again counted it twice. The
        // photons counted are those on the side the ray arrives at.
        L = keepsPhotons(h.triangle)
                ? precomputedEstimate(h.position, faceForward(h.normal, ray.d)) * ambientLightIntens
                : make_float3(0, 0, 0);
    } else {
        // A world that lights the scene reaches the record through the direct pass.
        L = SYM.c_worldLight ? make_float3(0, 0, 0) : worldRadiance(ray.d);
    }
    // w sums the squares of the rays' mean light: the host reads how much they disagree.
    const float4 sum = lightAccum[k];
    const float3 acc = xyz(sum) + L;
    lightAccum[k] = make_float4(acc, sum.w + mean3(L) * mean3(L));
    const float inv = fastRcp(float(numIters));
    lightNorm[k] = make_float4(acc * inv, 1.0f);
    float4* g = gradAccum + 6 * size_t(k);
    const float rMin = 0.5f * tex1Dfetch(SYM.texHarmMeanDistFG, int(k));
    addGradientSample(g, N, normalize(ray.d), h.found ? h.distance : INFINITY, rMin, L);
    for (int j = 0; j < 6; ++j) gradNorm[6 * size_t(k) + j] = g[j] * inv;
}

// The light of valid records, each extrapolated to the point by its gradients and
// weighted by how well it is valid there. Returns the number of records used.
TESSRA_DEVICE unsigned int interpolateRecords(float3 P, float3 N, float3& E) {
    FGSearch s;
    s.range = SYM.c_fgMaxRadius;
    KnnList<32> l;
    E = make_float3(0, 0, 0);
    if (kdTreeKNearest(P, N, s, l) == 0) return 0;
    const DeviceSymbols& S = SYM;
    float W = 0.0f;
    float3 Q = make_float3(0, 0, 0);
    // With the list full, the records beyond the farthest kept one are left out: each
    // record's weight falls to zero towards that distance too, so that the light stays
    // continuous where one record takes another's place in the list.
    const float cut = l.count == 32u ? l.maxKey : INFINITY;
    for (unsigned int e = 0; e < l.count; ++e) {
        const int i = l.record[e];
        float d;
        const float w = recordWeight(recordError(i, P, N, d)) * (cut < INFINITY ? maxf(1.0f - d / cut, 0.0f) : 1.0f);
        const float3 x = xyz(tex1Dfetch(S.texKDTreePhotonPos, i));
        const float3 n = xyz(tex1Dfetch(S.texKDTreePhotonDir, i));
        const float3 Ei = xyz(tex1Dfetch(S.texKDTreePhotonCol, i));
        const float3 axis = cross(n, N), step = P - x;
        // Over its reach a record's translation may change its light by half at most: the
        // gradient is a first-order guess, and a steep one turned into ridges where it
        // met its neighbours' (Krivanek et al.'s gradient limiting).
        const float density = S.c_FG_record_density;
        const float reach = tex1Dfetch(S.texHarmMeanDistFG, i) * (density > 0.0f ? fastRcp(density) : 1.0f);
        float c[3] = {Ei.x, Ei.y, Ei.z};
        for (int ch = 0; ch < 3; ++ch) {
            const float3 gr = xyz(tex1Dfetch(S.texFGGradients, 6 * i + ch));
            const float3 gt = xyz(tex1Dfetch(S.texFGGradients, 6 * i + 3 + ch));
            const float g = length(gt) * reach, limit = 0.5f * c[ch];
            const float t = g > limit ? limit / g : 1.0f;
            c[ch] = clampf(c[ch] + dot(axis, gr) + t * dot(step, gt), 0.0f, 3.0f * c[ch]);
        }
        W += w;
        Q += make_float3(c[0], c[1], c[2]) * w;
    }
    if (!(W > 0.0f)) return 0;
    E = Q * fastRcp(W);
    return l.count;
}

TESSRA_DEVICE void estimatePhotonMap_FromFG(Lane t, unsigned int imageW, unsigned int imageH, const ScreenView& screen,
                                            unsigned int xoffset, unsigned int yoffset, unsigned int renderViewWidth,
                                            float ambientLightIntens, float2 rands2) {
    (void)renderViewWidth;
    (void)rands2;
    const unsigned int x = xoffset + t.x(), y = yoffset + t.y();
    if (x >= imageW || y >= imageH) return;
    const unsigned int k = y * imageW + x;
    if (screen.maskFG[k] == 0) return;
    const float4 P4 = screen.ssPos[k];
    if (P4.w < 0.5f) return;
    const float3 P = xyz(P4), N = faceForward(xyz(screen.ssNormals[k]), P - xyz(screen.ssEyePos[k]));
    const int tri = screen.ssTriID[k], m = tex1Dfetch(SYM.texTriMatID, tri);
    const float layer = layerAlbedo(m, dot(N, normalize(xyz(screen.ssEyePos[k]) - P)));
    const float3 A =
        diffuseColor(m, triangleTexCoords(unsigned(tri), screen.ssUVs[k])) + make_float3(layer, layer, layer);
    float3 E;
    if (interpolateRecords(P, N, E) == 0) {
        storeSharedFlag(screen.needsGI, 1);
        screen.maskFG[k] = 1;
        return;
    }
    screen.ssColor[k] += make_float4(A * ambientLightIntens * E, 1.0f);
    screen.maskFG[k] = 0;
}

// The normal of a camera hit for the irradiance cache: facing the camera.
TESSRA_DEVICE float3 cameraFacing(float3 P, float3 N) { return faceForward(N, P - SYM.c_eyePos); }

// Whether a pixel would find a final-gather record to interpolate: the test of
// estimatePhotonMap_FromFG without the interpolation. Resolved pixels clear their mask;
// the others keep it and raise the tile's flag, so that records are placed for them
// before any tile is shaded.
TESSRA_DEVICE void find_fg_records_ss(Lane t, unsigned int imageW, unsigned int imageH, const ScreenView& screen) {
    const unsigned int x = t.x(), y = t.y();
    if (x >= imageW || y >= imageH) return;
    const unsigned int k = y * imageW + x;
    if (screen.maskFG[k] == 0) return;
    const float4 P = screen.ssPos[k];
    if (P.w < 0.5f) return;
    FGSearch s;
    s.range = SYM.c_fgMaxRadius;
    if (!kdTreeAny(xyz(P), cameraFacing(xyz(P), xyz(screen.ssNormals[k])), s)) {
        storeSharedFlag(screen.needsGI, 1);
        return;
    }
    screen.maskFG[k] = 0;
}

// ---------------------------------------------------------------------------------
// Final-gather record placement.

// Pixels without a surface never take indirect light, so they never receive a record:
// a record there would sit at whatever the screen buffer holds (the origin) with a zero
// normal.
TESSRA_DEVICE void init_irradiance_cache_records(Lane t, unsigned int imageW, unsigned int imageH,
                                                 const ScreenView& screen, float4* out_fg_pos, float4* out_fg_normal,
                                                 unsigned int fg_spacing) {
    const unsigned int x = t.x(), y = t.y();
    if (x >= imageW || y >= imageH) return;
    const unsigned int p = y * imageW + x;
    if (screen.maskFG[p] == 0) return;
    const float4 P = screen.ssPos[p];
    if (x % fg_spacing == 0 && y % fg_spacing == 0 && P.w > 0.5f) {
        out_fg_pos[p] = make_float4(xyz(P), 1.0f);
        out_fg_normal[p] = make_float4(cameraFacing(xyz(P), xyz(screen.ssNormals[p])), 1.0f);
    } else {
        out_fg_pos[p] = make_float4(0, 0, 0, 0);
        out_fg_normal[p] = make_float4(0, 0, 0, 0);
    }
}

TESSRA_DEVICE void calculate_irradiance_cache_records(Lane t, unsigned int imageW, unsigned int imageH,
                                                      const ScreenView& screen, unsigned int xoffset,
                                                      unsigned int yoffset, float4* out_fg_pos, float4* out_fg_normal,
                                                      unsigned int fg_spacing) {
    const unsigned int x = t.x() + xoffset, y = t.y() + yoffset;
    if (x >= imageW || y >= imageH) return;
    const unsigned int p = y * imageW + x;
    if (screen.maskFG[p] == 0) return;
    if (out_fg_normal[p].w > 0.5f) return;
    const float4 P4 = screen.ssPos[p];
    if (x % fg_spacing != 0 || y % fg_spacing != 0 || !(P4.w > 0.5f)) {
        out_fg_normal[p] = make_float4(0, 0, 0, 0);
        out_fg_pos[p] = make_float4(0, 0, 0, 0);
        return;
    }
    // A candidate becomes a record where the valid records around it weigh too little
    // together; on the finest spacings only where none is valid at all, so that every
    // pixel ends with a record to interpolate.
    const float3 P = xyz(P4), N = cameraFacing(P, xyz(screen.ssNormals[p]));
    FGSearch s;
    s.range = SYM.c_fgMaxRadius;
    bool place;
    if (fg_spacing >= 4) {
        KnnList<8> l;
        kdTreeKNearest(P, N, s, l);
        float S = 0.0f;
        for (unsigned int e = 0; e < l.count; ++e) {
            float d;
            S += recordWeight(recordError(l.record[e], P, N, d));
        }
        place = S < 0.5f;
    } else {
        place = !kdTreeAny(P, N, s);
    }
    if (place) {
        out_fg_pos[p] = make_float4(P, 1.0f);
        out_fg_normal[p] = make_float4(N, 1.0f);
    } else {
        out_fg_pos[p] = make_float4(0, 0, 0, 0);
        out_fg_normal[p] = make_float4(0, 0, 0, 0);
    }
}

TESSRA_DEVICE void calculate_harmonic_distances(Lane t, unsigned int numFG, float4* positions, float4* normals,
                                                float* outHarmMean, float* outHarmAccum, unsigned int* harmSamples,
                                                float2 rands) {
    const unsigned int k = t.x();
    if (k >= numFG) return;
    const float3 P = xyz(positions[k]);
    const float3 N = xyz(normals[k]);
    const Ray ray = gatherRay(P, N, rands);
    const OctreeHit h = intersectOctree(ray, 999999.9f, false);
    if (!h.found) return;
    const float3 v = h.position - P;
    harmSamples[k] += 1;
    outHarmAccum[k] += fastRsqrt(dot(v, v));
    outHarmMean[k] = float(harmSamples[k]) / outHarmAccum[k];
}

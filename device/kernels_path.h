// Path tracing: every camera ray continues as unbiased paths through the renderer's own
// light models and materials. At each vertex the direct light of every light comes from
// one of its sample points chosen at random (the direct pass averages all of them), the
// mirror, glossy and glass layers are followed with the probability of their share, and
// the diffuse rest bounces cosine-distributed about the side the path arrived on. In the
// renderer's units a surface shows its diffuse colour times the irradiance it receives,
// so a bounce carries the diffuse colour and the mean of what its paths find, as the
// final gather does. A background that only feeds the gathers is seen by the diffuse rays
// that escape and not by mirror rays, as the reflection passes do; a world that lights the
// scene is sampled at every vertex and seen by the mirror rays.
#pragma once
// Read through kernels_screen.h, whose light sample it shares.

#include "device/defs.h"
#include "device/intersect.h"
#include "device/lights.h"

// The sample numbers of one path: the first dimensions from the Halton point of the
// sample's number, turned per ray (Cranley and Patterson), so that a ray's samples spread
// evenly and neighbouring rays do not share a pattern; later dimensions hashed.
struct PathSampler {
    unsigned int seed, sample, dim;
    TESSRA_DEVICE float next() {
        const unsigned int d = dim++;
        const float shift = unitFromBits(mixBits(seed ^ (d * 0x9e3779b9u + 0x632be5abu)));
        float u;
        if (d < 12) {
            const int primes[12] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
            u = halton(int(sample) + 1, primes[d]) + shift;
            u -= floorf(u);
        } else {
            u = unitFromBits(mixBits(seed ^ mixBits(sample * 0x68bc21ebu + d)));
        }
        return minf(u, 0.99999994f);
    }
};

// One path from a camera hit; what it brings back to the pixel.
TESSRA_DEVICE float3 tracePath(OctreeHit h, float3 eye, unsigned int numlights, char shadowMode,
                               unsigned int lightSubDivs, unsigned int bounces, float ambientLightIntens,
                               PathSampler& rng) {
    const DeviceSymbols& S = SYM;
    float3 D = normalize(h.position - eye);
    float3 beta = make_float3(1, 1, 1), L = make_float3(0, 0, 0);
    unsigned int diffuseLeft = bounces, specularLeft = 4;
    bool viaSpecular = false;
    for (bool primary = true;; primary = false) {
        const int m = tex1Dfetch(S.texTriMatID, int(h.triangle));
        // Emission reaches diffuse surfaces through their light samples, and the camera
        // through the emission pass; a mirror or glass shows it.
        if (viaSpecular && S.c_numEmitters > 0) L += beta * xyz(tex1Dfetch(S.texMatEmission, m));
        const LayerShares w = layerShares(m);
        const float3 Nf = faceForward(h.normal, D);

        LitSurface s;
        s.P = h.position;
        // The first hit is lit exactly as the direct pass lights it (highlight included);
        // later hits as photons light them; all on the side the path arrived on.
        s.N = Nf;
        s.V = D;
        s.Kd = diffuseColor(m, triangleTexCoords(h.triangle, h.barycentric));
        s.spec = primary ? tex1Dfetch(S.texMatSpec, m) : make_float4(0, 0, 0, 0);
        // The specular layer reflects what the first hit gathers, as final gather's records
        // do; later, the photons' mean share.
        s.layer = primary ? layerAlbedo(m, -dot(Nf, D)) : 0.0f;
        if (!primary) {
            const float c = layerMeanAlbedo(m);
            s.Kd += make_float3(c, c, c);
        }
        float3 direct = make_float3(0, 0, 0);
        for (unsigned int il = 0; il < numlights; ++il) {
            const LightSample l = fetchLight(il);
            const unsigned int n = (l.kind == LIGHT_OMNI_SPHERE || l.kind == LIGHT_RECT) ? lightSubDivs : 1u;
            const unsigned int si = f2u(rng.next() * float(n)), sj = f2u(rng.next() * float(n));
            direct += lightSampleColour(s, si < n ? si : n - 1, sj < n ? sj : n - 1, n, numlights, shadowMode, l);
        }
        if (S.c_worldLight) {
            const float u1 = rng.next(), u2 = rng.next();
            direct += worldSampleColour(s, u1, u2, S.c_worldImageSize.x != 0 && rng.next() < 0.5f, shadowMode);
        }
        if (S.c_numEmitters > 0) {
            const float u0 = rng.next();
            direct += emitterSampleColour(s, u0, rng.next(), shadowMode);
        }
        L += beta * w.diffuse * direct;

        const float pRefl = specularLeft ? mean3(w.refl) : 0.0f, pRefr = specularLeft ? mean3(w.refr) : 0.0f;
        const float pDiff = diffuseLeft ? mean3(w.diffuse) : 0.0f;
        const float total = pRefl + pRefr + pDiff;
        if (!(total > 0.0f)) break;
        const float u = rng.next() * total;
        Ray ray;
        bool diffuse = false;
        if (u < pRefl || u < pRefl + pRefr) {
            const bool refract = !(u < pRefl);
            const float gloss = layerGloss(w, m, refract);
            const float u1 = gloss < 0.0f ? 0.0f : rng.next(), u2 = gloss < 0.0f ? 0.0f : rng.next();
            ray.d = layerSampleDirection(D, h.normal, refract, gloss, u1, u2);
            ray.o = h.position + ray.d * rayOffset(h.position);
            beta = beta * (refract ? w.refr : w.refl) * (total / (refract ? pRefr : pRefl));
            --specularLeft;
        } else {
            ray.d = sampleCosineHemisphere(Nf, rng.next(), rng.next());
            ray.o = h.position + Nf * rayOffset(h.position);
            beta = beta * w.diffuse * (s.Kd + make_float3(s.layer, s.layer, s.layer)) *
                   (ambientLightIntens * total / pDiff);
            --diffuseLeft;
            diffuse = true;
        }
        h = intersectOctree(ray, 10000000.0f, false);
        if (!h.found) {
            // A world that lights the scene came in through the light samples of the
            // last vertex, except where a mirror or glass shows it; a background that
            // only feeds the gathers is seen by diffuse rays alone.
            if (diffuse != bool(S.c_worldLight)) L += beta * worldRadiance(ray.d);
            break;
        }
        viaSpecular = !diffuse;
        D = normalize(ray.d);
    }
    return L;
}

// Adds samples paths of each camera hit of rows firstRow on, each weighted 1 / total:
// the host launches the samples in fixed chunks, so a pixel's sum is formed in one
// order whatever the worker count.
TESSRA_DEVICE void path_trace_ss(Lane t, unsigned int width, unsigned int height, unsigned int firstRow,
                                 unsigned int numlights, char shadowMode, const ScreenView& screen,
                                 unsigned int firstSample, unsigned int samples, unsigned int totalSamples,
                                 unsigned int bounces, unsigned int lightSubDivs, float ambientLightIntens) {
    const unsigned int x = t.x(), y = firstRow + t.y();
    if (x >= width || y >= height) return;
    const unsigned int p = y * width + x;
    const float4 P = screen.ssPos[p];
    if (P.w < 0.5f) return;
    OctreeHit h = noHit();
    h.found = true;
    h.position = xyz(P);
    h.normal = xyz(screen.ssNormals[p]);
    h.triangle = unsigned(screen.ssTriID[p]);
    h.barycentric = screen.ssUVs[p];
    // The ray's own numbers come from the point it hit, so a pixel's paths are the same
    // in every tile layout, crop and band.
    PathSampler rng;
    rng.seed = pointHash(xyz(P));
    float3 sum = make_float3(0, 0, 0);
    const float3 eye = xyz(screen.ssEyePos[p]);
    for (unsigned int k = 0; k < samples; ++k) {
        rng.sample = firstSample + k;
        rng.dim = 0;
        sum += tracePath(h, eye, numlights, shadowMode, lightSubDivs, bounces, ambientLightIntens, rng);
    }
    screen.ssColor[p] += make_float4(sum * fastRcp(float(totalSamples)), 0.0f);
}

// The screen-space kernels: primary rays, direct light (a pixel's samples of one light),
// secondary rays for reflection and refraction, blending and the final combination.
// Written once; compiled by nvcc for the CUDA backend and by the host compiler for the
// CPU backend. Every kernel takes its launch coordinates as a Lane.
#pragma once

#include "device/defs.h"
#include "device/intersect.h"
#include "device/lights.h"
#include "device/kernels_gi.h"
#include "device/kernels_raycast.h"

// Raises the tile's pass flags for the material of triangle k.
TESSRA_DEVICE void raiseReflectFlags(unsigned int k, uchar4* flags) {
    const DeviceSymbols& S = SYM;
    const int m = tex1Dfetch(S.texTriMatID, int(k));
    const int4 c = tex1Dfetch(S.texMatCaps, m);
    unsigned char* b = reinterpret_cast<unsigned char*>(flags);
    if (c.y == 1) storeSharedFlag(b + 0, 1);
    if (c.y == 8) storeSharedFlag(b + 1, 1);
    if (c.z == 1) storeSharedFlag(b + 2, 1);
    if (c.z == 8) storeSharedFlag(b + 3, 1);
}

// Writes the screen-buffer record of one ray's result (primary or secondary) along dir;
// ssEyePos takes the ray's origin. A miss raises no flags.
TESSRA_DEVICE void writeScreenHit(const OctreeHit& h, float3 origin, float3 dir, float secondaryW, unsigned int i,
                                  const ScreenView& out) {
    if (h.found) {
        if (out.ssTriID) out.ssTriID[i] = int(h.triangle);
        if (out.ssUVs) out.ssUVs[i] = h.barycentric;
        if (out.ssTexCoords) {
            const float2 st = triangleTexCoords(h.triangle, h.barycentric);
            out.ssTexCoords[i] = make_float4(st.x, st.y, 0.0f, 0.0f);
        }
        if (out.ssEyePos) out.ssEyePos[i] = make_float4(origin, 1.0f);
        out.ssPos[i] = make_float4(h.position, 1.0f);
        out.ssNormals[i] = make_float4(h.normal, secondaryW);
        if (out.reflectFlags) raiseReflectFlags(h.triangle, out.reflectFlags);
    } else {
        // A miss leaves the surface's other fields as they were: every reader of them
        // looks at the position's w first.
        if (out.ssTriID) out.ssTriID[i] = -1;
        out.ssPos[i] = make_float4(0, 0, 0, 0);
        // Where the ray went, for the world's colour it sees there.
        out.ssNormals[i] = make_float4(dir, 0.0f);
    }
}

// The camera ray through image position (x, y); integer positions are the pixels.
TESSRA_DEVICE Ray cameraRay(float x, float y, unsigned int imageW, unsigned int imageH, float fovRad,
                            float aspectRatio) {
    const DeviceSymbols& S = SYM;
    const float tn = tanf(fovRad * 0.5f);
    const float u = 2.0f * x / float(imageW) - 1.0f;
    const float v = (2.0f * y / float(imageH) - 1.0f) / aspectRatio;
    const float iz = 1.0f / tn;
    const float3 dc = make_float3(u, v, -iz) * fastRsqrt(u * u + v * v + iz * iz);
    const CameraRows& M = S.c_invViewMatrix;
    Ray ray;
    ray.o = S.c_eyePos;
    ray.d = make_float3(dot(xyz(M.row[0]), dc), dot(xyz(M.row[1]), dc), dot(xyz(M.row[2]), dc));
    return ray;
}

// One primary ray per pixel of the tile.
TESSRA_DEVICE void init_screen_kernel(Lane t, unsigned int imageW, unsigned int imageH, unsigned int subWidth,
                                      unsigned int subHeight, unsigned int xoffset, unsigned int yoffset,
                                      unsigned int firstRow, unsigned int endRow, float fovRad,
                                      float aspectRatio, const ScreenView& out) {
    const unsigned int lx = t.x(), ly = t.y();
    if (lx >= subWidth || ly >= subHeight) return;
    const unsigned int x = xoffset + lx, y = yoffset + ly;
    const unsigned int i = ly * subWidth + lx;
    const DeviceSymbols& S = SYM;
    if (x >= imageW || y >= imageH || y < firstRow || y >= endRow) {
        // Pixels beyond the image edge (or the rows shaded) are cleared to "no surface"
        // so that the later stages skip them instead of shading stale hits.
        writeScreenHit(noHit(), S.c_eyePos, make_float3(0, 0, 0), 0.0f, i, out);
        if (out.ssRefrIndex) out.ssRefrIndex[i] = 1.0f;
        return;
    }
    const Ray ray = cameraRay(float(x), float(y), imageW, imageH, fovRad, aspectRatio);
    const OctreeHit h = intersectOctree(ray, 10000000.0f, false);
    writeScreenHit(h, S.c_eyePos, ray.d, 0.0f, i, out);
    if (out.ssRefrIndex) out.ssRefrIndex[i] = 1.0f;
}

// Primary rays through sub-pixel positions: element i of the tile-sized buffers takes
// the ray through image position samples[i] (pixel x covers x - 0.5 to x + 0.5). Every
// later stage works on the elements as on the pixels of a tile.
TESSRA_DEVICE void init_screen_samples(Lane t, float2* samples, unsigned int count, unsigned int imageW,
                                       unsigned int imageH, unsigned int subWidth, float fovRad, float aspectRatio,
                                       const ScreenView& out) {
    const unsigned int i = t.y() * subWidth + t.x();
    if (t.x() >= subWidth) return;
    const DeviceSymbols& S = SYM;
    Ray ray;
    ray.o = ray.d = make_float3(0, 0, 0);
    if (i < count) ray = cameraRay(samples[i].x, samples[i].y, imageW, imageH, fovRad, aspectRatio);
    const OctreeHit h = i < count ? intersectOctree(ray, 10000000.0f, false) : noHit();
    writeScreenHit(h, S.c_eyePos, ray.d, 0.0f, i, out);
    out.ssRefrIndex[i] = 1.0f;
}

// What denoisers and compositors take besides the colour, per element: the diffuse
// colour at the first hit and the distance along the camera ray (albedoDepth), and the
// unit shading normal. Elements without a surface: zero, and an infinite distance.
TESSRA_DEVICE void output_passes_ss(Lane t, unsigned int width, unsigned int height, const ScreenView& screen,
                                    float4* outAlbedoDepth, float4* outNormal) {
    const unsigned int x = t.x(), y = t.y();
    if (x >= width || y >= height) return;
    const unsigned int i = y * width + x;
    const float4 P = screen.ssPos[i];
    if (P.w < 0.5f) {
        outAlbedoDepth[i] = make_float4(0.0f, 0.0f, 0.0f, INFINITY);
        outNormal[i] = make_float4(0, 0, 0, 0);
        return;
    }
    const float4 st = screen.ssTexCoords[i];
    const float3 A = diffuseColor(tex1Dfetch(SYM.texTriMatID, screen.ssTriID[i]), make_float2(st.x, st.y));
    outAlbedoDepth[i] = make_float4(A, length(xyz(P) - xyz(screen.ssEyePos[i])));
    outNormal[i] = make_float4(normalize(xyz(screen.ssNormals[i])), 0.0f);
}

// Which of the step x step fine strata a ray takes within each coarse stratum (the
// first when step is 1). Hashed from the point the ray hit, so a pixel's rays keep
// their strata whichever other pixels of the tile take more rays.
TESSRA_HD void strataShift(float3 P, unsigned int step, unsigned int& ox, unsigned int& oy) {
    ox = oy = 0u;
    if (step <= 1u) return;
    const unsigned int h = pointHash(P, 0x9e3779b9u);
    ox = h % step;
    oy = (h / step) % step;
}

// The fine stratum of element p: the batch's own when it has them (a pixel's rays then
// share the pattern out evenly), else hashed from the point.
TESSRA_DEVICE void rayStrata(const unsigned int* shifts, unsigned int p, float3 P, unsigned int step,
                             unsigned int& ox, unsigned int& oy) {
    if (!shifts || step <= 1u) {
        strataShift(P, step, ox, oy);
        return;
    }
    ox = shifts[p] & 0xffu;
    oy = shifts[p] >> 8;
}

// What a light sample needs of the surface it lights, the same for every sample.
struct LitSurface {
    float3 P, N, V;  // position, normal, unit direction from the eye
    float3 Kd;       // diffuse colour
    float4 spec;     // the material's specular level and exponent
    float layer;     // what its specular layer adds to Kd for the world's and emitters' light
};

// The colour of light l's sample point (si, sj) of n x n seen from surface s.
TESSRA_DEVICE float3 lightSampleColour(const LitSurface& s, unsigned int si, unsigned int sj, unsigned int n,
                                       unsigned int numlights, char shadowMode, const LightSample& l,
                                       const ShadowShaft* shaft = nullptr) {
    const float3 P = s.P, N = s.N;
    const bool disc = l.lambert && l.kind == LIGHT_OMNI_SPHERE;
    const float3 Sp = disc ? facingDiscPoint(l, P, si, sj, n) : lightSamplePoint(l, si, sj, n);
    const float3 toLight = Sp - P;
    const float dist2 = dot(toLight, toLight);
    const bool directional = l.kind == LIGHT_DIR_CIRCLE || l.kind == LIGHT_DIR_RECT;
    const float3 L = directional ? l.A : toLight * fastRsqrt(dist2);
    float f;
    bool lit = lightFalloff(l, P, L, f);
    if (lit && disc) {
        // The disc sends with the cosine to its normal, which points at P: far off the
        // sphere lights as the point does, near it a surface gets what the disc sends.
        f = maxf(0.0f, dot(L, l.pos - P) * fastRsqrt(dot(l.pos - P, l.pos - P)));
        lit = f > 0.0f;
    }
    if (lit && shadowMode == 1) {
        Ray shadow;
        shadow.o = directional ? P + L * fastSqrt(dist2) : Sp;
        // From a sample point, P - Sp is -toLight bit for bit: its direction is -L.
        const float3 toP = P - shadow.o;
        shadow.d = directional ? normalize(toP) : -L;
        // Shortened by the offset at P and the precision of a point that far along the
        // ray: a fixed length let light through joints of small scenes and left acne on
        // large ones.
        const float len = directional ? length(toP) : fastSqrt(dist2);
        lit = !shaftBlocks(shaft, shadow, len - rayOffset(P) - 1e-6f * len);
    }
    if (!lit) return make_float3(0, 0, 0);
    float I = f * maxf(l.intensity * float(numlights) * dot(N, L), 0.0f);
    if (!directional) {
        const float q = l.decayStart * fastRsqrt(dist2);
        if (l.decayType == 2) I *= q;
        else if (l.decayType == 3) I *= q * q;
    }
    // Most materials have no highlight: their samples skip the half vector and the power
    // (which could only add zero).
    float spec = 0.0f;
    if (s.spec.x != 0.0f) {
        const float3 H = normalize(L - s.V);
        spec = powf(dot(N, H), s.spec.y) * s.spec.x;
        // A negative N.H with a fractional exponent yields NaN, which would corrupt the
        // pixel; such a highlight contributes nothing.
        if (!(spec == spec)) spec = 0.0f;
    }
    if (s.spec.z > 0.0f) spec += layerHighlight(s.spec, N, s.V, L);
    return (l.color * s.Kd + make_float3(spec, spec, spec)) * I;
}

// The world's light at surface s through one direction drawn by (u1, u2): where nothing
// is in the way, the world's colour on the diffuse colour, so that a white surface open
// to a world of one colour shows that colour. A world of one colour is sampled by the
// cosine about the normal. An image is sampled by the cosine (byCosine) or by what its
// texels bring, half the samples each way, weighted by both densities (the balance
// heuristic): a sun in the image is found, and a dull sky is not sampled under the
// horizon.
TESSRA_DEVICE float3 worldSampleColour(const LitSurface& s, float u1, float u2, bool byCosine, char shadowMode) {
    Ray ray;
    float3 light = SYM.c_envColor;
    if (SYM.c_worldImageSize.x == 0) {
        ray.d = sampleCosineHemisphere(s.N, u1, u2);
    } else {
        float pdf;
        if (byCosine) {
            ray.d = normalize(sampleCosineHemisphere(s.N, u1, u2));
            light = worldRadiance(ray.d);
            pdf = worldImagePdf(ray.d);
        } else {
            ray.d = sampleWorldImage(u1, u2, pdf, light);
        }
        const float c = dot(s.N, ray.d);
        if (!(c > 0.0f)) return make_float3(0, 0, 0);
        light = light * (2.0f * c / (TESSRA_PI * pdf + c));
    }
    if (shadowMode == 1) {
        ray.o = s.P + s.N * rayOffset(s.P);
        if (occluded(ray, 10000000.0f)) return make_float3(0, 0, 0);
    }
    return (s.Kd + make_float3(s.layer, s.layer, s.layer)) * light;
}

// The light of an emitting triangle chosen by u0 at a point, seen from surface s: the
// diffuse colour times the radiance over pi, times the solid angle the point stands for.
// The point takes where u0 falls in the triangle's share and u1, which for evenly spread
// u0 and Halton u1 are Hammersley's points. Triangles emit from both faces.
TESSRA_DEVICE float3 emitterSampleColour(const LitSurface& s, float u0, float u1, char shadowMode) {
    float rest;
    const Emitter e = chooseEmitter(u0, rest);
    const float3 X = emitterPoint(e, rest, u1), c = cross(e.e1, e.e2);
    const float3 toX = X - s.P;
    const float d2 = dot(toX, toX), d = fastSqrt(d2);
    const float3 L = toX * fastRcp(d);
    const float cs = dot(s.N, L), twiceArea = length(c);
    if (!(cs > 0.0f) || !(d2 > 0.0f)) return make_float3(0, 0, 0);
    if (shadowMode == 1) {
        // Aimed at the point from the lifted origin: a ray parallel to the one from the
        // surface would cross a grazing emitter's plane short of the point, on itself.
        Ray ray;
        ray.o = s.P + s.N * rayOffset(s.P);
        const float3 toXo = X - ray.o;
        const float len = length(toXo);
        ray.d = toXo * fastRcp(len);
        if (occluded(ray, len - rayOffset(X) - 1e-6f * len)) return make_float3(0, 0, 0);
    }
    const float ce = fabsf(dot(c, L)) / twiceArea;
    return (s.Kd + make_float3(s.layer, s.layer, s.layer)) * e.radiance *
           (cs * ce * 0.5f * twiceArea / (TESSRA_PI * d2 * e.pmf));
}

// What the world and the emitting surfaces add at each element of rows firstRow on. A
// surface shows its own emission, and takes the world's light from worldN x worldN
// cosine strata and the emitters' from emitterN x emitterN samples (both shared out among
// a pixel's rays as the area lights' are); where the ray met nothing the world's colour
// shows when showMisses. Counts of 0 leave that light out.
TESSRA_DEVICE void calc_emission_ss(Lane t, unsigned int width, unsigned int height, char shadowMode,
                                    const ScreenView& screen, unsigned int worldN, unsigned int emitterN,
                                    unsigned int strataStep, unsigned int firstRow, bool showMisses,
                                    const unsigned int* inShift) {
    const unsigned int x = t.x(), y = firstRow + t.y();
    if (x >= width || y >= height) return;
    const unsigned int p = y * width + x;
    const DeviceSymbols& S = SYM;
    if (!(screen.ssPos[p].w > 0.5f)) {
        // A miss keeps its ray's direction in the normal.
        if (showMisses && S.c_worldLight)
            screen.ssColor[p] += make_float4(worldRadiance(xyz(screen.ssNormals[p])), 0.0f);
        return;
    }
    const int m = tex1Dfetch(S.texTriMatID, screen.ssTriID[p]);
    float3 sum = S.c_numEmitters > 0 ? xyz(tex1Dfetch(S.texMatEmission, m)) : make_float3(0, 0, 0);
    if (worldN + emitterN > 0) {
        const float4 st = screen.ssTexCoords[p];
        LitSurface s;
        s.P = xyz(screen.ssPos[p]);
        s.V = normalize(s.P - xyz(screen.ssEyePos[p]));
        s.N = faceForward(xyz(screen.ssNormals[p]), s.V);
        s.Kd = diffuseColor(m, make_float2(st.x, st.y));
        s.layer = layerAlbedo(m, -dot(s.N, s.V));
        unsigned int ox, oy;
        rayStrata(inShift, p, s.P, strataStep, ox, oy);
        float3 world = make_float3(0, 0, 0), emitted = make_float3(0, 0, 0);
        const float wf = fastRcp(float(worldN * strataStep));
        // An image's pattern is shifted per point (Cranley and Patterson): a fixed one
        // errs the same way on every pixel of a flat floor where the image changes fast.
        float su = 0.5f, sv = 0.5f;
        if (S.c_worldImageSize.x != 0) {
            const unsigned int h = pointHash(s.P);
            su = float(h & 0xffffu) * (1.0f / 65536.0f);
            sv = float(h >> 16) * (1.0f / 65536.0f);
        }
        for (unsigned int sj = 0; sj < worldN; ++sj)
            for (unsigned int si = 0; si < worldN; ++si)
                world += worldSampleColour(s, (float(si * strataStep + ox) + su) * wf,
                                           (float(sj * strataStep + oy) + sv) * wf,
                                           ((si * strataStep + ox + sj * strataStep + oy) & 1u) == 0u, shadowMode);
        // The fine samples are numbered over the whole pattern and run evenly through the
        // power sum.
        const unsigned int fine = emitterN * strataStep;
        const float ef = fastRcp(float(fine * fine));
        for (unsigned int sj = 0; sj < emitterN; ++sj)
            for (unsigned int si = 0; si < emitterN; ++si) {
                const int k = int((sj * strataStep + oy) * fine + si * strataStep + ox);
                emitted += emitterSampleColour(s, (float(k) + 0.5f) * ef, halton(k + 1, 2), shadowMode);
            }
        if (worldN) sum += world * fastRcp(float(worldN * worldN));
        if (emitterN) sum += emitted * fastRcp(float(emitterN * emitterN));
    }
    screen.ssColor[p] += make_float4(sum, 0.0f);
}

// The sum of light ilight's n x n samples at element p, which holds a hit.
TESSRA_DEVICE_OUTLINE float4 lightAtHit(unsigned int p, unsigned int numlights, char shadowMode, unsigned int ilight,
                                        const ScreenView& screen, unsigned int n, unsigned int strataStep,
                                        const unsigned int* inShift) {
    const float4 st = screen.ssTexCoords[p];
    const int m = tex1Dfetch(SYM.texTriMatID, screen.ssTriID[p]);
    LitSurface s;
    s.P = xyz(screen.ssPos[p]);
    s.V = normalize(s.P - xyz(screen.ssEyePos[p]));
    // Lit on the side the ray sees: a face seen from behind was black under a light
    // on the viewer's side, and a light behind a single-sided wall must not reach it.
    s.N = faceForward(xyz(screen.ssNormals[p]), s.V);
    s.Kd = diffuseColor(m, make_float2(st.x, st.y));
    s.spec = tex1Dfetch(SYM.texMatSpec, m);
    s.layer = 0.0f;
    const LightSample l = fetchLight(ilight);
    unsigned int ox, oy;
    rayStrata(inShift, p, s.P, strataStep, ox, oy);
    // A rectangle's many shadow rays to one point in front of it test only what lies
    // between them.
    ShadowShaft shaft;
    shaft.count = -1;
    if (shadowMode == 1 && l.kind == LIGHT_RECT && n >= 4u && dot(s.P - l.pos, l.A) > 0.0f)
        shaft = shadowShaft(s.P, l.pos, l.U * (0.5f * l.spot.z), l.V * (0.5f * l.spot.w));
    float4 sum = make_float4(0, 0, 0, 0);
    for (unsigned int sj = 0; sj < n; ++sj)
        for (unsigned int si = 0; si < n; ++si)
            sum += make_float4(lightSampleColour(s, si * strataStep + ox, sj * strataStep + oy, n * strataStep,
                                                 numlights, shadowMode, l, &shaft),
                               0.0f);
    return sum;
}

// Adds light ilight at one pixel of the tile: the mean of its n x n sample points (one
// for point-like lights), each with its own shadow ray. With strataStep > 1 the n x n
// points are every strataStep-th of a finer pattern, shifted per ray. The lanes' loop
// keeps only the test for a hit: most elements of a reflection window have none, and
// with the lighting inlined every one of them paid for its frame.
TESSRA_DEVICE_INLINE void calc_light_ss(Lane t, unsigned int width, unsigned int height, unsigned int numlights,
                                        char shadowMode, unsigned int ilight, const ScreenView& screen,
                                        unsigned int n, unsigned int strataStep, unsigned int firstRow,
                                        const unsigned int* inShift) {
    const unsigned int x = t.x(), y = firstRow + t.y();
    if (x >= width || y >= height) return;
    const unsigned int p = y * width + x;
    const float4 sum = screen.ssPos[p].w > 0.5f
                           ? lightAtHit(p, numlights, shadowMode, ilight, screen, n, strataStep, inShift)
                           : make_float4(0, 0, 0, 0);
    screen.ssColor[p] += sum * fastRcp(float(n * n));
}

// Whether the parent pixel of triangle k takes part in a pass; m receives its material.
TESSRA_DEVICE bool takesPart(int k, unsigned char reflpass, unsigned char refl0_refr1, int& m) {
    if (k == -1) return false;
    const DeviceSymbols& S = SYM;
    m = tex1Dfetch(S.texTriMatID, k);
    const int4 c = tex1Dfetch(S.texMatCaps, m);
    const int mode = refl0_refr1 == 0 ? c.y : c.z;
    return mode > 0 && mode == int(reflpass);
}

// Secondary rays of one window of the expanded reflection grid: from the parent pixels (in)
// into the window (out).
TESSRA_DEVICE void calc_refl_ss(Lane t, unsigned int imageW, unsigned int imageH, unsigned int calcWidth,
                                unsigned int calcHeight, const ScreenView& in, const ScreenView& out,
                                unsigned int reflSubDivs, unsigned int xoffset, unsigned int yoffset,
                                unsigned int strataStep, unsigned char reflpass, unsigned char refl0_refr1,
                                const unsigned int* inShift) {
    const unsigned int lx = t.x(), ly = t.y();
    if (lx >= calcWidth || ly >= calcHeight) return;
    const unsigned int n = reflSubDivs;
    const unsigned int gx = xoffset + lx, gy = yoffset + ly;
    const unsigned int px = gx / n, py = gy / n;
    if (px >= imageW || py >= imageH) return;
    const unsigned int p = py * imageW + px;
    const unsigned int i = ly * calcWidth + lx;
    int m = 0;
    if (!takesPart(in.ssTriID[p], reflpass, refl0_refr1, m)) {
        const OctreeHit none = noHit();
        writeScreenHit(none, make_float3(0, 0, 0), make_float3(0, 0, 0), 1.0f, i, out);
        return;
    }
    const DeviceSymbols& S = SYM;
    const float3 P = xyz(in.ssPos[p]);
    const float3 N = xyz(in.ssNormals[p]);
    const float3 O = xyz(in.ssEyePos[p]);
    float3 R = layerDirection(normalize(P - O), N, refl0_refr1 == 1);
    // A glossy pass turns every ray into the cone, also a pixel's single ray that takes
    // one stratum of the cone's pattern (nested glossy levels, fine antialiasing).
    if (reflpass == 8) {
        const float g = refl0_refr1 == 0 ? tex1Dfetch(S.texMatReflGloss, m) : tex1Dfetch(S.texMatRefrGloss, m);
        const float cosMax = powf(g, 0.0111111f);
        unsigned int ox, oy;
        rayStrata(inShift, p, P, strataStep, ox, oy);
        const float fine = float(n * strataStep);
        const float a = float((lx % n) * strataStep + ox) / fine;
        R = glossyTurn(R, cosMax, a, 2.0f * TESSRA_PI * float((ly % n) * strataStep + oy) / fine);
    }
    Ray ray;
    ray.o = P + R * rayOffset(P);
    ray.d = R;
    const OctreeHit h = intersectOctree(ray, 10000000.0f, false);
    writeScreenHit(h, P, R, 1.0f, i, out);
    out.ssRefrIndex[i] = 1.6f;
}

// Blends the average of a window's (in) n x n secondary colours into the parent pixel (out).
TESSRA_DEVICE void calc_final_color_refl(Lane t, unsigned int pixelsCalcWidth, unsigned int pixelsCalcHeight,
                                         unsigned int areaCalcWidth, unsigned int fbWidth,
                                         unsigned int lightSubDivs, unsigned int xoffset, unsigned int yoffset,
                                         const ScreenView& in, const ScreenView& out, unsigned char reflpass,
                                         unsigned char refl0_refr1) {
    const unsigned int x = t.x(), y = t.y();
    if (x >= pixelsCalcWidth || y >= pixelsCalcHeight) return;
    const unsigned int n = lightSubDivs;
    const unsigned int L = f2u(float(pixelsCalcWidth) * float((fbWidth * n) / areaCalcWidth));
    const unsigned int p = (yoffset + y) * L + xoffset + x;
    int m = 0;
    if (!takesPart(out.ssTriID[p], reflpass, refl0_refr1, m)) return;
    float3 sum = make_float3(0, 0, 0);
    for (unsigned int i = 0; i < n; ++i)
        for (unsigned int j = 0; j < n; ++j) sum += xyz(in.ssColor[(y * n + j) * areaCalcWidth + x * n + i]);
    const float3 avg = sum * (1.0f / float(n * n));
    const DeviceSymbols& S = SYM;
    const uchar4 k = refl0_refr1 == 0 ? tex1Dfetch(S.texMatReflColor, m) : tex1Dfetch(S.texMatRefrColor, m);
    const float3 kc = make_float3(k.x / 255.0f, k.y / 255.0f, k.z / 255.0f);
    const float4 old = out.ssColor[p];
    out.ssColor[p] = make_float4(old.x * (1.0f - kc.x) + avg.x * kc.x, old.y * (1.0f - kc.y) + avg.y * kc.y,
                                 old.z * (1.0f - kc.z) + avg.z * kc.z, 1.0f);
}

TESSRA_DEVICE void combineBuffers(Lane t, float4* totalIlum, float4* directIlum, float4* indirectIlum,
                                  unsigned int imageW, unsigned int imageH, unsigned int xoffset,
                                  unsigned int yoffset, bool onlyIndirect) {
    const unsigned int x = xoffset + t.x(), y = yoffset + t.y();
    if (x >= imageW || y >= imageH) return;
    const unsigned int i = y * imageW + x;
    totalIlum[i] = onlyIndirect ? indirectIlum[i] : directIlum[i] + indirectIlum[i];
}

#include "device/kernels_path.h"

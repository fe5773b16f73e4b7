// Light models, the diffuse-colour rule of a surface point, and the sampling routines
// shared by the lighting, photon and final-gather kernels.
#pragma once

#include "device/defs.h"
#include "tessra.h"  // LightType

#define TESSRA_PI 3.14159f
#define TESSRA_2PI 6.28318f

// Wrapped texture coordinates: s wraps into [0, 1), t is wrapped and flipped.
TESSRA_HD float2 wrapTexCoords(float2 tc) {
    const float s = fracTrunc(fracTrunc(tc.x) + 1.0f);
    const float t = fracTrunc(1.0f - fracTrunc(tc.y));
    return make_float2(s, t);
}

// Interpolated texture coordinates of triangle k at barycentric (b1, b2), wrapped.
TESSRA_DEVICE float2 triangleTexCoords(unsigned int k, float2 b) {
    const DeviceSymbols& S = SYM;
    const float4 t0 = tex1Dfetch(S.texTriTexCoords, int(3 * k));
    const float4 t1 = tex1Dfetch(S.texTriTexCoords, int(3 * k + 1));
    const float4 t2 = tex1Dfetch(S.texTriTexCoords, int(3 * k + 2));
    const float u = t0.x + b.x * (t1.x - t0.x) + b.y * (t2.x - t0.x);
    const float v = t0.y + b.x * (t1.y - t0.y) + b.y * (t2.y - t0.y);
    return wrapTexCoords(make_float2(u, v));
}

TESSRA_HD float srgbToLinear(float c) {
    return c <= 0.04045f ? c * (1.0f / 12.92f) : powf((c + 0.055f) * (1.0f / 1.055f), 2.4f);
}

// The diffuse colour of material m at wrapped texture coordinates st: a texel of the
// atlas when the material has a texture, else the material colour. The texel index is
// summed in integers: a float sum skips texels once the atlas passes 2^24 of them.
// Integer conversions saturate.
TESSRA_DEVICE float3 diffuseColor(int m, float2 st) {
    const DeviceSymbols& S = SYM;
    const int4 caps = tex1Dfetch(S.texMatCaps, m);
    if (caps.x >= 0) {
        const int4 size = tex1Dfetch(S.texTexSizesOffset, caps.x);
        const unsigned int row = unsigned(size.z) + unsigned(size.x) * f2u(float(size.y - 1) * st.y);
        const int index = int(row + f2u(float(size.x - 1) * st.x));
        const uchar4 texel = tex1Dfetch(S.texMatTextures, index);
        const float3 c = make_float3(texel.x / 255.0f, texel.y / 255.0f, texel.z / 255.0f);
        return S.c_srgbTextures ? make_float3(srgbToLinear(c.x), srgbToLinear(c.y), srgbToLinear(c.z)) : c;
    }
    return xyz(tex1Dfetch(S.texMatDiffuse, m));
}

TESSRA_DEVICE float layerLerp(const float (&v)[kLayerRoughness][kLayerCosines], int i, int j, float fx, float fy) {
    const float lo = v[j][i] + (v[j][i + 1] - v[j][i]) * fx;
    const float hi = v[j + 1][i] + (v[j + 1][i + 1] - v[j + 1][i]) * fx;
    return lo + (hi - lo) * fy;
}

// What material m's specular layer reflects of light arriving alike from every direction,
// averaged over the directions it is seen from: where photons and the path tracer's later
// vertices meet it, as a part of its diffuse colour.
TESSRA_DEVICE float layerMeanAlbedo(int m) { return tex1Dfetch(SYM.texMatDiffuse, m).w; }

// The specular layer's highlight of light arriving along L, seen along V: pi times its
// GGX BRDF (Smith's masking, Schlick's Fresnel), in the units of the diffuse colour.
// Below roughness 0.21 the lobe stays as wide as there, as the Blinn highlight's exponent
// stops at 1000: a light's few samples would otherwise sparkle on a polished floor.
TESSRA_DEVICE float layerHighlight(float4 spec, float3 N, float3 V, float3 L) {
    const float nl = dot(N, L), nv = -dot(N, V);
    if (!(nl > 0.0f) || !(nv > 0.0f)) return 0.0f;
    const float3 H = normalize(L - V);
    const float nh = dot(N, H), vh = maxf(dot(L, H), 0.0f);
    const float r = maxf(spec.w, 0.21f), a2 = r * r * r * r;
    const float q = nh * nh * (a2 - 1.0f) + 1.0f;
    const float g1v = 2.0f * nv / (nv + fastSqrt(a2 + (1.0f - a2) * nv * nv));
    const float g1l = 2.0f * nl / (nl + fastSqrt(a2 + (1.0f - a2) * nl * nl));
    const float s = 1.0f - vh, s2 = s * s;
    const float F = spec.z + (1.0f - spec.z) * s2 * s2 * s;
    return a2 * g1v * g1l * F / (4.0f * q * q * nv * nl);
}

// What material m's specular layer (Tessra_SetMaterialSpecularLayer) reflects of light
// that arrives alike from every direction, seen at cosine mu to the normal: f0 x a + b
// from the table, bilinear. texMatSpec's z holds f0, w the roughness.
// A material that mirrors its surroundings already reflects them: it takes none.
TESSRA_DEVICE float layerAlbedo(int m, float mu) {
    const float4 spec = tex1Dfetch(SYM.texMatSpec, m);
    if (!(spec.z > 0.0f) || tex1Dfetch(SYM.texMatCaps, m).y > 0) return 0.0f;
    const LayerTable& t = SYM.c_layerTable;
    const float x = clampf(mu, 0.0f, 1.0f) * float(kLayerCosines - 1);
    const float y = clampf(spec.w, 0.0f, 1.0f) * float(kLayerRoughness - 1);
    const int i = x < float(kLayerCosines - 2) ? int(x) : kLayerCosines - 2;
    const int j = y < float(kLayerRoughness - 2) ? int(y) : kLayerRoughness - 2;
    const float fx = x - float(i), fy = y - float(j);
    return spec.z * layerLerp(t.a, i, j, fx, fy) + layerLerp(t.b, i, j, fx, fy);
}

// Light i as the kernels read it.
struct LightSample {
    float3 pos;
    float radius;
    float3 color;
    float intensity;
    int kind;
    int decayType;
    bool lambert;  // a rectangle or sphere that emits with the cosine (Tessra_SetLightEmitterCosine)
    float3 U, V, A;
    float4 spot;
    float decayStart;
};

TESSRA_DEVICE LightSample fetchLight(unsigned int i) {
    const DeviceSymbols& S = SYM;
    LightSample l;
    const float4 p = tex1Dfetch(S.texLights, int(2 * i));
    const float4 c = tex1Dfetch(S.texLights, int(2 * i + 1));
    const uchar4 params = tex1Dfetch(S.texLightsParams, int(i));
    l.pos = xyz(p);
    l.radius = p.w;
    l.color = xyz(c);
    l.intensity = c.w;
    l.kind = params.x;
    l.decayType = params.y;
    l.lambert = params.z != 0;
    l.U = xyz(tex1Dfetch(S.texLightsRotMat, int(3 * i)));
    l.V = xyz(tex1Dfetch(S.texLightsRotMat, int(3 * i + 1)));
    l.A = xyz(tex1Dfetch(S.texLightsRotMat, int(3 * i + 2)));
    l.spot = tex1Dfetch(S.texLightsSpotData, int(i));
    l.decayStart = tex1Dfetch(S.texLightsDecayStart, int(i));
    return l;
}

// The point of stratum (si, sj) of an n x n pattern on the light: a sphere's (z, angle)
// grid, a rectangle's corner-anchored grid (a Lambertian one's strata centres: from the
// corners its light lacked a sixteenth of the rectangle on two sides, a fifth of the light
// on a wall that meets the light's plane), else the light position. No jitter.
TESSRA_HD float3 lightSamplePoint(const LightSample& l, unsigned si, unsigned sj, unsigned n) {
    if (l.kind == LIGHT_OMNI_SPHERE) {
        const float a = float(si) / float(n);
        const float z = 1.0f - 2.0f * a;
        const float r = sqrtf(maxf(0.0f, 1.0f - z * z));
        const float phi = TESSRA_2PI * float(sj) / float(n);
        return l.pos + make_float3(r * cosf(phi), r * sinf(phi), z) * l.radius;
    }
    if (l.kind == LIGHT_RECT) {
        const float c = l.lambert ? 0.5f : 0.0f;
        const float a = (float(si) + c) / float(n) - 0.5f;
        const float b = (float(sj) + c) / float(n) - 0.5f;
        return l.pos + l.U * (a * l.spot.z) + l.V * (b * l.spot.w);
    }
    return l.pos;
}

// Cone, area side and radial falloff: returns false where the light does not reach P;
// f is the attenuation factor where it does.
TESSRA_DEVICE_INLINE bool lightFalloff(const LightSample& l, float3 P, float3 L, float& f) {
    f = 1.0f;
    switch (l.kind) {
        case LIGHT_SPOT_CIRCLE: {
            const float cosOuter = cosf(0.5f * l.spot.x * TESSRA_PI / 180.0f);
            const float cosInner = cosf(0.5f * l.spot.y * TESSRA_PI / 180.0f);
            const float c = dot(L, l.A);
            if (cosOuter > c) return false;
            f = clampf((c - cosOuter) / (cosInner - cosOuter), 0.0f, 1.0f);
            return true;
        }
        case LIGHT_RECT:
            if (l.lambert) f = maxf(0.0f, -dot(L, normalize(l.A)));
            return dot(L, l.A) < 0.0f;
        case LIGHT_DIR_CIRCLE: {
            const float3 Q = l.pos + l.A * (dot(P - l.pos, l.A) / dot(l.A, l.A));
            const float dr = length(P - Q);
            if (dr > l.spot.x) return false;
            f = clampf((dr - l.spot.x) / (l.spot.y - l.spot.x), 0.0f, 1.0f);
            return true;
        }
        case LIGHT_DIR_RECT: {
            // P - Lpos = a U + b V + c A, solved by Cramer's rule.
            const float3 d = P - l.pos;
            const float det = dot(l.U, cross(l.V, l.A));
            const float a = dot(d, cross(l.V, l.A)) / det;
            const float b = dot(l.U, cross(d, l.A)) / det;
            const float o = l.spot.x, in = l.spot.y;
            if (!(a >= -o && a <= o && b >= -o && b <= o)) return false;
            if (a > in) f *= clampf((a - o) / (in - o), 0.0f, 1.0f);
            if (b > in) f *= clampf((b - o) / (in - o), 0.0f, 1.0f);
            if (a < -in) f *= clampf(-(a + o) / (in - o), 0.0f, 1.0f);
            if (b < -in) f *= clampf(-(b + o) / (in - o), 0.0f, 1.0f);
            return true;
        }
        default:
            return true;
    }
}

// ---------------------------------------------------------------------------------
// Sampling routines.

// Radical inverse of index in base.
TESSRA_HD float halton(int index, int base) {
    float r = 0.0f;
    float f = 1.0f / float(base);
    while (index > 0) {
        r += float(index % base) * f;
        index /= base;
        f /= float(base);
    }
    return r;
}

// The host's double-precision form, used for launch parameters.
inline double haltonHost(int index, int base) {
    double r = 0.0, f = 1.0 / base;
    while (index > 0) {
        r += (index % base) * f;
        index /= base;
        f /= base;
    }
    return r;
}

TESSRA_HD float hashRand(float x, float y) {
    const float s = sinf(12.9898f * x + 78.233f * y);
    return s * 43758.5453f - floorf(s * 43758.5453f);
}

// Shirley and Chiu's concentric map from the square [-1, 1]^2 onto the unit disk.
TESSRA_HD float2 concentricSampleDisk(float a, float b) {
    if (a == 0.0f && b == 0.0f) return make_float2(0.0f, 0.0f);
    float r, phi;
    if (a >= -b) {
        if (a > b) {
            r = a;
            phi = b > 0.0f ? b / a : b / a + 8.0f;
        } else {
            r = b;
            phi = 2.0f - a / b;
        }
    } else {
        if (b >= a) {
            r = -a;
            phi = 4.0f + b / a;
        } else {
            r = -b;
            phi = 6.0f - a / b;
        }
    }
    phi *= 0.7853975f;
    return make_float2(r * cosf(phi), r * sinf(phi));
}

// A tangent perpendicular to N, as the photon and reflection code builds it.
TESSRA_HD float3 tangentOf(float3 N) {
    if (fabsf(N.x) > fabsf(N.y)) return make_float3(-N.z, 0.0f, N.x) / sqrtf(N.x * N.x + N.z * N.z);
    return make_float3(0.0f, N.z, -N.y) / sqrtf(N.y * N.y + N.z * N.z);
}

// Stratum (si, sj) of n x n, at its centre, on the disc of a Lambertian sphere's radius
// through its centre facing P: the sphere as Blender's point lights with a radius have it.
TESSRA_HD float3 facingDiscPoint(const LightSample& l, float3 P, unsigned si, unsigned sj, unsigned n) {
    const float3 w = normalize(P - l.pos), t = tangentOf(w), b = cross(w, t);
    const float2 d = concentricSampleDisk(2.0f * (float(si) + 0.5f) / float(n) - 1.0f,
                                          2.0f * (float(sj) + 0.5f) / float(n) - 1.0f);
    return l.pos + (t * d.x + b * d.y) * l.radius;
}

// N turned to face the side a ray travelling along D arrives from: light, photons and
// gathers stay on the side of a surface they reached, so nothing passes through a
// single-sided wall.
TESSRA_HD float3 faceForward(float3 N, float3 D) { return dot(N, D) > 0.0f ? -N : N; }

// How far a ray leaves a surface at P, and how far short of P a shadow ray stops: a
// millionth of the scene's size, and what float coordinates resolve at P (ten
// thousandths of a percent of its largest coordinate), at any scale of units.
TESSRA_DEVICE float rayOffset(float3 P) {
    return SYM.c_rayEpsilon + 1e-5f * fmaxf3(fabsf(P.x), fabsf(P.y), fabsf(P.z));
}

// Cosine-weighted direction about N (not renormalised).
TESSRA_HD float3 sampleCosineHemisphere(float3 N, float u1, float u2) {
    const float2 d = concentricSampleDisk(2.0f * u1 - 1.0f, 2.0f * u2 - 1.0f);
    const float3 T = tangentOf(N);
    const float3 B = cross(N, T);
    return T * d.x + B * d.y + N * sqrtf(maxf(0.0f, 1.0f - d.x * d.x - d.y * d.y));
}

TESSRA_HD float mean3(float3 v) { return (v.x + v.y + v.z) * (1.0f / 3.0f); }

// The mirror direction of D off a surface of normal N, or for glass the refracted one
// (index 1.6 entering, its inverse leaving).
TESSRA_HD float3 layerDirection(float3 D, float3 N, bool refract) {
    const float c = dot(D, N);
    const float3 mirror = normalize(D - N * (2.0f * c));
    if (!refract) return mirror;
    const float eta = c > 0.0f ? 1.6f : 1.0f / 1.6f;
    const float3 Nf = c < 0.0f ? -N : N;
    const float cosi = dot(D, Nf);
    const float k2 = 1.0f - eta * eta * (1.0f - cosi * cosi);
    // Total internal reflection: the ray is reflected (the physical outcome) rather
    // than given the non-number direction that sqrt(k2 < 0) would produce.
    return k2 < 0.0f ? mirror : normalize(D * eta + Nf * (fastSqrt(k2) - eta * cosi));
}

// R turned into a glossy cone about itself: cos theta = a + (1 - a) cosMax, azimuth phi.
TESSRA_HD float3 glossyTurn(float3 R, float cosMax, float a, float phi) {
    const float cosT = a + (1.0f - a) * cosMax;
    const float sinT = fastSqrt(maxf(0.0f, 1.0f - cosT * cosT));
    const float3 Tg = tangentOf(R);
    const float3 Bt = cross(R, Tg);
    return R * cosT + Tg * (sinT * cosf(phi)) + Bt * (sinT * sinf(phi));
}

// How a surface's light divides among its layers, as the reflection passes blend them:
// refraction over the diffuse surface, reflection over both. The three shares sum to one.
struct LayerShares {
    float3 diffuse, refl, refr;
    int4 caps;
};
TESSRA_DEVICE LayerShares layerShares(int m) {
    const DeviceSymbols& S = SYM;
    LayerShares w;
    w.caps = tex1Dfetch(S.texMatCaps, m);
    const uchar4 rc = tex1Dfetch(S.texMatReflColor, m), tc = tex1Dfetch(S.texMatRefrColor, m);
    const float3 kc = w.caps.y > 0 ? make_float3(rc.x, rc.y, rc.z) * (1.0f / 255.0f) : make_float3(0, 0, 0);
    const float3 kr = w.caps.z > 0 ? make_float3(tc.x, tc.y, tc.z) * (1.0f / 255.0f) : make_float3(0, 0, 0);
    const float3 one = make_float3(1, 1, 1);
    w.diffuse = (one - kc) * (one - kr);
    w.refr = (one - kc) * kr;
    w.refl = kc;
    return w;
}

// A mirror, glossy, clear or frosted layer's direction for two sample numbers: the
// reflection passes' rule with the stratum drawn at random (gloss < 0: a sharp layer).
TESSRA_DEVICE float3 layerSampleDirection(float3 D, float3 N, bool refract, float gloss, float u1, float u2) {
    const float3 R = layerDirection(D, N, refract);
    if (gloss < 0.0f) return R;
    return glossyTurn(R, powf(gloss, 0.0111111f), u1, 2.0f * TESSRA_PI * u2);
}

// The gloss of a layer that has one (mode 8), else -1.
TESSRA_DEVICE float layerGloss(const LayerShares& w, int m, bool refract) {
    if ((refract ? w.caps.z : w.caps.y) != 8) return -1.0f;
    return tex1Dfetch(refract ? SYM.texMatRefrGloss : SYM.texMatReflGloss, m);
}

TESSRA_HD unsigned int mixBits(unsigned int x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

// A number in [0, 1) from the top 24 bits of a hashed word.
TESSRA_HD float unitFromBits(unsigned int x) { return float(x >> 8) * (1.0f / 16777216.0f); }

// A hash of a point's bits: numbers that follow the point, whatever else was shaded.
TESSRA_HD unsigned int pointHash(float3 P, unsigned int salt = 0u) {
    return mixBits(unsigned(floatBitsToInt(P.x)) * 0x8da6b343u ^ unsigned(floatBitsToInt(P.y)) * 0xd8163841u ^
                   unsigned(floatBitsToInt(P.z)) * 0xcb1ab31fu ^ salt);
}

// ---------------------------------------------------------------------------------
// Emitting triangles: triangles whose material has an emission. texEmitters holds four
// entries per emitter: the triangle (as int bits), where its share of the scene's emitted
// power ends in the running sum, and that share (the probability of choosing it); then
// its first vertex and the two edges from it.

struct Emitter {
    float3 a, e1, e2;  // a vertex and the two edges from it
    float3 radiance;
    float pmf;
};

TESSRA_DEVICE Emitter fetchEmitter(int i) {
    const DeviceSymbols& S = SYM;
    const float4 rec = tex1Dfetch(S.texEmitters, 4 * i);
    const int k = floatBitsToInt(rec.x);
    Emitter e;
    e.a = xyz(tex1Dfetch(S.texEmitters, 4 * i + 1));
    e.e1 = xyz(tex1Dfetch(S.texEmitters, 4 * i + 2));
    e.e2 = xyz(tex1Dfetch(S.texEmitters, 4 * i + 3));
    e.radiance = xyz(tex1Dfetch(S.texMatEmission, tex1Dfetch(S.texTriMatID, k)));
    e.pmf = rec.z;
    return e;
}

// The emitter whose stretch of the running power sum holds u; rest is where u lies in
// that stretch, from 0 to 1, a number as evenly spread as u for the point on it.
TESSRA_DEVICE Emitter chooseEmitter(float u, float& rest) {
    int lo = 0, hi = SYM.c_numEmitters - 1;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (u < tex1Dfetch(SYM.texEmitters, 4 * mid).y) hi = mid;
        else lo = mid + 1;
    }
    const Emitter e = fetchEmitter(lo);
    const float end = tex1Dfetch(SYM.texEmitters, 4 * lo).y;
    rest = clampf(1.0f - (end - u) * fastRcp(e.pmf), 0.0f, 0.99999994f);
    return e;
}

// A point spread evenly over the emitter's triangle.
TESSRA_HD float3 emitterPoint(const Emitter& e, float u1, float u2) {
    const float r = sqrtf(u1);
    return e.a + e.e1 * (r * (1.0f - u2)) + e.e2 * (r * u2);
}

// ---------------------------------------------------------------------------------
// The world's image: an equirectangular map of W x H texels in a frame of its own
// (c_worldImageTurn takes scene directions there), row 0 looking up (+Y) and the middle
// column looking down -Z, +X a quarter to the right. texWorldCdf holds
// the rows' running sum of luminance x solid angle (H + 1 entries from 0 to 1), then per
// row the running sum along it (W + 1 entries each), so directions are drawn by what
// they bring.

// A scene direction in the image's frame, and back (the turn is a rotation).
TESSRA_DEVICE float3 intoWorldImage(float3 d) {
    const CameraRows& M = SYM.c_worldImageTurn;
    return make_float3(dot(xyz(M.row[0]), d), dot(xyz(M.row[1]), d), dot(xyz(M.row[2]), d));
}
TESSRA_DEVICE float3 outOfWorldImage(float3 d) {
    const CameraRows& M = SYM.c_worldImageTurn;
    return xyz(M.row[0]) * d.x + xyz(M.row[1]) * d.y + xyz(M.row[2]) * d.z;
}

// The texel a scene direction falls in.
TESSRA_DEVICE int2 worldImageTexel(float3 sceneDir) {
    const float3 d = intoWorldImage(sceneDir);
    const int2 size = SYM.c_worldImageSize;
    const float len = length(d);
    const float u = 0.5f + atan2f(d.x, -d.z) * (1.0f / TESSRA_2PI);
    const float v = acosf(clampf(len > 0.0f ? d.y / len : 1.0f, -1.0f, 1.0f)) * (1.0f / TESSRA_PI);
    int2 t;
    t.x = int(clampf(u * float(size.x), 0.0f, float(size.x - 1)));
    t.y = int(clampf(v * float(size.y), 0.0f, float(size.y - 1)));
    return t;
}

// The world's radiance seen along d, in the units of the background colour.
TESSRA_DEVICE float3 worldRadiance(float3 d) {
    const DeviceSymbols& S = SYM;
    if (S.c_worldImageSize.x == 0) return S.c_envColor;
    const int2 t = worldImageTexel(d);
    return S.c_envColor * xyz(tex1Dfetch(S.texWorldImage, t.y * S.c_worldImageSize.x + t.x));
}

// The entry of the running sum cdf[first .. first + n] whose stretch holds u; where u
// lies in it goes to rest and its width to pmf.
TESSRA_DEVICE int findStretch(int first, int n, float u, float& rest, float& pmf) {
    int lo = 0, hi = n - 1;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (u < tex1Dfetch(SYM.texWorldCdf, first + mid + 1)) hi = mid;
        else lo = mid + 1;
    }
    const float a = tex1Dfetch(SYM.texWorldCdf, first + lo), b = tex1Dfetch(SYM.texWorldCdf, first + lo + 1);
    pmf = b - a;
    rest = pmf > 0.0f ? clampf((u - a) / pmf, 0.0f, 0.99999994f) : 0.5f;
    return lo;
}

// The solid angle of a texel of row `row`, whose edges lie at cos theta ca and cb.
TESSRA_DEVICE float texelSolidAngle(int row, float& ca, float& cb) {
    const int2 size = SYM.c_worldImageSize;
    ca = cosf(TESSRA_PI * float(row) / float(size.y));
    cb = cosf(TESSRA_PI * float(row + 1) / float(size.y));
    return TESSRA_2PI / float(size.x) * (ca - cb);
}

// A direction drawn from the world's image by (u1, u2), its probability density over
// solid angle, and the radiance it brings. The texel is chosen by what it brings and
// the direction spread evenly over its solid angle (evenly in cos theta), so that the
// density is constant on the texel and only the surface's cosine varies with it.
TESSRA_DEVICE float3 sampleWorldImage(float u1, float u2, float& pdf, float3& radiance) {
    const DeviceSymbols& S = SYM;
    const int W = S.c_worldImageSize.x, H = S.c_worldImageSize.y;
    float fv, fu, pRow, pCol;
    const int row = findStretch(0, H, u2, fv, pRow);
    const int col = findStretch(H + 1 + row * (W + 1), W, u1, fu, pCol);
    float ca, cb;
    const float solidAngle = texelSolidAngle(row, ca, cb);
    const float ct = ca + fv * (cb - ca), st = fastSqrt(maxf(0.0f, 1.0f - ct * ct));
    const float phi = TESSRA_2PI * ((float(col) + fu) / float(W) - 0.5f);
    pdf = solidAngle > 0.0f ? pRow * pCol / solidAngle : 0.0f;
    radiance = S.c_envColor * xyz(tex1Dfetch(S.texWorldImage, row * W + col));
    return outOfWorldImage(make_float3(st * sinf(phi), ct, -st * cosf(phi)));
}

// The density sampleWorldImage draws direction d with.
TESSRA_DEVICE float worldImagePdf(float3 d) {
    const DeviceSymbols& S = SYM;
    const int W = S.c_worldImageSize.x, H = S.c_worldImageSize.y;
    const int2 t = worldImageTexel(d);
    const int rowAt = H + 1 + t.y * (W + 1) + t.x;
    const float pRow = tex1Dfetch(S.texWorldCdf, t.y + 1) - tex1Dfetch(S.texWorldCdf, t.y);
    const float pCol = tex1Dfetch(S.texWorldCdf, rowAt + 1) - tex1Dfetch(S.texWorldCdf, rowAt);
    float ca, cb;
    const float solidAngle = texelSolidAngle(t.y, ca, cb);
    return solidAngle > 0.0f ? pRow * pCol / solidAngle : 0.0f;
}


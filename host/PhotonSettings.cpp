// Photon settings derived from the scene, so that indirect light comes out in the units
// of the direct pass on any scene and at any scale. The derivation is written out in
// docs/global-illumination.md.
#include <algorithm>
#include <cmath>
#include <vector>

#include "host/internal.h"

namespace {

constexpr double kPi = 3.14159265358979;
constexpr int kPhotonsPerGather = 40;
// The density estimate's constant factor, divided out again here.
constexpr double kDensityFactor = 1.27;
// The irradiance cache at which final gather's indirect light stays within a few percent
// of the path tracer's, region by region (tests/test_gi_reference.cpp).
constexpr uint32_t kCacheSamples = 256;
constexpr float kCacheDensity = 2.5f;

// Emission density of each kind as the photon kernel uses it (solid angle or area).
double emissionDensity(const LightRecord& l, bool lambert, double& lit) {
    const double o = l.falloff, in = std::min(double(l.hotspot), o);
    switch (l.type) {
        case LIGHT_OMNI:
        case LIGHT_OMNI_SPHERE:
            lit = 4 * kPi;
            return 0.0795775;
        case LIGHT_RECT:
            // With the emitter's cosine the direct pass sees its integral, pi.
            lit = lambert ? kPi : 2 * kPi;
            return lambert ? 1 / kPi : 0.1607627;
        case LIGHT_SPOT_CIRCLE: {
            // The cone's falloff runs linearly in the cosine from the hotspot outwards.
            const double cosO = std::cos(0.5 * o * kPi / 180), cosI = std::cos(0.5 * in * kPi / 180);
            lit = 2 * kPi * ((1 - cosI) + 0.5 * (cosI - cosO));
            return 1.0 / ((1 - cosO) * 2 * kPi);
        }
        case LIGHT_DIR_CIRCLE:
            lit = kPi * in * in + kPi * (o - in) * (o + 2 * in) / 3;  // radial falloff
            return 1.0 / ((0.5 * o) * (0.5 * o * kPi));
        case LIGHT_DIR_RECT:
            lit = (o + in) * (o + in);  // falloff along each side
            return 1.0 / ((0.5 * o) * (0.5 * o * kPi));
        default:
            lit = 0;  // no photons leave it
            return 0;
    }
}

// The centre and diagonal of the triangles' box, and their area.
struct SceneExtent {
    double centre[3] = {0, 0, 0}, diagonal = 0, area = 0;
};

SceneExtent sceneExtent(const TessraRendererCUDA& r) {
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    SceneExtent e;
    for (const TriangleRecord& t : r.triangles) {
        const float* v = t.vertices;
        double e1[3], e2[3];
        for (int a = 0; a < 3; ++a) {
            for (int k = 0; k < 3; ++k) {
                lo[a] = std::min(lo[a], double(v[3 * k + a]));
                hi[a] = std::max(hi[a], double(v[3 * k + a]));
            }
            e1[a] = double(v[3 + a]) - v[a];
            e2[a] = double(v[6 + a]) - v[a];
        }
        const double cx = e1[1] * e2[2] - e1[2] * e2[1], cy = e1[2] * e2[0] - e1[0] * e2[2],
                     cz = e1[0] * e2[1] - e1[1] * e2[0];
        const double a = 0.5 * std::sqrt(cx * cx + cy * cy + cz * cz);
        if (std::isfinite(a)) e.area += a;
    }
    for (int a = 0; a < 3; ++a) {
        e.centre[a] = 0.5 * (lo[a] + hi[a]);
        e.diagonal += (hi[a] - lo[a]) * (hi[a] - lo[a]);
    }
    e.diagonal = std::sqrt(e.diagonal);
    return e;
}

struct LightPowers {
    double kernel = 0, truth = 0;
    double spread = 1;  // the mean of the fade over where the photons start or go
};

// Power per photon: the kernel gives light l colour x intensity x d0^2 / p, the direct
// pass sees n x colour x intensity x g x (lit solid angle or area), with g = d0^2 for the
// inverse square, d0 r for the linear decay and r^2 for none, r the light's distance to
// the scene. Lights whose photons carry nothing count 0 in both.
std::vector<LightPowers> lightPowers(const TessraRendererCUDA& r, const double centre[3], double diagonal) {
    const double n = double(r.lights.size());
    std::vector<LightPowers> out(r.lights.size());
    for (size_t j = 0; j < r.lights.size(); ++j) {
        const LightRecord& l = r.lights[j];
        double lit = 0;
        const double p = emissionDensity(l, host::lambertLight(r, j), lit);
        if (!(p > 0) || !(lit > 0)) continue;
        const double colour = (double(l.color[0]) + l.color[1] + l.color[2]) / 3;
        const double power = colour * l.intensity;
        const double d0 = l.decayStart;
        const bool directional = l.type == LIGHT_DIR_CIRCLE || l.type == LIGHT_DIR_RECT;
        double g = d0 * d0;
        if (!directional && l.decayType != 3) {
            const double dx = l.position[0] - centre[0], dy = l.position[1] - centre[1], dz = l.position[2] - centre[2];
            const double dist = std::max(std::sqrt(dx * dx + dy * dy + dz * dz), 0.25 * diagonal);
            g = l.decayType == 2 ? d0 * dist : dist * dist;
        }
        const double k = power * d0 * d0 / p;
        const double t = n * power * (directional ? lit : g * lit);
        if (!std::isfinite(k) || !std::isfinite(t) || !(k > 0)) continue;
        // Photons leave a cone evenly over its solid angle, a beam over its disc or square.
        const double o = l.falloff;
        const double region = l.type == LIGHT_SPOT_CIRCLE ? 2 * kPi * (1 - std::cos(0.5 * o * kPi / 180))
                              : l.type == LIGHT_DIR_CIRCLE ? kPi * o * o
                              : l.type == LIGHT_DIR_RECT   ? 4 * o * o
                                                           : 0;
        out[j] = {k, t, region > 0 ? lit / region : 1.0};
    }
    return out;
}

}  // namespace

namespace host {

std::vector<float> photonScales(const TessraRendererCUDA& r) {
    std::vector<float> scale(std::max<size_t>(r.lights.size(), 1), 1.0f);
    if (!r.extension_.balancedPhotons || r.triangles.empty()) return scale;
    const SceneExtent e = sceneExtent(r);
    const std::vector<LightPowers> powers = lightPowers(r, e.centre, e.diagonal);
    double kernel = 0, truth = 0;
    for (const LightPowers& p : powers) kernel += p.kernel, truth += p.truth;
    if (!(kernel > 0) || !(truth > 0)) return scale;
    // Each light's own ratio over the common one: the photons' total power stays.
    for (size_t j = 0; j < powers.size(); ++j)
        if (powers[j].kernel > 0)
            scale[j] = float(powers[j].truth / (powers[j].kernel * powers[j].spread) / (truth / kernel));
    return scale;
}

}  // namespace host

extern "C" TESSRA_API int Tessra_SuggestPhotonSettings(const TessraRendererCUDA* r, TessraPhotonSettings* out) {
    if (!r || !out) return -1;
    try {
        const SceneExtent e = sceneExtent(*r);
        if (r->triangles.empty() || !(e.area > 0)) return -1;
        const double area = e.area, diagonal = e.diagonal;

        double kernelPower = 0, truePower = 0;
        const std::vector<LightPowers> powers = lightPowers(*r, e.centre, diagonal);
        for (const LightPowers& p : powers) kernelPower += p.kernel, truePower += p.truth;
        out->photonEnergy = kernelPower > 0 ? float(truePower / kernelPower / kDensityFactor) : r->photonEnergy;

        // Search range: a few times the radius that holds a gather's photons where
        // they spread evenly over every surface.
        const double stored = double(std::max(1u, r->numPhotons)) * std::max(1u, r->numBounces);
        const double radius = std::sqrt(kPhotonsPerGather * area / (kPi * stored));
        out->photonSearchDistance = float(std::min(3 * radius, 0.1 * diagonal));
        out->ambientLightIntens = 1.0f;
        out->irradianceSamples = kCacheSamples;
        out->FG_record_density = kCacheDensity;
        if (!std::isfinite(out->photonEnergy) || !std::isfinite(out->photonSearchDistance) ||
            !(out->photonSearchDistance > 0))
            return -1;
        return 0;
    } catch (...) {
        return -1;
    }
}

extern "C" TESSRA_API int Tessra_SetBalancedPhotons(TessraRendererCUDA* r, bool on) {
    if (!r) return -1;
    r->extension_.balancedPhotons = on;
    return 0;
}

extern "C" TESSRA_API int Tessra_SetPhotonRounds(TessraRendererCUDA* r, uint32_t maxRounds) {
    if (!r || maxRounds < 1 || maxRounds > 64) return -1;
    r->extension_.photonRounds = maxRounds;
    return 0;
}

extern "C" TESSRA_API int Tessra_SetWidePhotonEstimate(TessraRendererCUDA* r, bool on) {
    if (!r) return -1;
    r->extension_.widePhotonEstimate = on;
    return 0;
}

extern "C" TESSRA_API int Tessra_SetCaustics(TessraRendererCUDA* r, bool reflective, bool refractive) {
    if (!r) return -1;
    r->extension_.reflectiveCaustics = reflective;
    r->extension_.refractiveCaustics = refractive;
    return 0;
}

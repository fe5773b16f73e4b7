// A small diffuse Cornell box for the global-illumination tests and benchmarks: the box
// [-1, 1]^3 open towards +z, white floor, ceiling and back wall, a red wall at x = -1,
// a green wall at x = +1, a white block on the floor and one point light under the
// ceiling. The camera looks down -z from in front of the opening.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace tt {

struct CornellMaterials {
    int white, red, green;
};

inline const V3 kCornellEye = {0.0f, 0.0f, 3.4f};

inline CornellMaterials addCornellBox(TessraRendererCUDA& r, bool withBlock = true) {
    CornellMaterials m;
    m.white = addDiffuse(r, 0.75f, 0.75f, 0.75f);
    m.red = addDiffuse(r, 0.75f, 0.1f, 0.1f);
    m.green = addDiffuse(r, 0.1f, 0.75f, 0.1f);
    addQuad(r, {-1, -1, 1}, {1, -1, 1}, {1, -1, -1}, {-1, -1, -1}, {0, 1, 0}, m.white);  // floor
    addQuad(r, {-1, 1, -1}, {1, 1, -1}, {1, 1, 1}, {-1, 1, 1}, {0, -1, 0}, m.white);     // ceiling
    addQuad(r, {-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1}, {0, 0, 1}, m.white);  // back
    addQuad(r, {-1, -1, 1}, {-1, -1, -1}, {-1, 1, -1}, {-1, 1, 1}, {1, 0, 0}, m.red);    // left
    addQuad(r, {1, -1, -1}, {1, -1, 1}, {1, 1, 1}, {1, 1, -1}, {-1, 0, 0}, m.green);     // right
    if (withBlock) {
        const float x0 = 0.05f, x1 = 0.65f, y0 = -1.0f, y1 = -0.1f, z0 = -0.5f, z1 = 0.1f;
        addQuad(r, {x0, y1, z1}, {x1, y1, z1}, {x1, y1, z0}, {x0, y1, z0}, {0, 1, 0}, m.white);
        addQuad(r, {x0, y0, z1}, {x1, y0, z1}, {x1, y1, z1}, {x0, y1, z1}, {0, 0, 1}, m.white);
        addQuad(r, {x1, y0, z0}, {x0, y0, z0}, {x0, y1, z0}, {x1, y1, z0}, {0, 0, -1}, m.white);
        addQuad(r, {x0, y0, z0}, {x0, y0, z1}, {x0, y1, z1}, {x0, y1, z0}, {-1, 0, 0}, m.white);
        addQuad(r, {x1, y0, z1}, {x1, y0, z0}, {x1, y1, z0}, {x1, y1, z1}, {1, 0, 0}, m.white);
    }
    r.NuevaLuzOmni(0.0f, 0.85f, 0.0f, 1, 1, 1, 0.8f, 0, 1.0f);
    r.shadowMode = 1, r.fieldOfView = 0.9f;
    return m;
}

// The box scaled by s, its light attenuated (inverse square from s on) so that the
// scene looks the same at any scale.
inline void addScaledCornellBox(TessraRendererCUDA& r, float s) {
    addCornellBox(r);
    for (TriangleRecord& t : r.triangles)
        for (float& v : t.vertices) v *= s;
    LightRecord& l = r.lights[0];
    for (float& p : l.position) p *= s;
    l.decayType = 3, l.decayStart = s;
}

// A closed cube [-s, s]^3 of one material with inward normals.
inline void addClosedBox(TessraRendererCUDA& r, float s, int m) {
    addQuad(r, {-s, -s, -s}, {s, -s, -s}, {s, s, -s}, {-s, s, -s}, {0, 0, 1}, m);
    addQuad(r, {-s, -s, s}, {s, -s, s}, {s, s, s}, {-s, s, s}, {0, 0, -1}, m);
    addQuad(r, {-s, -s, -s}, {s, -s, -s}, {s, -s, s}, {-s, -s, s}, {0, 1, 0}, m);
    addQuad(r, {-s, s, -s}, {s, s, -s}, {s, s, s}, {-s, s, s}, {0, -1, 0}, m);
    addQuad(r, {-s, -s, -s}, {-s, s, -s}, {-s, s, s}, {-s, -s, s}, {1, 0, 0}, m);
    addQuad(r, {s, -s, -s}, {s, s, -s}, {s, s, s}, {s, -s, s}, {-1, 0, 0}, m);
}

// Photon-mapping settings sized for small test renders.
inline void enablePhotonMapping(TessraRendererCUDA& r, uint32_t photons, bool finalGather) {
    r.indirectIllumination = r.usePhotonMapping = true;
    r.numPhotons = photons, r.numBounces = 1, r.useFinalGather = finalGather, r.irradianceSamples = 32;
    r.photonEnergy = 1.0f, r.photonSearchDistance = 1.0f, r.ambientLightIntens = 0.5f;
}

// The box with every stage on: the point light and a rectangular area light (both
// attenuated), a mirror red wall, a glass green wall, the texture on every white
// surface, and photon mapping with final gather and the irradiance cache. The texture's
// path must outlive the renders.
inline void addEveryStage(TessraRendererCUDA& r, const std::string& texture) {
    const CornellMaterials m = addCornellBox(r);
    r.lights[0].decayType = 2;
    r.NuevaLuzRect(0, 0.95f, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, -1, 0, 0.5f, 0.4f, 0.4f, 2);
    r.materials[size_t(m.white)].diffuseMap = texture.c_str();
    material_t& red = r.materials[size_t(m.red)];
    red.reflective = true, red.reflColor[0] = red.reflColor[1] = red.reflColor[2] = 150;
    material_t& green = r.materials[size_t(m.green)];
    green.refractive = true, green.refrColor[0] = green.refrColor[1] = green.refrColor[2] = 150;
    enablePhotonMapping(r, 200, true);
    r.irradianceSamples = 4;
}

inline std::vector<float> renderCornell(TessraRendererCUDA& r) { return renderDownZ(r, kCornellEye).image; }

}  // namespace tt

// initScene: validates the scene, builds the octree and turns the host lists into flat
// device arrays bound to their texture references.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "host/Octree.h"
#include "host/internal.h"

namespace host {
void buildTextureAtlas(TessraRendererCUDA* r);
}

namespace {

template <typename T>
void* upload(TessraRendererCUDA* r, const std::vector<T>& host, int line) {
    const size_t bytes = host.size() * sizeof(T);
    void* d = r->Malloc(bytes);
    // A failed allocation was reported by Malloc; the caller stops the upload.
    if (d || bytes == 0) TESSRA_CHECK(rt::memcpyHtoD(d, host.data(), bytes), "Tessra", line);
    return d;
}

bool finite3(const float* v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// Refuses what would make the kernels read past the material arrays or build a corrupt
// octree. The original accepted both silently.
bool validateTriangles(const TessraRendererCUDA* r) {
    const size_t M = r->materials.size();
    for (size_t i = 0; i < r->triangles.size(); ++i) {
        const TriangleRecord& t = r->triangles[i];
        char message[256];
        if (t.materialId < 0 || size_t(t.materialId) >= M) {
            std::snprintf(message, sizeof(message),
                          "Triangle %zu uses material %d, but the scene has %zu materials. Aborting rendering.", i,
                          int(t.materialId), M);
            platform::messageBox(message, "Error");
            return false;
        }
        if (!finite3(t.vertices) || !finite3(t.vertices + 3) || !finite3(t.vertices + 6)) {
            std::snprintf(message, sizeof(message),
                          "Triangle %zu has a vertex coordinate that is not a finite number. Aborting rendering.", i);
            platform::messageBox(message, "Error");
            return false;
        }
        // A NaN normal turns every pixel that sees the triangle into NaN.
        if (!finite3(t.normals) || !finite3(t.normals + 3) || !finite3(t.normals + 6)) {
            std::snprintf(message, sizeof(message),
                          "Triangle %zu has a normal that is not a finite vector. Aborting rendering.", i);
            platform::messageBox(message, "Error");
            return false;
        }
    }
    return true;
}

bool finiteAll(const float* v, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

// Lights and materials with non-finite numbers would spread NaN over the image.
bool validateLightsAndMaterials(const TessraRendererCUDA* r) {
    char message[256];
    for (size_t j = 0; j < r->lights.size(); ++j) {
        const LightRecord& l = r->lights[j];
        const float scalars[] = {l.intensity, l.radius, l.rectWidth, l.rectHeight, l.falloff, l.hotspot, l.decayStart};
        if (!finite3(l.position) || !finite3(l.color) || !finiteAll(l.rotation, 9) || !finiteAll(scalars, 7)) {
            std::snprintf(message, sizeof(message),
                          "Light %zu has a parameter that is not a finite number. Aborting rendering.", j);
            platform::messageBox(message, "Error");
            return false;
        }
    }
    for (size_t m = 0; m < r->materials.size(); ++m) {
        const material_t& mat = r->materials[m];
        const float scalars[] = {mat.specularLevel, mat.specularExponent, mat.reflGloss, mat.refrGloss};
        if (!finite3(mat.diffuse) || !finiteAll(scalars, 4)) {
            std::snprintf(message, sizeof(message),
                          "Material %zu has a parameter that is not a finite number. Aborting rendering.", m);
            platform::messageBox(message, "Error");
            return false;
        }
    }
    const float settings[] = {r->photonEnergy, r->photonSearchDistance, r->FG_record_density, r->ambientLightIntens};
    if (!finiteAll(settings, 4)) {
        platform::messageBox(
            "A photon-mapping setting (photonEnergy, photonSearchDistance, FG_record_density or "
            "ambientLightIntens) is not a finite number. Aborting rendering.",
            "Error");
        return false;
    }
    if (!finite3(r->envColor)) {
        platform::messageBox("The background colour is not a finite colour. Aborting rendering.", "Error");
        return false;
    }
    return true;
}

// Fills the device array d of `count` elements, element i being fill(i), through a staging
// buffer of a few megabytes, so that the host never holds a second copy of the scene. d
// is the renderer's at once: CleanUp releases it whatever fails after.
template <typename T, typename F>
void uploadStaged(TessraRendererCUDA* r, void*& d, size_t count, F fill, int line) {
    d = r->Malloc(count * sizeof(T));
    if (!d) return;  // reported by Malloc; the caller stops the upload
    std::vector<T> stage(std::min<size_t>(count, size_t(1) << 18));
    for (size_t first = 0; first < count; first += stage.size()) {
        const size_t n = std::min(stage.size(), count - first);
        for (size_t i = 0; i < n; ++i) stage[i] = fill(first + i);
        TESSRA_CHECK(rt::memcpyHtoD(static_cast<T*>(d) + first, stage.data(), n * sizeof(T)), "Tessra", line);
    }
}

// The corners of the renderer's own records, which the octree reads in place.
CornerView triangleCorners(const TessraRendererCUDA& r) {
    static_assert(sizeof(TriangleRecord) % sizeof(float) == 0 && offsetof(TriangleRecord, vertices) == 0);
    return CornerView{reinterpret_cast<const float*>(r.triangles.data()), sizeof(TriangleRecord) / sizeof(float), 3};
}

struct LightArrays {
    std::vector<float4> posCol, rotRows, spotData;
    std::vector<uchar4> params;
    std::vector<float> decayStart;
};

// The lights as the device reads them; false, with a message, where indirect light meets a
// light that does not fade.
bool lightArrays(const TessraRendererCUDA& r, LightArrays& a) {
    // A scene lit by the world alone still binds one (unread) light, as references
    // cannot be bound to nothing.
    const size_t L = r.numLights, LA = std::max<size_t>(L, 1);
    a = LightArrays{std::vector<float4>(2 * LA), std::vector<float4>(3 * LA), std::vector<float4>(LA),
                    std::vector<uchar4>(LA), std::vector<float>(LA)};
    for (size_t j = 0; j < L; ++j) {
        const LightRecord& l = r.lights[j];
        a.posCol[2 * j] = make_float4(l.position[0], l.position[1], l.position[2], l.radius);
        a.posCol[2 * j + 1] = make_float4(l.color[0], l.color[1], l.color[2], l.intensity);
        for (int row = 0; row < 3; ++row) {
            const float* m = l.rotation + 3 * row;
            a.rotRows[3 * j + row] = make_float4(m[0], m[1], m[2], 0.0f);
        }
        a.spotData[j] = make_float4(l.falloff, l.hotspot, l.rectWidth, l.rectHeight);
        a.params[j] = make_uchar4(l.type, l.decayType, host::lambertLight(r, j) ? 1 : 0, 0);
        a.decayStart[j] = l.decayStart;
        if (r.indirectIllumination && l.decayType == 1) {
            platform::messageBox(
                "When using indirect illumination all lights must be configured with ATTENUATION enabled in order "
                "to get correct results.\n\nPlease activate attenuation on every light and setup light intensity "
                "accordingly.\nAborting render.",
                "Tessra");
            return false;
        }
    }
    return true;
}

// The scene's part of the ray offset (rayOffset), a millionth of its size, and the sphere
// around it that the world's light comes from.
void uploadSceneBounds(const TessraRendererCUDA& r) {
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (const TriangleRecord& t : r.triangles)
        for (const float* c = t.vertices; c < t.vertices + 9; c += 3)
            for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], c[a]), hi[a] = std::max(hi[a], c[a]);
    float size = 0.0f;
    for (int a = 0; a < 3; ++a) size = std::max(size, hi[a] - lo[a]);
    const float epsilon = size > 0.0f ? 1e-6f * size : 1e-6f;
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_rayEpsilon, &epsilon, 4), "volumeRender", __LINE__);
    float diagonal2 = 0.0f;
    for (int a = 0; a < 3; ++a) diagonal2 += (hi[a] - lo[a]) * (hi[a] - lo[a]);
    const float4 sphere = make_float4(0.5f * (lo[0] + hi[0]), 0.5f * (lo[1] + hi[1]), 0.5f * (lo[2] + hi[2]),
                                      0.5f * std::sqrt(diagonal2) + 4.0f * epsilon);
    const int world = host::worldLit(r) ? 1 : 0;
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_worldSphere, &sphere, 16), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_worldLight, &world, 4), "volumeRender", __LINE__);
    // The world's photons leave before any light pass has written the colour.
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_envColor, r.envColor, 12), "volumeRender", __LINE__);
}

bool buildOctree(TessraRendererCUDA& r) {
    TESSRA_PRINTF("BuildOctree.\n");
    host::flushOut();
    host::status(&r, "Building Octree...");
    r.octree = new Octree(r.numTris, triangleCorners(r), r.maxOctreeDepth);
    if (!r.octree->built()) {
        char message[256];
        std::snprintf(message, sizeof(message),
                      "The octree of %u triangles needs more than %llu nodes or triangle references at "
                      "maxOctreeDepth %u (overlapping triangles?). Lower maxOctreeDepth. Aborting rendering.",
                      r.numTris, static_cast<unsigned long long>(Octree::budget(r.numTris)), r.maxOctreeDepth);
        platform::messageBox(message, "Error");
        delete r.octree;
        r.octree = nullptr;
        return false;
    }
    SetCudaOctreeTextures(r.octree);
    TESSRA_PRINTF("BuildOK!n");
    host::flushOut();
    return true;
}

bool uploadGeometry(TessraRendererCUDA& r, const LightArrays& l) {
    TESSRA_PRINTF("Pasando geometria a CUDA...\n");
    host::status(&r, "Passing geometry to CUDA...");
    TESSRA_PRINTF("numTris: %d\n", int(r.numTris));
    TESSRA_PRINTF("numlighttris: %d\n", int(r.numlighttris));
    TESSRA_PRINTF("numLights: %d\n", int(r.numLights));
    const std::vector<TriangleRecord>& t = r.triangles;
    // The walk reads the octree's prepared copies of the vertices and the emitters their
    // own, so no kernel reads the vertices: they stay off the device (48 bytes a triangle).
    const size_t corners = 3 * t.size();
    // Normals as nine floats a triangle: read once a hit, so a float4's padding bought nothing.
    uploadStaged<float>(&r, r.d_triNormals, 3 * corners, [&](size_t i) { return t[i / 9].normals[i % 9]; }, 1019);
    // Texture coordinates choose texels of a material's image and nothing else, they are
    // read in x and y only, and an unbound reference reads zero: a scene without images
    // or a mesh without coordinates (most scanned or generated ones) keeps their 48 bytes
    // a triangle off the device.
    const bool textured = std::any_of(r.materials.begin(), r.materials.end(),
                                      [](const material_t& m) { return m.diffuseMap != nullptr; });
    const bool anyTexCoords = textured && std::any_of(t.begin(), t.end(), [](const TriangleRecord& tri) {
        return std::any_of(tri.uvs, tri.uvs + 6, [](float u) { return u != 0.0f; });
    });
    if (anyTexCoords)
        uploadStaged<float4>(&r, r.d_triTexCoords, corners, [&](size_t i) {
            const float* uv = t[i / 3].uvs + 2 * (i % 3);
            return make_float4(uv[0], uv[1], 0.0f, 1.0f);
        }, 1022);
    uploadStaged<int32_t>(&r, r.d_triMatIds, t.size(), [&](size_t i) { return t[i].materialId; }, 1025);
    TESSRA_PRINTF("---0a---\n");
    host::flushOut();
    r.d_lightPosCol = upload(&r, l.posCol, 1030);
    r.d_lightSpotData = upload(&r, l.spotData, 1033);
    r.d_lightParams = upload(&r, l.params, 1036);
    r.d_lightDecayStart = upload(&r, l.decayStart, 1039);
    r.d_lightRotRows = upload(&r, l.rotRows, 1042);
    if (!r.d_triNormals || (anyTexCoords && !r.d_triTexCoords) || !r.d_triMatIds ||
        !r.d_lightPosCol || !r.d_lightSpotData || !r.d_lightParams || !r.d_lightDecayStart || !r.d_lightRotRows)
        return false;
    TESSRA_PRINTF("---0c---\n");
    host::flushOut();
    r.SetCudaCustomTextures();
    TESSRA_PRINTF("---0d---\n");
    host::flushOut();
    return true;
}

bool uploadMaterials(TessraRendererCUDA& r) {
    const size_t M = r.materials.size();
    TESSRA_PRINTF("numMats: %d\n", int(M));
    std::vector<float4> diffuse(M), spec(M);
    std::vector<int4> caps(M);
    std::vector<uchar4> reflColor(M), refrColor(M);
    std::vector<float> reflGloss(M), refrGloss(M);
    for (size_t m = 0; m < M; ++m) {
        const material_t& mat = r.materials[m];
        // w: the specular layer's mean albedo, for the surfaces photons and paths reach.
        diffuse[m] = make_float4(mat.diffuse[0], mat.diffuse[1], mat.diffuse[2], 0.0f);
        caps[m] = make_int4(-1, -1, -1, -1);
        spec[m] = make_float4(0, 0, 0, 0);
        reflColor[m] = refrColor[m] = make_uchar4(0, 0, 0, 0);
        reflGloss[m] = refrGloss[m] = 1.0f;
        if (mat.reflective) {
            caps[m].y = mat.reflGloss < 1.0f ? 8 : 1;
            reflColor[m] = make_uchar4(mat.reflColor[0], mat.reflColor[1], mat.reflColor[2], 1);
            reflGloss[m] = mat.reflGloss;
        }
        if (mat.refractive) {
            caps[m].z = mat.refrGloss < 1.0f ? 8 : 1;
            refrColor[m] = make_uchar4(mat.refrColor[0], mat.refrColor[1], mat.refrColor[2], 1);
            refrGloss[m] = mat.refrGloss;
        }
        if (mat.diffuseMap) {
            caps[m].x = r.LoadTexture(mat.diffuseMap);
            if (caps[m].x < 0) return false;
        }
        if (mat.secondMap) {
            caps[m].w = r.LoadTexture(mat.secondMap);
            if (caps[m].w < 0) return false;
        }
        if (mat.specular) {
            caps[m].w = 1;
            spec[m] = make_float4(mat.specularLevel, mat.specularExponent, 0, 0);
        }
        if (const float* layer = host::specularLayerOf(r, m)) {
            spec[m].z = layer[0];
            spec[m].w = layer[1];
            if (!mat.reflective) diffuse[m].w = host::layerMeanAlbedo(layer[0], layer[1]);
        }
    }

    TESSRA_PRINTF("---0g---\n");
    host::flushOut();
    TESSRA_PRINTF("numTex: %d\n", int(r.textureImages.size()));
    host::status(&r, "Loading textures...");
    if (!r.textureImages.empty()) host::buildTextureAtlas(&r);

    host::status(&r, "Allocating material data on CUDA..");
    r.d_matDiffuse = upload(&r, diffuse, 1208);
    r.d_matCaps = upload(&r, caps, 1212);
    r.d_matSpec = upload(&r, spec, 1216);
    r.d_matReflColor = upload(&r, reflColor, 1220);
    r.d_matReflGloss = upload(&r, reflGloss, 1224);
    r.d_matRefrColor = upload(&r, refrColor, 1228);
    r.d_matRefrGloss = upload(&r, refrGloss, 1232);
    if (!r.d_matDiffuse || !r.d_matCaps || !r.d_matSpec || !r.d_matReflColor || !r.d_matReflGloss ||
        !r.d_matRefrColor || !r.d_matRefrGloss ||
        (!r.textureImages.empty() && (!r.d_textureAtlas || !r.d_textureSizes)))
        return false;

    host::status(&r, "SetCudaMaterialTextures..");
    r.SetCudaMaterialTextures();
    return true;
}

// A photon count whose buffers do not fit is refused with a message instead of ending the
// process halfway through the upload.
bool allocatePhotonBuffers(TessraRendererCUDA& r) {
    const size_t bytes = size_t(r.numPhotons) * 16;
    void** buffers[] = {&r.d_photonPos,   &r.d_photonDir,   &r.d_photonCol,    &r.d_photonInPos,
                        &r.d_photonInCol, &r.d_photonInDir, &r.d_photonNormals};
    for (void** b : buffers) {
        if (rt::malloc(b, bytes) != rt::Success) {
            *b = nullptr;
            char message[192];
            std::snprintf(message, sizeof(message),
                          "Not enough device memory for %u photons (%zu bytes per photon buffer).", r.numPhotons,
                          bytes);
            platform::messageBox(message, "Tessra error");
            return false;
        }
    }
    TESSRA_CHECK(rt::memset(r.d_photonPos, 0, bytes), "Tessra", 1244);
    TESSRA_CHECK(rt::memset(r.d_photonDir, 0, bytes), "Tessra", 1247);
    TESSRA_CHECK(rt::memset(r.d_photonCol, 0, bytes), "Tessra", 1250);
    return true;
}

}  // namespace

bool TessraRendererCUDA::initScene() try {
    // What an aborted or failed render left on the device is released first, so that
    // retries do not leak.
    CleanUp();

    host::status(this, "Loading scene...");
    numTris = uint32_t(triangles.size());
    numlighttris = uint32_t(lightTriangles.size());
    numLights = uint32_t(lights.size());
    if (numLights == 0 && !host::worldLit(*this) && !host::anyEmitter(*this)) {
        platform::messageBox("No lights, no fun.", "Error");
        return false;
    }
    if (numTris == 0) {
        platform::messageBox("No valid geometry found. Aborting rendering.", "Error");
        return false;
    }
    TESSRA_PRINTF("==> NUM TRIS: %d\n", int(numTris));
    std::srand(0);

    if (!validateTriangles(this) || !validateLightsAndMaterials(this)) return false;
    LightArrays lightData;
    if (!lightArrays(*this, lightData)) return false;
    uploadSceneBounds(*this);
    if (!buildOctree(*this) || !uploadGeometry(*this, lightData) || !uploadMaterials(*this) ||
        !host::uploadEmitters(*this) || !host::uploadWorldImage(*this))
        return false;
    if (indirectIllumination && usePhotonMapping && !allocatePhotonBuffers(*this)) return false;

    host::status(this, "Alloacting CUDA memory...");
    // Element 1 of each row, the camera's y column, changes sign on every call (image rows
    // run downwards), so a host writes the matrix before every render.
    cameraMatrix[1] = -cameraMatrix[1];
    cameraMatrix[5] = -cameraMatrix[5];
    cameraMatrix[9] = -cameraMatrix[9];
    return true;
} catch (...) {
    host::reportException("initScene");
    return false;
}

// initScene: validates the scene, builds the octree and turns the host lists into flat
// device arrays bound to their texture references.
#include <algorithm>
#include <cmath>
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

    const size_t N = numTris, L = numLights;
    std::vector<float4> vertices(3 * N), normals(3 * N), texCoords(3 * N);
    std::vector<int32_t> matIds(N);
    for (size_t i = 0; i < N; ++i) {
        const TriangleRecord& t = triangles[i];
        for (int k = 0; k < 3; ++k) {
            vertices[3 * i + k] = make_float4(t.vertices[3 * k], t.vertices[3 * k + 1], t.vertices[3 * k + 2], 1.0f);
            normals[3 * i + k] = make_float4(t.normals[3 * k], t.normals[3 * k + 1], t.normals[3 * k + 2], 1.0f);
            texCoords[3 * i + k] = make_float4(t.uvs[2 * k], t.uvs[2 * k + 1], 0.0f, 1.0f);
        }
        matIds[i] = t.materialId;
    }

    // A scene lit by the world alone still binds one (unread) light, as references
    // cannot be bound to nothing.
    const size_t LA = std::max<size_t>(L, 1);
    std::vector<float4> posCol(2 * LA), rotRows(3 * LA), spotData(LA);
    std::vector<uchar4> params(LA);
    std::vector<float> decayStart(LA);
    for (size_t j = 0; j < L; ++j) {
        const LightRecord& l = lights[j];
        posCol[2 * j] = make_float4(l.position[0], l.position[1], l.position[2], l.radius);
        posCol[2 * j + 1] = make_float4(l.color[0], l.color[1], l.color[2], l.intensity);
    }
    for (size_t j = 0; j < L; ++j)
        for (int r = 0; r < 3; ++r) {
            const float* m = lights[j].rotation + 3 * r;
            rotRows[3 * j + r] = make_float4(m[0], m[1], m[2], 0.0f);
        }
    for (size_t j = 0; j < L; ++j) {
        const LightRecord& l = lights[j];
        spotData[j] = make_float4(l.falloff, l.hotspot, l.rectWidth, l.rectHeight);
    }
    for (size_t j = 0; j < L; ++j) {
        const LightRecord& l = lights[j];
        params[j] = make_uchar4(l.type, l.decayType, host::lambertLight(*this, j) ? 1 : 0, 0);
        decayStart[j] = l.decayStart;
        if (indirectIllumination && l.decayType == 1) {
            platform::messageBox(
                "When using indirect illumination all lights must be configured with ATTENUATION enabled in order "
                "to get correct results.\n\nPlease activate attenuation on every light and setup light intensity "
                "accordingly.\nAborting render.",
                "Tessra");
            return false;
        }
    }

    // The scene's part of the ray offset (rayOffset): a millionth of its size.
    {
        float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (const float4& v : vertices) {
            const float c[3] = {v.x, v.y, v.z};
            for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], c[a]), hi[a] = std::max(hi[a], c[a]);
        }
        float size = 0.0f;
        for (int a = 0; a < 3; ++a) size = std::max(size, hi[a] - lo[a]);
        const float epsilon = size > 0.0f ? 1e-6f * size : 1e-6f;
        TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_rayEpsilon, &epsilon, 4), "volumeRender", __LINE__);
        float diagonal2 = 0.0f;
        for (int a = 0; a < 3; ++a) diagonal2 += (hi[a] - lo[a]) * (hi[a] - lo[a]);
        const float4 sphere = make_float4(0.5f * (lo[0] + hi[0]), 0.5f * (lo[1] + hi[1]), 0.5f * (lo[2] + hi[2]),
                                          0.5f * std::sqrt(diagonal2) + 4.0f * epsilon);
        const int world = host::worldLit(*this) ? 1 : 0;
        TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_worldSphere, &sphere, 16), "volumeRender", __LINE__);
        TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_worldLight, &world, 4), "volumeRender", __LINE__);
        // The world's photons leave before any light pass has written the colour.
        TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_envColor, envColor, 12), "volumeRender", __LINE__);
    }

    TESSRA_PRINTF("BuildOctree.\n");
    host::flushOut();
    host::status(this, "Building Octree...");
    octree = new Octree(numTris, vertices.data(), maxOctreeDepth);
    if (!octree->built()) {
        char message[256];
        std::snprintf(message, sizeof(message),
                      "The octree of %u triangles needs more than %llu nodes or triangle references at "
                      "maxOctreeDepth %u (overlapping triangles?). Lower maxOctreeDepth. Aborting rendering.",
                      numTris, static_cast<unsigned long long>(Octree::budget(numTris)), maxOctreeDepth);
        platform::messageBox(message, "Error");
        delete octree;
        octree = nullptr;
        return false;
    }
    SetCudaOctreeTextures(octree);
    TESSRA_PRINTF("BuildOK!n");
    host::flushOut();

    TESSRA_PRINTF("Pasando geometria a CUDA...\n");
    host::status(this, "Passing geometry to CUDA...");
    TESSRA_PRINTF("numTris: %d\n", int(numTris));
    TESSRA_PRINTF("numlighttris: %d\n", int(numlighttris));
    TESSRA_PRINTF("numLights: %d\n", int(numLights));

    d_triVertices = upload(this, vertices, 1016);
    d_triNormals = upload(this, normals, 1019);
    d_triTexCoords = upload(this, texCoords, 1022);
    d_triMatIds = upload(this, matIds, 1025);
    TESSRA_PRINTF("---0a---\n");
    host::flushOut();
    d_lightPosCol = upload(this, posCol, 1030);
    d_lightSpotData = upload(this, spotData, 1033);
    d_lightParams = upload(this, params, 1036);
    d_lightDecayStart = upload(this, decayStart, 1039);
    d_lightRotRows = upload(this, rotRows, 1042);
    if (!d_triVertices || !d_triNormals || !d_triTexCoords || !d_triMatIds || !d_lightPosCol || !d_lightSpotData ||
        !d_lightParams || !d_lightDecayStart || !d_lightRotRows)
        return false;
    TESSRA_PRINTF("---0c---\n");
    host::flushOut();
    SetCudaCustomTextures();
    TESSRA_PRINTF("---0d---\n");
    host::flushOut();

    const size_t M = materials.size();
    TESSRA_PRINTF("numMats: %d\n", int(M));
    std::vector<float4> diffuse(M), spec(M);
    std::vector<int4> caps(M);
    std::vector<uchar4> reflColor(M), refrColor(M);
    std::vector<float> reflGloss(M), refrGloss(M);
    for (size_t m = 0; m < M; ++m) {
        const material_t& mat = materials[m];
        diffuse[m] = make_float4(mat.diffuse[0], mat.diffuse[1], mat.diffuse[2], 1.0f);
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
            caps[m].x = LoadTexture(mat.diffuseMap);
            if (caps[m].x < 0) return false;
        }
        if (mat.secondMap) {
            caps[m].w = LoadTexture(mat.secondMap);
            if (caps[m].w < 0) return false;
        }
        if (mat.specular) {
            caps[m].w = 1;
            spec[m] = make_float4(mat.specularLevel, mat.specularExponent, 0, 0);
        }
    }

    TESSRA_PRINTF("---0g---\n");
    host::flushOut();
    TESSRA_PRINTF("numTex: %d\n", int(textureImages.size()));
    host::status(this, "Loading textures...");
    if (!textureImages.empty()) host::buildTextureAtlas(this);

    host::status(this, "Allocating material data on CUDA..");
    d_matDiffuse = upload(this, diffuse, 1208);
    d_matCaps = upload(this, caps, 1212);
    d_matSpec = upload(this, spec, 1216);
    d_matReflColor = upload(this, reflColor, 1220);
    d_matReflGloss = upload(this, reflGloss, 1224);
    d_matRefrColor = upload(this, refrColor, 1228);
    d_matRefrGloss = upload(this, refrGloss, 1232);
    if (!d_matDiffuse || !d_matCaps || !d_matSpec || !d_matReflColor || !d_matReflGloss || !d_matRefrColor ||
        !d_matRefrGloss || (!textureImages.empty() && (!d_textureAtlas || !d_textureSizes)))
        return false;

    host::status(this, "SetCudaMaterialTextures..");
    SetCudaMaterialTextures();
    if (!host::uploadEmitters(*this) || !host::uploadWorldImage(*this)) return false;

    if (indirectIllumination && usePhotonMapping) {
        // A photon count whose buffers do not fit is refused with a message instead of
        // ending the process halfway through the upload.
        const size_t bytes = size_t(numPhotons) * 16;
        void** buffers[] = {&d_photonPos, &d_photonDir, &d_photonCol, &d_photonInPos,
                            &d_photonInCol, &d_photonInDir, &d_photonNormals};
        for (void** b : buffers) {
            if (rt::malloc(b, bytes) != rt::Success) {
                *b = nullptr;
                char message[192];
                std::snprintf(message, sizeof(message),
                              "Not enough device memory for %u photons (%zu bytes per photon buffer).", numPhotons,
                              bytes);
                platform::messageBox(message, "Tessra error");
                return false;
            }
        }
        TESSRA_CHECK(rt::memset(d_photonPos, 0, bytes), "Tessra", 1244);
        TESSRA_CHECK(rt::memset(d_photonDir, 0, bytes), "Tessra", 1247);
        TESSRA_CHECK(rt::memset(d_photonCol, 0, bytes), "Tessra", 1250);
    }

    host::status(this, "Alloacting CUDA memory...");
    cameraMatrix[1] = -cameraMatrix[1];
    cameraMatrix[5] = -cameraMatrix[5];
    cameraMatrix[9] = -cameraMatrix[9];
    return true;
} catch (...) {
    host::reportException("initScene");
    return false;
}

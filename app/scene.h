// The scene of tessra-render: model files read through Assimp and JSON scene files,
// collected here first and handed to the renderer in one go by feedRenderer.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessra.h"

namespace tr {

// A failure to read the scene: the message names the file and, for JSON, the line,
// column and key.
struct SceneError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A light without attenuation: no decay, or inverse-square decay from 1 unit when
// indirect light is on (the library refuses lights without decay there).
constexpr int kDecayAuto = -1;

struct Light {
    LightType kind = LIGHT_OMNI;
    float position[3] = {0, 0, 0};
    float color[3] = {1, 1, 1};
    float rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    float intensity = 1;  // per light: feedRenderer divides by the light count
    float radius = 0;
    float width = 0, height = 0;
    float falloff = 0, hotspot = 0;
    int decay = kDecayAuto;  // or the renderer's code
    float decayStart = 1;
    bool cosine = false;  // a rectangle or sphere that emits with the cosine, as Blender's area and point lights
};

struct Camera {
    float eye[3] = {0, 0, 0};
    float right[3] = {1, 0, 0};
    float up[3] = {0, 1, 0};
    float back[3] = {0, 0, 1};  // the camera looks along -back
    float fovRadians = 0.785398f;
    bool fovIsVertical = false;  // glTF keeps its vertical angle at any output aspect
};

struct Material {
    std::string name;
    material_t m;
    std::string diffuseMap;  // empty: none
    float emission[3] = {0, 0, 0};  // radiance the surface emits (Tessra_SetMaterialEmission)
    float specularLayer[2] = {0, 0};  // normal reflectance and roughness (Tessra_SetMaterialSpecularLayer)
    bool emits() const { return emission[0] > 0 || emission[1] > 0 || emission[2] > 0; }
};

// Options that change how model files are read.
struct ImportOptions {
    float scale = 1.0f;
    char up = 'y';  // 'z': the file is Z-up and is turned to Y-up
    bool allowAnyFormat = false;
};

struct Scene {
    // The renderer's own records, so that a render can take them over without a copy.
    std::vector<TriangleRecord> triangles;
    std::vector<Material> materials;
    std::vector<Light> lights;
    bool hasCamera = false;
    Camera camera;
    bool hasBackground = false;
    float background[3] = {0, 0, 0};  // the world: seen where rays meet nothing, and lighting the scene
    // An equirectangular image of the world (linear RGB, row 0 looking up), which the
    // background colour multiplies; empty: the world is the colour alone.
    std::vector<float> environment;
    int environmentWidth = 0, environmentHeight = 0;
    float environmentTurn[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // scene directions into the image's frame
    bool worldLights() const {
        return hasBackground && (background[0] > 0 || background[1] > 0 || background[2] > 0);
    }
    // Gives the world an image, read from a file (see readImageRgb) or given as width x
    // height RGB pixels; the background colour turns white unless one was given. Throws
    // SceneError naming origin for a size or value the renderer cannot take.
    void setEnvironment(const std::string& path);
    void setEnvironment(int width, int height, std::vector<float> rgb, const std::string& origin);
    // Whether anything lights the scene: lights, the world or an emitting material.
    bool lit() const;
    // Render settings as FIELD=VALUE in the order given; see applySetting.
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<std::string> warnings;
    std::deque<std::string> tempFiles;  // embedded textures written out

    Scene() = default;
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;
    ~Scene();  // removes the temporary files

    // Bounding sphere of the triangles.
    void bounds(float centre[3], float& radius) const;
    int findMaterial(const std::string& name) const;
};

// Appends a model file (glTF, OBJ, PLY, STL; others only with allowAnyFormat) with the
// 4x4 row-major transform to the scene.
void importModel(Scene& scene, const std::string& path, const float transform[16], const ImportOptions& options);

// Reads a JSON scene file. Model paths and textures are relative to the file's folder.
void loadJsonScene(Scene& scene, const std::string& path, const ImportOptions& options);

constexpr size_t kMaxJsonSceneBytes = size_t(64) << 20;
constexpr size_t kMaxJsonDepth = 64;
using ModelLoader = std::function<void(Scene&, const std::string& path, const float transform[16], const ImportOptions&)>;
// loadJsonScene on text already read, as if from path; models go to loadModel (importModel
// for loadJsonScene).
void parseJsonScene(Scene& scene, const std::string& path, const std::string& text, const ImportOptions& options,
                    const ModelLoader& loadModel);

// What the hosts give a user who does not ask. Antialiasing: up to 3 x 3 rays where a pixel
// differs from a neighbour by more than the threshold (chosen by measurement:
// docs/tessra-render.md). Path bounces unless the user gives them: the photon map's default.
constexpr unsigned kDefaultAaSamples = 3;
constexpr float kDefaultAaThreshold = 0.1f;
constexpr unsigned kDefaultPathBounces = 2;

// Writes FIELD=VALUE into the renderer's public field; false with a reason for an unknown
// field or a value of the wrong type.
bool applySetting(TessraRendererCUDA& r, const std::string& field, const std::string& value, std::string& error);
// applySetting without writing anything.
bool checkSetting(const std::string& field, const std::string& value, std::string& error);
// The names applySetting knows, for --help.
std::vector<std::string> settingNames();

// The 3x4 camera-to-world rows the renderer expects (column 1 = up; the renderer flips it
// so that row 0 of the image is the top).
void cameraMatrix(const Camera& camera, float out[12]);
// A camera at eye looking at `at` with a horizontal field of view in degrees; false with
// the offending key ("look_at", "up" or "fov") and the reason when they make no camera.
bool lookAtCamera(const float eye[3], const float at[3], const float up[3], float fovDegrees, Camera& out,
                  std::string& badKey, std::string& error);
// Sets the rotation of an oriented light from the way it shines and an up hint.
void orientLight(Light& l, const float direction[3], const float up[3]);
// A metallic-roughness material (glTF's, Blender's Principled BSDF) on the renderer's
// fixed model: diffuse = base x (1 - metallic) x (1 - transmission), metal mirrors base x
// metallic, transmission refracts, roughness widens the glossy cone and the metal's
// highlight; the dielectric part gets a specular layer of 0.04 at that roughness.
void principledMaterial(const float base[3], float metallic, float roughness, float transmission, Material& out);
// A camera that frames the bounding sphere from +Z at 45 degrees.
Camera defaultCamera(const Scene& scene);

// Hands triangles, materials, lights and background to the renderer. The scene must
// outlive the render: the renderer keeps pointers to the texture paths. With handOver,
// which must be &scene.triangles, a renderer that has no triangles yet takes them over and
// leaves the scene without them: a copy of a few million into fresh memory took most of a
// second.
void feedRenderer(const Scene& scene, TessraRendererCUDA& r, std::vector<TriangleRecord>* handOver = nullptr);
// The bounding sphere of n triangle records.
void boundsOf(const TriangleRecord* t, size_t n, float centre[3], float& radius);
// Asks for huge pages over [p, p + bytes) before it is first written: fresh memory faults
// in 4 KiB at a time, one fault per 42 triangle records, which took most of the time of
// reading a binary file.
void adviseHugePages(const void* p, size_t bytes);
// After feedRenderer, fills in the settings the user left open (open(field) is true):
// the photon counts, and the photon settings derived from the scene; path tracing takes
// indirect light at its physical strength. Returns the photon settings used as one line
// (empty without a photon map), for verbose hosts.
std::string completeSettings(TessraRendererCUDA& r, const std::function<bool(const char*)>& open);

}  // namespace tr

namespace tr {
// The value of a setting as text, for the EXR header.
std::string settingValue(TessraRendererCUDA& r, const std::string& field);
}  // namespace tr

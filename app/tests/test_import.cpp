// What reaches the library from model files and JSON scene files: the renderer's own
// lists after the scene is fed, against values worked out here from the file contents.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>

#include "mesh_readers.h"
#include "scene.h"
#include "support.h"
#include "tessra.h"

namespace {

using namespace apptest;

struct Renderer {
    TessraRendererCUDA* r = Tessra_InitRenderer();
    ~Renderer() { Tessra_DeleteRenderer(&r); }
};

// A glTF file with a quad, three punctual lights and a camera, written from the constants
// the tests compare against.
const float kQuadCorners[4][3] = {{-1.5f, 0.3f, 0}, {-0.5f, 0.3f, 0}, {-0.5f, 1.0f, 0}, {-1.5f, 1.0f, 0}};
const float kPointAt[3] = {-1.0f, 0.65f, 2.0f};
const float kSpotAt[3] = {1.0f, 2.0f, 3.0f};
const float kCameraAt[3] = {0.2f, 0.1f, 5.0f};
const float kYfov = 0.8f, kAspect = 1.5f;
const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
// Quaternions x, y, z, w: the spot tilted 30 degrees down about x, the sun turned 40
// degrees about y; and where each turns the -z axis light shines along.
const float kSpotRotation[4] = {-0.258819045f, 0, 0, 0.965925826f};
const float kSunRotation[4] = {0, 0.342020143f, 0, 0.939692621f};
const float kSpotBeam[3] = {0, -0.5f, -0.866025404f};  // (0, -sin 30, -cos 30)
const float kSunBeam[3] = {-0.642787610f, 0, -0.766044443f};  // (-sin 40, 0, -cos 40)

std::string gltfScene() {
    const int order[6] = {0, 1, 2, 0, 2, 3};
    std::vector<float> data;
    for (int i : order) data.insert(data.end(), kQuadCorners[i], kQuadCorners[i] + 3);
    for (int i = 0; i < 6; ++i) data.insert(data.end(), {0.0f, 0.0f, 1.0f});
    const std::string bytes(reinterpret_cast<const char*>(data.data()), data.size() * 4);
    auto f = [](float v) { return std::to_string(v); };
    auto q = [&](const float* r) { return "[" + f(r[0]) + "," + f(r[1]) + "," + f(r[2]) + "," + f(r[3]) + "]"; };
    auto v3 = [&](const float* r) { return "[" + f(r[0]) + "," + f(r[1]) + "," + f(r[2]) + "]"; };
    return std::string(R"({"asset": {"version": "2.0"},
  "extensionsUsed": ["KHR_lights_punctual"],
  "extensions": {"KHR_lights_punctual": {"lights": [
    {"type": "point", "color": [0.5, 1.0, 0.5], "intensity": 5.0},
    {"type": "spot", "intensity": 3.0, "spot": {"innerConeAngle": 0.2, "outerConeAngle": 0.5}},
    {"type": "directional", "color": [1.0, 0.5, 0.25], "intensity": 2.0}]}},
  "scene": 0, "scenes": [{"nodes": [0, 1, 2, 3, 4]}],
  "nodes": [
    {"name": "Quad", "mesh": 0},
    {"name": "PointLamp", "translation": )") + v3(kPointAt) + R"(, "extensions": {"KHR_lights_punctual": {"light": 0}}},
    {"name": "SpotLamp", "translation": )" + v3(kSpotAt) + R"(, "rotation": )" + q(kSpotRotation) +
           R"(, "extensions": {"KHR_lights_punctual": {"light": 1}}},
    {"name": "Sun", "rotation": )" + q(kSunRotation) + R"(, "extensions": {"KHR_lights_punctual": {"light": 2}}},
    {"name": "Eye", "camera": 0, "translation": )" + v3(kCameraAt) + R"(}],
  "cameras": [{"type": "perspective", "perspective": {"yfov": )" + f(kYfov) + R"(, "aspectRatio": )" + f(kAspect) +
           R"(, "znear": 0.1}}],
  "materials": [{"name": "Paint", "pbrMetallicRoughness": {"baseColorFactor": [0.8, 0.6, 0.4, 1.0],
                 "metallicFactor": 0.5, "roughnessFactor": 0.5}}],
  "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "NORMAL": 1}, "material": 0}]}],
  "buffers": [{"byteLength": 144, "uri": "data:application/octet-stream;base64,)" + base64(bytes) + R"("}],
  "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": 72}, {"buffer": 0, "byteOffset": 72, "byteLength": 72}],
  "accessors": [
    {"bufferView": 0, "componentType": 5126, "count": 6, "type": "VEC3", "min": [-1.5, 0.3, 0], "max": [-0.5, 1.0, 0]},
    {"bufferView": 1, "componentType": 5126, "count": 6, "type": "VEC3"}]}
)";
}

float srgbReference(float v) {
    v = std::clamp(v, 0.0f, 1.0f);
    return 255.0f * (v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1 / 2.4f) - 0.055f);
}

// The glTF file's lights and material at the library, and its camera through
// tessra-render's image: where each camera ray meets the quad's plane follows from the
// file's numbers alone, and so does what the passes and the coverage hold there (the
// imported diffuse colour, the normal +z, the distance from the eye). The image is wider
// than the file's aspect ratio, so the vertical angle must be kept.
TEST(Import, GltfLightsMaterialAndCamera) {
    const std::string dir = scratchDir("gltf");
    writeFile(dir + "/scene.gltf", gltfScene());
    tr::Scene scene;
    tr::importModel(scene, dir + "/scene.gltf", kIdentity, {});
    Renderer rr;
    tr::feedRenderer(scene, *rr.r);
    ASSERT_EQ(rr.r->lights.size(), 3u);
    const LightRecord *point = nullptr, *spot = nullptr, *sun = nullptr;
    for (const LightRecord& l : rr.r->lights)
        (l.type == LIGHT_OMNI ? point : l.type == LIGHT_SPOT_CIRCLE ? spot : sun) = &l;
    ASSERT_TRUE(point && spot && sun && sun->type == LIGHT_DIR_CIRCLE);
    // Colour x intensity arrives as one colour whose peak is the intensity, shared by the
    // three lights (the kernel multiplies by the light count); the axis row of a light's
    // frame points back along its beam.
    float off[3], along = 0, r2 = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(point->position[i], kPointAt[i], 1e-5f);
        EXPECT_NEAR(point->color[i], i == 1 ? 1.0f : 0.5f, 1e-5f);
        EXPECT_NEAR(spot->position[i], kSpotAt[i], 1e-5f);
        EXPECT_NEAR(spot->rotation[6 + i], -kSpotBeam[i], 1e-5f) << i;
        EXPECT_NEAR(sun->rotation[6 + i], -kSunBeam[i], 1e-5f) << i;
        const float c = 0.5f * (kQuadCorners[0][i] + kQuadCorners[2][i]), half = kQuadCorners[2][i] - c;
        r2 += half * half;
        off[i] = sun->position[i] - c;
        along -= off[i] * kSunBeam[i];
    }
    EXPECT_NEAR(point->intensity, 5.0f / 3, 1e-5f);
    EXPECT_EQ(point->decayType, 3);  // glTF's inverse square law
    EXPECT_NEAR(point->decayStart, 1.0f, 1e-6f);
    // Half-angles in radians in the file, full angles in degrees at the library.
    EXPECT_NEAR(spot->falloff, 2 * 0.5f * 180 / 3.14159265f, 1e-3f);
    EXPECT_NEAR(spot->hotspot, 2 * 0.2f * 180 / 3.14159265f, 1e-3f);
    // The sun sits on the line through the centre of the scene's bounding sphere, outside it
    // against the beam, its cylinder covering the sphere (opposite corners 0 and 2).
    EXPECT_GT(along, std::sqrt(r2));
    EXPECT_NEAR(std::hypot(off[0], off[1], off[2]), along, 1e-4f);
    EXPECT_GE(sun->hotspot, std::sqrt(r2) * 0.9999f);
    EXPECT_GT(sun->falloff, sun->hotspot);
    // Half metal: half the base colour is diffuse, the rest a glossy mirror.
    const int paint = scene.findMaterial("Paint");
    ASSERT_GE(paint, 0);
    const material_t& m = rr.r->materials.at(size_t(paint));
    EXPECT_NEAR(m.diffuse[0], 0.4f, 1e-5f);
    EXPECT_TRUE(m.reflective && m.reflGloss < 1.0f && !m.refractive);
    for (const auto& t : rr.r->triangles) EXPECT_EQ(t.materialId, paint);

    ASSERT_EQ(rr.r->triangles.size(), 2u);
    const float* kd = m.diffuse;
    const int W = 72, H = 40;
    for (const char* ext : {"png", "exr"}) {
        std::vector<std::string> args = {dir + "/scene.gltf", "-o", dir + "/out." + ext, "--width", std::to_string(W),
                                         "--height", std::to_string(H), "--device", "cpu", "--transparent", "-q"};
        if (ext[0] == 'e') args.insert(args.end(), {"--aov", "albedo,normal,depth"});
        const RunResult r = runRender(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    const Rgba8 png = readPng(dir + "/out.png");
    int w = 0, h = 0;
    const std::vector<float> p = readExrPasses(dir + "/out.exr", w, h);
    ASSERT_TRUE(png.width == W && png.height == H && w == W && h == H);
    const float tanY = std::tan(0.5f * kYfov), tanX = tanY * float(W) / float(H);
    int inside = 0, outside = 0, fractional = 0, disagree = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const float* a = &p[11 * (size_t(y) * W + x)];
            const unsigned char* q8 = &png.px[4 * (size_t(y) * W + x)];
            // OpenEXR keeps the premultiplied colour, PNG the straight one.
            fractional += a[3] > 0.0f && a[3] < 1.0f;
            disagree += std::fabs(a[3] * 255.0f - q8[3]) > 0.51f;
            for (int c = 0; a[3] > 0.0f && c < 3; ++c) disagree += std::fabs(q8[c] - srgbReference(a[c] / a[3])) > 0.51f;
            // The camera ray through the pixel meets the plane z = 0 at (qx, qy); a pixel is
            // 0.106 wide there.
            const float dx = (2.0f * x / W - 1.0f) * tanX, dy = (1.0f - 2.0f * y / H) * tanY;
            const float qx = kCameraAt[0] + dx * kCameraAt[2], qy = kCameraAt[1] + dy * kCameraAt[2];
            auto within = [&](float m) {
                return qx > kQuadCorners[0][0] + m && qx < kQuadCorners[1][0] - m && qy > kQuadCorners[0][1] + m &&
                       qy < kQuadCorners[2][1] - m;
            };
            if (within(0.12f)) {
                ++inside;
                EXPECT_TRUE(a[3] == 1.0f && a[0] + a[1] + a[2] > 0.0f) << x << "," << y;
                for (int c = 0; c < 3; ++c) EXPECT_NEAR(a[4 + c], kd[c], 1e-6f);
                EXPECT_NEAR(a[9], 1.0f, 1e-5f);
                EXPECT_NEAR(a[10], kCameraAt[2] * std::sqrt(1 + dx * dx + dy * dy), 1e-2f);
            } else if (!within(-0.12f)) {
                ++outside;
                EXPECT_TRUE(a[3] == 0.0f && a[4] + a[5] + a[6] + std::fabs(a[9]) == 0.0f) << x << "," << y;
                EXPECT_TRUE(std::isinf(a[10]) && a[10] > 0) << x << "," << y;
            }
        }
    EXPECT_GT(inside, 20);
    EXPECT_GT(outside, W * H / 2);
    EXPECT_GT(fractional, 0);  // antialiased edges
    EXPECT_EQ(disagree, 0);
}

const char* kSevenLightsJson = R"({
  "models": [{"file": "tri.obj"}],
  "materials": {"base": {"reflection": [1, 1, 1], "reflection_gloss": 0.5, "diffuse": [0.1, 0.1, 0.1]}},
  "camera": {"position": [0, 0, 9], "look_at": [0, 0, 0], "fov": 40},
  "background": [0.1, 0.2, 0.3],
  "settings": {"numPhotons": 1234, "shadowMode": 0},
  "lights": [
    {"type": "point", "position": [0, 1, 1], "color": [1, 0.25, 0.5], "intensity": 1, "decay": "inverse", "decay_start": 2.5},
    {"type": "sphere", "position": [1, 1, 1], "radius": 0.3, "intensity": 2, "decay": "inverse_square"},
    {"type": "rect", "position": [2, 1, 1], "width": 0.7, "height": 0.4, "direction": [0, -1, 0], "up": [0, 0, 1],
     "intensity": 3, "decay": "none"},
    {"type": "spot", "position": [3, 1, 1], "direction": [0.6, 0, 0.8], "falloff": 40, "hotspot": 30, "intensity": 4,
     "decay_start": 4},
    {"type": "spot_rect", "position": [4, 1, 1], "rotation": [0, 0, 1, 1, 0, 0, 0, 1, 0], "falloff": 30, "hotspot": 20,
     "intensity": 5, "decay": 0},
    {"type": "directional", "position": [5, 1, 1], "direction": [0, 0, -1], "falloff": 2, "hotspot": 1.5, "intensity": 6},
    {"type": "directional_rect", "position": [6, 1, 1], "direction": [0, -1, 0], "falloff": 2, "hotspot": 1.5,
     "intensity": 7}
  ]
})";


TEST(Import, JsonSceneReachesEveryLightOperation) {
    const std::string dir = scratchDir("json-lights");
    writeFile(dir + "/tri.obj", "mtllib tri.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nusemtl base\nf 1//1 2//1 3//1\n");
    writeFile(dir + "/tri.mtl", "newmtl base\nKd 0.5 0.5 0.5\n");
    writeFile(dir + "/scene.json", kSevenLightsJson);
    tr::Scene scene;
    tr::loadJsonScene(scene, dir + "/scene.json", {});
    // The rectangular spot is reported as unsupported.
    Tessra_SetMessageHandler([](const char*, const char*, void*) {}, nullptr);
    Renderer rr, gi;
    std::string error;
    for (const auto& s : scene.settings) ASSERT_TRUE(tr::applySetting(*rr.r, s.first, s.second, error)) << error;
    tr::feedRenderer(scene, *rr.r);
    gi.r->indirectIllumination = true;
    tr::feedRenderer(scene, *gi.r);
    Tessra_SetMessageHandler(nullptr, nullptr);
    const auto& L = rr.r->lights;
    ASSERT_EQ(L.size(), 7u);
    const uint8_t kinds[7] = {LIGHT_OMNI, LIGHT_OMNI_SPHERE, LIGHT_RECT, LIGHT_SPOT_CIRCLE,
                              LIGHT_SPOT_RECT, LIGHT_DIR_CIRCLE, LIGHT_DIR_RECT};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(L[i].type, kinds[i]) << i;
        EXPECT_NEAR(L[i].position[0], float(i), 1e-6f);
        EXPECT_NEAR(L[i].intensity, (i + 1) / 7.0f, 1e-6f) << i;
    }
    // Each light's own fields: the decay given or "none" (1) without indirect light, a
    // spot's axis pointing back to the light, a rectangle's rotation rows passed as given.
    // Under indirect light a light given without decay fades from the scene's centre on,
    // here the middle of the one triangle's bounding box; a given decay keeps its start.
    const LightRecord& faded = gi.r->lights.at(2);
    const std::pair<float, float> fields[] = {
        {L[0].color[1], 0.25f},  {L[0].decayType, 2},      {L[0].decayStart, 2.5f},  {L[1].radius, 0.3f},
        {L[1].decayType, 3},     {L[2].rectWidth, 0.7f},   {L[2].rectHeight, 0.4f},  {L[2].rotation[7], -1},
        {L[2].decayType, 1},     {L[3].rotation[6], -0.6f}, {L[3].rotation[8], -0.8f}, {L[3].falloff, 40},
        {L[3].hotspot, 30},      {L[3].decayStart, 4},     {L[4].decayType, 0},      {faded.decayType, 3},    {gi.r->lights.at(0).decayStart, 2.5f},
        {faded.decayStart, std::hypot(faded.position[0] - 0.5f, faded.position[1] - 0.5f, faded.position[2])}};
    for (size_t k = 0; k < std::size(fields); ++k) EXPECT_NEAR(fields[k].first, fields[k].second, 1e-5f) << k;
    for (int k = 0; k < 9; ++k) EXPECT_EQ(L[4].rotation[k], "001100010"[k] - '0');
    // The material's overrides and the settings; a refused setting changes nothing.
    const material_t& m = rr.r->materials.at(size_t(scene.findMaterial("base")));
    EXPECT_TRUE(m.reflective && m.reflColor[0] == 255 && m.reflGloss == 0.5f && m.diffuse[0] == 0.1f);
    EXPECT_FALSE(tr::applySetting(*rr.r, "numPhotons", "-1", error));
    EXPECT_TRUE(rr.r->numPhotons == 1234u && rr.r->shadowMode == 0 && rr.r->envColor[2] == 0.3f);
}

TEST(Import, EmbeddedGltfTextureGoesToATemporaryFile) {
    const std::string dir = scratchDir("gltf-embedded");
    const std::string png = readAll(std::string(TESSRA_EXAMPLES_DIR) + "/checker.png");
    ASSERT_FALSE(png.empty());
    const float geometry[15] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1};  // positions, then uvs
    const std::string buffer = std::string(reinterpret_cast<const char*>(geometry), 60) + png;
    writeFile(dir + "/t.gltf", R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
  "nodes": [{"mesh": 0}],
  "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "TEXCOORD_0": 1}, "material": 0}]}],
  "materials": [{"name": "Tiles", "pbrMetallicRoughness": {"baseColorTexture": {"index": 0}}}],
  "textures": [{"source": 0}],
  "images": [{"bufferView": 2, "mimeType": "image/png"}],
  "buffers": [{"byteLength": )" + std::to_string(buffer.size()) +
                                   R"(, "uri": "data:application/octet-stream;base64,)" + base64(buffer) + R"("}],
  "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": 36}, {"buffer": 0, "byteOffset": 36, "byteLength": 24},
                  {"buffer": 0, "byteOffset": 60, "byteLength": )" + std::to_string(png.size()) + R"(}],
  "accessors": [
    {"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3", "min": [0, 0, 0], "max": [1, 1, 0]},
    {"bufferView": 1, "componentType": 5126, "count": 3, "type": "VEC2"}]})");
    std::string written;
    {
        tr::Scene scene;
        tr::importModel(scene, dir + "/t.gltf", kIdentity, {});
        const int m = scene.findMaterial("Tiles");
        ASSERT_GE(m, 0);
        written = scene.materials[size_t(m)].diffuseMap;
        EXPECT_EQ(readAll(written), png);
    }
    EXPECT_FALSE(std::filesystem::exists(written));  // removed with the scene
}

TEST(Import, ScaleAndUpAxisOfModelFiles) {
    const std::string dir = scratchDir("units");
    writeFile(dir + "/z.obj", "v 0 0 1\nv 1 0 1\nv 0 1 1\nvn 0 0 1\nf 1//1 2//1 3//1\n");
    tr::Scene scene;
    const float shift[16] = {1, 0, 0, 10, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};  // applied after scale and up
    tr::importModel(scene, dir + "/z.obj", shift, tr::ImportOptions{2, 'z'});  // scale 2, Z up
    ASSERT_EQ(scene.triangles.size(), 1u);
    const auto& t = scene.triangles[0];
    // (x, y, z) -> (x, z, -y), times 2, then x + 10; the +Z normal now points up.
    const float expect[18] = {10, 2, 0, 12, 2, 0, 10, 2, -2, 0, 1, 0, 0, 1, 0, 0, 1, 0};
    for (int i = 0; i < 18; ++i) EXPECT_NEAR(i < 9 ? t.vertices[i] : t.normals[i - 9], expect[i], 1e-5f) << i;
}

// A small height field of quads and triangle pairs, with normals and coordinates, is
// written as OBJ, PLY (text and both binary byte orders) and STL (text and binary) and read
// back; the triangles must be the generator's own. OBJ files must moreover come out of the
// dedicated reader exactly as Assimp read them, byte for byte: with normals, without them
// flat or under "s 1" smoothing, materials switching inside an object, and the examples.
struct Grid {
    static constexpr int kW = 5, kH = 4;
    std::vector<std::array<float, 8>> v;  // position, unit normal, coordinates
    std::vector<std::vector<int>> faces;  // quads on even cells, triangle pairs on odd ones
    Grid() {
        for (int j = 0; j <= kH; ++j)
            for (int i = 0; i <= kW; ++i) {
                const float x = 0.37f * i - 0.9f, y = 0.29f * j + 0.1f, l = std::sqrt(1 + x * x + y * y);
                v.push_back({x, 0.2f * std::sin(1.3f * x) * std::cos(y), -y, x / l, 1 / l, -y / l, float(i) / kW,
                             float(j) / kH});
            }
        for (int j = 0; j < kH; ++j)
            for (int i = 0; i < kW; ++i) {
                const int a = j * (kW + 1) + i, b = a + 1, c = b + kW + 1, d = a + kW + 1;
                if ((i + j) % 2 == 0) faces.push_back({a, b, c, d});
                else faces.push_back({a, b, c}), faces.push_back({a, c, d});
            }
    }
    // The renderer's records: quads split along their first diagonal; without the corners'
    // normals, the face's own.
    std::vector<std::array<float, 24>> triangles(bool normals, bool uvs) const {
        std::vector<std::array<float, 24>> out;
        for (const auto& f : faces)
            for (size_t k = 1; k + 1 < f.size(); ++k) {
                std::array<float, 24> t{};
                const int c[3] = {f[0], f[k], f[k + 1]};
                for (int q = 0; q < 3; ++q)
                    for (int i = 0; i < 3; ++i) {
                        t[3 * q + i] = v[size_t(c[q])][size_t(i)];
                        t[9 + 3 * q + i] = v[size_t(c[q])][size_t(3 + i)];
                        if (i < 2) t[18 + 2 * q + i] = uvs ? v[size_t(c[q])][size_t(6 + i)] : 0;
                    }
                const float a[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]}, b[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
                const float n[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
                for (int i = 0; !normals && i < 9; ++i) t[9 + i] = n[i % 3] / std::hypot(n[0], n[1], n[2]);
                out.push_back(t);
            }
        return out;
    }
};

// The values, space-separated, each exactly.
std::string nums(const float* v, int n) {
    std::ostringstream s;
    s.precision(9);
    for (int i = 0; i < n; ++i) s << (i ? " " : "") << v[i];
    return s.str();
}

template <typename T>
void put(std::string& s, T v, bool big) {
    char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    if (big) std::reverse(b, b + sizeof(T));
    s.append(b, sizeof(T));
}

void expectSameScene(const tr::Scene& a, const tr::Scene& b, const std::string& what) {
    SCOPED_TRACE(what);
    auto same = [](const auto& x, const auto& y) { return std::memcmp(&x, &y, sizeof(x)) == 0; };
    ASSERT_EQ(a.triangles.size(), b.triangles.size());
    for (size_t i = 0; i < a.triangles.size(); ++i) ASSERT_TRUE(same(a.triangles[i], b.triangles[i])) << "triangle " << i;
    EXPECT_TRUE(a.warnings == b.warnings);
    ASSERT_EQ(a.materials.size(), b.materials.size());
    for (size_t i = 0; i < a.materials.size(); ++i) {
        const tr::Material &x = a.materials[i], &y = b.materials[i];
        EXPECT_TRUE(x.name == y.name && x.diffuseMap == y.diffuseMap && same(x.emission, y.emission) &&
                    same(x.m.diffuse, y.m.diffuse) && x.m.reflective == y.m.reflective &&
                    x.m.refractive == y.m.refractive && same(x.m.reflColor, y.m.reflColor) &&
                    same(x.m.refrColor, y.m.refrColor) && x.m.specular == y.m.specular &&
                    x.m.specularLevel == y.m.specularLevel && x.m.specularExponent == y.m.specularExponent)
            << x.name;
    }
}

TEST(Import, MeshFormatsReadBackAndObjMatchesAssimp) {
    const std::string dir = scratchDir("mesh-formats");
    const Grid g;
    std::filesystem::create_directories(dir + "/tex");
    std::filesystem::copy_file(std::string(TESSRA_EXAMPLES_DIR) + "/checker.png", dir + "/tex/wood.png");
    // OBJ: one object whose material changes part way, negative indices in the last rows,
    // CRLF line ends in the first half.
    auto obj = [&](bool normals, const std::string& extra) {
        std::string s = "# grid\nmtllib grid.mtl\n" + extra + "o grid\nusemtl matte\n";
        for (size_t i = 0; i < g.v.size(); ++i) {
            s += "v " + nums(&g.v[i][0], 3) + (i < 10 ? "\r\n" : "\n");
            if (normals) s += "vn " + nums(&g.v[i][3], 3) + "\n";
            s += "vt " + nums(&g.v[i][6], 2) + "\n";
        }
        for (size_t f = 0; f < g.faces.size(); ++f) {
            if (f == g.faces.size() / 2) s += "usemtl glass\ng second half\nusemtl glass\n";
            s += "f";
            for (int v : g.faces[f]) {
                const std::string i = std::to_string(f + 3 > g.faces.size() ? v - int(g.v.size()) : v + 1);
                s += " " + i + "/" + i + (normals ? "/" + i : "");
            }
            s += "\n";
        }
        return s;
    };
    writeFile(dir + "/grid.mtl",
              "newmtl matte\n  Kd 0.5 0.25 0.125\n  map_Kd -bm 0.5 tex\\wood.png\nillum 2\nKs 0.4 0.2 0.1\nNs 77\nKe 0.5 1 2\n"
              "newmtl glass\nKd 0.1 0.1 0.1\nTf 0.9 1 0.8\nTr 0.75\nNi 1.45\nillum 7\nKs 1 1 1\n"
              "newmtl mirror\nKd 0.1 0.2 0.3\nKs 0.9 0.8 0.7\nNs 50\nillum 3\nnewmtl dull\nKd 1 0 0\nKs 0.5 0.5 0.5\nillum 1\n");
    writeFile(dir + "/smooth.obj", obj(false, "s 1\n"));
    writeFile(dir + "/flat.obj", obj(false, ""));
    // PLY in its three encodings: positions, normals, a colour to skip and coordinates, then
    // the faces.
    auto ply = [&](const std::string& format) {
        const bool text = format == "ascii", big = format == "binary_big_endian";
        std::string s = "ply\nformat " + format + " 1.0\ncomment made by the test\nelement vertex " +
                        std::to_string(g.v.size()) +
                        "\nproperty float x\nproperty float y\nproperty float z\nproperty float nx\nproperty float ny\n"
                        "property float nz\nproperty uchar red\nproperty float u\nproperty float v\nelement face " +
                        std::to_string(g.faces.size()) + "\nproperty list uchar int vertex_indices\nend_header\n";
        for (const auto& p : g.v) {
            for (int k = 0; k < 8; ++k) {
                if (k == 6) text ? void(s += "200 ") : put<uint8_t>(s, 200, big);
                text ? void(s += nums(&p[k], 1) + " ") : put(s, p[k], big);
            }
            if (text) s += "\n";
        }
        for (const auto& f : g.faces) {
            text ? void(s += std::to_string(f.size())) : put(s, uint8_t(f.size()), big);
            for (int v : f) text ? void(s += " " + std::to_string(v)) : put(s, int32_t(v), big);
            if (text) s += "\n";
        }
        return s;
    };
    // STL: one facet per triangle with the face's own normal.
    const std::vector<std::array<float, 24>> faceted = g.triangles(false, false), full = g.triangles(true, true);
    std::string stlText = "solid grid\n", stlBinary = std::string(80, ' ');
    put(stlBinary, uint32_t(faceted.size()), false);
    for (const auto& t : faceted) {
        stlText += "facet normal " + nums(&t[9], 3) + "\n outer loop\n";
        for (int k = 0; k < 12; ++k) put(stlBinary, t[(k + 9) % 12], false);
        for (int v = 0; v < 3; ++v) stlText += "  vertex " + nums(&t[3 * v], 3) + "\n";
        stlText += " endloop\nendfacet\n";
        stlBinary += std::string(2, '\0');
    }
    stlText += "endsolid grid\n";
    // Binary files are exact: the very floats written.
    struct File { std::string name, text; const std::vector<std::array<float, 24>>& expected; bool exact; };
    for (const File& f : {File{"grid.obj", obj(true, ""), full, false}, File{"text.ply", ply("ascii"), full, false},
                          File{"little.ply", ply("binary_little_endian"), full, true},
                          File{"big.ply", ply("binary_big_endian"), full, true}, File{"text.stl", stlText, faceted, false},
                          File{"binary.stl", stlBinary, faceted, true}}) {
        SCOPED_TRACE(f.name);
        writeFile(dir + "/" + f.name, f.text);
        tr::Scene scene;
        tr::importModel(scene, dir + "/" + f.name, kIdentity, {});
        ASSERT_EQ(scene.triangles.size(), f.expected.size());
        for (size_t i = 0; i < f.expected.size(); ++i)
            for (size_t k = 0; k < 24; ++k) {
                // Normals arrive normalised; the generator's are unit already.
                const TriangleRecord& t = scene.triangles[i];
                const float want = f.expected[i][k], got = k < 9 ? t.vertices[k] : k < 18 ? t.normals[k - 9] : t.uvs[k - 18];
                if (f.exact && k < 9) ASSERT_EQ(got, want) << "triangle " << i << " value " << k;
                else ASSERT_NEAR(got, want, 2e-6f) << "triangle " << i << " value " << k;
            }
        if (f.name == "grid.obj") {
            // The MTL statements on the renderer's material model.
            auto get = [&](const char* name) { return scene.materials.at(size_t(std::max(scene.findMaterial(name), 0))); };
            const tr::Material matte = get("matte"), glass = get("glass"), mirror = get("mirror"), dull = get("dull");
            ASSERT_TRUE(matte.name == "matte" && glass.name == "glass" && mirror.name == "mirror" && dull.name == "dull");
            EXPECT_TRUE(mirror.m.reflective && !mirror.m.refractive && mirror.m.reflGloss == 1.0f);
            EXPECT_TRUE(mirror.m.reflColor[0] == 230 && mirror.m.diffuse[1] == 0.2f);  // Ks 0.9
            EXPECT_TRUE(glass.m.refractive);
            EXPECT_NEAR(glass.m.refrColor[0], 0.9 * 0.75 * 255, 1);  // Tf x Tr
            EXPECT_TRUE(matte.m.specular && !dull.m.specular);  // illum 1 has no highlight
            EXPECT_TRUE(matte.m.specularLevel == 0.4f && matte.m.specularExponent == 77.0f);
            EXPECT_TRUE(std::filesystem::equivalent(matte.diffuseMap, dir + "/tex/wood.png")) << matte.diffuseMap;
            EXPECT_TRUE(dull.diffuseMap.empty() && !mirror.emits());
            EXPECT_TRUE(matte.emission[0] == 0.5f && matte.emission[1] == 1.0f && matte.emission[2] == 2.0f);  // Ke
        }
    }
    for (const std::string path : {dir + "/grid.obj", dir + "/smooth.obj", dir + "/flat.obj",
                                   std::string(TESSRA_EXAMPLES_DIR) + "/cornell-box.obj",
                                   std::string(TESSRA_EXAMPLES_DIR) + "/materials.obj"}) {
        tr::Scene ours, assimp;
        tr::importModel(ours, path, kIdentity, {});
        tr::importWithAssimp(assimp, path, kIdentity, {});
        expectSameScene(ours, assimp, path);
    }
}

}  // namespace

// A glTF file with a quad, three punctual lights and a camera, written from the constants
// the tests compare against.
#pragma once

#include <string>
#include <vector>

#include "support.h"

namespace apptest {

inline const float kQuadCorners[4][3] = {{-1.5f, 0.3f, 0}, {-0.5f, 0.3f, 0}, {-0.5f, 1.0f, 0}, {-1.5f, 1.0f, 0}};
inline const float kPointAt[3] = {-1.0f, 0.65f, 2.0f};
inline const float kSpotAt[3] = {1.0f, 2.0f, 3.0f};
inline const float kCameraAt[3] = {0.2f, 0.1f, 5.0f};
inline const float kYfov = 0.8f, kAspect = 1.5f;
inline const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
// Quaternions x, y, z, w: the spot tilted 30 degrees down about x, the sun turned 40
// degrees about y; and where each turns the -z axis light shines along.
inline const float kSpotRotation[4] = {-0.258819045f, 0, 0, 0.965925826f};
inline const float kSunRotation[4] = {0, 0.342020143f, 0, 0.939692621f};
inline const float kSpotBeam[3] = {0, -0.5f, -0.866025404f};  // (0, -sin 30, -cos 30)
inline const float kSunBeam[3] = {-0.642787610f, 0, -0.766044443f};  // (-sin 40, 0, -cos 40)

inline std::string gltfScene() {
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

}  // namespace apptest

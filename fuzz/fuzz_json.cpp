// JSON scene text through the reader and all of its checks, up to the model files: those
// go to a stand-in that adds one triangle and a material, so Assimp stays out of the way.
// Every input must be read or refused with a SceneError; any other exception, crash or
// runaway allocation is a bug.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "scene.h"

namespace {

// A folder with the files the seeds name, so that the file checks pass as well as fail.
std::string makeFolder() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "tessra-fuzz-json";
    std::filesystem::create_directories(dir / "folder.obj");
    for (const char* name : {"tri.obj", "box.glb", "tex.png"})
        if (std::FILE* f = std::fopen((dir / name).c_str(), "ab")) std::fclose(f);
    return (dir / "scene.json").string();
}

void standIn(tr::Scene& scene, const std::string&, const float t[16], const tr::ImportOptions&) {
    TriangleRecord tri{};
    for (int v = 0; v < 3; ++v)
        for (int i = 0; i < 3; ++i) tri.vertices[3 * v + i] = t[4 * i + 3] + (v == i ? t[4 * i + i] : 0.0f);
    tri.materialId = int(scene.materials.size());
    scene.triangles.push_back(tri);
    tr::Material m;
    m.name = "DefaultMaterial";
    scene.materials.push_back(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = makeFolder();
    tr::Scene scene;
    try {
        tr::parseJsonScene(scene, path, std::string(reinterpret_cast<const char*>(data), size), tr::ImportOptions{},
                           &standIn);
    } catch (const tr::SceneError& e) {
        // Every refusal names the file.
        if (std::string(e.what()).rfind(path, 0) != 0) std::abort();
        return 0;
    }
    // What was read must be what the renderer can take: finite numbers throughout.
    for (const tr::Light& l : scene.lights)
        for (float v : {l.position[0], l.position[1], l.position[2], l.intensity, l.falloff, l.hotspot, l.radius})
            if (!std::isfinite(v)) std::abort();
    return 0;
}

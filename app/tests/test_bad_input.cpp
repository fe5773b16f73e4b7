// Bad input through tessra-render, one table: every case must end with its exit code and a
// message naming the file (and for JSON the line, column and key), within a time limit,
// leaving no image and no temporary behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include <sys/stat.h>
#include <unistd.h>

#include "support.h"

namespace {

using namespace apptest;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Case {
    std::string name;   // the scene file in the case's folder, or a model given directly
    std::string text;   // its contents; ignored when make is set
    int exitCode;
    std::vector<std::string> want;  // in standard error besides the scene path
    std::function<void(const std::string& dir)> make = nullptr;
    std::vector<std::string> extraArgs = {};
};

// Line 1 of most JSON cases; the bad part sits on line 2 so the position can be checked.
const std::string kModel = "{\"models\": [{\"file\": \"tri.obj\"}],\n";
const std::string kLight = ",\n \"lights\": [{\"type\": \"point\", \"position\": [0, 0, 2]}]}";
std::string light(const std::string& fields) { return kModel + " \"lights\": [{" + fields + "}]}"; }
std::string withLight(const std::string& line2) { return kModel + " " + line2 + kLight; }

void fifo(const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path; }
void folder(const std::string& path) { std::filesystem::create_directories(path); }
std::string bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(rng());
    return s;
}
std::string le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

std::vector<Case> cases() {
    const std::string spot = "\"type\": \"spot\", \"position\": [0, 0, 2], \"direction\": [0, 0, -1]";
    std::vector<Case> c = {
        // Camera.
        {"cam-type.json", withLight("\"camera\": {\"position\": \"here\", \"look_at\": [0, 0, 0]}"), 1,
         {":2:", "'camera.position'", "three numbers"}},
        {"cam-missing.json", withLight("\"camera\": {\"position\": [0, 0, 5]}"), 1, {":2:", "'camera'", "look_at"}},
        {"cam-unknown.json", withLight("\"camera\": {\"position\": [0, 0, 5], \"look_at\": [0, 0, 0], \"zoom\": 2}"), 1,
         {":2:", "'camera.zoom'", "unknown key"}},
        {"cam-fov-nan.json", withLight("\"camera\": {\"position\": [0, 0, 5], \"look_at\": [0, 0, 0], \"fov\": \"NaN\"}"),
         1, {":2:", "'camera.fov'", "expected a number"}},
        {"cam-fov-range.json", withLight("\"camera\": {\"position\": [0, 0, 5], \"look_at\": [0, 0, 0], \"fov\": 180}"), 1,
         {":2:", "'camera.fov'"}},
        {"cam-huge.json", withLight("\"camera\": {\"position\": [1e300, 0, 5], \"look_at\": [0, 0, 0]}"), 1,
         {":2:", "'camera.position[0]'", "out of range"}},
        {"cam-at-eye.json", withLight("\"camera\": {\"position\": [0, 0, 5], \"look_at\": [0, 0, 5]}"), 1,
         {":2:", "'camera.look_at'"}},
        // Lights of each kind.
        {"light-no-position.json", light("\"type\": \"point\""), 1, {":2:", "'lights[0]'", "position"}},
        {"light-color.json", light("\"type\": \"point\", \"position\": [0, 0, 2], \"color\": \"red\""), 1,
         {":2:", "'lights[0].color'"}},
        {"light-type.json", light("\"type\": 3, \"position\": [0, 0, 2]"), 1, {":2:", "'lights[0].type'", "string"}},
        {"light-sphere.json", light("\"type\": \"sphere\", \"position\": [0, 0, 2], \"radius\": -1"), 1,
         {":2:", "'lights[0].radius'"}},
        {"light-rect-width.json",
         light("\"type\": \"rect\", \"position\": [0, 0, 2], \"direction\": [0, 0, -1], \"width\": \"2\", \"height\": 1"),
         1, {":2:", "'lights[0].width'"}},
        {"light-rect-height.json", light("\"type\": \"rect\", \"position\": [0, 0, 2], \"width\": 1"), 1,
         {":2:", "'lights[0]'", "height"}},
        {"light-spot-dir.json", light("\"type\": \"spot\", \"position\": [0, 0, 2], \"falloff\": 30"), 1,
         {":2:", "'lights[0]'", "direction"}},
        {"light-spot-cone.json", light(spot + ", \"falloff\": 30, \"hotspot\": 30"), 1,
         {":2:", "'lights[0].hotspot'"}},
        {"light-spot-falloff.json", light(spot), 1, {":2:", "'lights[0]'", "falloff"}},
        {"light-dir-zero.json", light("\"type\": \"directional\", \"position\": [0, 0, 2], \"direction\": [0, 0, 0]"), 1,
         {":2:", "'lights[0].direction'"}},
        {"light-dirrect-rot.json",
         light("\"type\": \"directional_rect\", \"position\": [0, 0, 2], \"rotation\": [1, 0, 0], \"falloff\": 1"), 1,
         {":2:", "'lights[0].rotation'", "9 numbers"}},
        {"light-decay.json", light("\"type\": \"point\", \"position\": [0, 0, 2], \"decay\": \"quadratic\""), 1,
         {":2:", "'lights[0].decay'"}},
        {"light-decay-start.json",
         light("\"type\": \"sphere\", \"position\": [0, 0, 2], \"radius\": 1, \"decay_start\": 2"), 1,
         {":2:", "'lights[0].decay_start'"}},
        {"light-intensity.json", light("\"type\": \"point\", \"position\": [0, 0, 2], \"intensity\": \"NaN\""), 1,
         {":2:", "'lights[0].intensity'"}},
        {"light-unknown.json", light("\"type\": \"point\", \"position\": [0, 0, 2], \"shadow\": true"), 1,
         {":2:", "'lights[0].shadow'", "unknown key"}},
        {"lights-object.json", kModel + " \"lights\": {}}", 1, {":2:", "'lights'", "array"}},
        // Materials and their textures.
        {"mat-name.json", withLight("\"materials\": {\"nope\": {\"diffuse\": [1, 0, 0]}}"), 1,
         {":2:", "'materials.nope'"}},
        {"mat-diffuse.json", withLight("\"materials\": {\"DefaultMaterial\": {\"diffuse\": [1, 0]}}"), 1,
         {":2:", "'materials.DefaultMaterial.diffuse'"}},
        {"mat-gloss.json", withLight("\"materials\": {\"DefaultMaterial\": {\"reflection_gloss\": \"high\"}}"), 1,
         {":2:", "'materials.DefaultMaterial.reflection_gloss'"}},
        {"mat-unknown.json", withLight("\"materials\": {\"DefaultMaterial\": {\"shininess\": 5}}"), 1,
         {":2:", "'materials.DefaultMaterial.shininess'", "unknown key"}},
        {"mat-tex-missing.json", withLight("\"materials\": {\"DefaultMaterial\": {\"texture\": \"gone.png\"}}"), 1,
         {":2:", "'materials.DefaultMaterial.texture'", "gone.png", "does not exist"}},
        {"mat-tex-folder.json", withLight("\"materials\": {\"DefaultMaterial\": {\"texture\": \"texdir.png\"}}"), 1,
         {":2:", "'materials.DefaultMaterial.texture'", "texdir.png", "folder"}},
        {"mat-tex-fifo.json", withLight("\"materials\": {\"DefaultMaterial\": {\"texture\": \"fifo.png\"}}"), 1,
         {":2:", "'materials.DefaultMaterial.texture'", "fifo.png", "not a regular file"}},
        {"mat-tex-number.json", withLight("\"materials\": {\"DefaultMaterial\": {\"texture\": 5}}"), 1,
         {":2:", "'materials.DefaultMaterial.texture'", "string"}},
        {"mat-list.json", withLight("\"materials\": [1]"), 1, {":2:", "'materials'"}},
        // Settings.
        {"set-width-0.json", withLight("\"settings\": {\"width\": 0}"), 1, {":2:", "'settings.width'"}},
        {"set-width-neg.json", withLight("\"settings\": {\"width\": -1}"), 1, {":2:", "'settings.width'"}},
        {"set-height-big.json", withLight("\"settings\": {\"height\": 65537}"), 1, {":2:", "'settings.height'"}},
        {"set-string.json", withLight("\"settings\": {\"numBounces\": \"3\"}"), 1,
         {":2:", "'settings.numBounces'", "number"}},
        {"set-unknown.json", withLight("\"settings\": {\"fog\": 1}"), 1, {":2:", "'settings.fog'", "unknown"}},
        {"set-negative.json", withLight("\"settings\": {\"numPhotons\": -5}"), 1, {":2:", "'settings.numPhotons'"}},
        {"set-huge.json", withLight("\"settings\": {\"fieldOfView\": 1e300}"), 1, {":2:", "'settings.fieldOfView'"}},
        {"set-overflow.json", withLight("\"settings\": {\"fieldOfView\": 1e999}"), 1,
         {":2:30:", "out of range", "1e999"}},
        {"cam-overflow.json", withLight("\"camera\": {\"position\": [0, -2e400, 5], \"look_at\": [0, 0, 0]}"), 1,
         {":2:29:", "out of range", "-2e400"}},
        {"set-fraction.json", withLight("\"settings\": {\"maxOctreeDepth\": 2.5}"), 1,
         {":2:", "'settings.maxOctreeDepth'"}},
        {"set-array.json", withLight("\"settings\": [1]"), 1, {":2:", "'settings'"}},
        // Models.
        {"models-object.json", "{\n \"models\": {\"file\": \"tri.obj\"}" + kLight, 1, {":2:", "'models'"}},
        {"model-no-file.json", "{\n \"models\": [{\"translate\": [0, 0, 0]}]" + kLight, 1, {":2:", "'models[0]'", "file"}},
        {"model-file-number.json", "{\n \"models\": [{\"file\": 7}]" + kLight, 1, {":2:", "'models[0].file'"}},
        {"model-scale.json", "{\n \"models\": [{\"file\": \"tri.obj\", \"scale\": \"big\"}]" + kLight, 1,
         {":2:", "'models[0].scale'"}},
        {"model-matrix.json", "{\n \"models\": [{\"file\": \"tri.obj\", \"matrix\": [1, 0, 0]}]" + kLight, 1,
         {":2:", "'models[0].matrix'", "16"}},
        {"model-rotate.json", "{\n \"models\": [{\"file\": \"tri.obj\", \"rotate\": [90, \"NaN\", 0, 1]}]" + kLight, 1,
         {":2:", "'models[0].rotate[1]'"}},
        {"model-unknown.json", "{\n \"models\": [{\"file\": \"tri.obj\", \"mirror\": true}]" + kLight, 1,
         {":2:", "'models[0].mirror'", "unknown key"}},
        {"model-folder.json", "{\n \"models\": [{\"file\": \"folder.obj\"}]" + kLight, 1,
         {":2:", "'models[0].file'", "folder"}},
        {"model-fifo.json", "{\n \"models\": [{\"file\": \"fifo.obj\"}]" + kLight, 1,
         {":2:", "'models[0].file'", "not a regular file"}},
        {"model-corrupt.json", "{\n \"models\": [{\"file\": \"corrupt.glb\"}]" + kLight, 1, {":2:", "'models[0].file'"}},
        // Whole documents.
        {"background.json", withLight("\"background\": \"blue\""), 1, {":2:", "'background'"}},
        {"top-unknown.json", withLight("\"fog\": 1"), 1, {":2:", "'fog'", "unknown key"}},
        {"empty.json", "", 1, {":1:1:", "syntax error"}},
        {"blank.json", "\n\n  \n", 1, {":4:1:", "syntax error"}},
        {"truncated.json", "{\"models\": [{\"file\": \"tri.o", 1, {":1:", "syntax error"}},
        {"array.json", "[]", 1, {"expected an object"}},
        {"null.json", "null", 1, {"expected an object"}},
        {"no-triangles.json", "{}", 1, {"no triangles"}},
        {"bad-utf8.json", "{\"fog\xff\": 1}", 1, {":1:", "syntax error"}},
        {"deep-open.json", std::string(100000, '['), 1, {":1:65:", "nested deeper"}},
        {"deep-closed.json", "{\"models\": " + std::string(100000, '[') + std::string(100000, ']') + "}", 1,
         {":1:", "nested deeper"}},
        {"huge.json", "", 1, {"too large"},
         [](const std::string& dir) {
             // 3 GB declared and nothing in it: a sparse file.
             writeFile(dir + "/huge.json", "");
             ASSERT_EQ(truncate((dir + "/huge.json").c_str(), 3LL << 30), 0);
         }},
        {"scene-folder.json", "", 1, {"folder"}, [](const std::string& dir) { folder(dir + "/scene-folder.json"); }},
        {"scene-fifo.json", "", 1, {"not a regular file"}, [](const std::string& dir) { fifo(dir + "/scene-fifo.json"); }},
        {"model-fifo.stl", "", 1, {"not a regular file"}, [](const std::string& dir) { fifo(dir + "/model-fifo.stl"); }},
        {"model-folder.ply", "", 1, {"folder"}, [](const std::string& dir) { folder(dir + "/model-folder.ply"); }},
        // Model files given directly: empty, truncated, corrupt.
        {"empty.obj", "", 1, {}},
        {"empty.ply", "", 1, {}},
        {"empty.stl", "", 1, {}},
        {"empty.gltf", "", 1, {}},
        {"empty.glb", "", 1, {}},
        {"faces-only.obj", "f 1 2 3\nf 4 5 6\n", 1, {}},
        {"huge-count.ply", "ply\nformat binary_little_endian 1.0\nelement vertex 2000000000\nproperty float x\n"
                           "property float y\nproperty float z\nend_header\n" + bytes(64, 1), 1, {}},
        {"huge-count.stl", std::string(80, ' ') + le32(0x7fffffff) + bytes(100, 2), 1, {}},
        {"huge-length.glb", "glTF" + le32(2) + le32(0x7fffffff) + le32(64) + "JSON" + bytes(40, 3), 1, {}},
        {"huge-buffer.gltf", "{\"asset\": {\"version\": \"2.0\"}, \"buffers\": [{\"byteLength\": 2000000000}],"
                             " \"bufferViews\": [{\"buffer\": 0, \"byteLength\": 2000000000}], \"accessors\": "
                             "[{\"bufferView\": 0, \"componentType\": 5126, \"count\": 166666666, \"type\": \"VEC3\"}],"
                             " \"meshes\": [{\"primitives\": [{\"attributes\": {\"POSITION\": 0}}]}],"
                             " \"nodes\": [{\"mesh\": 0}], \"scenes\": [{\"nodes\": [0]}]}", 1, {}},
        {"truncated.gltf", "{\"asset\": {\"version\": \"2.0\"}, \"meshes\": [{\"primi", 1, {}},
        {"corrupt.obj", bytes(4096, 4), 1, {}},
        {"corrupt.ply", "ply\n" + bytes(4096, 5), 1, {}},
        {"corrupt.stl", "solid x\n" + bytes(4096, 6), 1, {}},
        {"corrupt.gltf", bytes(4096, 7), 1, {}},
        {"corrupt.glb", "glTF" + bytes(4096, 8), 1, {}},
        {"tex-folder.obj", "mtllib tex-folder.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n", 1,
         {"texdir.png", "folder"}},
        {"tex-fifo.obj", "mtllib tex-fifo.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n", 1,
         {"fifo.png", "not a regular file"}},
        // Command-line values.
        {"width-0", "", 2, {}, nullptr, {"--width", "0"}},
        {"width-neg", "", 2, {}, nullptr, {"--width", "-1"}},
        {"width-big", "", 2, {}, nullptr, {"--width", "65537"}},
        {"scale-nan", "", 2, {}, nullptr, {"--scale", "nan"}},
        {"scale-huge", "", 2, {}, nullptr, {"--scale", "1e300"}},
        {"radius-inf", "", 2, {}, nullptr, {"--photon-radius", "inf"}},
        {"background-nan", "", 2, {}, nullptr, {"--background", "0", "nan", "0"}},
        {"set-nan", "", 2, {}, nullptr, {"--set", "fieldOfView=NaN"}},
        {"set-huge", "", 2, {}, nullptr, {"--set", "numPhotons=99999999999"}},
    };
    return c;
}

TEST(BadInput, EveryCaseFailsCleanly) {
    const std::string dir = scratchDir("bad-input");
    const std::string outDir = dir + "/out", tmpDir = dir + "/tmp";
    folder(outDir);
    folder(tmpDir);
    // Embedded textures would go to TMPDIR; the child inherits it.
    setenv("TMPDIR", tmpDir.c_str(), 1);
    writeFile(dir + "/tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    folder(dir + "/texdir.png");
    folder(dir + "/folder.obj");
    fifo(dir + "/fifo.png");
    fifo(dir + "/fifo.obj");
    writeFile(dir + "/corrupt.glb", "glTF" + bytes(512, 9));
    writeFile(dir + "/tex-folder.mtl", "newmtl m\nKd 1 1 1\nmap_Kd texdir.png\n");
    writeFile(dir + "/tex-fifo.mtl", "newmtl m\nKd 1 1 1\nmap_Kd fifo.png\n");

    int tried = 0;
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const std::string scene = dir + "/" + c.name;
        std::vector<std::string> args;
        if (!c.extraArgs.empty()) {
            args = {dir + "/tri.obj"};
        } else {
            if (c.make) c.make(dir);
            else writeFile(scene, c.text);
            args = {scene};
        }
        const std::string out = outDir + "/" + c.name + ".png";
        args.insert(args.end(), {"-o", out, "--width", "16", "--height", "16", "--device", "cpu", "--threads", "1"});
        args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
        const RunResult r = runRender(args, 60);
        ++tried;
        ASSERT_FALSE(r.timedOut) << "hung";
        EXPECT_LT(r.exitCode, 128) << "killed by signal " << r.exitCode - 128 << "\n" << r.err;
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        if (c.extraArgs.empty()) EXPECT_TRUE(contains(r.err, scene)) << r.err;
        else EXPECT_FALSE(r.err.empty());
        for (const std::string& w : c.want) EXPECT_TRUE(contains(r.err, w)) << "wanted '" << w << "' in\n" << r.err;
        EXPECT_FALSE(contains(r.err, "terminate")) << r.err;
        EXPECT_TRUE(listDir(outDir).empty()) << "an image or temporary was left";
        EXPECT_TRUE(listDir(tmpDir).empty()) << "a temporary was left";
        std::error_code ec;
        std::filesystem::remove(scene, ec);  // the huge sparse file, mostly
    }
    unsetenv("TMPDIR");
    EXPECT_GE(tried, 25);
    std::printf("[ bad input ] %d cases through tessra-render\n", tried);
}

}  // namespace

// tessra-render as a user runs it: files written and read back with their own
// libraries, bad files and options and their exit codes, Ctrl-C.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>

#include "image_io.h"
#include "support.h"

namespace {

using namespace apptest;

const std::string kExamples = TESSRA_EXAMPLES_DIR;

TEST(Cli, AFailedWriteLeavesNoTemporary) {
    const std::string dir = scratchDir("atomic");
    tr::Image im;
    im.width = im.height = 2;
    im.rgba.assign(16, 0.5f);
    std::filesystem::create_directories(dir + "/taken.png");  // rename onto a folder fails
    EXPECT_THROW(tr::writeImage(dir + "/taken.png", im), std::exception);
    EXPECT_THROW(tr::writeImage(dir + "/missing-folder/x.exr", im), std::exception);
    tr::writeImage(dir + "/fine.exr", im);
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"fine.exr", "taken.png"}));
}

TEST(Cli, UsageErrorsExitWithTwo) {
    const std::string dir = scratchDir("usage");
    std::vector<std::vector<std::string>> cases = {
        {"--no-such-option"}, {"--device", "gpu"}, {"--width", "0"}, {"--up", "x"}, {"--scale", "nan"},
        {"--scale", "1e300"}, {"--set", "shadowMode"}, {"--set", "noSuchField=1"}, {"--set", "numPhotons=many"},
        {"--set", "numPhotons=99999999999"}, {"--set", "fieldOfView=NaN"}, {"--set", "pathBounces=65"},
        {"--path-trace", "4", "--bounces", "65"}, {"-o", dir + "/out.jpg"},
        {"--aov", "depth"},  // PNG holds no passes
        {"--aov", "colour", "-o", dir + "/out.exr"},
        {"--transparent", "-o", dir + "/out.pfm"},  // PFM holds no alpha
        {},  // no scene
    };
    // Crops of the 32 x 24 image: reversed, outside, negative, not four integers.
    for (const char* crop : {"5,0,3,5", "0,0,32,25", "-1,0,5,5", "1,2,3", "a,b,c,d"})
        cases.push_back({"--width", "32", "--height", "24", "--crop", crop});
    for (const std::vector<std::string>& c : cases) {
        std::vector<std::string> args = c;
        if (!c.empty()) args.insert(args.begin(), kExamples + "/cornell-box.json");
        if (std::find(args.begin(), args.end(), "-o") == args.end()) args.insert(args.end(), {"-o", dir + "/out.png"});
        const RunResult r = runRender(args);
        EXPECT_EQ(r.exitCode, 2) << (c.empty() ? "" : c.back()) << "\n" << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_TRUE(listDir(dir).empty());
}

TEST(Cli, CtrlCWritesThePartialImage) {
    const std::string dir = scratchDir("interrupt");
    const int W = 1280, H = 1024;  // 30 tiles
    const RunResult run = runProgram(TESSRA_RENDER_BIN,
                                     {kExamples + "/cornell-box.json", "-o", dir + "/partial.png", "--width",
                                      std::to_string(W), "--height", std::to_string(H), "--device", "cpu", "-v"},
                                     180, "tile 1/30 done", [](pid_t pid) { kill(pid, SIGINT); });
    ASSERT_TRUE(run.acted) << run.err;
    EXPECT_TRUE(run.signal == 0 && run.exitCode == 130 && contains(run.err, "interrupted")) << run.err;
    EXPECT_EQ(listDir(dir), std::vector<std::string>{"partial.png"});
    const Rgba8 im = readPng(dir + "/partial.png");
    ASSERT_TRUE(im.width == W && im.height == H);
    auto lit = [&](int x0, int y0, int x1, int y1) {
        long n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) n += im.px[4 * (size_t(y) * W + x)] + im.px[4 * (size_t(y) * W + x) + 1] > 0;
        return n;
    };
    EXPECT_GT(lit(0, 0, 256, 256), 1000);  // the first tile arrived
    EXPECT_EQ(lit(1024, 768, W, H), 0);    // the last one never started
}

// ---------------------------------------------------------------------------------
// Bad scene and model files, one table: every case must end with exit status 1 and a
// message naming the file (and for JSON the line, column and key), within a time limit,
// leaving no image and no temporary behind.

struct Case {
    std::string name;   // the scene file in the case's folder, or a model given directly
    std::string text;   // its contents; ignored when make is set
    std::vector<std::string> want;  // in standard error besides the scene path
    std::function<void(const std::string& dir)> make = nullptr;
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

// One case for each way of refusing a file; the settings' own checks are the --set ones of
// Cli.UsageErrorsExitWithTwo.
std::vector<Case> cases() {
    const std::string spot = "\"type\": \"spot\", \"position\": [0, 0, 2], \"direction\": [0, 0, -1]";
    const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n";
    auto ply = [](const char* format) {
        return std::string("ply\nformat ") + format + " 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
               "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n";
    };
    std::vector<Case> c = {
        // Camera.
        {"cam-type.json", withLight("\"camera\": {\"position\": \"here\", \"look_at\": [0, 0, 0]}"),
         {":2:", "'camera.position'", "three numbers"}},
        {"cam-fov-range.json", withLight("\"camera\": {\"position\": [0, 0, 5], \"look_at\": [0, 0, 0], \"fov\": 180}"),
         {":2:", "'camera.fov'"}},
        {"cam-huge.json", withLight("\"camera\": {\"position\": [1e300, 0, 5], \"look_at\": [0, 0, 0]}"),
         {":2:", "'camera.position[0]'", "out of range"}},
        {"cam-at-eye.json", withLight("\"camera\": {\"position\": [0, 0, 5], \"look_at\": [0, 0, 5]}"),
         {":2:", "'camera.look_at'"}},
        // Lights, each kind's own requirements.
        {"light-no-position.json", light("\"type\": \"point\""), {":2:", "'lights[0]'", "position"}},
        {"light-kind.json", kModel + " \"lights\": [\n  {\"position\": [0, 0, 1],\n   \"type\": \"laser\"}]}\n",
         {":4:4:", "'lights[0].type'", "laser"}},
        {"light-sphere.json", light("\"type\": \"sphere\", \"position\": [0, 0, 2], \"radius\": -1"),
         {":2:", "'lights[0].radius'"}},
        {"light-rect-width.json",
         light("\"type\": \"rect\", \"position\": [0, 0, 2], \"direction\": [0, 0, -1], \"width\": \"2\", \"height\": 1"),
         {":2:", "'lights[0].width'", "expected a number"}},
        {"light-rect-height.json", light("\"type\": \"rect\", \"position\": [0, 0, 2], \"width\": 1"),
         {":2:", "'lights[0]'", "height"}},
        {"light-spot-dir.json", light("\"type\": \"spot\", \"position\": [0, 0, 2], \"falloff\": 30"),
         {":2:", "'lights[0]'", "direction"}},
        {"light-spot-cone.json", light(spot + ", \"falloff\": 30, \"hotspot\": 30"), {":2:", "'lights[0].hotspot'"}},
        {"light-dir-zero.json", light("\"type\": \"directional\", \"position\": [0, 0, 2], \"direction\": [0, 0, 0]"),
         {":2:", "'lights[0].direction'"}},
        {"light-dirrect-rot.json",
         light("\"type\": \"directional_rect\", \"position\": [0, 0, 2], \"rotation\": [1, 0, 0], \"falloff\": 1"),
         {":2:", "'lights[0].rotation'", "9 numbers"}},
        {"light-decay.json", light("\"type\": \"point\", \"position\": [0, 0, 2], \"decay\": \"quadratic\""),
         {":2:", "'lights[0].decay'"}},
        {"light-decay-start.json", light("\"type\": \"sphere\", \"position\": [0, 0, 2], \"radius\": 1, \"decay_start\": 2"),
         {":2:", "'lights[0].decay_start'"}},
        {"light-unknown.json", light("\"type\": \"point\", \"position\": [0, 0, 2], \"shadow\": true"),
         {":2:", "'lights[0].shadow'", "unknown key"}},
        {"lights-object.json", kModel + " \"lights\": {}}", {":2:", "'lights'", "array"}},
        // The library refuses the scene: known only from its message.
        {"gi-decay.json", kModel + " \"settings\": {\"indirectIllumination\": true, \"usePhotonMapping\": true},\n"
                          " \"lights\": [{\"type\": \"point\", \"position\": [0, 0, 1], \"decay\": 1}]}", {"ATTENUATION"}},
        // Materials, settings and models.
        {"mat-name.json", withLight("\"materials\": {\"nope\": {\"diffuse\": [1, 0, 0]}}"), {":2:", "'materials.nope'"}},
        {"mat-tex-missing.json", withLight("\"materials\": {\"DefaultMaterial\": {\"texture\": \"gone.png\"}}"),
         {":2:", "'materials.DefaultMaterial.texture'", "gone.png", "does not exist"}},
        {"set-string.json", withLight("\"settings\": {\"numBounces\": \"3\"}"), {":2:", "'settings.numBounces'", "number"}},
        {"set-range.json", kModel + " \"settings\": {\"width\": 64,\n   \"shadowMode\": 300}}\n",
         {":3:4: 'settings.shadowMode'"}},
        {"set-overflow.json", withLight("\"settings\": {\"fieldOfView\": 1e999}"), {":2:30:", "out of range", "1e999"}},
        {"model-no-file.json", "{\n \"models\": [{\"translate\": [0, 0, 0]}]" + kLight, {":2:", "'models[0]'", "file"}},
        {"model-matrix.json", "{\n \"models\": [{\"file\": \"tri.obj\", \"matrix\": [1, 0, 0]}]" + kLight,
         {":2:", "'models[0].matrix'", "16"}},
        {"model-fifo.json", "{\n \"models\": [{\"file\": \"fifo.obj\"}]" + kLight,
         {":2:", "'models[0].file'", "not a regular file"}},
        // Whole documents.
        {"syntax.json", "{\n  \"lights\": [\n    {\"type\": \"point\",, }\n  ]\n}\n", {":3:22:"}},
        {"empty.json", "", {":1:1:", "syntax error"}},
        {"array.json", "[]", {"expected an object"}},
        {"no-triangles.json", "{}", {"no triangles"}},
        {"deep.json", std::string(100000, '['), {":1:65:", "nested deeper"}},
        {"huge.json", "", {"too large"},
         [](const std::string& dir) {
             // 3 GB declared and nothing in it: a sparse file.
             writeFile(dir + "/huge.json", "");
             ASSERT_EQ(truncate((dir + "/huge.json").c_str(), 3LL << 30), 0);
         }},
        {"scene-fifo.json", "", {"not a regular file"}, [](const std::string& dir) { fifo(dir + "/scene-fifo.json"); }},
        // Model files given directly: missing, truncated, corrupt, sizes that would exhaust memory.
        {"nowhere.obj", "", {}, [](const std::string&) {}},
        {"huge-count.ply", "ply\nformat binary_little_endian 1.0\nelement vertex 2000000000\nproperty float x\n"
                           "property float y\nproperty float z\nend_header\n" + bytes(64, 1), {}},
        {"huge-count.stl", std::string(80, ' ') + le32(0x7fffffff) + bytes(100, 2), {}},
        {"huge-length.glb", "glTF" + le32(2) + le32(0x7fffffff) + le32(64) + "JSON" + bytes(40, 3), {}},
        {"bad-index.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n", {"out of range"}},
        {"nan.obj", "v 0 0 0\nv nan 0 0\nv 0 1 0\nf 1 2 3\n", {":2:", "not a finite number"}},
        {"bad-number.obj", "v 0 0 0\nv 1 - 0\nv 0 1 0\nf 1 2 3\n", {":2:", "expected a number"}},
        {"bad-index.ply", ply("ascii") + "0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n", {"refers to vertex 7"}},
        {"inf.ply", ply("ascii") + "0 0 0\n1 inf 0\n0 1 0\n3 0 1 2\n", {"vertex 1", "not a finite number"}},
        {"truncated.ply", ply("binary_little_endian") + std::string(36, '\0') + "\3" + le32(0) + le32(1), {"truncated"}},
        {"lamp.dae", "<COLLADA/>", {"--allow-any-format"}},
        {"no-header-end.ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\n", {"end_header"}},
        {"inf.stl", std::string(80, ' ') + le32(1) + std::string(12, '\0') + le32(0x7f800000) + std::string(34, '\0'),
         {"not a finite number"}},
        {"truncated.stl", "solid t\nfacet normal 0 0 1\n outer loop\n  vertex 0 0 0\n  vertex 1 0 0\n", {"three vertices"}},
        {"tex-missing.obj", "mtllib tex-missing.mtl\n" + tri, {"wood.png"}},
        {"tex-folder.obj", "mtllib tex-folder.mtl\n" + tri, {"texdir.png", "folder"}},
    };
    const char *ext[] = {"obj", "ply", "stl", "gltf", "glb"}, *magic[] = {"", "ply\n", "solid x\n", "", "glTF"};
    for (unsigned k = 0; k < 5; ++k) {
        c.push_back({std::string("empty.") + ext[k], "", {}});
        c.push_back({std::string("corrupt.") + ext[k], magic[k] + bytes(4096, 4 + k), {}});
    }
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
    fifo(dir + "/fifo.obj");
    writeFile(dir + "/tex-folder.mtl", "newmtl m\nKd 1 1 1\nmap_Kd texdir.png\n");
    writeFile(dir + "/tex-missing.mtl", "newmtl m\nKd 1 1 1\nmap_Kd wood.png\n");

    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const std::string scene = dir + "/" + c.name;
        if (c.make) c.make(dir);
        else writeFile(scene, c.text);
        const RunResult r = runRender({scene, "-o", outDir + "/" + c.name + ".png", "--width", "16", "--height", "16",
                                       "--device", "cpu", "--threads", "1"},
                                      60);
        ASSERT_FALSE(r.timedOut) << "hung";
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_TRUE(contains(r.err, scene)) << r.err;
        for (const std::string& w : c.want) EXPECT_TRUE(contains(r.err, w)) << "wanted '" << w << "' in\n" << r.err;
        EXPECT_FALSE(contains(r.err, "terminate")) << r.err;
        EXPECT_TRUE(listDir(outDir).empty()) << "an image or temporary was left";
        EXPECT_TRUE(listDir(tmpDir).empty()) << "a temporary was left";
        std::error_code ec;
        std::filesystem::remove(scene, ec);  // the huge sparse file, mostly
    }
    unsetenv("TMPDIR");
}

}  // namespace

// tessra-render as a user runs it: files written and read back with their own
// libraries, bad files and options and their exit codes, Ctrl-C; and one frame on many
// machines (crops merged by tessra-merge, the Slurm script, the MPI mode).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "image_io.h"
#include "support.h"

namespace {

using namespace apptest;

const std::string kExamples = TESSRA_EXAMPLES_DIR;

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
    const std::string dir = scratchDir("bad-input"), outDir = scratchDir("bad-input/out"),
                      tmpDir = scratchDir("bad-input/tmp");
    // Embedded textures would go to TMPDIR; the child inherits it.
    setenv("TMPDIR", tmpDir.c_str(), 1);
    writeFile(dir + "/tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    std::filesystem::create_directories(dir + "/texdir.png");
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

// ---------------------------------------------------------------------------------
// One frame on many machines: crops merged by tessra-merge, the Slurm script, and the
// MPI mode, each against the single-process render of the whole frame.

const std::string kMpiexec = TESSRA_MPIEXEC;
// Two columns of 256-pixel tiles, few rows: a tile costs the same however few of its
// pixels are in the image.
const int kFrameW = 264, kFrameH = 16;

// The examples, with the photon count cut where they have global illumination.
std::vector<std::pair<std::string, std::vector<std::string>>> examples() {
    std::vector<std::pair<std::string, std::vector<std::string>>> list;
    for (const auto& e : std::filesystem::directory_iterator(kExamples))
        if (e.path().extension() == ".json")
            list.push_back({e.path().string(), contains(readAll(e.path()), "\"usePhotonMapping\": true")
                                                   ? std::vector<std::string>{"--photons", "20000"}
                                                   : std::vector<std::string>{}});
    std::sort(list.begin(), list.end());
    return list;
}

std::vector<std::string> renderArgs(const std::string& scene, const std::vector<std::string>& extra, int w, int h,
                                    const std::string& out, const std::vector<std::string>& more = {}) {
    std::vector<std::string> a{scene, "--width", std::to_string(w), "--height", std::to_string(h), "--device", "cpu",
                               "-q", "-o", out};
    a.insert(a.end(), extra.begin(), extra.end());
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

// Every output pass; readExrPasses gives them with the colour, pixel by pixel.
const std::vector<std::string> kPasses = {"--aov", "albedo,normal,depth"};

// Whether two OpenEXR files hold the same bytes in every layer.
bool sameLayers(const std::string& a, const std::string& b) {
    int w = 0, h = 0;
    const std::vector<float> x = readExrPasses(a, w, h), y = readExrPasses(b, w, h);
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

// Four overlapping crops on no tile boundary, the right-hand ones straddling the tiles'
// seam at x = 256, each in its own process on three workers, and (for the example with
// photons) the Slurm script's array of five bands: the merges must give the bytes of the
// whole render on one worker in every layer, and the script leaves no parts behind. The
// whole render is finite and mostly lit.
TEST(Farm, CropsAndSlurmBandsOfEveryExampleOnAnyWorkerCountMergeToTheFullRender) {
    const std::vector<std::string> split = {"0,0,200,9", "190,0,264,9", "0,5,130,16", "120,5,264,16"};
    const std::string script = TESSRA_SOURCE_DIR "/scripts/slurm-render.sh";
    const std::string bin = std::filesystem::path(TESSRA_MERGE_BIN).parent_path().string();
    const auto list = examples();
    ASSERT_GE(list.size(), 4u);
    for (const auto& [scene, extra] : list) {
        SCOPED_TRACE(scene);
        const std::string dir = scratchDir("crops");
        std::vector<std::string> one = kPasses, parts, merged = {dir + "/merged.exr"};
        one.insert(one.end(), {"--threads", "1"});
        ASSERT_EQ(runRender(renderArgs(scene, extra, kFrameW, kFrameH, dir + "/full.exr", one)).exitCode, 0);
        for (const std::string& c : split) {
            parts.push_back(dir + "/part" + std::to_string(parts.size()) + ".exr");
            std::vector<std::string> more = kPasses;
            more.insert(more.end(), {"--threads", "3", "--crop", c});
            const RunResult r = runRender(renderArgs(scene, extra, kFrameW, kFrameH, parts.back(), more));
            ASSERT_EQ(r.exitCode, 0) << r.err;
        }
        parts.insert(parts.end(), {"-o", merged[0], "-q"});
        const RunResult m = runProgram(TESSRA_MERGE_BIN, parts);
        ASSERT_EQ(m.exitCode, 0) << m.err;
        if (contains(scene, "photon-mapping")) {
            // The array's tasks, one after another, then the merge job.
            const std::string common = "TESSRA_BIN='" + bin + "' '" + script + "' ",
                              args = " '" + scene + "' '" + dir + "/frame.exr' " + std::to_string(kFrameW) + " " +
                                     std::to_string(kFrameH) + " 5",
                              task = common + "render" + args + " --photons 20000 --aov albedo,normal,depth";
            const RunResult r = runProgram(
                "/bin/bash", {"-c", "set -e; for k in 0 1 2 3 4; do SLURM_ARRAY_TASK_ID=$k " + task + "; done; " +
                                        common + "merge" + args});
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_NE(runProgram("/bin/bash", {"-c", common + "render" + args}).exitCode, 0) << "ran without a task";
            merged.push_back(dir + "/frame.exr");
        }
        for (const std::string& f : merged) EXPECT_TRUE(sameLayers(f, dir + "/full.exr")) << f;
        for (const std::string& f : listDir(dir)) EXPECT_FALSE(contains(f, ".part-")) << "left behind: " << f;
        int w = 0, h = 0;
        const std::vector<float> full = readExrPasses(dir + "/full.exr", w, h);
        size_t bad = 0, lit = 0;
        for (size_t i = 0; i < full.size(); i += 11) {
            for (int k = 0; k < 4; ++k) bad += !std::isfinite(full[i + k]);
            lit += full[i] + full[i + 1] > 0;
        }
        EXPECT_EQ(bad, 0u);
        EXPECT_GT(lit, size_t(kFrameW) * kFrameH / 8) << "mostly black";
    }
}

// Overlaps that disagree (named with the pixel), gaps (unless allowed, then black), another
// frame size, passes in some parts only and an unreadable part are refused; an image
// write that fails leaves no temporary behind, and nor does the merge.
TEST(Farm, MergeRefusesDisagreeingOverlapsAndReportsGaps) {
    const std::string dir = scratchDir("merge");
    // Parts of an 8 x 4 frame, each pixel its own colour, one pixel changed where asked.
    auto part = [&](const std::string& name, int x0, int x1, int changedX, int frameWidth = 8, bool depth = false) {
        tr::Image im;
        im.width = x1 - x0, im.height = im.frameHeight = 4;
        im.originX = x0, im.frameWidth = frameWidth;
        for (int y = 0; y < 4; ++y)
            for (int x = x0; x < x1; ++x)
                im.rgba.insert(im.rgba.end(), {0.1f * x, 0.2f * y, x == changedX && y == 2 ? 0.5f : 0.0f, 1.0f});
        if (depth) im.depth.assign(size_t(im.width) * 4, 1.0f);
        tr::writeImage(dir + "/" + name, im);
        return dir + "/" + name;
    };
    const std::string left = part("left.exr", 0, 5, -1), narrow = part("narrow.exr", 7, 8, -1);
    std::filesystem::create_directories(dir + "/taken.exr");  // rename onto a folder fails
    EXPECT_THROW(part("taken.exr", 0, 5, -1), std::exception);
    EXPECT_THROW(part("missing-folder/x.exr", 0, 5, -1), std::exception);
    writeFile(dir + "/junk.exr", "not an image");
    auto merge = [&](std::vector<std::string> args, int status) {
        args.insert(args.end(), {"-o", dir + "/out.exr"});
        const RunResult r = runProgram(TESSRA_MERGE_BIN, args);
        EXPECT_EQ(r.exitCode, status) << r.err;
        EXPECT_EQ(std::filesystem::exists(dir + "/out.exr"), status == 0);
        return r.err;
    };
    std::string err = merge({left, part("odd.exr", 3, 8, 4)}, 1);
    EXPECT_TRUE(contains(err, "left.exr") && contains(err, "odd.exr") && contains(err, "(4, 2)")) << err;
    EXPECT_TRUE(contains(merge({left, narrow}, 1), "8 of the 8 x 4 pixels"));  // columns 5 and 6 are in no part
    merge({left, part("other-frame.exr", 5, 7, -1, 9)}, 1);
    EXPECT_TRUE(contains(merge({left, part("depth.exr", 5, 8, -1, 8, true), "--allow-gaps"}, 1), "depth"));
    merge({left, dir + "/junk.exr"}, 1);
    merge({left, part("right.exr", 3, 8, -1)}, 0);
    merge({left, narrow, "--allow-gaps"}, 0);
    int w = 0, h = 0;
    const std::vector<float> gaps = readExr(dir + "/out.exr", w, h);
    ASSERT_EQ(gaps.size(), 8u * 4 * 4);
    for (int x = 0; x < 8; ++x) {
        const float* p = &gaps[(2 * 8 + x) * 4];
        EXPECT_TRUE(x == 5 || x == 6 ? p[0] == 0 && p[1] == 0 : p[0] == 0.1f * x && p[1] == 0.4f) << x;
    }
    for (const std::string& f : listDir(dir)) EXPECT_FALSE(contains(f, ".tmp")) << "left behind: " << f;
}

// --- MPI ---------------------------------------------------------------------------

#define SKIP_WITHOUT_MPI()                                                                                     \
    if (kMpiexec.empty())                                                                                      \
    GTEST_SKIP() << "NOTICE: Open MPI was not found when this was built (install libopenmpi-dev and "         \
                    "openmpi-bin); the --mpi tests did not run"

std::vector<std::string> mpirun(int ranks, const std::vector<std::string>& rest) {
    std::vector<std::string> a{"--oversubscribe", "--allow-run-as-root", "-np", std::to_string(ranks)};
    // Open MPI's components keep their memory to the end of the process by design; under
    // AddressSanitizer the ranks would all fail the leak check on it.
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
        a.insert(a.end(), {"-x", std::string("ASAN_OPTIONS=") + asan + ":detect_leaks=0"});
    a.insert(a.end(), {TESSRA_RENDER_BIN, "--mpi"});
    a.insert(a.end(), rest.begin(), rest.end());
    return a;
}

// The example with photons and final gather, the state each rank builds for itself
// (every example is held to its one-process bytes by the crops test above). Two tiles in a
// row (256 and 4 pixels wide) of 40 rows: the ranks share them in bands of 16 rows, joined
// into runs, so that band edges fall inside tiles. The crop starts inside a band.
TEST(Mpi, SameBytesAsOneProcessOnAnyRankCount) {
    SKIP_WITHOUT_MPI();
    const std::string scene = kExamples + "/cornell-photon-mapping.json", dir = scratchDir("mpi");
    std::vector<std::string> extra = {"--photons", "20000"};
    extra.insert(extra.end(), kPasses.begin(), kPasses.end());
    for (const int ranks : {3, 2}) {
        if (ranks == 2) extra.insert(extra.end(), {"--crop", "3,21,259,37"});
        ASSERT_EQ(runRender(renderArgs(scene, extra, 260, 40, dir + "/single.exr")).exitCode, 0);
        const std::string out = dir + "/ranks.exr";
        const RunResult r = runProgram(kMpiexec, mpirun(ranks, renderArgs(scene, extra, 260, 40, out)), 300);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(sameLayers(out, dir + "/single.exr")) << ranks << " ranks";
        EXPECT_EQ(exrAttribute(out, "tessra:mpiRanks"), std::to_string(ranks));
    }
}

// The processes whose environment holds `marker`, and among them the rank `rank` (or any).
std::vector<pid_t> markedProcesses(const std::string& marker, int rank = -1) {
    std::vector<pid_t> pids;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string env = '\0' + readAll(e.path() / "environ");
        if (contains(env, '\0' + marker + '\0') &&
            (rank < 0 || contains(env, std::string(1, '\0') + "OMPI_COMM_WORLD_RANK=" + std::to_string(rank) + '\0')))
            pids.push_back(pid_t(std::stoi(name)));
    }
    return pids;
}

// Two-rank jobs that render many tiles, stopped once rank 0 reports a finished tile: by
// Ctrl-C to mpirun, after which rank 0 writes the tiles done so far (the rest black), or
// by killing rank 1, which fails the run without an image. No rank may outlive mpirun.
TEST(Mpi, CtrlCOrADeadRankEndsEveryRank) {
    SKIP_WITHOUT_MPI();
    const std::string dir = scratchDir("mpi-interrupt");
    for (const bool ctrlC : {true, false}) {
        SCOPED_TRACE(ctrlC ? "Ctrl-C" : "rank 1 killed");
        const std::string out = dir + (ctrlC ? "/partial.png" : "/frame.png");
        const std::string marker = "TESSRA_FARM_TEST=" + std::to_string(getpid()) + "-" + out;
        std::vector<std::string> args{"--mca", "odls_base_sigkill_timeout", "3", "-x", marker};
        for (const std::string& a : mpirun(2, {kExamples + "/cornell-box.json", "--width", "1280", "--height", "1024",
                                               "--threads", "1", "-v", "-o", out}))
            args.push_back(a);
        const RunResult run = runProgram(kMpiexec, args, 180, "tile 1/", [&](pid_t pid) {
            for (pid_t p : ctrlC ? std::vector<pid_t>{pid} : markedProcesses(marker, 1))
                kill(p, ctrlC ? SIGINT : SIGKILL);
        });
        EXPECT_TRUE(run.acted) << "no tile was reported: " << run.err;
        EXPECT_NE(run.exitCode, 0);
        const std::vector<pid_t> left = markedProcesses(marker);
        EXPECT_TRUE(left.empty()) << "ranks outlived mpirun";
        for (pid_t p : left) kill(p, SIGKILL);
        if (!ctrlC) {
            EXPECT_TRUE(contains(run.err, "signal 9") && contains(run.err, "rank 1 did not report")) << run.err;
            EXPECT_FALSE(std::filesystem::exists(out));
            continue;
        }
        EXPECT_TRUE(contains(run.err, "interrupted; wrote the tiles done so far")) << run.err;
        const Rgba8 im = readPng(out);
        size_t lit = 0;
        for (size_t i = 0; i < im.px.size(); i += 4) lit += im.px[i] || im.px[i + 1] || im.px[i + 2];
        EXPECT_GT(lit, 0u);
        EXPECT_LT(lit, size_t(im.width) * im.height);
    }
}

}  // namespace

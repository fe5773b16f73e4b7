// tessra-render as a user runs it: files written and read back with their own
// libraries, failures and their exit codes, Ctrl-C.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <sys/wait.h>
#include <unistd.h>

#include "image_io.h"
#include "scene.h"
#include "support.h"
#include "tessra.h"
#include "test_scenes.h"

namespace {

using namespace apptest;

const std::string kExamples = TESSRA_EXAMPLES_DIR;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Cli, CameraOrientationAndFieldOfView) {
    // The quad lies in the upper left of the glTF camera's view; the image is wider than
    // the file's aspect ratio, so the vertical angle must be kept.
    const std::string dir = scratchDir("camera");
    writeFile(dir + "/scene.gltf", gltfScene());
    const int W = 60, H = 32;
    const RunResult r = runRender({dir + "/scene.gltf", "-o", dir + "/view.png", "--width", std::to_string(W),
                                   "--height", std::to_string(H), "--device", "cpu", "-q"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Rgba8 im = readPng(dir + "/view.png");
    ASSERT_EQ(im.width, W);
    ASSERT_EQ(im.height, H);
    int x0 = W, x1 = -1, y0 = H, y1 = -1;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const unsigned char* p = &im.px[4 * (size_t(y) * W + x)];
            EXPECT_EQ(p[3], 255);
            if (p[0] + p[1] + p[2] == 0) continue;
            x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
        }
    ASSERT_GE(x1, 0) << "nothing visible";
    // Pinhole projection of the corners, from the glTF numbers alone.
    const float tanY = std::tan(0.5f * kYfov), tanX = tanY * float(W) / float(H);
    auto px = [&](const float* c) { return ((c[0] - kCameraAt[0]) / (kCameraAt[2] - c[2]) / tanX + 1) * 0.5f * W; };
    auto py = [&](const float* c) { return (1 - (c[1] - kCameraAt[1]) / (kCameraAt[2] - c[2]) / tanY) * 0.5f * H; };
    EXPECT_NEAR(x0, px(kQuadCorners[0]), 1.5);
    EXPECT_NEAR(x1 + 1, px(kQuadCorners[1]), 1.5);
    EXPECT_NEAR(y0, py(kQuadCorners[2]), 1.5);
    EXPECT_NEAR(y1 + 1, py(kQuadCorners[0]), 1.5);
    EXPECT_LT(x1, W / 2);
    EXPECT_LT(y1, H / 2);
}

// Renders the scene in this process through the library, as the program does.
std::vector<float> renderHere(const std::string& scenePath, int W, int H) {
    struct Host : TessraCallbacks {
        std::vector<float> px;
        int w = 0;
        void DrawPixels(const float* rgba, uint32_t count, uint32_t x, uint32_t y) override {
            std::copy(rgba, rgba + 4 * count, &px[(size_t(y) * w + x) * 4]);
        }
        void TileFinished(uint32_t, uint32_t, uint32_t, uint32_t) override {}
        void SetStatusText(const char*) override {}
        bool AbortRequested() override { return false; }
        void SetFinalGatherCount(uint32_t) override {}
        void ReportIrradianceTime(float, float) override {}
        void SetPhotonCount(uint32_t) override {}
    } host;
    host.w = W;
    host.px.assign(size_t(W) * H * 4, -1.0f);
    tr::Scene scene;
    tr::loadJsonScene(scene, scenePath, {});
    Tessra_SelectBackend("cpu");
    TessraRendererCUDA* r = Tessra_InitRenderer();
    r->shadowMode = 1;
    std::string error;
    for (const auto& s : scene.settings) EXPECT_TRUE(tr::applySetting(*r, s.first, s.second, error));
    r->width = W;
    r->height = H;
    r->fieldOfView = scene.camera.fovRadians;
    tr::cameraMatrix(scene.camera, r->cameraMatrix);
    tr::feedRenderer(scene, *r);
    r->callbacks = &host;
    r->Render();
    Tessra_DeleteRenderer(&r);
    return host.px;
}

float srgbReference(float v) {
    v = std::clamp(v, 0.0f, 1.0f);
    return 255.0f * (v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1 / 2.4f) - 0.055f);
}

TEST(Cli, ImageFilesHoldTheDeliveredValues) {
    const std::string dir = scratchDir("files");
    const std::string scene = kExamples + "/cornell-box.json";
    const int W = 40, H = 24;
    for (const char* ext : {"exr", "png", "pfm"}) {
        const RunResult r = runRender({scene, "-o", dir + "/out." + ext, "--width", std::to_string(W), "--height",
                                       std::to_string(H), "--device", "cpu", "--aa", "1", "-q"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"out.exr", "out.pfm", "out.png"}));  // no temporaries
    const std::vector<float> delivered = renderHere(scene, W, H);
    double sum = 0;
    for (size_t i = 0; i < delivered.size(); i += 4) sum += delivered[i];
    ASSERT_GT(sum, 0.0);

    int w = 0, h = 0;
    const std::vector<float> exr = readExr(dir + "/out.exr", w, h);
    ASSERT_EQ(w, W);
    ASSERT_EQ(h, H);
    const Rgba8 png = readPng(dir + "/out.png");
    ASSERT_EQ(png.width, W);
    std::ifstream pfm(dir + "/out.pfm", std::ios::binary);
    std::string magic, scale;
    int pw = 0, ph = 0;
    pfm >> magic >> pw >> ph >> scale;
    pfm.get();
    ASSERT_EQ(magic, "PF");
    ASSERT_EQ(pw, W);
    ASSERT_EQ(ph, H);
    EXPECT_LT(std::stof(scale), 0.0f);  // little-endian
    std::vector<float> pf(size_t(W) * H * 3);
    pfm.read(reinterpret_cast<char*>(pf.data()), std::streamsize(pf.size() * 4));
    ASSERT_TRUE(pfm.good());

    int mismatches = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const size_t i = (size_t(y) * W + x) * 4;
            for (int c = 0; c < 3; ++c) {
                mismatches += exr[i + c] != delivered[i + c];
                mismatches += pf[(size_t(H - 1 - y) * W + x) * 3 + c] != delivered[i + c];  // PFM rows bottom first
                mismatches += std::fabs(png.px[i + c] - srgbReference(delivered[i + c])) > 0.51f;
            }
            mismatches += exr[i + 3] != 1.0f;
            mismatches += png.px[i + 3] != 255;
        }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(exrAttribute(dir + "/out.exr", "tessra:width"), std::to_string(W));
    EXPECT_EQ(exrAttribute(dir + "/out.exr", "tessra:shadowMode"), "1");
    EXPECT_GT(std::stod(exrAttribute(dir + "/out.exr", "tessra:renderSeconds")), 0.0);
}

TEST(Cli, TransparentWritesCoverageAsAlpha) {
    const std::string dir = scratchDir("transparent");
    writeFile(dir + "/scene.gltf", gltfScene());
    const int W = 60, H = 32;
    for (const char* ext : {"png", "exr"}) {
        const RunResult r = runRender({dir + "/scene.gltf", "-o", dir + "/alpha." + ext, "--width", std::to_string(W),
                                       "--height", std::to_string(H), "--device", "cpu", "--transparent", "-q"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    const Rgba8 png = readPng(dir + "/alpha.png");
    int w = 0, h = 0;
    const std::vector<float> exr = readExrChannels(dir + "/alpha.exr", {"R", "G", "B", "A"}, w, h);
    ASSERT_EQ(png.width, W);
    ASSERT_EQ(w, W);
    ASSERT_EQ(h, H);
    // The middle of the quad, by pinhole projection of its corners; the quad lies in the
    // upper left, so the lower right corner sees the background.
    const float tanY = std::tan(0.5f * kYfov), tanX = tanY * float(W) / float(H);
    auto px = [&](const float* c) { return ((c[0] - kCameraAt[0]) / (kCameraAt[2] - c[2]) / tanX + 1) * 0.5f * W; };
    auto py = [&](const float* c) { return (1 - (c[1] - kCameraAt[1]) / (kCameraAt[2] - c[2]) / tanY) * 0.5f * H; };
    const int sx = int(0.5f * (px(kQuadCorners[0]) + px(kQuadCorners[1])));
    const int sy = int(0.5f * (py(kQuadCorners[0]) + py(kQuadCorners[2])));
    auto alpha = [&](int x, int y) { return png.px[4 * (size_t(y) * W + x) + 3]; };
    EXPECT_EQ(alpha(sx, sy), 255);
    EXPECT_EQ(alpha(W - 1, H - 1), 0);
    // OpenEXR keeps the premultiplied colour, PNG the straight one.
    int fractional = 0, disagree = 0;
    for (size_t i = 0; i < size_t(W) * H; ++i) {
        const float a = exr[4 * i + 3];
        fractional += a > 0.0f && a < 1.0f;
        disagree += std::fabs(a * 255.0f - png.px[4 * i + 3]) > 0.51f;
        for (int c = 0; a > 0.0f && c < 3; ++c)
            disagree += std::fabs(png.px[4 * i + c] - srgbReference(exr[4 * i + c] / a)) > 0.51f;
    }
    EXPECT_GT(fractional, 0);  // antialiased edges
    EXPECT_EQ(disagree, 0);
}

// Path tracing reaches the library through its export, with or without --gi, and takes
// --bounces for its paths instead of the photon map's.
TEST(Cli, PathTracingTakesTheBouncesWithOrWithoutGi) {
    const std::string dir = scratchDir("path");
    struct Case {
        std::vector<std::string> args;
        const char *samples, *bounces, *gi, *photonBounces;
    };
    for (const Case& c : {Case{{"--path-trace", "3", "--bounces", "0"}, "3", "0", "false", "0"},
                          Case{{"--path-trace", "3"}, "3", "2", "false", "0"},
                          Case{{"--gi", "--path-trace", "2", "--bounces", "5"}, "2", "5", "true", "2"},
                          Case{{"--bounces", "5", "--set", "pathBounces=1"}, "0", "1", "true", "5"}}) {
        std::vector<std::string> args = {kExamples + "/cornell-box.json", "-o", dir + "/out.exr", "--width", "8",
                                         "--height", "8", "--device", "cpu", "--aa", "1", "-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = runRender(args);
        ASSERT_EQ(r.exitCode, 0) << c.args[0] << "\n" << r.err;
        EXPECT_EQ(exrAttribute(dir + "/out.exr", "tessra:pathSamples"), c.samples);
        EXPECT_EQ(exrAttribute(dir + "/out.exr", "tessra:pathBounces"), c.bounces);
        EXPECT_EQ(exrAttribute(dir + "/out.exr", "tessra:indirectIllumination"), c.gi);
        EXPECT_EQ(exrAttribute(dir + "/out.exr", "tessra:numBounces"), c.photonBounces);
    }
    // The table refuses what the export refuses and keeps the value it had.
    TessraRendererCUDA* lib = Tessra_InitRenderer();
    std::string error;
    EXPECT_TRUE(tr::applySetting(*lib, "pathSamples", "16", error)) << error;
    EXPECT_FALSE(tr::applySetting(*lib, "pathSamples", "65537", error));
    EXPECT_TRUE(contains(error, "pathSamples")) << error;
    EXPECT_EQ(tr::settingValue(*lib, "pathSamples"), "16");
    Tessra_DeleteRenderer(&lib);
}

TEST(Cli, OutputPassesAreLayersOfTheExr) {
    // The glTF quad faces the camera: its albedo is the imported diffuse colour, its
    // normal +z and its depth the distance from the eye, all known without rendering.
    const std::string dir = scratchDir("aov");
    writeFile(dir + "/scene.gltf", gltfScene());
    tr::Scene scene;
    const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    tr::importModel(scene, dir + "/scene.gltf", identity, {});
    ASSERT_EQ(scene.triangleMaterial.size(), 2u);
    const float* kd = scene.materials[size_t(scene.triangleMaterial[0])].m.diffuse;
    const int W = 60, H = 40;
    const RunResult r = runRender({dir + "/scene.gltf", "-o", dir + "/out.exr", "--width", std::to_string(W),
                                   "--height", std::to_string(H), "--aov", "albedo,normal,depth", "-q"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    int w = 0, h = 0;
    const std::vector<float> p =
        readExrChannels(dir + "/out.exr", {"albedo.R", "albedo.G", "albedo.B", "N.X", "N.Y", "N.Z", "Z"}, w, h);
    ASSERT_EQ(w, W);
    const float tanY = std::tan(0.5f * kYfov), tanX = tanY * float(W) / float(H);
    int inside = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const float* a = &p[7 * (size_t(y) * W + x)];
            // The camera ray through the pixel centre meets the plane z = 0 at (qx, qy).
            const float dx = (2.0f * x / W - 1.0f) * tanX, dy = (1.0f - 2.0f * y / H) * tanY;
            const float qx = kCameraAt[0] + dx * kCameraAt[2], qy = kCameraAt[1] + dy * kCameraAt[2];
            const float margin = 0.12f;  // a pixel is 0.106 wide on the plane
            if (qx > kQuadCorners[0][0] + margin && qx < kQuadCorners[1][0] - margin &&
                qy > kQuadCorners[0][1] + margin && qy < kQuadCorners[2][1] - margin) {
                ++inside;
                for (int c = 0; c < 3; ++c) EXPECT_NEAR(a[c], kd[c], 1e-6f);
                EXPECT_NEAR(a[5], 1.0f, 1e-5f);
                EXPECT_NEAR(a[6], kCameraAt[2] * std::sqrt(1 + dx * dx + dy * dy), 1e-2f);
            } else if (qx < kQuadCorners[0][0] - margin || qx > kQuadCorners[1][0] + margin ||
                       qy < kQuadCorners[0][1] - margin || qy > kQuadCorners[2][1] + margin) {
                EXPECT_EQ(a[0] + a[1] + a[2] + std::fabs(a[3]) + std::fabs(a[4]) + std::fabs(a[5]), 0.0f);
                EXPECT_TRUE(std::isinf(a[6]) && a[6] > 0) << x << "," << y;
            }
        }
    EXPECT_GT(inside, 20);
}

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

TEST(Cli, SceneErrorsExitWithOneAndSayWhere) {
    const std::string dir = scratchDir("failures");
    const std::string out = dir + "/out.png";
    auto run = [&](const std::string& scene) {
        RunResult r = runRender({scene, "-o", out, "--width", "16", "--height", "16", "--device", "cpu"});
        EXPECT_FALSE(exists(out)) << scene;
        return r;
    };
    RunResult r = run(dir + "/nowhere.obj");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, dir + "/nowhere.obj")) << r.err;

    writeFile(dir + "/syntax.json", "{\n  \"lights\": [\n    {\"type\": \"point\",, }\n  ]\n}\n");
    r = run(dir + "/syntax.json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, "syntax.json:3:22")) << r.err;

    writeFile(dir + "/tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    writeFile(dir + "/kind.json", "{\"models\": [{\"file\": \"tri.obj\"}],\n \"lights\": [\n  {\"position\": [0, 0, 1],\n"
                                  "   \"type\": \"laser\"}]}\n");
    r = run(dir + "/kind.json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, "kind.json:4:4")) << r.err;
    EXPECT_TRUE(contains(r.err, "lights[0].type")) << r.err;
    EXPECT_TRUE(contains(r.err, "laser")) << r.err;

    // A texture that does not exist, named by an MTL file and by a JSON override.
    writeFile(dir + "/tex.mtl", "newmtl wood\nKd 1 1 1\nmap_Kd wood.png\n");
    writeFile(dir + "/tex.obj", "mtllib tex.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl wood\nf 1 2 3\n");
    writeFile(dir + "/tex.json", "{\"models\": [{\"file\": \"tri.obj\"}],\n \"materials\": {\"DefaultMaterial\":"
                                 " {\"texture\": \"gone.png\"}},\n \"lights\": [{\"type\": \"point\", \"position\": [0, 0, 1]}]}\n");
    r = run(dir + "/tex.obj");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, "wood.png")) << r.err;
    r = run(dir + "/tex.json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, "tex.json:2:")) << r.err;
    EXPECT_TRUE(contains(r.err, "gone.png")) << r.err;

    writeFile(dir + "/setting.json", "{\"models\": [{\"file\": \"tri.obj\"}],\n \"settings\": {\"width\": 64,\n"
                                     "   \"shadowMode\": 300}}\n");
    r = run(dir + "/setting.json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, "setting.json:3:4: 'settings.shadowMode'")) << r.err;

    // The library refuses a scene: known only from its message.
    writeFile(dir + "/gi.json", "{\"models\": [{\"file\": \"tri.obj\"}], \"settings\": {\"indirectIllumination\": true,"
                                " \"usePhotonMapping\": true},\n \"lights\": [{\"type\": \"point\", \"position\": [0, 0, 1],"
                                " \"decay\": 1}]}\n");
    r = run(dir + "/gi.json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, "ATTENUATION")) << r.err;
}

TEST(Cli, UsageErrorsExitWithTwo) {
    const std::string dir = scratchDir("usage");
    const std::string scene = kExamples + "/cornell-box.json";
    const std::vector<std::vector<std::string>> cases = {
        {scene, "--no-such-option"},
        {scene, "--device", "gpu"},
        {scene, "--width", "0"},
        {scene, "--set", "shadowMode"},
        {scene, "--set", "noSuchField=1"},
        {scene, "--set", "numPhotons=many"},
        {scene, "-o", dir + "/out.jpg"},
        {scene, "--up", "x"},
        {scene, "--aov", "depth"},  // PNG holds no passes
        {scene, "--aov", "colour", "-o", dir + "/out.exr"},
        {scene, "--aa", "0"},
        {scene, "--path-trace", "0"},
        {scene, "--path-trace", "4", "--bounces", "65"},
        {scene, "--set", "pathBounces=65"},
        {scene, "--transparent", "-o", dir + "/out.pfm"},  // PFM holds no alpha
        {},
    };
    for (std::vector<std::string> args : cases) {
        if (std::find(args.begin(), args.end(), "-o") == args.end()) args.insert(args.end(), {"-o", dir + "/out.png"});
        const RunResult r = runRender(args);
        EXPECT_EQ(r.exitCode, 2) << args[std::min<size_t>(1, args.size() - 1)] << "\n" << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_TRUE(listDir(dir).empty());
}

TEST(Cli, HelpDocumentsEveryOption) {
    const RunResult r = runRender({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* opt : {"--output", "--width", "--height", "--device", "--list-devices", "--threads", "--shadows",
                            "--no-shadows", "--gi", "--photons", "--bounces", "--photon-radius", "--photon-energy",
                            "--final-gather", "--fg-samples", "--fg-density", "--set", "--scale", "--up", "--quiet",
                            "--verbose", "--version", "--allow-any-format", "--background", "--stage-times",
                            "--path-trace", "--transparent", "numPhotons", "pathSamples"})
        EXPECT_TRUE(contains(r.out, opt)) << opt;
    const RunResult v = runRender({"--version"});
    EXPECT_EQ(v.exitCode, 0);
    EXPECT_TRUE(contains(v.out, Tessra_Version())) << v.out;
    const RunResult d = runRender({"--list-devices"});
    EXPECT_EQ(d.exitCode, 0);
    EXPECT_TRUE(contains(d.out, "cpu")) << d.out;
    Tessra_SelectBackend("auto");
    EXPECT_TRUE(contains(d.out, std::string("auto   picks ") + Tessra_BackendName())) << d.out;
}

TEST(Cli, VerboseShowsTheLibraryLinesQuietNothing) {
    const std::string dir = scratchDir("verbosity");
    const std::vector<std::string> base = {kExamples + "/cornell-box.json", "-o", dir + "/a.png", "--width", "16",
                                           "--height", "16", "--device", "cpu"};
    std::vector<std::string> args = base;
    args.push_back("-v");
    RunResult r = runRender(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "LUZ:")) << r.out;  // the library's diagnostic lines
    EXPECT_TRUE(contains(r.err, "tile 1/1 done")) << r.err;
    r = runRender(base);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(contains(r.out, "LUZ:"));
    EXPECT_TRUE(contains(r.err, "Rendering")) << r.err;  // a plain line per status change
    args = base;
    args.push_back("-q");
    r = runRender(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    // Stage times: the library's own stages, each once, even with --quiet.
    args.push_back("--stage-times");
    r = runRender(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* stage : {"stage Reading", "stage Building Octree...", "stage Rendering direct illumination..."}) {
        const size_t at = r.err.find(stage);
        EXPECT_NE(at, std::string::npos) << stage << "\n" << r.err;
        EXPECT_EQ(r.err.find(stage, at + 1), std::string::npos) << stage << " twice\n" << r.err;
    }
}

TEST(Cli, CtrlCWritesThePartialImage) {
    const std::string dir = scratchDir("interrupt");
    const std::string out = dir + "/partial.png";
    const int W = 1280, H = 1024;  // 30 tiles
    // Interrupt once the first tile is done.
    const ActedRun run = runAndAct(TESSRA_RENDER_BIN,
                                   {kExamples + "/cornell-box.json", "-o", out, "--width", std::to_string(W), "--height",
                                    std::to_string(H), "--device", "cpu", "-v"},
                                   "tile 1/30 done", [](pid_t pid) { kill(pid, SIGINT); });
    const std::string& err = run.err;
    ASSERT_TRUE(run.acted) << err;
    ASSERT_TRUE(run.exited) << err;
    EXPECT_EQ(run.exitCode, 130) << err;
    EXPECT_TRUE(contains(err, "interrupted")) << err;
    ASSERT_TRUE(exists(out));
    const Rgba8 im = readPng(out);
    ASSERT_EQ(im.width, W);
    ASSERT_EQ(im.height, H);
    auto lit = [&](int x0, int y0, int x1, int y1) {
        long n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                const unsigned char* p = &im.px[4 * (size_t(y) * W + x)];
                n += p[0] + p[1] + p[2] > 0;
            }
        return n;
    };
    EXPECT_GT(lit(0, 0, 256, 256), 1000);    // the first tile arrived
    EXPECT_EQ(lit(1024, 768, W, H), 0);      // the last one never started
    EXPECT_EQ(listDir(dir), std::vector<std::string>{"partial.png"});
}

}  // namespace

// Every bundled example, without and with each kind of indirect light (photon settings
// derived from the scene), gives the same finite image in separate processes and with
// any worker count; with final gather also on the strict CPU emulation (blocks and
// threads shuffled, fresh memory poisoned, device memory hidden from the host).
TEST(Cli, ExamplesAreFiniteAndIdenticalAcrossProcessesAndWorkerCounts) {
    const std::string dir = scratchDir("determinism");
    const std::vector<std::vector<std::string>> modes = {{}, {"--gi"}, {"--gi", "--fg-samples", "16"}};
    for (const char* scene : {"cornell-box", "cornell-photon-mapping", "materials", "atrium"}) {
        for (const auto& mode : modes) {
            // Every tile costs the same however little of it the image covers: the glossy
            // materials scene, the costliest per tile, is checked without indirect light.
            if (std::string(scene) == "materials" && !mode.empty()) continue;
            std::string what = scene;
            for (const std::string& a : mode) what += " " + a;
            std::vector<std::vector<float>> images;
            for (const char* threads : {"1", "3", "2"}) {
                const bool strict = threads[0] == '2';
                if (strict && mode.size() < 2) continue;
                if (strict) setenv("TESSRA_CPU_STRICT", "shuffle,poison,nohostread", 1);
                const std::string out = dir + "/" + scene + "-" + threads + ".exr";
                std::vector<std::string> args = {kExamples + "/" + scene + ".json", "-o", out, "--width", "32",
                                                 "--height", "20", "--threads", threads, "-q", "--photons", "20000"};
                if (mode.empty()) args.resize(args.size() - 2);
                args.insert(args.end(), mode.begin(), mode.end());
                const RunResult r = runRender(args);
                if (strict) unsetenv("TESSRA_CPU_STRICT");
                ASSERT_EQ(r.exitCode, 0) << what << ": " << r.err;
                int w = 0, h = 0;
                images.push_back(readExr(out, w, h));
            }
            for (size_t i = 1; i < images.size(); ++i) EXPECT_TRUE(images[i] == images[0]) << what << " run " << i;
            size_t bad = 0, lit = 0;
            for (size_t i = 0; i < images[0].size(); i += 4) {
                for (int k = 0; k < 4; ++k) bad += !std::isfinite(images[0][i + k]);
                lit += images[0][i] + images[0][i + 1] > 0;
            }
            EXPECT_EQ(bad, 0u) << what;
            EXPECT_GT(lit, images[0].size() / 4 / 8) << what << " is mostly black";
        }
    }
}

// tessra-render as a user runs it: files written and read back with their own
// libraries, failures and their exit codes, Ctrl-C.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "image_io.h"
#include "scene.h"
#include "support.h"
#include "test_scenes.h"

namespace {

using namespace apptest;

const std::string kExamples = TESSRA_EXAMPLES_DIR;

float srgbReference(float v) {
    v = std::clamp(v, 0.0f, 1.0f);
    return 255.0f * (v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1 / 2.4f) - 0.055f);
}

// Where each camera ray meets the glTF quad's plane follows from the file's numbers
// alone, and so does what the passes and the coverage hold there: the imported diffuse
// colour, the normal +z, the distance from the eye. The image is wider than the file's
// aspect ratio, so the vertical angle must be kept.
TEST(Cli, GltfCameraPassesAndCoverage) {
    const std::string dir = scratchDir("gltf-view");
    writeFile(dir + "/scene.gltf", gltfScene());
    tr::Scene scene;
    tr::importModel(scene, dir + "/scene.gltf", kIdentity, {});
    ASSERT_EQ(scene.triangleMaterial.size(), 2u);
    const float* kd = scene.materials[size_t(scene.triangleMaterial[0])].m.diffuse;
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

// The library's values reach the files: PFM (held to the module's render by its tests)
// and OpenEXR hold the same floats (PNG their sRGB bytes: Cli.GltfCameraPassesAndCoverage);
// nothing else is left.
TEST(Cli, ImageFilesHoldTheSameValues) {
    const std::string dir = scratchDir("files");
    const int W = 40, H = 24;
    for (const char* ext : {"exr", "pfm"}) {
        const RunResult r = runRender({kExamples + "/cornell-box.json", "-o", dir + "/out." + ext, "--width",
                                       std::to_string(W), "--height", std::to_string(H), "--device", "cpu", "--aa", "1", "-q"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"out.exr", "out.pfm"}));  // no temporaries
    int w = 0, h = 0;
    const std::vector<float> exr = readExr(dir + "/out.exr", w, h);
    std::ifstream pfm(dir + "/out.pfm", std::ios::binary);
    std::string magic, scale;
    int pw = 0, ph = 0;
    pfm >> magic >> pw >> ph >> scale;
    pfm.get();
    ASSERT_TRUE(w == W && h == H && magic == "PF" && pw == W && ph == H);
    EXPECT_LT(std::stof(scale), 0.0f);  // little-endian
    std::vector<float> pf(size_t(W) * H * 3);
    pfm.read(reinterpret_cast<char*>(pf.data()), std::streamsize(pf.size() * 4));
    ASSERT_TRUE(pfm.good());
    int mismatches = 0, lit = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const size_t i = (size_t(y) * W + x) * 4;
            lit += exr[i] > 0;
            // PFM rows bottom first
            for (int c = 0; c < 3; ++c) mismatches += pf[(size_t(H - 1 - y) * W + x) * 3 + c] != exr[i + c];
            mismatches += exr[i + 3] != 1.0f;
        }
    EXPECT_GT(lit, W * H / 2);
    EXPECT_EQ(mismatches, 0);
}

// Path tracing reaches the library with or without --gi, and takes --bounces for its
// paths instead of the photon map's; the OpenEXR header shows what the library was given.
TEST(Cli, PathTracingTakesTheBouncesWithOrWithoutGi) {
    const std::string dir = scratchDir("path");
    struct Case {
        std::vector<std::string> args;
        const char *samples, *bounces, *gi, *photonBounces;
    };
    for (const Case& c : {Case{{"--path-trace", "3", "--bounces", "0"}, "3", "0", "false", "0"},
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

// -q prints nothing but what --stage-times asks for: the library's stages, each once.
// (The -v tile lines are what the Ctrl-C tests wait for.)
TEST(Cli, QuietStageTimesNameEachStageOnce) {
    const std::string dir = scratchDir("verbosity");
    const RunResult r = runRender({kExamples + "/cornell-box.json", "-o", dir + "/a.png", "--width", "16", "--height",
                                   "16", "--device", "cpu", "-q", "--stage-times"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("tessra-render: stage ", 0), 0u) << line;
    for (const char* stage : {"stage Reading", "stage Building Octree...", "stage Rendering direct illumination..."}) {
        const size_t at = r.err.find(stage);
        EXPECT_TRUE(at != std::string::npos && r.err.find(stage, at + 1) == std::string::npos) << stage << "\n" << r.err;
    }
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

}  // namespace

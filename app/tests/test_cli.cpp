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

}  // namespace

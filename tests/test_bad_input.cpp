// Bad input through the renderer's public operations: every case renders or is refused
// with a clear message, Render returns, nothing stays allocated after CleanUp, the
// host's lists are untouched, and a good render afterwards gives the same bytes as
// before any bad input was seen.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "runtime/device.h"
#include "support/bad_files.h"
#include "support/cornell.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/tessra-bad-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string& n) const { return path + "/" + n; }
    std::string path;
};

// Aborts a render that runs past a minute, so that a hang fails the case instead of
// the whole test binary.
class GuardedHost : public tt::RecordingHost {
public:
    GuardedHost() : RecordingHost(16, 16), start(std::chrono::steady_clock::now()) {}
    bool AbortRequested() override {
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60)) hung = true;
        return hung;
    }
    std::chrono::steady_clock::time_point start;
    bool hung = false;
};

struct Scene {
    TessraRendererCUDA& r;
    const TempDir& dir;
    std::vector<std::string>& paths;  // texture paths live as long as the renderer
    tt::CornellMaterials m;
    void texture(const std::string& path) {
        paths.push_back(path);
        r.materials[size_t(m.white)].diffuseMap = paths.back().c_str();
    }
    void triangle(std::vector<float> d, int material, bool isLight = false, float normalScale = 1.0f) {
        d.resize(24, 0.0f);
        r.NuevoTriangulo(d.data(), material, isLight, normalScale);
    }
};

enum class Outcome { Renders, Refused };
struct Case {
    const char* name;
    std::function<void(Scene&)> setup;
    Outcome outcome;
    const char* message;  // the refusal, or a warning a render may also show
};

void gi(Scene& s, bool finalGather) { tt::enablePhotonMapping(s.r, 400, finalGather); }

std::vector<float> goodRender() {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(16, 16));
    tt::addCornellBox(*r);
    std::vector<float> image = tt::renderCornell(*r);
    r->CleanUp();
    return image;
}

std::vector<Case> cases(const TempDir& dir) {
    const std::string png = dir.file("good.png");
    const float big[24] = {-50, -50, -0.5f, 50, -50, -0.5f, 0, 50, -0.5f, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    auto setVertex = [](Scene& s, float v) { s.r.triangles[3].vertices[4] = v; };
    auto setNormal = [](Scene& s, float v) { s.r.triangles[5].normals[7] = v; };
    auto spot = [](Scene& s, float falloff, float hotspot, bool circle) {
        s.r.NuevaLuzFoco(0, 0.8f, 0.5f, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, -1, 0, falloff, hotspot, 1.0f, 0, circle, 1.0f);
    };
    auto file = [&dir](const char* name, const std::vector<uint8_t>& bytes) {
        tt::writeBytes(dir.file(name), bytes);
        return dir.file(name);
    };
    const char* unreadable = "no se pudo cargar la imagen";
    return {
        // Geometry.
        {"NaN vertex", [=](Scene& s) { setVertex(s, kNaN); }, Outcome::Refused, "vertex coordinate"},
        {"+inf vertex", [=](Scene& s) { setVertex(s, kInf); }, Outcome::Refused, "vertex coordinate"},
        {"-inf vertex", [=](Scene& s) { setVertex(s, -kInf); }, Outcome::Refused, "vertex coordinate"},
        {"NaN normal", [=](Scene& s) { setNormal(s, kNaN); }, Outcome::Refused, "normal"},
        {"inf normal", [=](Scene& s) { setNormal(s, kInf); }, Outcome::Refused, "normal"},
        {"NaN normal scale", [](Scene& s) { s.triangle({0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}, s.m.white, false, kNaN); },
         Outcome::Refused, "normal"},
        {"zero-length normals", [](Scene& s) { s.triangle({-1, -1, -0.9f, 1, -1, -0.9f, 0, 1, -0.9f}, s.m.white); },
         Outcome::Renders, nullptr},
        {"zero-area triangle", [](Scene& s) { s.triangle({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1}, s.m.red); },
         Outcome::Renders, nullptr},
        {"collinear triangle", [](Scene& s) { s.triangle({0, 0, 0, 1, 1, 1, 2, 2, 2, 0, 0, 1, 0, 0, 1, 0, 0, 1}, s.m.red); },
         Outcome::Renders, nullptr},
        {"every triangle twice",
         [](Scene& s) {
             const std::vector<TriangleRecord> copy = s.r.triangles;
             s.r.triangles.insert(s.r.triangles.end(), copy.begin(), copy.end());
         },
         Outcome::Renders, nullptr},
        {"10000 copies of one large triangle",
         [=](Scene& s) {
             for (int i = 0; i < 10000; ++i) s.r.NuevoTriangulo(big, s.m.white, false, 1.0f);
         },
         Outcome::Refused, "octree"},
        {"NaN texture coordinates", [](Scene& s) { s.r.triangles[0].uvs[1] = kNaN; }, Outcome::Renders, nullptr},
        {"huge texture coordinates with a texture",
         [=](Scene& s) {
             s.texture(png);
             for (float& u : s.r.triangles[0].uvs) u = 1e30f;
         },
         Outcome::Renders, nullptr},
        {"huge finite coordinates",
         [](Scene& s) { s.triangle({-1e30f, -1e30f, -5, 1e30f, -1e30f, -5, 0, 1e30f, -5, 0, 0, 1, 0, 0, 1, 0, 0, 1}, s.m.red); },
         Outcome::Renders, nullptr},
        // Materials.
        {"material id one past the end", [](Scene& s) { s.r.triangles[2].materialId = int(s.r.materials.size()); },
         Outcome::Refused, "uses material"},
        {"material id -1", [](Scene& s) { s.r.triangles[2].materialId = -1; }, Outcome::Refused, "uses material"},
        {"material id INT_MAX", [](Scene& s) { s.r.triangles[2].materialId = INT_MAX; }, Outcome::Refused,
         "uses material"},
        {"no materials", [](Scene& s) { s.r.materials.clear(); }, Outcome::Refused, "uses material"},
        {"NaN diffuse colour", [](Scene& s) { s.r.materials[0].diffuse[1] = kNaN; }, Outcome::Refused, "Material 0"},
        {"NaN gloss", [](Scene& s) { s.r.materials[1].reflGloss = kNaN; }, Outcome::Refused, "Material 1"},
        {"glossy mirror of gloss 0",
         [](Scene& s) {
             s.r.materials[0].reflective = true;
             s.r.materials[0].reflGloss = 0.0f;
             s.r.materials[0].reflColor[0] = 200;
         },
         Outcome::Renders, nullptr},
        {"glossy glass",
         [](Scene& s) {
             s.r.materials[2].refractive = true;
             s.r.materials[2].refrGloss = 0.5f;
             s.r.materials[2].refrColor[1] = 200;
         },
         Outcome::Renders, nullptr},
        // Lights.
        {"no lights", [](Scene& s) { s.r.lights.clear(); }, Outcome::Refused, "No lights"},
        {"only light triangles",
         [](Scene& s) {
             s.r.lightTriangles = s.r.triangles;
             s.r.triangles.clear();
         },
         Outcome::Refused, "No valid geometry"},
        {"NaN light position", [](Scene& s) { s.r.lights[0].position[0] = kNaN; }, Outcome::Refused, "Light 0"},
        {"infinite light intensity", [](Scene& s) { s.r.NuevaLuzOmni(0, 0, 0, 1, 1, 1, kInf, 0, 1); },
         Outcome::Refused, "Light 1"},
        {"NaN spot rotation", [=](Scene& s) { spot(s, 40, 30, true), s.r.lights[1].rotation[4] = kNaN; },
         Outcome::Refused, "Light 1"},
        {"light of intensity 0", [](Scene& s) { s.r.lights[0].intensity = 0; }, Outcome::Renders, nullptr},
        {"spot with equal cone angles", [=](Scene& s) { spot(s, 30, 30, true); }, Outcome::Renders, nullptr},
        {"spot with hotspot wider than falloff", [=](Scene& s) { spot(s, 20, 45, true); }, Outcome::Renders,
         nullptr},
        {"spot with zero cone angles", [=](Scene& s) { spot(s, 0, 0, true); }, Outcome::Renders, nullptr},
        {"rectangular spot", [=](Scene& s) { spot(s, 40, 30, false); }, Outcome::Renders, "unsupported light type"},
        {"light inside the block", [](Scene& s) { s.r.NuevaLuzOmni(0.35f, -0.5f, -0.2f, 1, 0, 0, 1, 0, 1); },
         Outcome::Renders, nullptr},
        {"area light of zero size",
         [](Scene& s) { s.r.NuevaLuzRect(0, 0.9f, 0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0); },
         Outcome::Renders, nullptr},
        {"sphere light of radius -1", [](Scene& s) { s.r.NuevaLuzOmniEsfera(0, 0.5f, 0, 1, 1, 1, 1, -1, 0); },
         Outcome::Renders, nullptr},
        {"unknown decay type", [](Scene& s) { s.r.lights[0].decayType = 200; }, Outcome::Renders, nullptr},
        {"decay starting at 0",
         [](Scene& s) {
             s.r.lights[0].decayType = 2;
             s.r.lights[0].decayStart = 0;
         },
         Outcome::Renders, nullptr},
        // Image, camera and settings.
        {"width 0", [](Scene& s) { s.r.width = 0; }, Outcome::Refused, "Invalid image size"},
        {"height 0", [](Scene& s) { s.r.height = 0; }, Outcome::Refused, "Invalid image size"},
        {"width -16", [](Scene& s) { s.r.width = -16; }, Outcome::Refused, "Invalid image size"},
        {"height INT_MIN", [](Scene& s) { s.r.height = INT_MIN; }, Outcome::Refused, "Invalid image size"},
        {"width 65536", [](Scene& s) { s.r.width = 65536; }, Outcome::Refused, "Invalid image size"},
        {"height 16385", [](Scene& s) { s.r.height = 16385; }, Outcome::Refused, "Invalid image size"},
        {"1 x 1 image", [](Scene& s) { s.r.width = s.r.height = 1; }, Outcome::Renders, nullptr},
        {"maxOctreeDepth 0", [](Scene& s) { s.r.maxOctreeDepth = 0; }, Outcome::Renders, nullptr},
        {"maxOctreeDepth 1", [](Scene& s) { s.r.maxOctreeDepth = 1; }, Outcome::Renders, nullptr},
        {"maxOctreeDepth 20", [](Scene& s) { s.r.maxOctreeDepth = 20; }, Outcome::Renders, nullptr},
        {"maxOctreeDepth 64", [](Scene& s) { s.r.maxOctreeDepth = 64; }, Outcome::Renders, nullptr},
        {"camera with NaN", [](Scene& s) { s.r.cameraMatrix[6] = kNaN; }, Outcome::Refused, "camera matrix"},
        {"camera with inf", [](Scene& s) { s.r.cameraMatrix[3] = kInf; }, Outcome::Refused, "camera matrix"},
        {"all-zero camera", [](Scene& s) { std::memset(s.r.cameraMatrix, 0, sizeof(s.r.cameraMatrix)); },
         Outcome::Renders, nullptr},
        {"NaN field of view", [](Scene& s) { s.r.fieldOfView = kNaN; }, Outcome::Refused, "field of view"},
        {"field of view 0", [](Scene& s) { s.r.fieldOfView = 0; }, Outcome::Renders, nullptr},
        {"NaN background", [](Scene& s) { s.r.SetEnvColor(kNaN, 0, 0); }, Outcome::Refused, "background"},
        {"shadow mode 255", [](Scene& s) { s.r.shadowMode = 255; }, Outcome::Renders, nullptr},
        // Global illumination.
        {"numPhotons 0", [](Scene& s) { gi(s, false), s.r.numPhotons = 0; }, Outcome::Renders, nullptr},
        {"numPhotons 0 with final gather", [](Scene& s) { gi(s, true), s.r.numPhotons = 0; }, Outcome::Renders,
         nullptr},
        {"numPhotons beyond memory", [](Scene& s) { gi(s, false), s.r.numPhotons = UINT32_MAX; }, Outcome::Refused,
         "Not enough device memory"},
        {"irradianceSamples 0", [](Scene& s) { gi(s, true), s.r.irradianceSamples = 0; }, Outcome::Renders, nullptr},
        {"photonSearchDistance 0", [](Scene& s) { gi(s, false), s.r.photonSearchDistance = 0; }, Outcome::Renders,
         nullptr},
        {"FG_record_density 0", [](Scene& s) { gi(s, true), s.r.FG_record_density = 0; }, Outcome::Renders,
         nullptr},
        {"NaN photon energy", [](Scene& s) { gi(s, false), s.r.photonEnergy = kNaN; }, Outcome::Refused,
         "photon"},
        {"indirect light without attenuation", [](Scene& s) { gi(s, false), s.r.lights[0].decayType = 1; },
         Outcome::Refused, "ATTENUATION"},
        // Texture files.
        {"missing texture", [&dir](Scene& s) { s.texture(dir.file("missing.png")); }, Outcome::Refused, unreadable},
        {"empty texture", [=](Scene& s) { s.texture(file("empty.png", {})); }, Outcome::Refused, unreadable},
        {"truncated PNG",
         [=](Scene& s) {
             std::vector<uint8_t> b = tt::readBytes(png);
             b.resize(b.size() / 2);
             s.texture(file("cut.png", b));
         },
         Outcome::Refused, unreadable},
        {"directory as texture",
         [&dir](Scene& s) {
             mkdir(dir.file("folder.png").c_str(), 0700);
             s.texture(dir.file("folder.png"));
         },
         Outcome::Refused, unreadable},
        {"FIFO as texture",
         [&dir](Scene& s) {
             mkfifo(dir.file("pipe.png").c_str(), 0600);
             s.texture(dir.file("pipe.png"));
         },
         Outcome::Refused, unreadable},
        {"character device as texture", [](Scene& s) { s.texture("/dev/zero"); }, Outcome::Refused, unreadable},
        {"empty path", [](Scene& s) { s.texture(""); }, Outcome::Refused, unreadable},
        {"PNG named .jpg", [=](Scene& s) { s.texture(file("really-a-png.jpg", tt::readBytes(png))); },
         Outcome::Renders, nullptr},
        {"PNG declaring 100000 x 100000", [=](Scene& s) { s.texture(file("huge.png", tt::pngDeclaring(100000, 100000))); },
         Outcome::Refused, unreadable},
        {"BMP declaring 100000 x 100000", [=](Scene& s) { s.texture(file("huge.bmp", tt::bmpDeclaring(100000, 100000))); },
         Outcome::Refused, unreadable},
        {"BMP declaring INT_MIN rows", [=](Scene& s) { s.texture(file("neg.bmp", tt::bmpDeclaring(4, INT_MIN))); },
         Outcome::Refused, unreadable},
        {"TGA declaring 65535 x 65535", [=](Scene& s) { s.texture(file("huge.tga", tt::tgaDeclaring(65535, 65535))); },
         Outcome::Refused, unreadable},
        {"JPEG declaring 65535 x 65535", [=](Scene& s) { s.texture(file("huge.jpg", tt::jpegDeclaring(65535, 65535))); },
         Outcome::Refused, unreadable},
        {"GIF texture", [=](Scene& s) { s.texture(file("a.gif", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0})); },
         Outcome::Refused, unreadable},
        {"text named .bmp", [=](Scene& s) { s.texture(file("text.bmp", {'h', 'e', 'l', 'l', 'o', '\n'})); },
         Outcome::Refused, unreadable},
    };
}

TEST(BadInput, EveryCaseRendersOrIsRefusedCleanly) {
    TempDir dir;
    ASSERT_TRUE(tt::writeGradientPng(dir.file("good.png"), 8, 8));
    const std::vector<float> reference = goodRender();
    const std::vector<Case> table = cases(dir);
    ASSERT_GE(table.size(), 40u);
    int refused = 0, rendered = 0;
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        const size_t liveBefore = rt::liveAllocationCount(), bytesBefore = rt::liveAllocationBytes();
        std::vector<std::string> paths;
        std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(16, 16));
        tt::MessageCapture messages;
        tt::StdoutCapture quiet;
        quiet.start();
        Scene s{*r, dir, paths, tt::addCornellBox(*r)};
        paths.reserve(8);
        tt::setCameraLookingDownZ(*r, tt::kCornellEye);
        c.setup(s);
        const size_t tris = r->triangles.size(), lights = r->lights.size(), mats = r->materials.size();
        const int width = r->width, height = r->height;

        GuardedHost host;
        r->callbacks = &host;
        r->Render();
        quiet.stop();
        r->callbacks = nullptr;

        EXPECT_FALSE(host.hung);
        std::string seen;
        for (const auto& m : messages.messages) seen += "[" + m.title + ": " + m.text + "] ";
        if (c.outcome == Outcome::Refused) {
            ++refused;
            EXPECT_TRUE(messages.contains(c.message)) << seen;
            EXPECT_TRUE(host.tiles.empty()) << "a refused scene delivers nothing";
        } else {
            ++rendered;
            if (c.message)
                EXPECT_TRUE(messages.contains(c.message)) << seen;
            else
                EXPECT_TRUE(messages.messages.empty()) << seen;
            EXPECT_FALSE(host.tiles.empty());
            const int w = std::min(width, host.width), h = std::min(height, host.height);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    for (int k = 0; k < 4; ++k) {
                        const float v = host.pixel(x, y)[k];
                        ASSERT_TRUE(std::isfinite(v)) << "pixel " << x << "," << y << " channel " << k;
                        ASSERT_GE(v, 0.0f) << "pixel " << x << "," << y << " never delivered or negative";
                    }
        }
        // The host's scene and settings are its own; the renderer only reads them.
        EXPECT_EQ(r->triangles.size(), tris);
        EXPECT_EQ(r->lights.size(), lights);
        EXPECT_EQ(r->materials.size(), mats);
        EXPECT_EQ(r->width, width);
        EXPECT_EQ(r->height, height);
        r->CleanUp();
        r.reset();
        EXPECT_EQ(rt::liveAllocationCount(), liveBefore);
        EXPECT_EQ(rt::liveAllocationBytes(), bytesBefore);

        const std::vector<float> again = goodRender();
        ASSERT_EQ(again.size(), reference.size());
        EXPECT_EQ(std::memcmp(again.data(), reference.data(), reference.size() * sizeof(float)), 0)
            << "a good render after the bad input differs";
    }
    RecordProperty("refused", refused);
    RecordProperty("rendered", rendered);
    std::printf("%zu bad inputs: %d refused, %d rendered\n", table.size(), refused, rendered);
}

}  // namespace

// Bad input through the renderer's public operations: every case renders or is refused
// with a clear message, Render returns, nothing stays allocated after CleanUp (called
// twice), the host's lists are untouched, and a good render afterwards gives the same
// bytes as before any bad input was seen.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>

#include "runtime/device.h"
#include "support/cornell.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();

// Aborts a render that runs past a minute, so that a hang fails the case instead of
// the whole test binary.
struct GuardedHost : tt::RecordingHost {
    GuardedHost() : RecordingHost(16, 16) {}
    bool AbortRequested() override { return hung = hung || std::chrono::steady_clock::now() - start > std::chrono::seconds(60); }
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool hung = false;
};

struct Scene {
    TessraRendererCUDA& r;
    std::vector<std::string>& paths;  // texture paths live as long as the renderer
    tt::CornellMaterials m;
    void texture(const std::string& path) {
        paths.push_back(path);
        r.materials[size_t(m.white)].diffuseMap = paths.back().c_str();
    }
    void triangle(std::vector<float> d, int material, float normalScale = 1.0f) {
        d.resize(24, 0.0f);
        r.NuevoTriangulo(d.data(), material, false, normalScale);
    }
    void gi(bool finalGather) { tt::enablePhotonMapping(r, 400, finalGather); }
    void spot(float falloff, float hotspot, bool circle) {
        r.NuevaLuzFoco(0, 0.8f, 0.5f, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, -1, 0, falloff, hotspot, 1.0f, 0, circle, 1.0f);
    }
};

struct Case {
    const char* name;
    std::function<void(Scene&)> setup;
    bool renders;
    const char* message;  // the refusal, or a warning a render shows; none when null
};

// Headers that declare absurd sizes over a few bytes of data.
std::vector<uint8_t> pngDeclaring(uint32_t w, uint32_t h) {
    std::vector<uint8_t> f = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (uint32_t v : {w, h})
        for (int i = 3; i >= 0; --i) f.push_back(uint8_t(v >> (8 * i)));
    const uint8_t rest[] = {8, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
    f.insert(f.end(), rest, rest + sizeof(rest));  // the header's CRC is never reached
    return f;
}
std::vector<uint8_t> tgaDeclaring(uint16_t w, uint16_t h) {
    return {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), 24, 0,
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
}
std::vector<uint8_t> jpegDeclaring(uint16_t w, uint16_t h) {
    return {0xff, 0xd8, 0xff, 0xc0, 0x00, 0x11, 0x08, uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w),
            0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01, 0xff, 0xd9};
}

std::vector<float> goodRender() {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(16, 16));
    tt::addCornellBox(*r);
    std::vector<float> image = tt::renderCornell(*r);
    r->CleanUp();
    return image;
}

std::vector<Case> cases(const tt::TempDir& dir) {
    const std::string png = dir.file("good.png"), folder = dir.file("folder.png"), pipe = dir.file("pipe.png"),
                      missing = dir.file("missing.png");
    const float big[24] = {-50, -50, -0.5f, 50, -50, -0.5f, 0, 50, -0.5f, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    const std::string path = dir.path;
    auto file = [path](const char* name, const std::vector<uint8_t>& bytes) {
        tt::writeBytes(path + "/" + name, bytes);
        return path + "/" + name;
    };
    const char* unreadable = "no se pudo cargar la imagen";
    std::vector<uint8_t> wide = tt::bmpHeader(16385, 1, 16385 * 3 + 1, true), cut = tt::readBytes(png);
    cut.resize(cut.size() / 2);
    return {
        {"NaN vertex", [](Scene& s) { s.r.triangles[3].vertices[4] = kNaN; }, false, "vertex coordinate"},
        {"-inf vertex", [](Scene& s) { s.r.triangles[3].vertices[4] = -kInf; }, false, "vertex coordinate"},
        {"inf normal", [](Scene& s) { s.r.triangles[5].normals[7] = kInf; }, false, "normal"},
        {"NaN normal scale", [](Scene& s) { s.triangle({0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}, 0, kNaN); }, false, "normal"},
        {"zero-length normals", [](Scene& s) { s.triangle({-1, -1, -0.9f, 1, -1, -0.9f, 0, 1, -0.9f}, 0); }, true, nullptr},
        {"zero-area triangle", [](Scene& s) { s.triangle({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1}, 1); }, true, nullptr},
        {"every triangle twice",
         [](Scene& s) {
             const std::vector<TriangleRecord> copy = s.r.triangles;
             s.r.triangles.insert(s.r.triangles.end(), copy.begin(), copy.end());
         },
         true, nullptr},
        {"10000 copies of one large triangle",
         [=](Scene& s) {
             for (int i = 0; i < 10000; ++i) s.r.NuevoTriangulo(big, s.m.white, false, 1.0f);
         },
         false, "octree"},
        {"NaN texture coordinates", [](Scene& s) { s.r.triangles[0].uvs[1] = kNaN; }, true, nullptr},
        {"huge texture coordinates with a texture",
         [=](Scene& s) {
             s.texture(png);
             for (float& u : s.r.triangles[0].uvs) u = 1e30f;
         },
         true, nullptr},
        {"huge finite coordinates",
         [](Scene& s) { s.triangle({-1e30f, -1e30f, -5, 1e30f, -1e30f, -5, 0, 1e30f, -5, 0, 0, 1, 0, 0, 1, 0, 0, 1}, 1); },
         true, nullptr},
        {"material id one past the end", [](Scene& s) { s.r.triangles[2].materialId = int(s.r.materials.size()); }, false,
         "uses material"},
        {"material id -1", [](Scene& s) { s.r.triangles[2].materialId = -1; }, false, "uses material"},
        {"no materials", [](Scene& s) { s.r.materials.clear(); }, false, "uses material"},
        {"NaN diffuse colour", [](Scene& s) { s.r.materials[0].diffuse[1] = kNaN; }, false, "Material 0"},
        {"NaN gloss", [](Scene& s) { s.r.materials[1].reflGloss = kNaN; }, false, "Material 1"},
        {"glossy mirror of gloss 0",
         [](Scene& s) {
             s.r.materials[0].reflective = true;
             s.r.materials[0].reflGloss = 0.0f;
             s.r.materials[0].reflColor[0] = 200;
         },
         true, nullptr},
        {"glossy glass",
         [](Scene& s) {
             s.r.materials[2].refractive = true;
             s.r.materials[2].refrGloss = 0.5f;
             s.r.materials[2].refrColor[1] = 200;
         },
         true, nullptr},
        {"no lights", [](Scene& s) { s.r.lights.clear(); }, false, "No lights"},
        {"only light triangles", [](Scene& s) { s.r.lightTriangles.swap(s.r.triangles); }, false, "No valid geometry"},
        {"NaN light position", [](Scene& s) { s.r.lights[0].position[0] = kNaN; }, false, "Light 0"},
        {"infinite light intensity", [](Scene& s) { s.r.NuevaLuzOmni(0, 0, 0, 1, 1, 1, kInf, 0, 1); }, false, "Light 1"},
        {"NaN spot rotation", [](Scene& s) { s.spot(40, 30, true), s.r.lights[1].rotation[4] = kNaN; }, false, "Light 1"},
        {"light of intensity 0", [](Scene& s) { s.r.lights[0].intensity = 0; }, true, nullptr},
        {"spot with hotspot wider than falloff", [](Scene& s) { s.spot(20, 45, true); }, true, nullptr},
        {"spot with zero cone angles", [](Scene& s) { s.spot(0, 0, true); }, true, nullptr},
        {"rectangular spot", [](Scene& s) { s.spot(40, 30, false); }, true, "unsupported light type"},
        {"area light of zero size",
         [](Scene& s) { s.r.NuevaLuzRect(0, 0.9f, 0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0); }, true, nullptr},
        {"sphere light of radius -1", [](Scene& s) { s.r.NuevaLuzOmniEsfera(0, 0.5f, 0, 1, 1, 1, 1, -1, 0); }, true, nullptr},
        {"unknown decay type", [](Scene& s) { s.r.lights[0].decayType = 200; }, true, nullptr},
        {"decay starting at 0", [](Scene& s) { s.r.lights[0].decayType = 2, s.r.lights[0].decayStart = 0; }, true, nullptr},
        {"width 0", [](Scene& s) { s.r.width = 0; }, false, "Invalid image size"},
        {"height INT_MIN", [](Scene& s) { s.r.height = INT_MIN; }, false, "Invalid image size"},
        {"width 65536", [](Scene& s) { s.r.width = 65536; }, false, "Invalid image size"},
        {"height 16385", [](Scene& s) { s.r.height = 16385; }, false, "Invalid image size"},
        {"1 x 1 image", [](Scene& s) { s.r.width = s.r.height = 1; }, true, nullptr},
        {"maxOctreeDepth 0", [](Scene& s) { s.r.maxOctreeDepth = 0; }, true, nullptr},
        {"maxOctreeDepth 64", [](Scene& s) { s.r.maxOctreeDepth = 64; }, true, nullptr},
        {"camera with NaN", [](Scene& s) { s.r.cameraMatrix[6] = kNaN; }, false, "camera matrix"},
        {"all-zero camera", [](Scene& s) { std::memset(s.r.cameraMatrix, 0, sizeof(s.r.cameraMatrix)); }, true, nullptr},
        {"NaN field of view", [](Scene& s) { s.r.fieldOfView = kNaN; }, false, "field of view"},
        {"field of view 0", [](Scene& s) { s.r.fieldOfView = 0; }, true, nullptr},
        {"NaN background", [](Scene& s) { s.r.SetEnvColor(kNaN, 0, 0); }, false, "background"},
        {"shadow mode 255", [](Scene& s) { s.r.shadowMode = 255; }, true, nullptr},
        {"numPhotons 0 with final gather", [](Scene& s) { s.gi(true), s.r.numPhotons = 0; }, true, nullptr},
        {"numPhotons beyond memory", [](Scene& s) { s.gi(false), s.r.numPhotons = UINT32_MAX; }, false,
         "Not enough device memory"},
        {"irradianceSamples 0", [](Scene& s) { s.gi(true), s.r.irradianceSamples = 0; }, true, nullptr},
        {"photonSearchDistance 0", [](Scene& s) { s.gi(false), s.r.photonSearchDistance = 0; }, true, nullptr},
        {"FG_record_density 0", [](Scene& s) { s.gi(true), s.r.FG_record_density = 0; }, true, nullptr},
        {"NaN photon energy", [](Scene& s) { s.gi(false), s.r.photonEnergy = kNaN; }, false, "photon"},
        {"indirect light without attenuation", [](Scene& s) { s.gi(false), s.r.lights[0].decayType = 1; }, false,
         "ATTENUATION"},
        {"missing texture", [=](Scene& s) { s.texture(missing); }, false, unreadable},
        {"empty texture", [=](Scene& s) { s.texture(file("empty.png", {})); }, false, unreadable},
        {"truncated PNG", [=](Scene& s) { s.texture(file("cut.png", cut)); }, false, unreadable},
        {"directory as texture", [=](Scene& s) { mkdir(folder.c_str(), 0700), s.texture(folder); }, false, unreadable},
        {"FIFO as texture", [=](Scene& s) { mkfifo(pipe.c_str(), 0600), s.texture(pipe); }, false, unreadable},
        {"character device as texture", [](Scene& s) { s.texture("/dev/zero"); }, false, unreadable},
        {"empty path", [](Scene& s) { s.texture(""); }, false, unreadable},
        {"PNG named .jpg", [=](Scene& s) { s.texture(file("really-a-png.jpg", tt::readBytes(png))); }, true, nullptr},
        {"PNG declaring 100000 x 100000", [=](Scene& s) { s.texture(file("huge.png", pngDeclaring(100000, 100000))); },
         false, unreadable},
        {"BMP declaring 100000 x 100000",
         [=](Scene& s) { s.texture(file("huge.bmp", tt::bmpHeader(100000, 100000, 4, false))); }, false, unreadable},
        {"BMP declaring INT_MIN rows", [=](Scene& s) { s.texture(file("neg.bmp", tt::bmpHeader(4, INT_MIN, 4, false))); },
         false, unreadable},
        {"readable BMP 16385 texels wide", [=](Scene& s) { s.texture(file("wide.bmp", wide)); }, false, unreadable},
        {"TGA declaring 65535 x 65535", [=](Scene& s) { s.texture(file("huge.tga", tgaDeclaring(65535, 65535))); },
         false, unreadable},
        {"JPEG declaring 65535 x 65535", [=](Scene& s) { s.texture(file("huge.jpg", jpegDeclaring(65535, 65535))); },
         false, unreadable},
        {"GIF texture", [=](Scene& s) { s.texture(file("a.gif", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0})); },
         false, unreadable},
        {"text named .bmp", [=](Scene& s) { s.texture(file("text.bmp", {'h', 'e', 'l', 'l', 'o', '\n'})); }, false,
         unreadable},
    };
}

TEST(BadInput, EveryCaseRendersOrIsRefusedCleanly) {
    const tt::TempDir dir;
    ASSERT_TRUE(tt::writeGradientPng(dir.file("good.png"), 8, 8));
    const std::vector<float> reference = goodRender();
    const std::vector<Case> table = cases(dir);
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        const size_t liveBefore = rt::liveAllocationCount(), bytesBefore = rt::liveAllocationBytes();
        std::vector<std::string> paths;
        paths.reserve(8);
        std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(16, 16));
        tt::MessageCapture messages;
        GuardedHost host;
        {
            tt::StdoutCapture quiet(true);
            Scene s{*r, paths, tt::addCornellBox(*r)};
            tt::setCameraLookingDownZ(*r, tt::kCornellEye);
            c.setup(s);
        }
        const size_t tris = r->triangles.size(), lights = r->lights.size(), mats = r->materials.size();
        const int width = r->width, height = r->height;
        r->callbacks = &host;
        {
            tt::StdoutCapture quiet(true);
            r->Render();
        }
        EXPECT_FALSE(host.hung);
        std::string seen;
        for (const auto& m : messages.messages) seen += "[" + m.title + ": " + m.text + "] ";
        if (c.message) EXPECT_TRUE(messages.contains(c.message)) << seen;
        if (!c.message) EXPECT_TRUE(messages.messages.empty()) << seen;
        EXPECT_EQ(host.tiles.empty(), !c.renders);
        for (int y = 0; c.renders && y < std::min(height, host.height); ++y)
            for (int x = 0; x < std::min(width, host.width); ++x)
                for (int k = 0; k < 4; ++k) {
                    const float v = host.pixel(x, y)[k];
                    ASSERT_TRUE(std::isfinite(v) && v >= 0) << "pixel " << x << "," << y << " channel " << k << ": " << v;
                }
        // The host's scene and settings are its own; the renderer only reads them.
        EXPECT_EQ(r->triangles.size(), tris);
        EXPECT_EQ(r->lights.size(), lights);
        EXPECT_EQ(r->materials.size(), mats);
        EXPECT_EQ(r->width, width);
        EXPECT_EQ(r->height, height);
        r->CleanUp();
        r->CleanUp();
        r.reset();
        EXPECT_EQ(rt::liveAllocationCount(), liveBefore);
        EXPECT_EQ(rt::liveAllocationBytes(), bytesBefore);
        EXPECT_TRUE(goodRender() == reference) << "a good render after the bad input differs";
    }
}

}  // namespace

// Bad input through the renderer's public operations: every case renders or is refused
// with a clear message, Render returns, nothing stays allocated after CleanUp (called
// twice), the host's lists are untouched, and a good render afterwards gives the same
// bytes as before any bad input was seen.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <functional>
#include <limits>
#include <memory>
#include <tuple>

#include "support/cornell.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();

// Aborts a render that runs past a minute, so that a hang fails the case instead of
// the whole test binary.
struct GuardedHost : tt::RecordingHost {
    GuardedHost() : RecordingHost(16, 16) {}
    bool AbortRequested() override {
        return hung = hung || std::chrono::steady_clock::now() - start > std::chrono::seconds(60);
    }
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool hung = false;
};

struct Scene {
    TessraRendererCUDA& r;
    std::vector<std::string>& paths;  // texture paths live as long as the renderer
    void texture(const std::string& path) {
        paths.push_back(path);
        r.materials[0].diffuseMap = paths.back().c_str();
    }
    void triangle(std::vector<float> d, int material, float normalScale = 1.0f) {
        d.resize(24, 0.0f);
        r.NuevoTriangulo(d.data(), material, false, normalScale);
    }
    void gi(bool finalGather) { tt::enablePhotonMapping(r, 400, finalGather); }
    int glass(int m, float gloss, float specularExponent = 0) {
        material_t& g = r.materials[size_t(m)];
        g.refractive = true, g.refrGloss = gloss, g.refrColor[1] = 200;
        if (specularExponent > 0) g.specular = true, g.specularLevel = 0.5f, g.specularExponent = specularExponent;
        return m;
    }
    void spot(float falloff, float hotspot, bool circle) {
        r.NuevaLuzFoco(0, 0.8f, 0.5f, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, -1, 0, falloff, hotspot, 1.0f, 0, circle, 1.0f);
    }
};

struct Case {
    const char* name;
    bool renders;
    const char* message;  // the refusal, or a warning a render shows; none when null
    std::function<void(Scene&)> setup;
};

std::vector<float> goodRender() {
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(16, 16));
    tt::addCornellBox(*r);
    std::vector<float> image = tt::renderCornell(*r);
    r->CleanUp();
    return image;
}

std::vector<Case> cases(const std::string& dir) {
    const std::string png = dir + "/good.png";
    std::vector<float> big = {-50, -50, -0.5f, 50, -50, -0.5f, 0, 50, -0.5f, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    // A texture of these bytes on the white walls.
    auto tex = [dir](const char* name, const std::vector<uint8_t>& bytes) {
        return [=](Scene& s) {
            tt::writeBytes(dir + "/" + name, bytes);
            s.texture(dir + "/" + name);
        };
    };
    const char* unreadable = "no se pudo cargar la imagen";
    std::vector<uint8_t> cut = tt::readBytes(png);
    cut.resize(cut.size() / 2);
    // Headers that declare absurd sizes (in big-endian 0x186a0 and 0xffff, little-endian
    // 0xffff) over a few bytes of data; a PNG's CRC is never reached.
    const std::vector<uint8_t> hugePng = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                          0, 1, 0x86, 0xa0, 0, 1, 0x86, 0xa0, 8, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                          'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
    std::vector<uint8_t> hugeTga(30, 0);
    hugeTga[2] = 2, hugeTga[12] = hugeTga[13] = hugeTga[14] = hugeTga[15] = 0xff, hugeTga[16] = 24;
    const std::vector<uint8_t> hugeJpeg = {0xff, 0xd8, 0xff, 0xc0, 0x00, 0x11, 0x08, 0xff, 0xff, 0xff, 0xff, 0x03,
                                           0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01, 0xff, 0xd9};
    // clang-format off
    return {
        {"-inf vertex", false, "vertex coordinate", [](Scene& s) { s.r.triangles[3].vertices[4] = -kInf; }},
        {"NaN normal scale", false, "normal",
         [](Scene& s) { s.triangle({0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}, 0, kNaN); }},
        {"zero-length normals", true, nullptr,
         [](Scene& s) { s.triangle({-1, -1, -0.9f, 1, -1, -0.9f, 0, 1, -0.9f}, 0); }},
        {"zero-area triangle", true, nullptr,
         [](Scene& s) { s.triangle({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1}, 1); }},
        {"10000 copies of one large triangle", false, "octree",
         [=](Scene& s) { for (int i = 0; i < 10000; ++i) s.triangle(big, 0); }},
        {"huge and NaN texture coordinates with a texture", true, nullptr,
         [=](Scene& s) { s.texture(png); for (float& u : s.r.triangles[0].uvs) u = 1e30f; s.r.triangles[1].uvs[1] = kNaN; }},
        {"huge finite coordinates", true, nullptr,
         [](Scene& s) { s.triangle({-1e30f, -1e30f, -5, 1e30f, -1e30f, -5, 0, 1e30f, -5, 0, 0, 1, 0, 0, 1, 0, 0, 1}, 1); }},
        {"material id one past the end", false, "uses material",
         [](Scene& s) { s.r.triangles[2].materialId = int(s.r.materials.size()); }},
        {"material id -1", false, "uses material", [](Scene& s) { s.r.triangles[2].materialId = -1; }},
        {"NaN gloss", false, "Material 1", [](Scene& s) { s.r.materials[1].reflGloss = kNaN; }},
        {"glossy mirror of gloss 0", true, nullptr,
         [](Scene& s) { s.r.materials[0].reflective = true, s.r.materials[0].reflGloss = 0, s.r.materials[0].reflColor[0] = 200; }},
        {"glossy glass", true, nullptr, [](Scene& s) { s.glass(2, 0.5f); }},
        // Inside the glass a negative N.H meets the fractional exponent: pow gives a non-number.
        {"glass cube of specular exponent 7.5", true, nullptr,
         [](Scene& s) { tt::addClosedBox(s.r, 0.3f, s.glass(tt::addDiffuse(s.r, 0.5f, 0.5f, 0.5f), 0, 7.5f)); }},
        {"no lights", false, "No lights", [](Scene& s) { s.r.lights.clear(); }},
        {"only light triangles", false, "No valid geometry", [](Scene& s) { s.r.lightTriangles.swap(s.r.triangles); }},
        {"NaN light position", false, "Light 0", [](Scene& s) { s.r.lights[0].position[0] = kNaN; }},
        {"NaN spot rotation", false, "Light 1",
         [](Scene& s) { s.spot(40, 30, true), s.r.lights[1].rotation[4] = kNaN; }},
        {"spot with zero cone angles", true, nullptr, [](Scene& s) { s.spot(0, 0, true); }},
        {"rectangular spot", true, "unsupported light type", [](Scene& s) { s.spot(40, 30, false); }},
        {"area light of zero size", true, nullptr,
         [](Scene& s) { s.r.NuevaLuzRect(0, 0.9f, 0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0); }},
        {"sphere light of radius -1", true, nullptr,
         [](Scene& s) { s.r.NuevaLuzOmniEsfera(0, 0.5f, 0, 1, 1, 1, 1, -1, 0); }},
        {"unknown decay type", true, nullptr, [](Scene& s) { s.r.lights[0].decayType = 200; }},
        {"decay starting at 0", true, nullptr,
         [](Scene& s) { s.r.lights[0].decayType = 2, s.r.lights[0].decayStart = 0; }},
        {"height INT_MIN", false, "Invalid image size", [](Scene& s) { s.r.height = INT_MIN; }},
        {"height 16385", false, "Invalid image size", [](Scene& s) { s.r.height = 16385; }},
        {"1 x 1 image", true, nullptr, [](Scene& s) { s.r.width = s.r.height = 1; }},
        {"maxOctreeDepth 0", true, nullptr, [](Scene& s) { s.r.maxOctreeDepth = 0; }},
        {"camera with NaN", false, "camera matrix", [](Scene& s) { s.r.cameraMatrix[6] = kNaN; }},
        {"all-zero camera", true, nullptr,
         [](Scene& s) { std::memset(s.r.cameraMatrix, 0, sizeof(s.r.cameraMatrix)); }},
        {"NaN field of view", false, "field of view", [](Scene& s) { s.r.fieldOfView = kNaN; }},
        {"field of view 0", true, nullptr, [](Scene& s) { s.r.fieldOfView = 0; }},
        {"NaN background", false, "background", [](Scene& s) { s.r.SetEnvColor(kNaN, 0, 0); }},
        {"shadow mode 255", true, nullptr, [](Scene& s) { s.r.shadowMode = 255; }},
        {"numPhotons 0 with final gather", true, nullptr, [](Scene& s) { s.gi(true), s.r.numPhotons = 0; }},
        {"numPhotons beyond memory", false, "Not enough device memory",
         [](Scene& s) { s.gi(false), s.r.numPhotons = UINT32_MAX; }},
        {"irradianceSamples 0", true, nullptr, [](Scene& s) { s.gi(true), s.r.irradianceSamples = 0; }},
        {"photonSearchDistance 0", true, nullptr, [](Scene& s) { s.gi(false), s.r.photonSearchDistance = 0; }},
        {"FG_record_density 0", true, nullptr, [](Scene& s) { s.gi(true), s.r.FG_record_density = 0; }},
        {"NaN photon energy", false, "photon", [](Scene& s) { s.gi(false), s.r.photonEnergy = kNaN; }},
        {"empty texture", false, unreadable, tex("empty.png", {})},
        {"truncated PNG", false, unreadable, tex("cut.png", cut)},
        {"FIFO as texture", false, unreadable,
         [=](Scene& s) { mkfifo((dir + "/p.png").c_str(), 0600), s.texture(dir + "/p.png"); }},
        {"PNG named .jpg", true, nullptr, tex("really-a-png.jpg", tt::readBytes(png))},
        {"PNG declaring 100000 x 100000", false, unreadable, tex("a.png", hugePng)},
        {"BMP declaring INT_MIN rows", false, unreadable, tex("b.bmp", tt::bmpHeader(4, INT_MIN, 4, false))},
        {"readable BMP 16385 texels wide", false, unreadable, tex("c.bmp", tt::bmpHeader(16385, 1, 49156, true))},
        {"TGA declaring 65535 x 65535", false, unreadable, tex("a.tga", hugeTga)},
        {"JPEG declaring 65535 x 65535", false, unreadable, tex("a.jpg", hugeJpeg)},
        {"GIF texture", false, unreadable, tex("a.gif", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0})},
    };
    // clang-format on
}

TEST(BadInput, EveryCaseRendersOrIsRefusedCleanly) {
    const tt::TempDir dir;
    ASSERT_TRUE(tt::writeGradientPng(dir.file("good.png"), 8, 8));
    const std::vector<float> reference = goodRender();
    for (const Case& c : cases(dir.path)) {
        SCOPED_TRACE(c.name);
        const size_t liveBefore = rt::liveAllocationCount(), bytesBefore = rt::liveAllocationBytes();
        std::vector<std::string> paths;
        paths.reserve(8);
        std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(16, 16));
        tt::MessageCapture messages;
        GuardedHost host;
        tt::StdoutCapture quiet(true);
        tt::addCornellBox(*r);
        Scene s{*r, paths};
        tt::setCameraLookingDownZ(*r, tt::kCornellEye);
        c.setup(s);
        // The host's scene and settings are its own; the renderer only reads them.
        auto hostsOwn = [&] {
            return std::make_tuple(r->triangles.size(), r->lights.size(), r->materials.size(), r->width, r->height);
        };
        const auto before = hostsOwn();
        const int width = std::min(r->width, host.width), height = std::min(r->height, host.height);
        r->callbacks = &host;
        r->Render();
        quiet.stop();
        EXPECT_FALSE(host.hung);
        std::string seen;
        for (const auto& m : messages.messages) seen += "[" + m.title + ": " + m.text + "] ";
        EXPECT_TRUE(c.message ? messages.contains(c.message) : messages.messages.empty()) << seen;
        EXPECT_EQ(host.tiles == 0, !c.renders);
        for (int y = 0; c.renders && y < height; ++y)
            for (int x = 0; x < width; ++x)
                for (int k = 0; k < 4; ++k)
                    ASSERT_TRUE(std::isfinite(host.pixel(x, y)[k]) && host.pixel(x, y)[k] >= 0)
                        << "pixel " << x << "," << y << " channel " << k << ": " << host.pixel(x, y)[k];
        EXPECT_TRUE(hostsOwn() == before);
        r->CleanUp();
        r->CleanUp();
        r.reset();
        EXPECT_EQ(rt::liveAllocationCount(), liveBefore);
        EXPECT_EQ(rt::liveAllocationBytes(), bytesBefore);
        EXPECT_TRUE(goodRender() == reference) << "a good render after the bad input differs";
    }
}

}  // namespace

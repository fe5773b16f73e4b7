#include "support/test_support.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "runtime/device.h"

namespace tt {

void RecordingHost::DrawPixels(const float* rgba, uint32_t count, uint32_t x, uint32_t y) {
    runs.push_back({count, x, y});
    if (int(y) >= height) return;
    for (uint32_t i = 0; i < count && int(x + i) < width; ++i)
        std::memcpy(&image[(size_t(y) * width + x + i) * 4], rgba + 4 * i, 16);
}

void RecordingHost::TileFinished(uint32_t x, uint32_t y, uint32_t tw, uint32_t th) { tiles.push_back({x, y, tw, th}); }

namespace {
void record(const char* text, const char* title, void* user) {
    static_cast<MessageCapture*>(user)->messages.push_back({text ? text : "", title ? title : ""});
}
}  // namespace

MessageCapture::MessageCapture() { platform::setMessageHandler(&record, this); }
MessageCapture::~MessageCapture() { platform::setMessageHandler(nullptr, nullptr); }
bool MessageCapture::contains(const std::string& text) const {
    for (const Message& m : messages)
        if (m.text.find(text) != std::string::npos) return true;
    return false;
}

void StdoutCapture::start() {
    std::fflush(stdout);
    char name[] = "/tmp/tessra-stdout-XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    saved_ = dup(1);
    dup2(fd, 1);
    close(fd);
}

std::string StdoutCapture::stop() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    std::ifstream in(path_);
    std::stringstream ss;
    ss << in.rdbuf();
    std::remove(path_.c_str());
    return ss.str();
}

void addTriangle(TessraRendererCUDA& r, V3 a, V3 b, V3 c, V3 n, int material, const float* uvs) {
    float d[24] = {a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z, n.x, n.y, n.z, n.x, n.y, n.z, n.x, n.y, n.z};
    if (uvs) std::memcpy(d + 18, uvs, 6 * sizeof(float));
    r.NuevoTriangulo(d, material, false, 1.0f);
}

void addQuad(TessraRendererCUDA& r, V3 a, V3 b, V3 c, V3 d, V3 n, int material) {
    const float uv0[6] = {0, 0, 1, 0, 1, 1};
    const float uv1[6] = {0, 0, 1, 1, 0, 1};
    addTriangle(r, a, b, c, n, material, uv0);
    addTriangle(r, a, c, d, n, material, uv1);
}

int addDiffuse(TessraRendererCUDA& r, float red, float green, float blue) {
    material_t m;
    m.diffuse[0] = red;
    m.diffuse[1] = green;
    m.diffuse[2] = blue;
    return r.NuevoMaterial(m);
}

void setCamera(TessraRendererCUDA& r, V3 eye, V3 target, V3 up) {
    auto sub = [](V3 a, V3 b) { return V3{a.x - b.x, a.y - b.y, a.z - b.z}; };
    auto norm = [](V3 v) {
        const float l = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
        return V3{v.x / l, v.y / l, v.z / l};
    };
    auto crs = [](V3 a, V3 b) { return V3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; };
    const V3 back = norm(sub(eye, target));
    const V3 right = norm(crs(up, back));
    const V3 u = crs(back, right);
    // Column 1 holds up; initScene negates it, which puts image row 0 at the top.
    const float m[12] = {right.x, u.x, back.x, eye.x, right.y, u.y, back.y, eye.y, right.z, u.z, back.z, eye.z};
    std::memcpy(r.cameraMatrix, m, sizeof(m));
}

void setCameraLookingDownZ(TessraRendererCUDA& r, V3 eye) { setCamera(r, eye, {eye.x, eye.y, eye.z - 1}, {0, 1, 0}); }

V3 unit(V3 a) { return mul(a, 1.0f / std::sqrt(dotv(a, a))); }

void renderQuietly(TessraRendererCUDA& r, TessraCallbacks& host, V3 eye, V3 target, V3 up) {
    r.callbacks = &host;
    setCamera(r, eye, target, up);
    StdoutCapture quiet;
    quiet.start();
    r.Render();
    quiet.stop();
    r.callbacks = nullptr;
}

TessraRendererCUDA* newRenderer(int w, int h) {
    // The GPU machine's script runs the renderer tests on the CUDA backend.
    const char* backend = std::getenv("TESSRA_TEST_BACKEND");
    Tessra_SelectBackend(backend ? backend : "cpu");
    auto* r = new TessraRendererCUDA();
    r->width = w;
    r->height = h;
    r->fieldOfView = 0.9f;
    return r;
}

std::string useCudaOrSayWhyNot() {
    Tessra_SelectBackend("cuda");
    int count = 0;
    if (rt::activeBackend() == rt::Backend::Cuda && rt::getDeviceCount(&count) == rt::Success && count > 0 &&
        rt::cudaUnavailableReason().empty())
        return "";
    std::string why = rt::cudaUnavailableReason();
    Tessra_SelectBackend("cpu");
    return "no CUDA device in use (" + (why.empty() ? std::string("no device") : why) + ")";
}

}  // namespace tt

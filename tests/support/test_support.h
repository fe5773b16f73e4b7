// Helpers shared by the tests and benchmarks: a recording host, captured messages and
// standard output, temporary folders and files, child processes, and scene builders.
#pragma once

#include <fcntl.h>
#include <png.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/device.h"
#include "tessra.h"

extern char** environ;

namespace tt {

// Counts the tiles, records the photon counts and keeps the delivered image (-1 where nothing arrived).
class RecordingHost : public TessraCallbacks {
public:
    RecordingHost(int w, int h) : width(w), height(h), image(size_t(w) * h * 4, -1.0f) {}
    void DrawPixels(const float* rgba, uint32_t count, uint32_t x, uint32_t y) override {
        for (uint32_t i = 0; int(y) < height && i < count && int(x + i) < width; ++i)
            std::memcpy(&image[(size_t(y) * width + x + i) * 4], rgba + 4 * i, 16);
    }
    void TileFinished(uint32_t, uint32_t, uint32_t, uint32_t) override { ++tiles; }
    void SetStatusText(const char*) override {}
    bool AbortRequested() override { return false; }
    void SetFinalGatherCount(uint32_t) override {}
    void ReportIrradianceTime(float, float) override {}
    void SetPhotonCount(uint32_t c) override { photonCounts.push_back(c); }
    const float* pixel(int x, int y) const { return &image[(size_t(y) * width + x) * 4]; }

    int width, height;
    std::vector<float> image;
    int tiles = 0;
    std::vector<uint32_t> photonCounts;
};

// Collects message boxes while alive.
struct MessageCapture {
    struct Message {
        std::string text, title;
    };
    std::vector<Message> messages;
    MessageCapture() {
        platform::setMessageHandler(
            [](const char* text, const char* title, void* self) {
                static_cast<MessageCapture*>(self)->messages.push_back({text ? text : "", title ? title : ""});
            },
            this);
    }
    ~MessageCapture() { platform::setMessageHandler(nullptr, nullptr); }
    bool contains(const std::string& text) const {
        for (const Message& m : messages)
            if (m.text.find(text) != std::string::npos) return true;
        return false;
    }
};

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Captures what the library prints on standard output between start() and stop(); with
// `true` it starts at once, and it stops when destroyed.
class StdoutCapture {
public:
    explicit StdoutCapture(bool now = false) { if (now) start(); }
    ~StdoutCapture() { if (saved_ >= 0) stop(); }
    void start() {
        std::fflush(stdout);
        char name[] = "/tmp/tessra-stdout-XXXXXX";
        file_ = mkstemp(name);
        // Unlinked at once: a child that ends in a fatal check leaves no file behind.
        unlink(name);
        saved_ = dup(1);
        dup2(file_, 1);
    }
    std::string stop() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
        std::string out;
        char buffer[4096];
        lseek(file_, 0, SEEK_SET);
        for (ssize_t n; (n = read(file_, buffer, sizeof(buffer))) > 0;) out.append(buffer, size_t(n));
        close(file_);
        return out;
    }

private:
    int saved_ = -1, file_ = -1;
};

// A fresh folder, removed with its contents when destroyed.
struct TempDir {
    TempDir() {
        char name[] = "/tmp/tessra-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// An RGB PNG of w x h texels, rgb(x, y, channel), through libpng's own writer.
template <typename F>
bool writePng(const std::string& path, int w, int h, F rgb) {
    std::vector<uint8_t> data;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) data.push_back(uint8_t(rgb(x, y, c)));
    png_image image = {};
    image.version = PNG_IMAGE_VERSION, image.width = uint32_t(w), image.height = uint32_t(h);
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path.c_str(), 0, data.data(), 0, nullptr) != 0;
}

inline bool writeGradientPng(const std::string& path, int w, int h) {
    return writePng(path, w, h, [&](int x, int y, int c) {
        return c == 0 ? 255 * x / std::max(w - 1, 1) : c == 1 ? 255 * y / std::max(h - 1, 1) : 128;
    });
}

// A 24-bit uncompressed BMP header for w x h texels with room for dataBytes of pixels;
// the image-size field is written only when recordSize is set.
inline std::vector<uint8_t> bmpHeader(int32_t w, int32_t h, uint32_t dataBytes, bool recordSize) {
    std::vector<uint8_t> f(54 + dataBytes, 0);
    auto put32 = [&](size_t o, uint32_t v) {
        for (int i = 0; i < 4; ++i) f[o + i] = uint8_t(v >> (8 * i));
    };
    f[0] = 'B', f[1] = 'M', f[26] = 1, f[28] = 24;
    for (const auto& [at, v] : {std::pair{2, uint32_t(f.size())}, {10, 54u}, {14, 40u}, {18, uint32_t(w)}, {22, uint32_t(h)}})
        put32(size_t(at), v);
    if (recordSize) put32(34, dataBytes);
    return f;
}

// Starts this test binary again running only the (disabled) test named, with env added to
// the environment, standard output discarded and standard error into errPath if given.
inline pid_t spawnSelf(const std::string& test, const std::vector<std::string>& env, const std::string& errPath = "") {
    std::vector<std::string> all = env;
    for (char** e = environ; *e; ++e) all.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : all) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe", filter = "--gtest_filter=" + test, disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {&self[0], &filter[0], &disabled[0], nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    if (!errPath.empty())
        posix_spawn_file_actions_addopen(&files, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, self.c_str(), &files, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&files);
    return rc == 0 ? pid : -1;
}

// Waits for a child (any with -1) and returns its exit code, or minus its signal.
inline int waitChild(pid_t& pid) {
    int status = 0;
    pid = waitpid(pid, &status, 0);
    return pid < 0 ? -1000 : WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

struct V3 {
    float x, y, z;
};
inline V3 add(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline V3 sub(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline V3 mul(V3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline float dotv(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline V3 unit(V3 a) { return mul(a, 1.0f / std::sqrt(dotv(a, a))); }

// A triangle with flat normal n.
inline void addTriangle(TessraRendererCUDA& r, V3 a, V3 b, V3 c, V3 n, int material, const float* uvs = nullptr) {
    float d[24] = {a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z, n.x, n.y, n.z, n.x, n.y, n.z, n.x, n.y, n.z};
    if (uvs) std::memcpy(d + 18, uvs, 6 * sizeof(float));
    r.NuevoTriangulo(d, material, false, 1.0f);
}

// The quad a, b, c, d (counter-clockwise) as two triangles.
inline void addQuad(TessraRendererCUDA& r, V3 a, V3 b, V3 c, V3 d, V3 n, int material) {
    const float uv0[6] = {0, 0, 1, 0, 1, 1}, uv1[6] = {0, 0, 1, 1, 0, 1};
    addTriangle(r, a, b, c, n, material, uv0);
    addTriangle(r, a, c, d, n, material, uv1);
}

inline int addDiffuse(TessraRendererCUDA& r, float red, float green, float blue) {
    material_t m;
    m.diffuse[0] = red, m.diffuse[1] = green, m.diffuse[2] = blue;
    return r.NuevoMaterial(m);
}

inline void setCamera(TessraRendererCUDA& r, V3 eye, V3 target, V3 up) {
    auto crs = [](V3 a, V3 b) { return V3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; };
    const V3 back = unit(sub(eye, target)), right = unit(crs(up, back)), u = crs(back, right);
    // Column 1 holds up; initScene negates it, which puts image row 0 at the top.
    const float m[12] = {right.x, u.x, back.x, eye.x, right.y, u.y, back.y, eye.y, right.z, u.z, back.z, eye.z};
    std::memcpy(r.cameraMatrix, m, sizeof(m));
}

inline void setCameraLookingDownZ(TessraRendererCUDA& r, V3 eye) { setCamera(r, eye, {eye.x, eye.y, eye.z - 1}, {0, 1, 0}); }

// Where the primary ray through image position (x, y) of a w x h camera at eye looking down
// -z meets the plane z = zPlane: row 0 at the top, no half-pixel offset.
inline V3 onPlane(float x, float y, int w, int h, V3 eye, float zPlane = 0, float fov = 0.9f) {
    const float t = std::tan(0.5f * fov) * (eye.z - zPlane);
    return {eye.x + (2 * x / w - 1) * t, eye.y - (2 * y / h - 1) * t * h / w, zPlane};
}

// Renders with host as the callbacks, the camera written first and output silenced.
inline void renderQuietly(TessraRendererCUDA& r, TessraCallbacks& host, V3 eye, V3 target, V3 up) {
    r.callbacks = &host;
    setCamera(r, eye, target, up);
    StdoutCapture quiet(true);
    r.Render();
    r.callbacks = nullptr;
}

inline RecordingHost renderDownZ(TessraRendererCUDA& r, V3 eye) {
    RecordingHost host(r.width, r.height);
    renderQuietly(r, host, eye, {eye.x, eye.y, eye.z - 1}, {0, 1, 0});
    return host;
}

// A fresh renderer on the CPU backend, or the one TESSRA_TEST_BACKEND names (the GPU
// machine's script runs the renderer tests on CUDA).
inline TessraRendererCUDA* newRenderer(int w, int h) {
    const char* backend = std::getenv("TESSRA_TEST_BACKEND");
    Tessra_SelectBackend(backend ? backend : "cpu");
    auto* r = new TessraRendererCUDA();
    r->width = w, r->height = h, r->fieldOfView = 0.9f;
    return r;
}

}  // namespace tt

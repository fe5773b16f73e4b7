// Helpers shared by the tests: a recording host, captured message boxes and standard
// output, and small scene builders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessra.h"

namespace tt {

// A host that records every notification and keeps the delivered image.
class RecordingHost : public TessraCallbacks {
public:
    RecordingHost(int w, int h) : width(w), height(h), image(size_t(w) * h * 4, -1.0f) {}
    void DrawPixels(const float* rgba, uint32_t count, uint32_t x, uint32_t y) override;
    void TileFinished(uint32_t x, uint32_t y, uint32_t tw, uint32_t th) override;
    void SetStatusText(const char* text) override { statuses.push_back(text); }
    bool AbortRequested() override {
        ++abortPolls;
        return abortAfterTiles >= 0 && int(tiles.size()) >= abortAfterTiles;
    }
    void SetFinalGatherCount(uint32_t c) override { finalGatherCounts.push_back(c); }
    void ReportIrradianceTime(float c, float s) override { irradianceTimes.push_back({c, s}); }
    void SetPhotonCount(uint32_t c) override { photonCounts.push_back(c); }

    // RGBA of pixel (x, y) as delivered; -1 where nothing arrived.
    const float* pixel(int x, int y) const { return &image[(size_t(y) * width + x) * 4]; }

    struct Run {
        uint32_t count, x, y;
    };
    struct Tile {
        uint32_t x, y, w, h;
    };
    int width, height;
    std::vector<float> image;
    std::vector<Run> runs;
    std::vector<Tile> tiles;
    std::vector<std::string> statuses;
    std::vector<uint32_t> finalGatherCounts, photonCounts;
    std::vector<std::pair<float, float>> irradianceTimes;
    int abortPolls = 0;
    int abortAfterTiles = -1;  // abort once this many tiles have arrived
};

// Collects message boxes while alive.
class MessageCapture {
public:
    MessageCapture();
    ~MessageCapture();
    struct Message {
        std::string text, title;
    };
    std::vector<Message> messages;
    bool contains(const std::string& text) const;
};

// Captures what the library prints on standard output between start() and stop().
class StdoutCapture {
public:
    void start();
    std::string stop();

private:
    int saved_ = -1;
    std::string path_;
};

struct V3 {
    float x, y, z;
};
inline V3 add(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline V3 sub(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline V3 mul(V3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline float dotv(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V3 unit(V3 a);
// A triangle with flat normal n and the given material.
void addTriangle(TessraRendererCUDA& r, V3 a, V3 b, V3 c, V3 n, int material, const float* uvs = nullptr);
// Two triangles forming the quad a, b, c, d (counter-clockwise) with normal n.
void addQuad(TessraRendererCUDA& r, V3 a, V3 b, V3 c, V3 d, V3 n, int material);
int addDiffuse(TessraRendererCUDA& r, float red, float green, float blue);
// A camera at eye looking along -z with +y up (row-major 3 x 4, column 1 negated by
// initScene as a host expects), written before every render.
void setCameraLookingDownZ(TessraRendererCUDA& r, V3 eye);
// A camera at eye looking at target with the given up vector.
void setCamera(TessraRendererCUDA& r, V3 eye, V3 target, V3 up);

// Renders with host as the callbacks, the camera written first and output silenced.
void renderQuietly(TessraRendererCUDA& r, TessraCallbacks& host, V3 eye, V3 target, V3 up);

// A fresh renderer on the CPU backend (or the one TESSRA_TEST_BACKEND names).
TessraRendererCUDA* newRenderer(int w, int h);

// Switches to the CUDA backend and returns "" when a device answers; otherwise switches
// back to the CPU backend and returns why, for the test's skip message.
std::string useCudaOrSayWhyNot();

}  // namespace tt

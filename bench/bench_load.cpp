// The largest scenes and images: renders a terrain of about T triangles at W x H with one
// point light and shadows, and prints the time, the peak resident memory, the device
// memory the renderer requested and every message. Not a Google Benchmark: one run per
// call, because a run can take minutes and gigabytes.
//   bench_load TRIANGLES WIDTH HEIGHT [DEVICE_CAP_MIB]
// A cap makes the CPU backend refuse allocations beyond it, to show the message one step
// past the memory a device has.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/device.h"
#include "support/test_support.h"

namespace {

struct CountingHost : TessraCallbacks {
    void DrawPixels(const float*, uint32_t count, uint32_t, uint32_t) override { pixels += count; }
    void TileFinished(uint32_t, uint32_t, uint32_t, uint32_t) override { ++tiles; }
    void SetStatusText(const char*) override {}
    bool AbortRequested() override { return false; }
    void SetFinalGatherCount(uint32_t) override {}
    void ReportIrradianceTime(float, float) override {}
    void SetPhotonCount(uint32_t) override {}
    unsigned long long pixels = 0, tiles = 0;
};

// Standard error: the render silences standard output.
void onMessage(const char* text, const char* title, void*) { std::fprintf(stderr, "message: %s: %s\n", title, text); }

double peakResidentGiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_maxrss) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s TRIANGLES WIDTH HEIGHT [DEVICE_CAP_MIB]\n", argv[0]);
        return 2;
    }
    const double triangles = std::atof(argv[1]);
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]);
    TessraRendererCUDA* r = tt::newRenderer(w, h);
    if (argc > 4) rt::setMemoryCap(size_t(std::atof(argv[4]) * 1024.0 * 1024.0));
    Tessra_SetMessageHandler(onMessage, nullptr);
    const int n = std::max(1, int(std::sqrt(triangles / 2.0)));
    const int m = tt::addDiffuse(*r, 0.8f, 0.8f, 0.8f);
    auto height = [](float x, float y) { return 0.3f * std::sin(1.7f * x) * std::cos(1.3f * y); };
    const float step = 10.0f / float(n);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const float x0 = -5 + i * step, y0 = -5 + j * step, x1 = x0 + step, y1 = y0 + step;
            const tt::V3 a = {x0, y0, height(x0, y0)}, b = {x1, y0, height(x1, y0)}, c = {x1, y1, height(x1, y1)},
                         d = {x0, y1, height(x0, y1)};
            tt::addTriangle(*r, a, b, c, {0, 0, 1}, m);
            tt::addTriangle(*r, a, c, d, {0, 0, 1}, m);
        }
    r->NuevaLuzOmni(2, -1, 4, 1, 1, 1, 1.0f, 0, 1.0f);
    r->shadowMode = 1;
    r->fieldOfView = 0.9f;
    CountingHost host;
    const auto t0 = std::chrono::steady_clock::now();
    tt::renderQuietly(*r, host, {0, -7, 5}, {0, 0, 0}, {0, 0, 1});
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("triangles %zu  image %d x %d  %.1f s  pixels delivered %llu of %llu  tiles %llu  device memory "
                "requested %.1f MiB  peak resident %.2f GiB\n",
                r->triangles.size(), w, h, s, host.pixels, (unsigned long long)w * h, host.tiles,
                double(r->usedDeviceMem) / (1024.0 * 1024.0), peakResidentGiB());
    r->CleanUp();
    Tessra_DeleteRenderer(&r);
    return 0;
}

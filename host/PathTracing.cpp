// Path tracing: every ray the camera cast continues as unbiased paths through the same
// light models and materials as the other stages. It serves as the reference that the
// photon map and the irradiance cache are measured against.
#include <algorithm>

#include "device/kernels_screen.h"
#include "host/internal.h"

using host::kBlock;

// Every camera hit of the tile (or of a batch of sub-pixel rays) takes its paths in
// bands of rows and fixed chunks of samples, polling the host for an abort between them.
bool TessraRendererCUDA::pathTraceTile(const TessraFrameBuffer& fb, const TileContext& c) try {
    host::status(this, "Path tracing...");
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_envColor, envColor, 12), "volumeRender", __LINE__);
    const uint32_t total = extension_.pathSamples, band = 32, chunk = 8;
    for (uint32_t row = 0; row < fb.tileHeight; row += band) {
        if (!c.shadesRows(row, row + band)) continue;
        const dim3 grid(fb.tileWidth / kBlock.x, std::min(band, fb.tileHeight - row) / kBlock.y, 1);
        for (uint32_t first = 0; first < total; first += chunk) {
            rt::launch(TESSRA_KERNEL(path_trace_ss), grid, kBlock, fb.tileWidth, fb.tileHeight, row, numLights,
                       char(shadowMode), host::view(fb), first, std::min(chunk, total - first), total,
                       extension_.pathBounces, uint32_t(num_subdivs_glossy_refl), ambientLightIntens);
            rt::synchronize();
            if (host::abortRequested(this)) return false;
        }
    }
    return !host::emits(*this) || renderEmission(fb, 0, 0, c);
} catch (...) {
    host::reportException("pathTraceTile");
    return false;
}

extern "C" {

TESSRA_API int Tessra_SetPathTracing(TessraRendererCUDA* r, uint32_t samplesPerPixel, uint32_t maxBounces) {
    if (!r || samplesPerPixel > 65536 || maxBounces > 64) return -1;
    r->extension_.pathSamples = samplesPerPixel;
    r->extension_.pathBounces = maxBounces;
    return 0;
}

}  // extern "C"

// The host side of the screen-space stages: constants, launches and delivery. Each
// stage launches through the runtime layer and waits for the device before it reads a
// result or launches the next kernel.
#include <algorithm>
#include <cstring>
#include <vector>

#include "device/kernels_screen.h"
#include "host/internal.h"

using host::kBlock;

namespace {

// The global launch block of the per-pixel kernels.
constexpr uint32_t kTile = TESSRA_TILE_SIZE;

float4* f4(void* p) { return static_cast<float4*>(p); }

void uploadCamera(const TessraRendererCUDA* r, int line) {
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_invViewMatrix, r->invViewMatrix, 48), "volumeRender", line);
}

}  // namespace

bool TessraRendererCUDA::InitScreenCUDA(uint32_t xoffset, uint32_t yoffset, TessraFrameBuffer& fb, bool fullBuffers) {
    return InitScreenCUDA(xoffset, yoffset, fb, fullBuffers, TileContext());
}
bool TessraRendererCUDA::RenderDirectLighting(const TessraFrameBuffer& fb) {
    return RenderDirectLighting(fb, TileContext());
}
bool TessraRendererCUDA::renderAreaLight(const TessraFrameBuffer& fb, uint32_t ilight, uint32_t n, float, float) {
    return renderAreaLight(fb, ilight, n, TileContext());
}
bool TessraRendererCUDA::ReflectBuffers(const TessraFrameBuffer& fb, uint32_t n, uint8_t reflpass,
                                        uint8_t refl0_refr1, uint32_t level) {
    return ReflectBuffers(fb, n, reflpass, refl0_refr1, level, TileContext());
}

bool TessraRendererCUDA::InitScreenCUDA(uint32_t xoffset, uint32_t yoffset, TessraFrameBuffer& fb, bool fullBuffers,
                                        const TileContext& c) try {
    uploadCamera(this, 2481);
    const float eye[3] = {invViewMatrix[3], invViewMatrix[7], invViewMatrix[11]};
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_eyePos, eye, 12), "volumeRender", __LINE__);
    fb.Reset();
    ScreenView out = host::view(fb);
    if (!fullBuffers) {
        // Positions and normals alone: what the final-gather records are placed from.
        out.ssTriID = nullptr;
        out.ssUVs = nullptr;
        out.ssTexCoords = nullptr;
        out.ssEyePos = nullptr;
        out.reflectFlags = nullptr;
        out.ssRefrIndex = nullptr;
    }
    const dim3 grid(kTile / kBlock.x, kTile / kBlock.y, 1);
    rt::launch(TESSRA_KERNEL(init_screen_kernel), grid, kBlock, uint32_t(width), uint32_t(height), fb.tileWidth,
               fb.tileHeight, xoffset, yoffset, c.shadeRows[0], c.shadeRows[1], fieldOfView,
               host::imageAspect(*this), out);
    rt::synchronize();
    return true;
} catch (...) {
    host::reportException("InitScreenCUDA");
    return false;
}

bool TessraRendererCUDA::RenderDirectLighting(const TessraFrameBuffer& fb, const TileContext& c) try {
    for (uint32_t i = 0; i < lights.size(); ++i) {
        const uint8_t kind = lights[i].type;
        const uint32_t n = (kind == LIGHT_OMNI_SPHERE || kind == LIGHT_RECT) ? c.strata() : 1;
        if (!renderAreaLight(fb, i, n, c)) return false;
    }
    const uint32_t n = c.strata();
    return !host::emits(*this) ||
           renderEmission(fb, host::worldLit(*this) ? n : 0, host::emitterCount(*this) ? n : 0, c);
} catch (...) {
    host::reportException("RenderDirectLighting");
    return false;
}

// The world's colour where rays missed, the emission of surfaces, and with n > 0 the light
// of the world and of the emitting surfaces from n x n samples each. Camera rays see the
// world unless alpha is coverage, where it is transparent; mirror and glass rays always do.
bool TessraRendererCUDA::renderEmission(const TessraFrameBuffer& fb, uint32_t worldN, uint32_t emitterN,
                                        const TileContext& c) try {
    // c_envColor holds the world's colour since initScene.
    const bool showMisses = !(c.camera && extension_.coverage);
    const uint32_t step = worldN + emitterN > 0 ? c.strataStep : 1, band = 32;
    for (uint32_t row = 0; row < fb.tileHeight; row += band) {
        if (!c.shadesRows(row, row + band)) continue;
        rt::launch(TESSRA_KERNEL(calc_emission_ss),
                   dim3(fb.tileWidth / kBlock.x, std::min(band, fb.tileHeight - row) / kBlock.y, 1), kBlock,
                   fb.tileWidth, fb.tileHeight, char(shadowMode), host::view(fb), worldN, emitterN, step, row,
                   showMisses, c.strataShifts);
        rt::synchronize();
        if (host::abortRequested(this)) return false;
    }
    return true;
} catch (...) {
    host::reportException("renderEmission");
    return false;
}

bool TessraRendererCUDA::renderAreaLight(const TessraFrameBuffer& fb, uint32_t ilight, uint32_t n,
                                         const TileContext& c) try {
    host::status(this, "Rendering direct illumination...");
    uploadCamera(this, 2520);
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_envColor, envColor, 12), "volumeRender", __LINE__);
    unsigned timer = 0;
    platform::cutCheck(platform::cutCreateTimer(&timer), "volumeRender", __LINE__);
    platform::cutCheck(platform::cutResetTimer(timer), "volumeRender", __LINE__);
    platform::cutCheck(platform::cutStartTimer(timer), "volumeRender", __LINE__);

    host::drawRandomPair();  // kept: later stages draw from the same sequence
    // An area light's rays share its pattern out also when each takes a single sample of
    // it (n = 1 under fine antialiasing or in a glossy window): with a step of 1 that
    // sample was the rectangle's corner for every ray.
    const uint8_t kind = lights[ilight].type;
    const uint32_t step = kind == LIGHT_OMNI_SPHERE || kind == LIGHT_RECT ? c.strataStep : 1;
    // Each pixel sums its own n x n samples, in the order the samples' colours were once
    // summed from an accumulator, so the bytes are as they were. Bands of rows keep the
    // host's abort polls a fraction of a tile apart.
    const uint32_t band = n > 1 ? 32 : fb.tileHeight;
    for (uint32_t row = 0; row < fb.tileHeight; row += band) {
        if (!c.shadesRows(row, row + band)) continue;
        rt::launch(TESSRA_KERNEL(calc_light_ss),
                   dim3(fb.tileWidth / kBlock.x, std::min(band, fb.tileHeight - row) / kBlock.y, 1), kBlock,
                   fb.tileWidth, fb.tileHeight, numLights, char(shadowMode), ilight, host::view(fb), n, step, row,
                   c.strataShifts);
        rt::synchronize();
        if (host::abortRequested(this)) {
            platform::cutDeleteTimer(timer);
            return false;
        }
    }
    platform::cutCheck(platform::cutStopTimer(timer), "volumeRender", __LINE__);
    platform::cutGetAverageTimerValue(timer);
    platform::cutCheck(platform::cutDeleteTimer(timer), "volumeRender", __LINE__);
    return true;
} catch (...) {
    host::reportException("renderAreaLight");
    return false;
}

bool TessraRendererCUDA::ReflectBuffers(const TessraFrameBuffer& fb, uint32_t n, uint8_t reflpass,
                                        uint8_t refl0_refr1, uint32_t level, const TileContext& c) try {
    if (level > 4) return true;
    host::status(this, "Reflecting...");
    if (firstPassDone && level > 1 && n > 1) n >>= 1;
    TessraFrameBuffer T(this, fb.tileWidth, fb.tileHeight);
    if (!host::complete(T)) return false;
    const uint32_t nx = (fb.tileWidth * n) / T.tileWidth, ny = (fb.tileHeight * n) / T.tileHeight;
    host::drawRandomPair();  // kept: later stages draw from the same sequence
    const bool glossy = reflpass == 8;
    const uint32_t step = glossy ? c.strataStep : 1;
    // A window's rays are no camera's, and it shades all its rows; it keeps the tile's delivered
    // rows for the refreshes. A pixel's n x n glossy rays share the lights' patterns and the
    // nested cones' out among them, as a pixel's antialiasing rays do: each takes 1 / n^2 of the
    // samples, so that a glossy level costs about one light sample per ray and a glossy level
    // under it one ray per ray, instead of the whole patterns again.
    TileContext window = c;
    window.top = window.shadeRows[0] = 0;
    window.shadeRows[1] = ~0u;
    window.camera = false;
    window.strataStep = c.strataStep * (glossy ? n : 1);
    window.strataShifts = nullptr;
    for (uint32_t tx = 0; tx < nx; ++tx) {
        for (uint32_t ty = 0; ty < ny; ++ty) {
            const uint32_t xo = tx * T.tileWidth, yo = ty * T.tileHeight;
            // A window whose parent pixels all lie outside the band shades nothing.
            if (!c.shadesRows(yo / n, (yo + T.tileHeight + n - 1) / n)) continue;
            T.Reset();
            rt::launch(TESSRA_KERNEL(calc_refl_ss), dim3(T.tileWidth / kBlock.x, T.tileHeight / kBlock.y, 1), kBlock,
                       fb.tileWidth, fb.tileHeight, T.tileWidth, T.tileHeight, host::view(fb), host::view(T), n, xo,
                       yo, step, reflpass, refl0_refr1, c.strataShifts);
            rt::synchronize();
            if (!RenderDirectLighting(T, window)) return false;
            if (indirectIllumination && usePhotonMapping && !PerformPhotonMappingStep(T, window)) return false;

            const uint32_t nested = window.strata();
            if (T.NeedsSharpRefraction() && !ReflectBuffers(T, 1, 1, REFR_STEP, level + 1, window)) return false;
            if (T.NeedsGlossyRefraction() && !ReflectBuffers(T, nested, 8, REFR_STEP, level + 1, window)) return false;
            if (T.NeedsSharpReflection() && !ReflectBuffers(T, 1, 1, REFL_STEP, level + 1, window)) return false;
            if (T.NeedsGlossyReflection() && !ReflectBuffers(T, nested, 8, REFL_STEP, level + 1, window)) return false;

            const uint32_t pw = T.tileWidth / n, ph = T.tileHeight / n;
            if (pw % kBlock.x != 0)
                platform::messageBox("max_pixels_reales_calculados_x % blockSize.x != 0", "Error");
            if (ph % kBlock.y != 0)
                platform::messageBox("max_pixels_reales_calculados_y % blockSize.y != 0", "Error");
            rt::launch(TESSRA_KERNEL(calc_final_color_refl), dim3(pw / kBlock.x, ph / kBlock.y, 1), kBlock, pw, ph,
                       T.tileWidth, fb.tileWidth, n, xo / n, yo / n, host::view(T), host::view(fb), reflpass,
                       refl0_refr1);
            rt::synchronize();
            if (level < 2 && uint32_t(platform::getTickCount() - lastRefreshTick) > 2000) RefreshResultsScreen(c);
            if (host::abortRequested(this)) return false;
        }
    }
    return true;
} catch (...) {
    host::reportException("ReflectBuffers");
    return false;
}

void TessraRendererCUDA::VisualizeResultsBlock(TessraUInt3 grid, TessraUInt3 block, uint32_t xoffset,
                                               uint32_t yoffset, TessraFrameBuffer* fb, const TileContext& c) try {
    if (!fb) return;
    rt::launch(TESSRA_KERNEL(combineBuffers), dim3(grid.x, grid.y, grid.z), dim3(block.x, block.y, block.z),
               fb->ssTotal, fb->ssColor, fb->ssIndirect, fb->tileWidth, fb->tileHeight, 0u, 0u, false);
    rt::synchronize();
    deliverTile(*fb, xoffset, yoffset, nullptr, c);
} catch (...) {
    host::reportException("VisualizeResultsBlock");
}

// Hands the tile's rows inside the image, the crop window and the band to the host, then
// the tile. The colours come from the tile's total on the device, or from colour (RGBA
// in the tile's layout) where the host side has finished them.
void TessraRendererCUDA::deliverTile(const TessraFrameBuffer& fb, uint32_t xoffset, uint32_t yoffset,
                                     const float* colour, const TileContext& c) {
    if (!callbacks) return;
    std::vector<float4> row(fb.tileWidth);
    const uint32_t* crop = extension_.crop;
    const bool cropped = crop[2] > crop[0] && crop[3] > crop[1];
    const uint32_t x0 = std::max(xoffset, cropped ? crop[0] : 0u);
    const uint32_t y0 = std::max({yoffset, cropped ? crop[1] : 0u, c.deliverRows[0]});
    const uint32_t x1 = std::min({xoffset + fb.tileWidth, uint32_t(width), cropped ? crop[2] : ~0u});
    const uint32_t y1 = std::min({yoffset + fb.tileHeight, uint32_t(height), cropped ? crop[3] : ~0u,
                                  c.deliverRows[1]});
    // A tile wholly right of the image (or the crop) has nothing to deliver.
    for (uint32_t y = y0; x1 > x0 && y < y1; ++y) {
        const size_t at = size_t(y - yoffset) * fb.tileWidth + (x0 - xoffset);
        if (colour)
            std::memcpy(row.data(), colour + 4 * at, size_t(x1 - x0) * 16);
        else
            TESSRA_CHECK(rt::memcpyDtoH(row.data(), f4(fb.ssTotal) + at, size_t(x1 - x0) * 16), "volumeRender",
                         __LINE__);
        callbacks->DrawPixels(reinterpret_cast<const float*>(row.data()), x1 - x0, x0, y);
    }
    // A band reports itself; a whole tile its full size, also at the image edge.
    const uint32_t* band = c.deliverRows;
    if (extension_.bandRows)
        callbacks->TileFinished(xoffset, band[0], fb.tileWidth, band[1] - band[0]);
    else
        callbacks->TileFinished(xoffset, yoffset, fb.tileWidth, fb.tileHeight);
}

void TessraRendererCUDA::RefreshResultsScreen(const TileContext& c) try {
    VisualizeResultsBlock(gridSize, blockSize, tileX, tileY, currentFrameBuffer, c);
    lastRefreshTick = platform::getTickCount();
} catch (...) {
    host::reportException("RefreshResultsScreen");
}

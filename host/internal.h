// Host-side helpers shared by the renderer's sources.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "runtime/device.h"
#include "tessra.h"

// The fatal check with the source name and line fixed per call site, as hosts and
// support staff know them from the original messages.
#define TESSRA_CHECK(call, file, line) ::platform::cudaCheck((call), (file), (line))

// What the library keeps per render beside what a host sets: device tables and the
// irradiance tree. Copies of a renderer share them (plain pointer copies), as they share
// the scene's arrays.
class EstimateTree;

struct TessraRenderState {
    void* fgGradients = nullptr;         // irradiance gradients, six float4 per final-gather record
    EstimateTree* irradianceEstimates = nullptr;  // the photon map's irradiance at every eighth photon
    KdTree* causticKdTree = nullptr;              // the photons that mirrors and glass sent
    uint32_t numEmitters = 0;            // the emitting triangles and each material's emission
    void* emitters = nullptr;
    void* matEmission = nullptr;
    void* photonScales = nullptr;  // each light's photon power factor
    void* worldTexels = nullptr;   // the world image's texels and sampling tables
    void* worldCdf = nullptr;
};

namespace host {

// The renderer's per-render state, made on first use.
inline TessraRenderState& state(TessraRendererCUDA& r) {
    if (!r.extension_.state) r.extension_.state = new TessraRenderState[1]();
    return *r.extension_.state;
}
inline uint32_t emitterCount(const TessraRendererCUDA& r) {
    return r.extension_.state ? r.extension_.state->numEmitters : 0;
}

// Nothing thrown inside the library reaches a host: every exported function and public
// member ends in a catch-all that calls this from its handler. It names the caller and
// what was thrown in a message box; a handler that throws in turn is ignored.
void reportException(const char* where) noexcept;

// Holds the device for one render (the constructor with a renderer; refused with a
// message, held() false, when that renderer is already rendering or this thread is
// inside another render's callback) or for one change of process-wide device state (the
// constructor without). Re-entrant on the holding thread.
class DeviceTurn {
public:
    DeviceTurn();
    explicit DeviceTurn(TessraRendererCUDA* renderer);
    ~DeviceTurn();
    DeviceTurn(const DeviceTurn&) = delete;
    DeviceTurn& operator=(const DeviceTurn&) = delete;
    bool held() const { return held_; }

private:
    TessraRendererCUDA* renderer_ = nullptr;
    bool held_ = false;
};

// Typed views of the opaque device pointers of the public structures.
template <typename T>
inline T* dev(void* p) {
    return static_cast<T*>(p);
}

// Prints a diagnostic line on standard output (the library's own printf-style lines).
#define TESSRA_PRINTF(...) std::printf(__VA_ARGS__)
// The thread block of every launch over the pixels of a tile or an image.
inline const dim3 kBlock(16, 16, 1);

inline void flushOut() { std::fflush(stdout); }

inline void status(TessraRendererCUDA* r, const char* text) {
    if (r->callbacks) r->callbacks->SetStatusText(text);
}
inline bool abortRequested(TessraRendererCUDA* r) { return r->callbacks && r->callbacks->AbortRequested(); }
// Work shared between processes before the first tile (TessraWorkShare): the items
// [first, last) of count that this process computes (all of them when nothing is
// shared), with boundaries on multiples of align.
struct SharedRange {
    size_t first, last;
};
SharedRange sharedRange(const TessraRendererCUDA& r, size_t count, size_t align = 1);
// Fills items with the other processes' shares; false when a process stopped.
bool gatherShared(TessraRendererCUDA& r, void* items, size_t count, size_t itemBytes, size_t align = 1);
// The abort poll before the first tile: processes that share work stop together.
bool stopTogether(TessraRendererCUDA& r);

// The arrays a host sets through the Tessra_ functions, which a renderer owns: field,
// element type, element count (read through the other renderer `ox`).
#define TESSRA_OWNED_ARRAYS(X)                                                      \
    X(emission, float, 3 * size_t(ox.emissionMaterials))                            \
    X(worldImage, float, 3 * size_t(ox.worldImageSize[0]) * ox.worldImageSize[1]) \
    X(lambertLights, uint8_t, ox.lambertLightCount)                                 \
    X(specularLayer, float, 2 * size_t(ox.specularLayerMaterials))                  \
    X(state, TessraRenderState, 1)

// Grows an owned array of `per` values an item, zero-filled, to hold items up to `n` when
// `item` lies past its `count`.
template <class T>
void growOwned(T*& array, uint32_t& count, uint32_t item, uint32_t n, size_t per) {
    if (item < count) return;
    std::unique_ptr<T[]> grown(new T[per * size_t(n)]());
    if (array) std::memcpy(grown.get(), array, sizeof(T) * per * count);
    delete[] array;
    array = grown.release();
    count = n;
}

// The specular layers' albedo table (computed once) and material's layer (f0, roughness),
// or nullptr where it has none.
const LayerTable& layerTable();
const float* specularLayerOf(const TessraRendererCUDA& r, size_t material);
// The layer's albedo averaged over the cosine-weighted directions it is seen from.
float layerMeanAlbedo(float f0, float roughness);

// Whether the background lights the scene: switched on, and not black.
inline bool worldLit(const TessraRendererCUDA& r) {
    return r.extension_.worldLight && (r.envColor[0] > 0.0f || r.envColor[1] > 0.0f || r.envColor[2] > 0.0f);
}

// Whether the world or emitting surfaces add anything to this render.
// What camera rays take as the image's aspect: its width over its height, in pixels of
// Tessra_SetPixelAspect's shape.
inline float imageAspect(const TessraRendererCUDA& r) {
    return float(r.width) / float(r.height) * r.extension_.pixelAspect;
}

inline bool emits(const TessraRendererCUDA& r) { return worldLit(r) || emitterCount(r) > 0; }
// Replaces the device table in slot with `bytes` of data and binds `symbol` to it; false
// when the device has no memory for it.
bool uploadTable(TessraRendererCUDA& r, void*& slot, const void* data, size_t bytes, rt::Symbol symbol);
// Whether light j emits with the cosine to its direction (Tessra_SetLightEmitterCosine).
inline bool lambertLight(const TessraRendererCUDA& r, size_t j) {
    return j < r.extension_.lambertLightCount && r.extension_.lambertLights[j];
}
// Builds and uploads the table of emitting triangles and the materials' emission.
bool uploadEmitters(TessraRendererCUDA& r);
// Each light's factor on the photons' power: 1 unless balanced (Tessra_SetBalancedPhotons).
std::vector<float> photonScales(const TessraRendererCUDA& r);
// Uploads the world's image and its sampling tables (one unread texel without an image).
bool uploadWorldImage(TessraRendererCUDA& r);
// Whether a triangle's material emits.
bool anyEmitter(const TessraRendererCUDA& r);

// A stage's scratch allocation on the device, released when the scope ends however it
// ends, so that a stage left by an exception leaves nothing allocated.
struct ScopedDeviceMemory {
    void* p = nullptr;
    ScopedDeviceMemory() = default;
    explicit ScopedDeviceMemory(void* q) : p(q) {}
    ScopedDeviceMemory(const ScopedDeviceMemory&) = delete;
    ScopedDeviceMemory& operator=(const ScopedDeviceMemory&) = delete;
    ~ScopedDeviceMemory() {
        if (p) rt::free(p);
    }
};

// Gives v room for n elements, in memory that faults in as huge pages: the photon and
// kd-tree arrays of tens of megabytes otherwise take a page fault per 4 KiB, which in a
// virtual machine cost more than filling them.
template <typename T>
void reserveHuge(std::vector<T>& v, size_t n) {
    if (v.capacity() < n) v.reserve(n);
    platform::adviseHugePages(v.data(), v.capacity() * sizeof(T));
}
template <typename T>
void resizeHuge(std::vector<T>& v, size_t n) {
    reserveHuge(v, n);
    v.resize(n);
}

// Frees a device pointer through the fatal check and clears it.
inline void freeChecked(void*& p, const char* file, int line) {
    if (!p) return;
    TESSRA_CHECK(rt::free(p), file, line);
    p = nullptr;
}

// Whether every buffer of a frame buffer was allocated.
inline bool complete(const TessraFrameBuffer& fb) {
#define TESSRA_FB_BUFFER(f, T, perPixel, clear, resetLine, freeLine) \
    if (!fb.f) return false;
#include "host/framebuffer.def"
#undef TESSRA_FB_BUFFER
    return true;
}

// The kernels' typed view of a frame buffer's device buffers.
inline ScreenView view(const TessraFrameBuffer& fb) {
    ScreenView v;
#define TESSRA_FB_BUFFER(f, T, perPixel, clear, resetLine, freeLine) v.f = static_cast<T*>(fb.f);
#include "host/framebuffer.def"
#undef TESSRA_FB_BUFFER
    return v;
}

// The random pair of the lighting and reflection drivers: (rand() % 1000) / 1000,
// .y from the first draw and .x from the second.
inline float2 drawRandomPair() {
    const float y = float(std::rand() % 1000) / 1000.0f;
    const float x = float(std::rand() % 1000) / 1000.0f;
    return make_float2(x, y);
}

// Starts DevIL once per process with every image delivered top row first (Textures.cpp).
void initImageLibrary();

// What a texture file's first bytes declare: the DevIL format (0 when refused), the
// size from its header, and why it was refused.
struct TextureHeader {
    bool ok = false;
    unsigned format = 0;
    uint32_t width = 0, height = 0;
    const char* why = nullptr;
};
TextureHeader inspectTexture(const std::vector<uint8_t>& bytes);
// Decodes the file's bytes into the bound DevIL image as the inspected format.
bool decodeTexture(const std::vector<uint8_t>& bytes, const TextureHeader& header);
// Converts the bound image to 8-bit RGB for the atlas; false when DevIL cannot.
bool convertTexture();

// Total texels of the loaded images (Textures.cpp).
uint64_t atlasTexels(const std::vector<uint32_t>& images);

// Deletes the loaded images and empties the list (Textures.cpp).
void releaseTextureImages(std::vector<uint32_t>& images);

}  // namespace host

// Made by the render for each tile (or run of bands), and copied with changes for the batches
// of sub-pixel rays and the reflection windows shaded for it. A public stage takes the default:
// every row of its buffer, the whole patterns, no camera's rays.
struct TessraRendererCUDA::TileContext {
    // Rows of the image (half-open) that are shaded, with the row each side that antialiasing
    // compares with, and delivered; the buffer's first row is image row top. A batch shades the
    // rows its rays fill, counted from its first.
    uint32_t top = 0;
    uint32_t shadeRows[2] = {0, ~0u};
    uint32_t deliverRows[2] = {0, ~0u};
    bool camera = false;  // the buffer holds camera rays (a tile or a batch), not a window's
    // Each ray takes every strataStep-th stratum of the light and glossy patterns, shifted by a
    // hash of its hit point, so that a pixel's rays share the pattern rather than each repeating
    // it whole. A batch's rays take their fine strata (x | y << 8) from strataShifts on the
    // device, chosen so that a pixel's rays together take every stratum of the pattern.
    uint32_t strataStep = 1;
    const unsigned int* strataShifts = nullptr;
    bool cacheComplete = false;  // every final-gather record of the render was placed before its first tile

    // Whether rows first to last (half-open, of the buffer) hold pixels to shade.
    bool shadesRows(uint32_t first, uint32_t last) const {
        return top + first < shadeRows[1] && top + last > shadeRows[0];
    }
    // The strata per side of area lights and glossy cones.
    uint32_t strata() const { return std::max(1u, TessraRendererCUDA::num_subdivs_glossy_refl / strataStep); }
};

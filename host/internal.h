// Host-side helpers shared by the renderer's sources.
#pragma once

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/platform.h"
#include "runtime/device.h"
#include "tessra.h"

// The fatal check with the source name and line fixed per call site, as hosts and
// support staff know them from the original messages.
#define TESSRA_CHECK(call, file, line) ::platform::cudaCheck((call), (file), (line))

namespace host {

// Nothing thrown inside the library reaches a host: every exported function and public
// member ends in a catch-all that calls this from its handler. It names the caller and
// what was thrown in a message box; a handler that throws in turn is ignored.
void reportException(const char* where) noexcept;

// Typed views of the opaque device pointers of the public structures.
template <typename T>
inline T* dev(void* p) {
    return static_cast<T*>(p);
}

// Prints a diagnostic line on standard output (the library's own printf-style lines).
#define TESSRA_PRINTF(...) std::printf(__VA_ARGS__)
inline void flushOut() { std::fflush(stdout); }

inline void status(TessraRendererCUDA* r, const char* text) {
    if (r->callbacks) r->callbacks->SetStatusText(text);
}
inline bool abortRequested(TessraRendererCUDA* r) { return r->callbacks && r->callbacks->AbortRequested(); }
// The strata per side of area lights and glossy cones for the rays now shaded: fewer
// for sub-pixel rays, which share one pixel's pattern.
inline uint32_t strata(const TessraRendererCUDA& r) {
    return TessraRendererCUDA::num_subdivs_glossy_refl / r.extension_.strataStep;
}

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

// Frees a device pointer through the fatal check and clears it.
inline void freeChecked(void*& p, const char* file, int line) {
    if (!p) return;
    TESSRA_CHECK(rt::free(p), file, line);
    p = nullptr;
}

// Whether every buffer of a frame buffer was allocated.
inline bool complete(const TessraFrameBuffer& fb) {
    const void* const all[] = {fb.ssPos,   fb.ssTotal,  fb.ssNormals,   fb.spare3, fb.ssTexCoords, fb.spare5,
                               fb.spare6,  fb.ssColor,  fb.ssIndirect,  fb.ssEyePos, fb.ssRefrIndex, fb.ssTriID,
                               fb.ssUVs,   fb.reflectFlags, fb.needsGI, fb.maskFG};
    for (const void* p : all)
        if (!p) return false;
    return true;
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

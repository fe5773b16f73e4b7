// The renderer object: defaults, copy semantics, scene input, device memory
// accounting, the per-tile frame buffer, clean-up and the render driver.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <type_traits>

#include "host/Octree.h"
#include "host/estimates.h"
#include "host/internal.h"
#include "host/kdtree.h"

namespace {
constexpr uint32_t kTileSize = TESSRA_TILE_SIZE;
// 16384 x 16384 RGBA floats are 4 GiB at the host; larger images are refused.
constexpr int kMaxImageSide = 16384;
bool g_deviceReady = false;
}  // namespace

TessraRendererCUDA* g_renderer = nullptr;

void tessraResetDeviceReady() { g_deviceReady = false; }

void host::reportException(const char* where) noexcept {
    char message[512];
    try {
        throw;
    } catch (const std::bad_alloc&) {
        std::snprintf(message, sizeof(message), "%s failed: out of host memory.", where);
    } catch (const std::exception& e) {
        std::snprintf(message, sizeof(message), "%s failed: %s", where, e.what());
    } catch (...) {
        std::snprintf(message, sizeof(message), "%s failed: unknown error", where);
    }
    try {
        platform::messageBox(message, "Tessra error");
    } catch (...) {
    }
}

const uint8_t TessraRendererCUDA::REFL_STEP = 0;
const uint8_t TessraRendererCUDA::REFR_STEP = 1;
const uint32_t TessraRendererCUDA::num_subdivs_glossy_refl = 8;

TessraCallbacks::TessraCallbacks() = default;
TessraCallbacks::TessraCallbacks(const TessraCallbacks&) {}
TessraCallbacks& TessraCallbacks::operator=(const TessraCallbacks&) { return *this; }

// ------------------------------------------------------------------------------------
// Lifecycle

TessraRendererCUDA::TessraRendererCUDA()
    : callbacks(nullptr),
      width(512),
      height(512),
      invViewMatrix{},
      maxOctreeDepth(8),
      reserved7(0),
      reserved8(0),
      fieldOfView(45.0f),
      reserved10(1.0f),
      photonsCast(false),
      cameraMatrix{},
      reserved13(false),
      reserved14(true),
      photonTreeParam(0.0f),
      usePhotonMapping(false),
      numBounces(0),
      reserved19(true),
      reserved20(true),
      indirectIllumination(false),
      reserved22(true),
      shadowMode(0),
      ambientLightIntens(0.5f),
      photonSearchDistance(1.0f),
      photonEnergy(100000.0f),
      irradianceSamples(64),
      FG_record_density(1.2f),
      useFinalGather(false),
      envColor{0, 0, 0},
      reserved31(2),
      numPhotons(100),
      // The original leaves the "not set" fields uninitialised; zero is what a host
      // could sensibly have relied on.
      reserved34(0),
      usedDeviceMem(0),
      numLights(0),
      numlighttris(0),
      numTris(0),
      fgKdTree(nullptr),
      photonKdTree(nullptr),
      octree(nullptr),
      reserved52(0),
      firstPassDone(false),
      gridSize{1, 1, 1},
      blockSize{1, 1, 1},
      tileX(0),
      tileY(0),
      currentFrameBuffer(nullptr),
      lastRefreshTick(0) {
#define TESSRA_DEVICE_ARRAY(f, line) f = nullptr;
#include "host/device_arrays.def"
#undef TESSRA_DEVICE_ARRAY
}

namespace {

// Every field of the renderer in declaration order: L marks the lists, F the rest.
#define TESSRA_RENDERER_FIELDS(L, F)                                                                       \
    F(callbacks) F(width) F(height) F(invViewMatrix) L(textureImages) F(maxOctreeDepth) F(reserved7)       \
    F(reserved8) F(fieldOfView) F(reserved10) F(photonsCast) F(cameraMatrix) F(reserved13) F(reserved14)   \
    F(photonTreeParam) F(harmMeanDistFG) F(usePhotonMapping) F(numBounces) F(reserved19) F(reserved20)     \
    F(indirectIllumination) F(reserved22) F(shadowMode) F(ambientLightIntens) F(photonSearchDistance)      \
    F(photonEnergy) F(irradianceSamples) F(FG_record_density) F(useFinalGather) F(envColor) F(reserved31)  \
    F(numPhotons) L(areaLightIndices) F(reserved34) F(usedDeviceMem) F(d_triVertices) F(d_triNormals)      \
    F(d_triMatIds) F(d_triTexCoords) F(d_lightPosCol) F(d_lightSpotData) F(d_lightParams)                  \
    F(d_lightRotRows) F(d_lightDecayStart) F(numLights) F(numlighttris) F(numTris) L(triangles) L(lights)  \
    L(lightTriangles) L(materials) F(fgKdTree) F(photonKdTree) F(octree) F(d_textureAtlas)                 \
    F(d_textureSizes) F(d_matDiffuse) F(d_photonPos) F(d_photonCol) F(d_photonDir) F(d_photonInPos)        \
    F(d_photonInCol) F(d_photonInDir) F(d_photonNormals) F(d_matCaps) F(d_matSpec) F(d_matReflColor)       \
    F(d_matReflGloss) F(d_matRefrColor) F(d_matRefrGloss) F(reserved52) F(firstPassDone) F(gridSize)       \
    F(blockSize) F(tileX) F(tileY) F(currentFrameBuffer) F(lastRefreshTick) F(extension_)

// The list above is complete when consecutive fields leave no gap that could hold one
// more: whatever lies between them is padding, smaller than the next field's alignment.
struct FieldSpan {
    size_t offset, size, align;
};
#define TESSRA_FIELD_SPAN(f)                                                                              \
    FieldSpan{offsetof(TessraRendererCUDA, f), sizeof(TessraRendererCUDA::f),                             \
              alignof(decltype(TessraRendererCUDA::f))},
constexpr FieldSpan kFieldSpans[] = {TESSRA_RENDERER_FIELDS(TESSRA_FIELD_SPAN, TESSRA_FIELD_SPAN)};
#undef TESSRA_FIELD_SPAN
constexpr bool fieldsCoverRenderer() {
    size_t end = 0;
    for (const FieldSpan& f : kFieldSpans) {
        if (f.offset < end || f.offset - end >= f.align) return false;
        end = f.offset + f.size;
    }
    return sizeof(TessraRendererCUDA) - end < alignof(TessraRendererCUDA);
}
static_assert(std::is_standard_layout<TessraRendererCUDA>::value, "offsetof needs a standard layout");
static_assert(fieldsCoverRenderer(), "TESSRA_RENDERER_FIELDS misses a field of TessraRendererCUDA");

// host/device_arrays.def names every void* field once: as many entries as such fields,
// each one of them, none twice.
#define TESSRA_IS_ARRAY(f) (std::is_same<decltype(TessraRendererCUDA::f), void*>::value ? 1 : 0) +
constexpr int kVoidPointerFields = TESSRA_RENDERER_FIELDS(TESSRA_IS_ARRAY, TESSRA_IS_ARRAY) 0;
#undef TESSRA_IS_ARRAY
constexpr size_t kArrayOffsets[] = {
#define TESSRA_DEVICE_ARRAY(f, line) offsetof(TessraRendererCUDA, f),
#include "host/device_arrays.def"
#undef TESSRA_DEVICE_ARRAY
};
constexpr bool arraysAreVoidPointers() {
    return true
#define TESSRA_DEVICE_ARRAY(f, line) &&std::is_same<decltype(TessraRendererCUDA::f), void*>::value
#include "host/device_arrays.def"
#undef TESSRA_DEVICE_ARRAY
        ;
}
constexpr bool arraysDistinct() {
    for (size_t i = 0; i < sizeof(kArrayOffsets) / sizeof(size_t); ++i)
        for (size_t j = 0; j < i; ++j)
            if (kArrayOffsets[i] == kArrayOffsets[j]) return false;
    return true;
}
static_assert(arraysAreVoidPointers() && arraysDistinct() &&
                  sizeof(kArrayOffsets) / sizeof(size_t) == size_t(kVoidPointerFields),
              "host/device_arrays.def and the renderer's device array fields differ");

}  // namespace

// Copies share the device arrays and trees of the original (plain pointer copies); the
// lists are copied element by element. The lists are copied aside first, so that a copy
// that runs out of memory reports it and leaves the target as it was.
TessraRendererCUDA::TessraRendererCUDA(const TessraRendererCUDA& other) : TessraRendererCUDA() { *this = other; }

TessraRendererCUDA& TessraRendererCUDA::operator=(const TessraRendererCUDA& other) try {
    if (this == &other) return *this;
    // The arrays a host set through the Tessra_ functions are the copy's own, like the lists.
    const TessraRendererCUDA::Extension& ox = other.extension_;
#define TESSRA_COPY_OWNED(f, T, n)                                        \
    const size_t f##Count = ox.f ? size_t(n) : 0;                         \
    std::unique_ptr<T[]> f##Own(f##Count ? new T[f##Count] : nullptr);    \
    if (f##Count) std::memcpy(f##Own.get(), ox.f, f##Count * sizeof(T)); \
    T* const f##Replaced = extension_.f;
    TESSRA_OWNED_ARRAYS(TESSRA_COPY_OWNED)
#undef TESSRA_COPY_OWNED
#define TESSRA_COPY_LIST(f) auto f##Copy = other.f;
#define TESSRA_SKIP(f)
    TESSRA_RENDERER_FIELDS(TESSRA_COPY_LIST, TESSRA_SKIP)
#define TESSRA_SWAP_LIST(f) f.swap(f##Copy);
#define TESSRA_COPY_FIELD(f) std::memcpy(&f, &other.f, sizeof(f));
    TESSRA_RENDERER_FIELDS(TESSRA_SWAP_LIST, TESSRA_COPY_FIELD)
#undef TESSRA_COPY_LIST
#undef TESSRA_SKIP
#undef TESSRA_SWAP_LIST
#undef TESSRA_COPY_FIELD
#define TESSRA_TAKE_OWNED(f, T, n) \
    extension_.f = f##Own.release(); \
    delete[] f##Replaced;
    TESSRA_OWNED_ARRAYS(TESSRA_TAKE_OWNED)
#undef TESSRA_TAKE_OWNED
    return *this;
} catch (...) {
    host::reportException("Copying a renderer");
    return *this;
}
// Destroys the lists and the arrays a host set; CleanUp releases device memory.
TessraRendererCUDA::~TessraRendererCUDA() {
#define TESSRA_DELETE_OWNED(f, T, n) delete[] extension_.f;
    TESSRA_OWNED_ARRAYS(TESSRA_DELETE_OWNED)
#undef TESSRA_DELETE_OWNED
}

bool TessraRendererCUDA::UsePhotonMapping() const { return usePhotonMapping; }
bool TessraRendererCUDA::NeedPhotonMapping() const { return indirectIllumination && UsePhotonMapping(); }

// ------------------------------------------------------------------------------------
// Scene input

void TessraRendererCUDA::NuevoTriangulo(const float* data, int32_t materialId, bool isLight, float normalScale) try {
    TriangleRecord t;
    std::memcpy(t.vertices, data, sizeof(t.vertices));
    for (int i = 0; i < 9; ++i) t.normals[i] = data[9 + i] * normalScale;
    std::memcpy(t.uvs, data + 18, sizeof(t.uvs));
    t.materialId = materialId;
    (isLight ? lightTriangles : triangles).push_back(t);
} catch (...) {
    host::reportException("NuevoTriangulo");
}

int32_t TessraRendererCUDA::NuevoMaterial(const material_t& m) try {
    const int32_t index = int32_t(materials.size());
    materials.push_back(m);
    return index;
} catch (...) {
    host::reportException("NuevoMaterial");
    return -1;
}

void TessraRendererCUDA::SetEnvColor(float r, float g, float b) try {
    envColor[0] = r;
    envColor[1] = g;
    envColor[2] = b;
    TESSRA_PRINTF("Background color: %f,%f,%f\n", r, g, b);
} catch (...) {
    host::reportException("SetEnvColor");
}

namespace {

LightRecord makeLight(uint8_t type, float x, float y, float z, float r, float g, float b) {
    LightRecord l;
    l.type = type;
    l.position[0] = x;
    l.position[1] = y;
    l.position[2] = z;
    l.color[0] = r;
    l.color[1] = g;
    l.color[2] = b;
    return l;
}

void setIdentity(LightRecord& l) {
    const float id[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::memcpy(l.rotation, id, sizeof(id));
}

// An area light is listed in both lists or in neither, whichever push runs out of memory.
void addAreaLight(std::vector<uint32_t>& indices, std::vector<LightRecord>& lights, const LightRecord& l) {
    lights.push_back(l);
    try {
        indices.push_back(uint32_t(lights.size() - 1));
    } catch (...) {
        lights.pop_back();
        throw;
    }
}

void setRotation(LightRecord& l, float m00, float m01, float m02, float m10, float m11, float m12, float m20,
                 float m21, float m22) {
    const float m[9] = {m00, m01, m02, m10, m11, m12, m20, m21, m22};
    std::memcpy(l.rotation, m, sizeof(m));
}

}  // namespace

void TessraRendererCUDA::NuevaLuzOmni(float x, float y, float z, float r, float g, float b, float intensity,
                                      int32_t decayType, float decayStart) try {
    TESSRA_PRINTF("LUZ: %f %f %f RGB(%f %f %f)\n", x, y, z, r, g, b);
    LightRecord l = makeLight(LIGHT_OMNI, x, y, z, r, g, b);
    setIdentity(l);
    l.intensity = intensity;
    l.decayType = uint8_t(decayType & 0xff);
    l.decayStart = decayStart;
    lights.push_back(l);
} catch (...) {
    host::reportException("NuevaLuzOmni");
}

void TessraRendererCUDA::NuevaLuzOmniEsfera(float x, float y, float z, float r, float g, float b, float intensity,
                                            float radius, int32_t decayType) try {
    TESSRA_PRINTF("LUZ: %f %f %f RGB(%f %f %f) radius(%f)\n", x, y, z, r, g, b, radius);
    LightRecord l = makeLight(LIGHT_OMNI_SPHERE, x, y, z, r, g, b);
    setIdentity(l);
    l.intensity = intensity;
    l.radius = radius;
    l.decayType = uint8_t(decayType & 0xff);
    l.decayStart = 1.0f;
    addAreaLight(areaLightIndices, lights, l);
} catch (...) {
    host::reportException("NuevaLuzOmniEsfera");
}

void TessraRendererCUDA::NuevaLuzRect(float x, float y, float z, float r, float g, float b, float m00, float m01,
                                      float m02, float m10, float m11, float m12, float m20, float m21, float m22,
                                      float intensity, float rectWidth, float rectHeight, int32_t decayType) try {
    TESSRA_PRINTF("LUZ: %f %f %f RGB(%f %f %f) RECT(%f,%f)\n", x, y, z, r, g, b, rectWidth, rectHeight);
    LightRecord l = makeLight(LIGHT_RECT, x, y, z, r, g, b);
    setRotation(l, m00, m01, m02, m10, m11, m12, m20, m21, m22);
    l.intensity = intensity;
    l.rectWidth = rectWidth;
    l.rectHeight = rectHeight;
    l.decayType = uint8_t(decayType & 0xff);
    l.decayStart = 1.0f;
    addAreaLight(areaLightIndices, lights, l);
} catch (...) {
    host::reportException("NuevaLuzRect");
}

namespace {

LightRecord makeDirectedLight(uint8_t type, float x, float y, float z, float r, float g, float b, float m00,
                              float m01, float m02, float m10, float m11, float m12, float m20, float m21, float m22,
                              float falloff, float hotspot, float intensity, int32_t decayType, float decayStart) {
    TESSRA_PRINTF("LUZ: [foco] %f %f %f dir(%f %f %f) RGB(%f %f %f) falloff(%f) intens(%f)\n", x, y, z, m20, m21,
                  m22, r, g, b, falloff, intensity);
    LightRecord l = makeLight(type, x, y, z, r, g, b);
    setRotation(l, m00, m01, m02, m10, m11, m12, m20, m21, m22);
    l.intensity = intensity;
    l.falloff = falloff;
    l.hotspot = hotspot;
    l.decayType = uint8_t(decayType & 0xff);
    l.decayStart = decayStart;
    return l;
}

}  // namespace

void TessraRendererCUDA::NuevaLuzFoco(float x, float y, float z, float r, float g, float b, float m00, float m01,
                                      float m02, float m10, float m11, float m12, float m20, float m21, float m22,
                                      float falloff, float hotspot, float intensity, int32_t decayType, bool circle,
                                      float decayStart) try {
    LightRecord l = makeDirectedLight(circle ? LIGHT_SPOT_CIRCLE : LIGHT_SPOT_RECT, x, y, z, r, g, b, m00, m01, m02,
                                      m10, m11, m12, m20, m21, m22, falloff, hotspot, intensity, decayType,
                                      decayStart);
    if (circle) {
        TESSRA_PRINTF("LIGHT SHAPE: circle\n");
    } else {
        TESSRA_PRINTF("LIGHT SHAPE: rect\n");
        std::fflush(stdout);
        std::perror("unsupported light type!");
        platform::messageBox("unsupported light type: RECT", "Tessra error");
    }
    lights.push_back(l);
} catch (...) {
    host::reportException("NuevaLuzFoco");
}

void TessraRendererCUDA::NuevaLuzDir(float x, float y, float z, float r, float g, float b, float m00, float m01,
                                     float m02, float m10, float m11, float m12, float m20, float m21, float m22,
                                     float falloff, float hotspot, float intensity, int32_t decayType, bool circle,
                                     float decayStart) try {
    LightRecord l = makeDirectedLight(circle ? LIGHT_DIR_CIRCLE : LIGHT_DIR_RECT, x, y, z, r, g, b, m00, m01, m02,
                                      m10, m11, m12, m20, m21, m22, falloff, hotspot, intensity, decayType,
                                      decayStart);
    TESSRA_PRINTF(circle ? "LIGHT SHAPE: circle\n" : "LIGHT SHAPE: rect\n");
    lights.push_back(l);
} catch (...) {
    host::reportException("NuevaLuzDir");
}

// ------------------------------------------------------------------------------------
// Device memory accounting

void* TessraRendererCUDA::Malloc(size_t bytes) try {
    void* p = nullptr;
    if (rt::malloc(&p, bytes) != rt::Success) {
        char message[256] = {};
        std::snprintf(message, sizeof(message), "Unable to allocate memory: %d\n", int(bytes));
        platform::messageBox(message, "Tessra error");
        p = nullptr;
    }
    usedDeviceMem += uint32_t(bytes);
    return p;
} catch (...) {
    host::reportException("Malloc");
    return nullptr;
}

void TessraRendererCUDA::Free(void* p) try {
    if (rt::free(p) != rt::Success) platform::messageBox("Unable to deallocate memory", "Tessra error");
} catch (...) {
    host::reportException("Free");
}

void TessraRendererCUDA::printMemStats() try {
    TESSRA_PRINTF("==> USED DEVICE MEM: %f\n", float(usedDeviceMem) / 1024.0f / 1024.0f);
} catch (...) {
    host::reportException("printMemStats");
}

// ------------------------------------------------------------------------------------
// Frame buffer

TessraFrameBuffer::TessraFrameBuffer(TessraRendererCUDA* owner, uint32_t w, uint32_t h)
    : tileWidth(w), tileHeight(h), renderer(owner) {
#define TESSRA_FB_BUFFER(f, T, perPixel, clear, resetLine, freeLine) f = nullptr;
#include "host/framebuffer.def"
#undef TESSRA_FB_BUFFER
    // A constructor's function-try-block would rethrow; the buffer reports and stays
    // incomplete instead.
    try {
        const size_t n = size_t(w) * h;
#define TESSRA_FB_BUFFER(f, T, perPixel, clear, resetLine, freeLine) f = owner->Malloc(sizeof(T) * (perPixel ? n : 1));
#include "host/framebuffer.def"
#undef TESSRA_FB_BUFFER
        // After a failed allocation (already reported) the buffer stays unusable, and
        // host::complete tells the stages so before a kernel writes through a null pointer.
        if (host::complete(*this)) Reset();
    } catch (...) {
        host::reportException("Allocating a frame buffer");
    }
}

TessraFrameBuffer::~TessraFrameBuffer() {
#define TESSRA_FB_BUFFER(f, T, perPixel, clear, resetLine, freeLine) \
    TESSRA_CHECK(rt::free(f), "Tessra", freeLine);                           \
    f = nullptr;
#include "host/framebuffer.def"
#undef TESSRA_FB_BUFFER
}

void TessraFrameBuffer::Reset() try {
    const size_t n = size_t(tileWidth) * tileHeight;
#define TESSRA_FB_BUFFER(f, T, perPixel, clear, resetLine, freeLine) \
    if (clear >= 0) TESSRA_CHECK(rt::memset(f, clear, sizeof(T) * (perPixel ? n : 1)), "Tessra", resetLine);
#include "host/framebuffer.def"
#undef TESSRA_FB_BUFFER
} catch (...) {
    host::reportException("TessraFrameBuffer::Reset");
}

// The list holds every buffer field of the header, in its order: consecutive pointers
// from the first to the tile size.
namespace {
constexpr size_t kFbOffsets[] = {
#define TESSRA_FB_BUFFER(f, T, perPixel, clear, resetLine, freeLine) offsetof(TessraFrameBuffer, f),
#include "host/framebuffer.def"
#undef TESSRA_FB_BUFFER
};
constexpr bool listCoversFrameBuffer() {
    for (size_t i = 0; i < sizeof(kFbOffsets) / sizeof(kFbOffsets[0]); ++i)
        if (kFbOffsets[i] != i * sizeof(void*)) return false;
    return offsetof(TessraFrameBuffer, tileWidth) == sizeof(kFbOffsets) / sizeof(kFbOffsets[0]) * sizeof(void*);
}
static_assert(std::is_standard_layout<TessraFrameBuffer>::value, "offsetof needs a standard layout");
static_assert(listCoversFrameBuffer(), "host/framebuffer.def and TessraFrameBuffer's fields differ");
}  // namespace

namespace {
// Reads the tile's flag record (4 bytes) or the indirect-step byte afresh from the device.
uint8_t readFlag(void* p, size_t bytes, int index, int line) {
    uint8_t flags[4] = {};
    TESSRA_CHECK(rt::memcpyDtoH(flags, p, bytes), "Tessra", line);
    return flags[index];
}
}  // namespace

bool TessraFrameBuffer::NeedsSharpReflection() const { return readFlag(reflectFlags, 4, 0, 2138) == 1; }
bool TessraFrameBuffer::NeedsGlossyReflection() const { return readFlag(reflectFlags, 4, 1, 2145) == 1; }
bool TessraFrameBuffer::NeedsSharpRefraction() const { return readFlag(reflectFlags, 4, 2, 2153) == 1; }
bool TessraFrameBuffer::NeedsGlossyRefraction() const { return readFlag(reflectFlags, 4, 3, 2160) == 1; }
bool TessraFrameBuffer::NeedsIndirectStepAgain() const { return readFlag(needsGI, 1, 0, 2167) == 1; }

// ------------------------------------------------------------------------------------
// Clean-up

void TessraRendererCUDA::CleanUp() try {
    host::DeviceTurn turn;  // not while another render launches over these arrays
    delete octree;
    octree = nullptr;
    delete fgKdTree;
    fgKdTree = nullptr;
    delete photonKdTree;
    photonKdTree = nullptr;
    if (TessraRenderState* const st = extension_.state) {
        delete st->irradianceEstimates;
        st->irradianceEstimates = nullptr;
        delete st->causticKdTree;
        st->causticKdTree = nullptr;
        for (void** table : {&st->fgGradients, &st->emitters, &st->matEmission, &st->worldTexels, &st->worldCdf,
                             &st->photonScales})
            host::freeChecked(*table, "Tessra", __LINE__);
        st->numEmitters = 0;
    }

    // The photon buffers are released whenever they exist: the flags may have been
    // switched off by the host since the upload that allocated them.
#define TESSRA_DEVICE_ARRAY(f, line) host::freeChecked(f, "Tessra", line);
#include "host/device_arrays.def"
#undef TESSRA_DEVICE_ARRAY
    host::releaseTextureImages(textureImages);
} catch (...) {
    host::reportException("CleanUp");
}

// ------------------------------------------------------------------------------------
// Render driver

namespace {

// A failed kernel leaves a wrong tile behind: say so and stop, rather than deliver the
// image as if nothing had happened.
bool launchFailed() {
    const rt::Status s = rt::takeLaunchError();
    if (s == rt::Success) return false;
    char message[256];
    std::snprintf(message, sizeof(message), "A device kernel failed (%s). The render was stopped.", rt::errorString(s));
    platform::messageBox(message, "Tessra error");
    return true;
}

// Checks once per process that a device exists and selects device 0.
bool ensureDevice() {
    if (g_deviceReady) return true;
    int count = 0;
    rt::Status s = rt::getDeviceCount(&count);
    if (s != rt::Success) {
        platform::messageBox(rt::errorString(s), "CUDA error");
        return false;
    }
    if (count == 0) {
        platform::messageBox(
            "Your system does not support CUDA.\nnVidia GeForce 8 series or newer required.\nAborting render.",
            "Tessra fatal error");
        return false;
    }
    int device = 0;
    if (device > count - 1) device = count - 1;
    rt::DeviceProps props;
    s = rt::getDeviceProperties(&props, device);
    if (s != rt::Success) {
        platform::messageBox(rt::errorString(s), "CUDA error");
        return false;
    }
    if (props.major < 1) {
        platform::messageBox(
            "This device does not support CUDA.\nnVidia GeForce 8 series of newer required.\nAborting render.",
            props.name);
        return false;
    }
    TESSRA_CHECK(rt::setDevice(device), "Tessra", 1725);
    g_deviceReady = true;
    return true;
}

}  // namespace

// Every stage after the primary rays, on a tile's screen buffers (or on the elements of
// a batch of sub-pixel rays, which the stages take for pixels).
bool TessraRendererCUDA::shadeTile(TessraFrameBuffer& fb, const TileContext& c) {
    if (extension_.pathSamples) return pathTraceTile(fb, c);
    bool going = RenderDirectLighting(fb, c);
    going = going && (!NeedPhotonMapping() || PerformPhotonMappingStep(fb, c));
    if (going) firstPassDone = true;
    going = going && (!fb.NeedsSharpRefraction() || ReflectBuffers(fb, 1, 1, REFR_STEP, 1, c));
    going = going && (!fb.NeedsGlossyRefraction() || ReflectBuffers(fb, c.strata(), 8, REFR_STEP, 1, c));
    going = going && (!fb.NeedsSharpReflection() || ReflectBuffers(fb, 1, 1, REFL_STEP, 1, c));
    going = going && (!fb.NeedsGlossyReflection() || ReflectBuffers(fb, c.strata(), 8, REFL_STEP, 1, c));
    return going;
}

int32_t TessraRendererCUDA::Render() {
    try {
        host::DeviceTurn turn(this);
        if (!turn.held()) return 0;
        if (!ensureDevice()) return 0;
        if (width <= 0 || height <= 0 || width > kMaxImageSide || height > kMaxImageSide) {
            char message[128];
            std::snprintf(message, sizeof(message), "Invalid image size %d x %d: each side must be 1 to %d.", width,
                          height, kMaxImageSide);
            platform::messageBox(message, "Tessra error");
            return 0;
        }
        for (float v : cameraMatrix) {
            // A NaN camera turns every ray into NaN; refused before anything is built.
            if (!std::isfinite(v)) {
                platform::messageBox("The camera matrix holds a number that is not finite.", "Tessra error");
                return 0;
            }
        }
        if (!std::isfinite(fieldOfView)) {
            platform::messageBox("The field of view is not a finite number.", "Tessra error");
            return 0;
        }
        rt::takeLaunchError();  // what an earlier render left is not this one's
        if (!initScene()) {
            platform::messageBox("Error initializing the scene!", "Tessra");
            return 0;
        }
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 4; ++c) invViewMatrix[r * 4 + c] = cameraMatrix[r * 4 + c];
        }
        invViewMatrix[12] = invViewMatrix[13] = invViewMatrix[14] = 0.0f;
        invViewMatrix[15] = 1.0f;

        std::unique_ptr<TessraFrameBuffer> fb(new TessraFrameBuffer(this, kTileSize, kTileSize));
        if (!host::complete(*fb)) return 0;
        const uint32_t tilesX = uint32_t(width) / kTileSize + 1;
        const uint32_t tilesY = uint32_t(height) / kTileSize + 1;

        // What the tiles' context holds for the whole render; the loop adds each run's rows.
        TileContext tile;
        tile.camera = true;
        extension_.supersampled = 0;
        if (indirectIllumination && UsePhotonMapping() && !extension_.pathSamples) {
            std::vector<float> hits;
            if (useFinalGather && !findCameraHits(*fb, tilesX, tilesY, hits)) return 0;
            bool shareStopped = false;
            castPhotons(shareStopped);
            if (shareStopped) return 0;
            if (useFinalGather) {
                delete fgKdTree;
                fgKdTree = new KdTree(0.0f);
                if (!placeFinalGatherRecords(*fb, tilesX, tilesY, hits)) return 0;
                if (!CalculateIrradianceCache()) return 0;
                tile.cacheComplete = true;
            }
        }

        const TessraUInt3 block = {16, 16, 1};
        blockSize = block;
        gridSize = {kTileSize / blockSize.x, kTileSize / blockSize.y, 1};

        const uint32_t bandRows = extension_.bandRows ? extension_.bandRows : kTileSize;
        // A band, or a crop, shades only its rows; it compares its edge pixels with the
        // rows beside it before taking more rays.
        const uint32_t* crop = extension_.crop;
        const bool cropped = crop[2] > crop[0] && crop[3] > crop[1];
        const uint32_t halo =
            (bandRows < kTileSize || cropped) && extension_.samples > 1 && extension_.threshold > 0.0f;
        for (uint32_t c = 0; c < tilesX; ++c) {
            // A band without a pixel of the image is skipped; a whole tile outside it still
            // runs through every stage, as hosts of whole tiles expect.
            const auto outside = [&](uint32_t y) { return c * kTileSize >= uint32_t(width) || y >= uint32_t(height); };
            for (uint32_t r = 0; r < tilesY; ++r) {
                for (uint32_t top = r * kTileSize, end = top + kTileSize, next; top < end; top = next) {
                    uint32_t bottom = next = std::min(top + bandRows, end);
                    if ((bandRows < kTileSize && outside(top)) ||
                        !shadesRegion(c * kTileSize, top, kTileSize, bottom - top))
                        continue;
                    // The tile's next bands that this render may shade too join this one:
                    // a run of bands is one pass. The first band refused ends the run and
                    // is asked about again after it (a farm may grant it then).
                    while (next < end && !outside(next) &&
                           shadesRegion(c * kTileSize, bottom, kTileSize, std::min(next + bandRows, end) - bottom))
                        bottom = next = std::min(next + bandRows, end);
                    tileX = c * kTileSize;
                    tileY = r * kTileSize;
                    const uint32_t first = cropped ? std::max(top, crop[1]) : top;
                    const uint32_t last = cropped ? std::min(bottom, crop[3]) : bottom;
                    tile.top = tileY;
                    tile.deliverRows[0] = first;
                    tile.deliverRows[1] = last;
                    tile.shadeRows[0] = first - std::min(halo, first - tileY);
                    tile.shadeRows[1] = std::min(last + halo, end);
                    currentFrameBuffer = fb.get();
                    // A stage returns false after an abort (or a reported failure): the
                    // render ends there, without polling again.
                    const bool going = InitScreenCUDA(tileX, tileY, *fb, true, tile) && shadeTile(*fb, tile) &&
                                       !launchFailed() && finishTile(*fb, tile) && !launchFailed() &&
                                       !host::abortRequested(this);
                    if (!going) {
                        currentFrameBuffer = nullptr;
                        return 0;
                    }
                }
            }
        }
        currentFrameBuffer = nullptr;
        fb.reset();
        CleanUp();
    } catch (...) {
        currentFrameBuffer = nullptr;
        host::reportException("Render");
    }
    return 0;
}

// Shared device definitions: the qualifier macros, vector types and maths, launch
// coordinates, texture fetches and the few operations whose behaviour differs between
// the CUDA and the CPU backend. Everything under device/ is compiled twice: by nvcc for
// the CUDA backend and by the host compiler for the CPU backend, so backend differences
// live here as named helpers and never as #ifdefs inside a kernel.
#pragma once

#include <cstdint>
#include <cmath>
#include <climits>
#include <cstring>

#if defined(__CUDACC__)
#include <cuda_runtime.h>
#define TESSRA_HD __host__ __device__ __forceinline__
// Kernel bodies and device routines: device-only under nvcc (they read __constant__
// memory), plain inline functions on the CPU backend.
#define TESSRA_DEVICE __device__ inline
// A device routine of an inner loop that the host compiler would call out of line, and
// the heavy part of a kernel that it would otherwise inline into every lane's loop.
#define TESSRA_DEVICE_INLINE __device__ __forceinline__
#define TESSRA_DEVICE_OUTLINE __device__ inline
#else
#define TESSRA_HD inline
#define TESSRA_DEVICE inline
#if defined(__GNUC__)
#define TESSRA_DEVICE_INLINE __attribute__((always_inline)) inline
#define TESSRA_DEVICE_OUTLINE __attribute__((noinline)) inline
#elif defined(_MSC_VER)
#define TESSRA_DEVICE_INLINE __forceinline
#define TESSRA_DEVICE_OUTLINE __declspec(noinline) inline
#else
#define TESSRA_DEVICE_INLINE inline
#define TESSRA_DEVICE_OUTLINE inline
#endif

struct float2 { float x, y; };
struct float3 { float x, y, z; };
struct alignas(16) float4 { float x, y, z, w; };
struct int2 { int x, y; };
struct alignas(16) int4 { int x, y, z, w; };
struct alignas(4) uchar4 { unsigned char x, y, z, w; };
struct uint3 { unsigned int x, y, z; };
struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};

inline float2 make_float2(float x, float y) { return {x, y}; }
inline float3 make_float3(float x, float y, float z) { return {x, y, z}; }
inline float4 make_float4(float x, float y, float z, float w) { return {x, y, z, w}; }
inline int4 make_int4(int x, int y, int z, int w) { return {x, y, z, w}; }
inline uchar4 make_uchar4(unsigned char x, unsigned char y, unsigned char z, unsigned char w) { return {x, y, z, w}; }
inline uint3 make_uint3(unsigned x, unsigned y, unsigned z) { return {x, y, z}; }
#endif

// ---------------------------------------------------------------------------------
// Vector arithmetic (component-wise), dot, cross, length, normalisation.
TESSRA_HD float3 operator+(float3 a, float3 b) { return make_float3(a.x + b.x, a.y + b.y, a.z + b.z); }
TESSRA_HD float3 operator-(float3 a, float3 b) { return make_float3(a.x - b.x, a.y - b.y, a.z - b.z); }
TESSRA_HD float3 operator-(float3 a) { return make_float3(-a.x, -a.y, -a.z); }
TESSRA_HD float3 operator*(float3 a, float3 b) { return make_float3(a.x * b.x, a.y * b.y, a.z * b.z); }
TESSRA_HD float3 operator*(float3 a, float s) { return make_float3(a.x * s, a.y * s, a.z * s); }
TESSRA_HD float3 operator*(float s, float3 a) { return make_float3(a.x * s, a.y * s, a.z * s); }
TESSRA_HD float3 operator/(float3 a, float s) { return make_float3(a.x / s, a.y / s, a.z / s); }
TESSRA_HD void operator+=(float3& a, float3 b) { a.x += b.x; a.y += b.y; a.z += b.z; }
TESSRA_HD float4 operator+(float4 a, float4 b) { return make_float4(a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w); }
TESSRA_HD float4 operator*(float4 a, float s) { return make_float4(a.x * s, a.y * s, a.z * s, a.w * s); }
TESSRA_HD void operator+=(float4& a, float4 b) { a.x += b.x; a.y += b.y; a.z += b.z; a.w += b.w; }

TESSRA_HD float dot(float3 a, float3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
TESSRA_HD float3 cross(float3 a, float3 b) {
    return make_float3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
}
TESSRA_HD float3 xyz(float4 v) { return make_float3(v.x, v.y, v.z); }
TESSRA_HD float4 make_float4(float3 v, float w) { return make_float4(v.x, v.y, v.z, w); }
// fminf and fmaxf with their NaN rule (a NaN operand yields the other one), written so
// that the host compiler inlines them instead of calling the maths library.
TESSRA_HD float minf(float a, float b) {
#if defined(__CUDA_ARCH__)
    return fminf(a, b);
#else
    return b != b ? a : (a < b ? a : b);
#endif
}
TESSRA_HD float maxf(float a, float b) {
#if defined(__CUDA_ARCH__)
    return fmaxf(a, b);
#else
    return b != b ? a : (a > b ? a : b);
#endif
}
TESSRA_HD float fminf3(float a, float b, float c) { return minf(a, minf(b, c)); }
TESSRA_HD float fmaxf3(float a, float b, float c) { return maxf(a, maxf(b, c)); }
TESSRA_HD float clampf(float v, float lo, float hi) { return minf(maxf(v, lo), hi); }
TESSRA_HD float3 minf3(float3 a, float3 b) { return make_float3(minf(a.x, b.x), minf(a.y, b.y), minf(a.z, b.z)); }
TESSRA_HD float3 maxf3(float3 a, float3 b) { return make_float3(maxf(a.x, b.x), maxf(a.y, b.y), maxf(a.z, b.z)); }

// The device uses the fast approximate reciprocal, reciprocal square root and square
// root; the CPU backend computes them exactly. Images therefore agree between the two
// backends within a small tolerance, not bit for bit.
TESSRA_HD float fastRcp(float x) {
#if defined(__CUDA_ARCH__)
    return __fdividef(1.0f, x);
#else
    return 1.0f / x;
#endif
}
TESSRA_HD float fastRsqrt(float x) {
#if defined(__CUDA_ARCH__)
    return rsqrtf(x);
#else
    return 1.0f / std::sqrt(x);
#endif
}
TESSRA_HD float fastSqrt(float x) { return sqrtf(x); }
TESSRA_HD float length(float3 v) { return fastSqrt(dot(v, v)); }
TESSRA_HD float3 normalize(float3 v) { return v * fastRsqrt(dot(v, v)); }

// Float to integer conversions saturate like the GPU's cvt.rzi: NaN gives 0, values
// beyond the range give the nearest representable integer. A plain C++ cast would be
// undefined behaviour for those inputs.
TESSRA_HD int f2i(float v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0f) return INT_MAX;
    if (v <= -2147483648.0f) return INT_MIN;
    return static_cast<int>(v);
}
TESSRA_HD unsigned int f2u(float v) {
    if (!(v > 0.0f)) return 0u;
    if (v >= 4294967295.0f) return UINT_MAX;
    return static_cast<unsigned int>(v);
}
// frac(a) = a - trunc(a), with truncation toward zero.
TESSRA_HD float fracTrunc(float a) { return a - truncf(a); }

// ---------------------------------------------------------------------------------
// Launch coordinates. A CPU launch fills a Lane per thread; a CUDA entry point builds
// one from the built-in variables.
struct Lane {
    uint3 threadIdx;
    uint3 blockIdx;
    uint3 blockDim;
    uint3 gridDim;
#if defined(__CUDACC__)
    __device__ static Lane fromCuda() {
        Lane l;
        l.threadIdx = ::threadIdx;
        l.blockIdx = ::blockIdx;
        l.blockDim = ::blockDim;
        l.gridDim = ::gridDim;
        return l;
    }
#endif
    TESSRA_HD unsigned int x() const { return blockIdx.x * blockDim.x + threadIdx.x; }
    TESSRA_HD unsigned int y() const { return blockIdx.y * blockDim.y + threadIdx.y; }
};

// A per-tile flag record that many threads set to the same value. On the GPU a plain
// store; on the CPU a relaxed atomic store, so that it is not a data race.
TESSRA_HD void storeSharedFlag(unsigned char* p, unsigned char v) {
#if defined(__CUDA_ARCH__)
    *p = v;
#elif defined(_MSC_VER)
    *static_cast<volatile unsigned char*>(p) = v;
#else
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
#endif
}

// ---------------------------------------------------------------------------------
// One-dimensional texture references over linear device memory: unnormalised integer
// coordinates, point sampling, clamp addressing, element reads. An unbound reference
// reads zero.
template <typename T>
struct TexRef {
    const T* ptr;
    uint32_t count;
};

template <typename T>
TESSRA_HD T loadReadOnly(const T* p) {
#if defined(__CUDA_ARCH__)
    return __ldg(p);
#else
    return *p;
#endif
}
#if defined(__CUDA_ARCH__)
// __ldg has no overload for plain unsigned char pointers in every toolkit; go through int.
template <>
__device__ __forceinline__ unsigned char loadReadOnly<unsigned char>(const unsigned char* p) {
    return static_cast<unsigned char>(__ldg(reinterpret_cast<const char*>(p)));
}
#endif

template <typename T>
TESSRA_HD T tex1Dfetch(const TexRef<T>& t, int i) {
    if (t.count == 0) return T{};
    const int last = static_cast<int>(t.count - 1);
    i = i < 0 ? 0 : (i > last ? last : i);
    return loadReadOnly(t.ptr + i);
}

// Asks for the cache line of element i ahead of its fetch; the GPU has no use for it.
template <typename T>
TESSRA_HD void tex1DPrefetch(const TexRef<T>& t, int i) {
#if !defined(__CUDA_ARCH__) && (defined(__GNUC__) || defined(__clang__))
    if (t.count) __builtin_prefetch(t.ptr + i);
#endif
}

// The bits of a float read as an int, for integers stored in float4 records.
TESSRA_HD int floatBitsToInt(float f) {
#if defined(__CUDA_ARCH__)
    return __float_as_int(f);
#else
    int i;
    memcpy(&i, &f, 4);
    return i;
#endif
}
TESSRA_HD float intBitsToFloat(int i) {
#if defined(__CUDA_ARCH__)
    return __int_as_float(i);
#else
    float f;
    memcpy(&f, &i, 4);
    return f;
#endif
}

struct CameraRows {
    float4 row[3];  // 3 x 4 row-major camera-to-world matrix
};

// A specular layer's directional albedo for normal reflectance f0: f0 x a + b, over the
// cosine to the viewer (kLayerCosines steps from 0 to 1) and roughness (kLayerRoughness).
constexpr int kLayerCosines = 32, kLayerRoughness = 8;
struct LayerTable {
    float a[kLayerRoughness][kLayerCosines], b[kLayerRoughness][kLayerCosines];
};

// Every texture reference and constant symbol, in one structure. The CUDA backend keeps
// it in constant memory; the CPU backend in one host object.
struct DeviceSymbols {
#define TESSRA_TEXTURE(name, T) TexRef<T> name;
#define TESSRA_CONSTANT(name, T) T name;
#include "symbols.def"
#undef TESSRA_TEXTURE
#undef TESSRA_CONSTANT
};

#if defined(__CUDACC__)
// Only one nvcc translation unit includes the kernels, so internal linkage suffices.
static __constant__ DeviceSymbols d_tessraSymbols;
#endif
extern DeviceSymbols g_cpuSymbols;

TESSRA_HD const DeviceSymbols& symbols() {
#if defined(__CUDA_ARCH__)
    return d_tessraSymbols;
#else
    return g_cpuSymbols;
#endif
}
#define SYM (::symbols())

// A screen-sized buffer set's device buffers, typed, as the kernels see them: taken by
// value, so a launch passes one argument per set and a new buffer is one line of the list.
// A null member is a buffer the launch leaves alone.
struct ScreenView {
#define TESSRA_FB_BUFFER(f, T, perPixel, clear, resetLine, freeLine) T* f;
#include "host/framebuffer.def"
#undef TESSRA_FB_BUFFER
};

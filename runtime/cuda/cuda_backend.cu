// The CUDA backend: real device memory, the kernels of device/ compiled by nvcc, the
// texture references realised as read-only loads through a binding table in constant
// memory. Entry points are generated per kernel and hold no logic.
#include "runtime/cuda/cuda_backend.h"

#include <cstdio>
#include <cstring>

#include "device/kernels_screen.h"

namespace {

// One __global__ entry per kernel: build the lane, call the shared body.
#define TESSRA_KERNEL_NAME(k)                                                          \
    template <typename... A>                                                           \
    __global__ void k##_entry(std::decay_t<A>... a) {                                  \
        k(Lane::fromCuda(), a...);                                                     \
    }                                                                                  \
    template <typename... A>                                                           \
    const void* k##_entryOf(void (*)(Lane, A...)) {                                    \
        return reinterpret_cast<const void*>(&k##_entry<A...>);                        \
    }
#include "device/kernels.def"
#undef TESSRA_KERNEL_NAME

const void* entry(rt::KernelId id) {
    static const void* const table[] = {
#define TESSRA_KERNEL_NAME(k) k##_entryOf(static_cast<decltype(&k)>(nullptr)),
#include "device/kernels.def"
#undef TESSRA_KERNEL_NAME
    };
    return table[size_t(id)];
}

rt::Status st(cudaError_t e) { return static_cast<rt::Status>(int(e)); }

}  // namespace

namespace rt::cuda {

bool compiledIn() { return true; }

Status deviceCount(int* count) { return st(cudaGetDeviceCount(count)); }

Status deviceProperties(DeviceProps* props, int device) {
    cudaDeviceProp p;
    cudaError_t e = cudaGetDeviceProperties(&p, device);
    if (e != cudaSuccess) return st(e);
    std::memset(props, 0, sizeof(*props));
    std::snprintf(props->name, sizeof(props->name), "%s", p.name);
    props->major = p.major;
    props->minor = p.minor;
    props->totalGlobalMem = p.totalGlobalMem;
    props->multiProcessorCount = p.multiProcessorCount;
    return Success;
}

Status setDevice(int device) { return st(cudaSetDevice(device)); }
Status malloc(void** p, size_t bytes) { return st(cudaMalloc(p, bytes)); }
Status free(void* p) { return st(cudaFree(p)); }

Status memcpy(void* dst, const void* src, size_t bytes, int kind) {
    const cudaMemcpyKind k = kind == 1   ? cudaMemcpyHostToDevice
                             : kind == 2 ? cudaMemcpyDeviceToHost
                                         : cudaMemcpyDeviceToDevice;
    return st(cudaMemcpy(dst, src, bytes, k));
}

Status memset(void* dst, int value, size_t bytes) { return st(cudaMemset(dst, value, bytes)); }
Status synchronize() { return st(cudaDeviceSynchronize()); }

Status uploadSymbols(const DeviceSymbols& s) {
    return st(cudaMemcpyToSymbol(d_tessraSymbols, &s, sizeof(DeviceSymbols), 0, cudaMemcpyHostToDevice));
}

Status launch(KernelId id, dim3 grid, dim3 block, void** args) {
    return st(cudaLaunchKernel(entry(id), grid, block, args, 0, nullptr));
}

const char* errorString(Status s) { return cudaGetErrorString(static_cast<cudaError_t>(int(s))); }

}  // namespace rt::cuda

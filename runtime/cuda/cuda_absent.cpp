// Built when the CUDA backend is not compiled in: every entry reports that there is no
// CUDA device, so automatic selection falls back to the CPU backend.
#include "runtime/cuda/cuda_backend.h"

namespace rt::cuda {

bool compiledIn() { return false; }
Status deviceCount(int* count) {
    if (count) *count = 0;
    return ErrorNoDevice;
}
Status deviceProperties(DeviceProps*, int) { return ErrorNoDevice; }
Status setDevice(int) { return ErrorNoDevice; }
Status malloc(void** p, size_t) {
    if (p) *p = nullptr;
    return ErrorNoDevice;
}
Status free(void*) { return ErrorNoDevice; }
Status memcpy(void*, const void*, size_t, int) { return ErrorNoDevice; }
Status memset(void*, int, size_t) { return ErrorNoDevice; }
Status synchronize() { return ErrorNoDevice; }
Status uploadSymbols(const DeviceSymbols&) { return ErrorNoDevice; }
Status launch(KernelId, dim3, dim3, void**) { return ErrorNoDevice; }
const char* errorString(Status) { return "CUDA backend not compiled in"; }

}  // namespace rt::cuda

// The CUDA backend's entry points, implemented in cuda_backend.cu when nvcc is found and
// by cuda_absent.cpp otherwise. The interface is plain C++ so that the rest of the
// library never includes CUDA headers.
#pragma once

#include "runtime/device.h"

namespace rt::cuda {

bool compiledIn();
// Counts devices without selecting the backend; a missing driver is reported here.
Status deviceCount(int* count);
Status deviceProperties(DeviceProps* props, int device);
Status setDevice(int device);
Status malloc(void** p, size_t bytes);
Status free(void* p);
Status memcpy(void* dst, const void* src, size_t bytes, int kind);  // 1 HtoD, 2 DtoH, 3 DtoD
Status memset(void* dst, int value, size_t bytes);
Status synchronize();
// Uploads the whole symbol structure into constant memory.
Status uploadSymbols(const DeviceSymbols& s);
Status launch(KernelId id, dim3 grid, dim3 block, void** args);
const char* errorString(Status s);

}  // namespace rt::cuda

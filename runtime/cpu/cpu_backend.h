// The CPU emulation of the device: tracked allocations with an optional cap, copies and
// fills that refuse pointers the backend did not hand out, and a worker pool that runs
// the blocks of a launch in parallel and the threads of a block in order.
#pragma once

#include "runtime/device.h"

namespace rt::cpu {

Status malloc(void** p, size_t bytes);
Status free(void* p);
// Checks that [p, p + bytes) lies inside one live allocation.
Status checkRange(const void* p, size_t bytes);
size_t liveCount();
size_t liveBytes();
void setCap(size_t bytes);

void setThreads(unsigned n);
unsigned threads();
void launch(dim3 grid, dim3 block, detail::BlockBody body, const void* ctx);

}  // namespace rt::cpu

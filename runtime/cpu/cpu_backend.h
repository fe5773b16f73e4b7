// The CPU emulation of the device: tracked allocations with an optional cap, copies and
// fills that refuse pointers the backend did not hand out, and a worker pool that runs
// the blocks of a launch in parallel and the threads of a block in order.
//
// Stricter modes make it fail where a GPU would behave differently from a CPU
// (TESSRA_CPU_STRICT, a comma list): "reverse" and "shuffle" run the blocks of a grid
// and the threads of a block in reverse or seeded-shuffled order; "poison" fills fresh
// allocations and their rounding tail with NaN bytes; "nohostread" keeps device memory
// unreadable by the host outside copies, fills and launches.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "runtime/device.h"

namespace rt::cpu {

struct StrictModes {
    bool reverse = false;
    bool shuffle = false;
    bool poison = false;
    bool noHostRead = false;
};
StrictModes strictModes();
// Replaces the modes with a comma list; false (and no change) for an unknown word.
bool setStrictModes(const char* list);

// Device memory is open to the host while one of these lives.
class HostAccess {
public:
    HostAccess();
    ~HostAccess();
    HostAccess(const HostAccess&) = delete;
    HostAccess& operator=(const HostAccess&) = delete;
};

// The emulation's own bookkeeping allocates with malloc, not operator new: a host that
// runs out of memory (or a test that makes operator new fail) must not see device
// allocations or launches fail for it, as they would not on a GPU.
template <typename T>
struct MallocAllocator {
    using value_type = T;
    MallocAllocator() = default;
    template <typename U>
    MallocAllocator(const MallocAllocator<U>&) {}
    T* allocate(size_t n) {
        if (void* p = std::malloc(n * sizeof(T))) return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, size_t) { std::free(p); }
    template <typename U>
    bool operator==(const MallocAllocator<U>&) const { return true; }
    template <typename U>
    bool operator!=(const MallocAllocator<U>&) const { return false; }
};

// Block and thread visiting order of one launch; empty lists mean natural order.
struct Order {
    std::vector<uint64_t, MallocAllocator<uint64_t>> blocks;
    std::vector<uint32_t, MallocAllocator<uint32_t>> threads;
};

Status malloc(void** p, size_t bytes);
Status free(void* p);
// Checks that [p, p + bytes) lies inside one live allocation.
Status checkRange(const void* p, size_t bytes);
size_t liveCount();
size_t liveBytes();
void setCap(size_t bytes);

void setThreads(unsigned n);
unsigned threads();
Status launch(dim3 grid, dim3 block, detail::BlockBody body, const void* ctx);

}  // namespace rt::cpu

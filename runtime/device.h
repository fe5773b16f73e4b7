// The device-runtime layer: what the stages need of a CUDA runtime, with a real CUDA
// backend and a multithreaded CPU emulation behind one interface. It reports failures
// as status values and never prints or exits; the policy (message box, fatal check,
// silent skip) is decided at the call sites in host/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "device/defs.h"

namespace rt {

// Status values use the CUDA runtime's numbering so that call sites read like the
// original, and the CUDA backend can pass its codes through unchanged.
enum Status : int {
    Success = 0,
    ErrorInvalidValue = 1,
    ErrorMemoryAllocation = 2,
    ErrorInitializationError = 3,
    ErrorLaunchFailure = 4,
    ErrorInvalidConfiguration = 9,
    ErrorInvalidSymbol = 13,
    ErrorInvalidDevicePointer = 17,
    ErrorInvalidMemcpyDirection = 21,
    ErrorInsufficientDriver = 35,
    ErrorNoDevice = 100,
    ErrorInvalidDevice = 101,
    ErrorUnknown = 999,
};

enum class Backend { Cpu, Cuda };

// Chooses the backend for the process: "auto" (CUDA when compiled in and a device
// exists, else CPU), "cpu" or "cuda". Returns false for an unknown name. Takes effect
// at the next call into the layer; allocations made on another backend stay there.
bool selectBackend(const std::string& name);
Backend activeBackend();
const char* backendName();
// Why CUDA is not in use (empty when it is).
std::string cudaUnavailableReason();
bool cudaCompiledIn();

const char* errorString(Status s);

struct DeviceProps {
    char name[256];
    int major;
    int minor;
    size_t totalGlobalMem;
    int multiProcessorCount;
};
Status getDeviceCount(int* count);
Status getDeviceProperties(DeviceProps* props, int device);
Status setDevice(int device);

Status malloc(void** p, size_t bytes);
Status free(void* p);
Status memcpyHtoD(void* dst, const void* src, size_t bytes);
Status memcpyDtoH(void* dst, const void* src, size_t bytes);
Status memcpyDtoD(void* dst, const void* src, size_t bytes);
Status memset(void* dst, int value, size_t bytes);
Status synchronize();

enum class Symbol {
#define TESSRA_TEXTURE(name, T) name,
#define TESSRA_CONSTANT(name, T) name,
#include "device/symbols.def"
#undef TESSRA_TEXTURE
#undef TESSRA_CONSTANT
    Count
};
const char* symbolName(Symbol s);
bool isTexture(Symbol s);
// Binds bytes of linear device memory from ptr to a texture reference.
Status bindTexture(Symbol tex, const void* ptr, size_t bytes);
// Host-to-device copy into a constant symbol at offset 0.
Status copyToSymbol(Symbol sym, const void* src, size_t bytes);
// The host mirror of every binding and constant (what the next launch sees).
const DeviceSymbols& symbolMirror();

// ---- Backend controls -----------------------------------------------------------------
void setThreadCount(unsigned n);  // 0 = every core
unsigned threadCount();
// Allocations beyond the cap fail with ErrorMemoryAllocation (0 = no cap).
void setMemoryCap(size_t bytes);
// Live device allocations of both backends.
size_t liveAllocationCount();
size_t liveAllocationBytes();
// Fault injection: the n-th runtime call from now (1-based) fails; 0 disables.
void failNthCall(uint64_t n);
uint64_t callCount();
// What each counted call was, appended to *trace while it is set (nullptr stops).
enum class CallKind : uint8_t { Device, Malloc, Free, Copy, Fill, Sync, Bind, Symbol, Launch };
void traceCalls(std::vector<CallKind>* trace);

// The first failed launch or synchronisation since the previous call, then Success
// again, like cudaGetLastError. A launch skipped for an empty grid is no failure.
Status takeLaunchError();

// ---- Kernel launch -----------------------------------------------------------------
enum class KernelId {
#define TESSRA_KERNEL_NAME(k) k,
#include "device/kernels.def"
#undef TESSRA_KERNEL_NAME
    Count
};
const char* kernelName(KernelId id);
// Launches per kernel since process start (tests count the passes of a stage).
uint64_t launchCount(KernelId id);

// A kernel by its id and, at compile time, its body: the CPU backend runs a block's
// threads in one loop with the body inlined. (Calling the body through a pointer once a
// lane cost more than many kernels' work: every call read back the lane it had just
// written, a stalled load.)
template <auto Fn>
struct KernelRef {
    KernelId id;
};

namespace detail {
// Runs every thread of one block whose lane has its block fields set: in natural order,
// or in the order of `threads` (linear thread indices) when it is given.
using BlockBody = void (*)(const void* ctx, Lane lane, const uint32_t* threads, size_t count);
Status checkConfiguration(KernelId id, dim3 grid, dim3 block);
Status cpuLaunch(dim3 grid, dim3 block, BlockBody body, const void* ctx);
Status cudaLaunch(KernelId id, dim3 grid, dim3 block, void** args);

// The parameters are held by value; a kernel that takes a large one by const reference
// (the frame buffer's views) reads it from here without a copy per lane.
template <typename... P>
using Params = std::tuple<std::decay_t<P>...>;

template <auto Fn, typename... P>
void runBlock(const void* ctx, Lane lane, const uint32_t* threads, size_t count) {
    const Params<P...>& params = *static_cast<const Params<P...>*>(ctx);
    const auto one = [&](unsigned x, unsigned y, unsigned z) {
        lane.threadIdx = make_uint3(x, y, z);
        std::apply([&](const auto&... a) { Fn(lane, a...); }, params);
    };
    const uint3 d = lane.blockDim;
    if (threads) {
        for (size_t k = 0; k < count; ++k) one(threads[k] % d.x, (threads[k] / d.x) % d.y, threads[k] / (d.x * d.y));
        return;
    }
    for (unsigned z = 0; z < d.z; ++z)
        for (unsigned y = 0; y < d.y; ++y)
            for (unsigned x = 0; x < d.x; ++x) one(x, y, z);
}

template <typename... P, size_t... I>
Status launchCuda(KernelId id, dim3 grid, dim3 block, Params<P...>& params, std::index_sequence<I...>) {
    void* args[] = {static_cast<void*>(&std::get<I>(params))...};
    return cudaLaunch(id, grid, block, args);
}

template <auto Fn, typename... P, typename... A>
Status launchAs(void (*)(Lane, P...), KernelId id, dim3 grid, dim3 block, A&&... args) {
    static_assert(sizeof...(P) == sizeof...(A), "kernel argument count");
    // CUDA copies each parameter's bytes into the launch, and the CPU backend copies the tuple.
    static_assert((std::is_trivially_copyable<std::decay_t<P>>::value && ...), "kernel parameters are copied as bytes");
    Status s = checkConfiguration(id, grid, block);
    if (s != Success) return s;
    Params<P...> params(static_cast<std::decay_t<P>>(std::forward<A>(args))...);
    if (activeBackend() == Backend::Cuda)
        return launchCuda<P...>(id, grid, block, params, std::index_sequence_for<P...>{});
    return cpuLaunch(grid, block, &runBlock<Fn, P...>, &params);
}
}  // namespace detail

// Runs kernel k over grid x block. A configuration that CUDA would refuse (a zero
// extent, too many threads per block) skips the launch and returns
// ErrorInvalidConfiguration; call sites ignore it, as the original did.
template <auto Fn, typename... A>
Status launch(KernelRef<Fn> k, dim3 grid, dim3 block, A&&... args) {
    return detail::launchAs<Fn>(Fn, k.id, grid, block, std::forward<A>(args)...);
}

}  // namespace rt

#define TESSRA_KERNEL(k) ::rt::KernelRef<&k>{::rt::KernelId::k}

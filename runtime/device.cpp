// Backend selection and dispatch. The CPU backend always exists; the CUDA backend is
// used when it was compiled in and a device answers, or when a host forces it.
#include "runtime/device.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "runtime/cpu/cpu_backend.h"
#include "runtime/cuda/cuda_backend.h"

namespace rt {
namespace {

enum class Choice { Auto, Cpu, Cuda };

struct State {
    Choice choice = Choice::Auto;
    bool resolved = false;
    Backend backend = Backend::Cpu;
    const char* cudaReason = "";
    bool symbolsDirty = true;
};
State& state() {
    static State s;
    return s;
}

std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_failAt{0};
std::atomic<uint64_t> g_launches[size_t(KernelId::Count)];

std::vector<CallKind>* g_trace = nullptr;
std::atomic<int> g_launchError{Success};

void noteLaunchError(Status s) {
    int expected = Success;
    if (s != Success) g_launchError.compare_exchange_strong(expected, s);
}

// Fault injection: counts every runtime call and fails the chosen one.
bool injectFault(CallKind kind) {
    try {
        if (g_trace) g_trace->push_back(kind);
    } catch (...) {
        g_trace = nullptr;  // a test's trace, out of memory: tracing stops
    }
    const uint64_t n = ++g_calls;
    const uint64_t at = g_failAt.load();
    return at != 0 && n == at;
}

void resolve() {
    State& s = state();
    if (s.resolved) return;
    s.resolved = true;
    s.backend = Backend::Cpu;
    if (s.choice == Choice::Cpu) {
        s.cudaReason = "CPU backend selected";
        return;
    }
    if (!cuda::compiledIn()) {
        s.cudaReason = "the CUDA backend was not compiled in";
        if (s.choice == Choice::Cuda) s.backend = Backend::Cuda;  // reports no device
        return;
    }
    int count = 0;
    Status st = cuda::deviceCount(&count);
    if (s.choice == Choice::Cuda) {
        s.backend = Backend::Cuda;
        if (st != Success || count == 0) s.cudaReason = st != Success ? cuda::errorString(st) : "no CUDA device";
        return;
    }
    if (st == Success && count > 0) {
        s.backend = Backend::Cuda;
        s.cudaReason = "";
    } else {
        // Typically "CUDA driver version is insufficient for CUDA runtime version" on a
        // machine without an NVIDIA driver: in automatic mode that just means no GPU.
        s.cudaReason = st != Success ? cuda::errorString(st) : "no CUDA device";
    }
}

bool onCuda() {
    resolve();
    return state().backend == Backend::Cuda;
}

// What the CUDA backend handed out, so that leak checks and the memory cap mean the
// same on both backends (the CPU backend tracks its own).
struct CudaAllocations {
    std::mutex lock;
    std::map<const void*, size_t, std::less<const void*>, cpu::MallocAllocator<std::pair<const void* const, size_t>>>
        live;
    size_t bytes = 0;
};
CudaAllocations& cudaAllocations() {
    static CudaAllocations a;
    return a;
}
std::atomic<size_t> g_cap{0};

Status cudaMalloc(void** p, size_t bytes) {
    CudaAllocations& a = cudaAllocations();
    std::lock_guard<std::mutex> g(a.lock);
    const size_t cap = g_cap.load();
    if (cap && (bytes > cap || a.bytes > cap - bytes)) {
        if (p) *p = nullptr;
        return ErrorMemoryAllocation;
    }
    Status s = cuda::malloc(p, bytes);
    if (s != Success || !p || !*p) return s;
    try {
        a.live.emplace(*p, bytes);
    } catch (...) {
        cuda::free(*p);
        *p = nullptr;
        return ErrorMemoryAllocation;
    }
    a.bytes += bytes;
    return Success;
}

Status cudaFree(void* p) {
    Status s = cuda::free(p);
    if (s != Success || !p) return s;
    CudaAllocations& a = cudaAllocations();
    std::lock_guard<std::mutex> g(a.lock);
    auto it = a.live.find(p);
    if (it != a.live.end()) {
        a.bytes -= it->second;
        a.live.erase(it);
    }
    return s;
}

struct SymbolInfo {
    const char* name;
    size_t offset;
    size_t size;
    size_t elementSize;  // 0 for constants
};
const SymbolInfo kSymbols[] = {
#define TESSRA_TEXTURE(name, T) {#name, offsetof(DeviceSymbols, name), sizeof(TexRef<T>), sizeof(T)},
#define TESSRA_CONSTANT(name, T) {#name, offsetof(DeviceSymbols, name), sizeof(T), 0},
#include "device/symbols.def"
#undef TESSRA_TEXTURE
#undef TESSRA_CONSTANT
};

const char* const kKernelNames[] = {
#define TESSRA_KERNEL_NAME(k) #k,
#include "device/kernels.def"
#undef TESSRA_KERNEL_NAME
};

Status syncSymbols() {
    if (!onCuda() || !state().symbolsDirty) return Success;
    Status s = cuda::uploadSymbols(g_cpuSymbols);
    if (s == Success) state().symbolsDirty = false;
    return s;
}

}  // namespace

bool selectBackend(const std::string& name) {
    Choice c;
    if (name == "auto") c = Choice::Auto;
    else if (name == "cpu") c = Choice::Cpu;
    else if (name == "cuda") c = Choice::Cuda;
    else return false;
    State& s = state();
    s.choice = c;
    s.resolved = false;
    s.symbolsDirty = true;
    return true;
}

Backend activeBackend() {
    resolve();
    return state().backend;
}
const char* backendName() { return onCuda() ? "cuda" : "cpu"; }
std::string cudaUnavailableReason() {
    resolve();
    return state().cudaReason;
}
bool cudaCompiledIn() { return cuda::compiledIn(); }

const char* errorString(Status s) {
    if (onCuda() && cuda::compiledIn()) return cuda::errorString(s);
    switch (s) {
        case Success: return "no error";
        case ErrorInvalidValue: return "invalid argument";
        case ErrorMemoryAllocation: return "out of memory";
        case ErrorInitializationError: return "initialization error";
        case ErrorLaunchFailure: return "unspecified launch failure";
        case ErrorInvalidConfiguration: return "invalid configuration argument";
        case ErrorInvalidSymbol: return "invalid device symbol";
        case ErrorInvalidDevicePointer: return "invalid device pointer";
        case ErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case ErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
        case ErrorNoDevice: return "no CUDA-capable device is detected";
        case ErrorInvalidDevice: return "invalid device ordinal";
        default: return "unknown error";
    }
}

Status getDeviceCount(int* count) {
    if (injectFault(CallKind::Device)) return ErrorUnknown;
    if (onCuda()) {
        if (!cuda::compiledIn()) {
            if (count) *count = 0;
            return Success;  // forced CUDA without the backend: zero devices
        }
        Status s = cuda::deviceCount(count);
        if (s == ErrorNoDevice) {
            *count = 0;
            return Success;
        }
        return s;
    }
    if (count) *count = 1;  // the emulated device
    return Success;
}

Status getDeviceProperties(DeviceProps* props, int device) {
    if (injectFault(CallKind::Device)) return ErrorUnknown;
    if (!props) return ErrorInvalidValue;
    if (onCuda()) return cuda::deviceProperties(props, device);
    if (device != 0) return ErrorInvalidDevice;
    std::memset(props, 0, sizeof(*props));
    std::snprintf(props->name, sizeof(props->name), "Tessra CPU emulation (%u threads)", cpu::threads());
    props->major = 1;  // the feature set the kernels are written for
    props->minor = 1;
    props->multiProcessorCount = int(cpu::threads());
    return Success;
}

Status setDevice(int device) {
    if (injectFault(CallKind::Device)) return ErrorUnknown;
    if (onCuda()) return cuda::setDevice(device);
    return device == 0 ? Success : ErrorInvalidDevice;
}

Status malloc(void** p, size_t bytes) {
    if (injectFault(CallKind::Malloc)) {
        if (p) *p = nullptr;
        return ErrorMemoryAllocation;
    }
    return onCuda() ? cudaMalloc(p, bytes) : cpu::malloc(p, bytes);
}

Status free(void* p) {
    if (injectFault(CallKind::Free)) return ErrorInvalidDevicePointer;
    return onCuda() ? cudaFree(p) : cpu::free(p);
}

Status memcpyHtoD(void* dst, const void* src, size_t bytes) {
    if (injectFault(CallKind::Copy)) return ErrorInvalidValue;
    if (onCuda()) return cuda::memcpy(dst, src, bytes, 1);
    if (Status s = cpu::checkRange(dst, bytes); s != Success) return s;
    if (bytes && !src) return ErrorInvalidValue;
    cpu::HostAccess access;
    if (bytes) std::memcpy(dst, src, bytes);
    return Success;
}

Status memcpyDtoH(void* dst, const void* src, size_t bytes) {
    if (injectFault(CallKind::Copy)) return ErrorInvalidValue;
    if (onCuda()) return cuda::memcpy(dst, src, bytes, 2);
    if (Status s = cpu::checkRange(src, bytes); s != Success) return s;
    if (bytes && !dst) return ErrorInvalidValue;
    cpu::HostAccess access;
    if (bytes) std::memcpy(dst, src, bytes);
    return Success;
}

Status memcpyDtoD(void* dst, const void* src, size_t bytes) {
    if (injectFault(CallKind::Copy)) return ErrorInvalidValue;
    if (onCuda()) return cuda::memcpy(dst, src, bytes, 3);
    if (Status s = cpu::checkRange(src, bytes); s != Success) return s;
    if (Status s = cpu::checkRange(dst, bytes); s != Success) return s;
    cpu::HostAccess access;
    if (bytes) std::memmove(dst, src, bytes);
    return Success;
}

Status memset(void* dst, int value, size_t bytes) {
    if (injectFault(CallKind::Fill)) return ErrorInvalidValue;
    if (onCuda()) return cuda::memset(dst, value, bytes);
    if (Status s = cpu::checkRange(dst, bytes); s != Success) return s;
    cpu::HostAccess access;
    if (bytes) std::memset(dst, value, bytes);
    return Success;
}

Status synchronize() {
    Status s = injectFault(CallKind::Sync) ? ErrorLaunchFailure : (onCuda() ? cuda::synchronize() : Success);
    noteLaunchError(s);
    return s;
}

const char* symbolName(Symbol s) { return kSymbols[size_t(s)].name; }
bool isTexture(Symbol s) { return kSymbols[size_t(s)].elementSize != 0; }

Status bindTexture(Symbol tex, const void* ptr, size_t bytes) {
    if (injectFault(CallKind::Bind)) return ErrorInvalidValue;
    const SymbolInfo& info = kSymbols[size_t(tex)];
    if (!info.elementSize) return ErrorInvalidSymbol;
    if (!onCuda()) {
        if (Status s = cpu::checkRange(ptr, bytes); s != Success) return s;
    } else if (bytes && !ptr) {
        return ErrorInvalidValue;
    }
    // TexRef<T> is {const T*, uint32_t} for every T: write through a byte view.
    char* slot = reinterpret_cast<char*>(&g_cpuSymbols) + info.offset;
    const void* p = bytes ? ptr : nullptr;
    const uint32_t count = uint32_t(bytes / info.elementSize);
    std::memcpy(slot, &p, sizeof(p));
    std::memcpy(slot + sizeof(p), &count, sizeof(count));
    state().symbolsDirty = true;
    return Success;
}

Status copyToSymbol(Symbol sym, const void* src, size_t bytes) {
    if (injectFault(CallKind::Symbol)) return ErrorInvalidValue;
    const SymbolInfo& info = kSymbols[size_t(sym)];
    if (info.elementSize) return ErrorInvalidSymbol;
    if (bytes > info.size || (bytes && !src)) return ErrorInvalidValue;
    std::memcpy(reinterpret_cast<char*>(&g_cpuSymbols) + info.offset, src, bytes);
    state().symbolsDirty = true;
    return Success;
}

const DeviceSymbols& symbolMirror() { return g_cpuSymbols; }

void setThreadCount(unsigned n) { cpu::setThreads(n); }
unsigned threadCount() { return cpu::threads(); }
void setMemoryCap(size_t bytes) {
    cpu::setCap(bytes);
    g_cap.store(bytes);
}
size_t liveAllocationCount() {
    std::lock_guard<std::mutex> g(cudaAllocations().lock);
    return cpu::liveCount() + cudaAllocations().live.size();
}
size_t liveAllocationBytes() {
    std::lock_guard<std::mutex> g(cudaAllocations().lock);
    return cpu::liveBytes() + cudaAllocations().bytes;
}
void failNthCall(uint64_t n) { g_failAt.store(n ? g_calls.load() + n : 0); }
uint64_t callCount() { return g_calls.load(); }
void traceCalls(std::vector<CallKind>* trace) { g_trace = trace; }
Status takeLaunchError() { return Status(g_launchError.exchange(Success)); }

const char* kernelName(KernelId id) { return kKernelNames[size_t(id)]; }
uint64_t launchCount(KernelId id) { return g_launches[size_t(id)].load(); }

namespace detail {

Status checkConfiguration(KernelId id, dim3 grid, dim3 block) {
    if (injectFault(CallKind::Launch)) {
        noteLaunchError(ErrorLaunchFailure);
        return ErrorInvalidConfiguration;
    }
    if (!grid.x || !grid.y || !grid.z || !block.x || !block.y || !block.z) return ErrorInvalidConfiguration;
    if (uint64_t(block.x) * block.y * block.z > 1024 || block.z > 64) return ErrorInvalidConfiguration;
    if (grid.y > 65535 || grid.z > 65535) return ErrorInvalidConfiguration;
    ++g_launches[size_t(id)];
    return Success;
}

Status cpuLaunch(dim3 grid, dim3 block, BlockBody body, const void* ctx) {
    const Status s = cpu::launch(grid, block, body, ctx);
    noteLaunchError(s);
    return s;
}

Status cudaLaunch(KernelId id, dim3 grid, dim3 block, void** args) {
    Status s = syncSymbols();
    if (s == Success) s = cuda::launch(id, grid, block, args);
    noteLaunchError(s);
    return s;
}

}  // namespace detail
}  // namespace rt

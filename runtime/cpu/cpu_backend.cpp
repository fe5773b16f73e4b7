#include "runtime/cpu/cpu_backend.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

DeviceSymbols g_cpuSymbols{};

namespace rt::cpu {
namespace {

// 0x7fbadbad: a NaN as a float, a huge index as an int, set flags as bytes.
constexpr uint8_t kPoison[4] = {0xad, 0xdb, 0xba, 0x7f};

StrictModes parseStrict(const char* list, bool* ok) {
    StrictModes m;
    if (ok) *ok = true;
    if (!list) return m;
    std::string word;
    for (const char* c = list;; ++c) {
        if (*c && *c != ',') {
            word += *c;
            continue;
        }
        if (word == "reverse") m.reverse = true;
        else if (word == "shuffle") m.shuffle = true;
        else if (word == "poison") m.poison = true;
        else if (word == "nohostread") m.noHostRead = true;
        else if (!word.empty() && ok) *ok = false;
        word.clear();
        if (!*c) break;
    }
    return m;
}

struct Allocation {
    size_t bytes;    // what was asked for
    size_t mapped;   // what the backend holds: the rounding tail included
    bool pages;      // mapped with mmap, so that it can be protected
};

struct Allocations {
    std::mutex lock;
    std::map<const char*, Allocation, std::less<const char*>,
             MallocAllocator<std::pair<const char* const, Allocation>>>
        live;  // start -> record
    size_t bytes = 0;
    size_t cap = 0;
    // Large blocks freed, kept for an allocation of the same size: the stages allocate and
    // release the same scratch buffers window after window, and fresh memory costs a page
    // fault per 4 KiB (whether it comes fresh depends on what the host's heap did before).
    // A fixed table, so that keeping a block never allocates.
    struct Spare {
        void* mem = nullptr;
        size_t rounded = 0;
    } spares[32];
    size_t spareBytes = 0;
    StrictModes strict = parseStrict(std::getenv("TESSRA_CPU_STRICT"), nullptr);
    unsigned open = 0;  // HostAccess scopes alive
};
Allocations& allocations() {
    static Allocations a;
    return a;
}

// Caller holds the lock.
void protect(Allocations& a, const char* start, const Allocation& rec) {
    if (rec.pages) mprotect(const_cast<char*>(start), rec.mapped, a.open ? PROT_READ | PROT_WRITE : PROT_NONE);
}
// Neighbouring mappings (mmap hands them out next to each other) change in one call: a
// launch opens and closes every allocation, and a call per allocation made the strict
// emulation eight times slower than the plain one.
void protectAll(Allocations& a) {
    const char* run = nullptr;
    size_t length = 0;
    const auto flush = [&] {
        if (length) mprotect(const_cast<char*>(run), length, a.open ? PROT_READ | PROT_WRITE : PROT_NONE);
        length = 0;
    };
    for (const auto& [start, rec] : a.live) {
        if (!rec.pages) continue;
        if (length && run + length != start) flush();
        if (!length) run = start;
        length += rec.mapped;
    }
    flush();
}

}  // namespace

StrictModes strictModes() {
    std::lock_guard<std::mutex> g(allocations().lock);
    return allocations().strict;
}

bool setStrictModes(const char* list) {
    bool ok = false;
    const StrictModes m = parseStrict(list, &ok);
    if (!ok) return false;
    Allocations& a = allocations();
    std::lock_guard<std::mutex> g(a.lock);
    // Allocations made before keep the protection they were made with.
    a.strict = m;
    return true;
}

HostAccess::HostAccess() {
    Allocations& a = allocations();
    std::lock_guard<std::mutex> g(a.lock);
    if (a.open++ == 0) protectAll(a);
}

HostAccess::~HostAccess() {
    Allocations& a = allocations();
    std::lock_guard<std::mutex> g(a.lock);
    if (--a.open == 0) protectAll(a);
}

namespace {

// Memory for an allocation of `rounded` bytes. Scene arrays of hundreds of megabytes
// fault in far faster as huge pages, which need their 2 MiB alignment.
void* allocate(size_t rounded) {
    constexpr size_t kHuge = size_t(2) << 20;
    if (rounded < 2 * kHuge) return std::aligned_alloc(256, rounded);
    void* mem = std::aligned_alloc(kHuge, (rounded + kHuge - 1) & ~(kHuge - 1));
    if (mem) platform::adviseHugePages(mem, rounded);
    return mem;
}

}  // namespace

Status malloc(void** p, size_t bytes) {
    if (!p) return ErrorInvalidValue;
    *p = nullptr;
    if (bytes == 0) return Success;  // like cudaMalloc: no memory, a null pointer
    Allocations& a = allocations();
    std::lock_guard<std::mutex> g(a.lock);
    if (a.cap && (bytes > a.cap || a.bytes > a.cap - bytes)) return ErrorMemoryAllocation;
    if (bytes > (size_t(1) << 46)) return ErrorMemoryAllocation;
    // 256-byte alignment, as cudaMalloc guarantees. Under nohostread each allocation has
    // pages of its own, so that it can be made unreadable.
    const bool pages = a.strict.noHostRead;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t rounded = pages ? (bytes + page - 1) / page * page : (bytes + 255) & ~size_t(255);
    void* mem = nullptr;
    if (pages) {
        mem = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mem == MAP_FAILED) mem = nullptr;
    } else {
        for (auto& s : a.spares)
            if (s.mem && s.rounded == rounded) {
                mem = s.mem;
                s.mem = nullptr;
                a.spareBytes -= rounded;
                break;
            }
        if (!mem) mem = allocate(rounded);
    }
    if (!mem) return ErrorMemoryAllocation;
    // A GPU hands out whatever the memory last held, the rounding tail included.
    if (a.strict.poison) {
        unsigned char* b = static_cast<unsigned char*>(mem);
        for (size_t i = 0; i < rounded; ++i) b[i] = kPoison[i & 3];
    }
    const Allocation rec{bytes, rounded, pages};
    try {
        a.live.emplace(static_cast<const char*>(mem), rec);
    } catch (...) {
        if (pages) munmap(mem, rounded);
        else std::free(mem);
        return ErrorMemoryAllocation;
    }
    protect(a, static_cast<const char*>(mem), rec);
    a.bytes += bytes;
    *p = mem;
    return Success;
}

Status free(void* p) {
    if (!p) return Success;
    Allocations& a = allocations();
    std::lock_guard<std::mutex> g(a.lock);
    auto it = a.live.find(static_cast<const char*>(p));
    if (it == a.live.end()) return ErrorInvalidDevicePointer;
    a.bytes -= it->second.bytes;
    const size_t rounded = it->second.mapped;
    const bool pages = it->second.pages;
    a.live.erase(it);
    if (pages) {
        munmap(p, rounded);
        return Success;
    }
    // Under AddressSanitizer every block goes back, so that a stage reading a buffer after
    // its release is caught.
#if defined(__SANITIZE_ADDRESS__)
    constexpr size_t kSpareMin = 0, kSpareTotal = 0;
#else
    constexpr size_t kSpareMin = size_t(64) << 10, kSpareTotal = size_t(128) << 20;
#endif
    if (rounded >= kSpareMin && a.spareBytes + rounded <= kSpareTotal)
        for (auto& s : a.spares)
            if (!s.mem) {
                s.mem = p;
                s.rounded = rounded;
                a.spareBytes += rounded;
                return Success;
            }
    std::free(p);
    return Success;
}

Status checkRange(const void* p, size_t bytes) {
    if (bytes == 0) return Success;
    if (!p) return ErrorInvalidValue;
    Allocations& a = allocations();
    std::lock_guard<std::mutex> g(a.lock);
    const char* c = static_cast<const char*>(p);
    auto it = a.live.upper_bound(c);
    if (it == a.live.begin()) return ErrorInvalidValue;
    --it;
    const size_t offset = size_t(c - it->first);
    if (offset >= it->second.bytes || bytes > it->second.bytes - offset) return ErrorInvalidValue;
    return Success;
}

size_t liveCount() {
    std::lock_guard<std::mutex> g(allocations().lock);
    return allocations().live.size();
}
size_t liveBytes() {
    std::lock_guard<std::mutex> g(allocations().lock);
    return allocations().bytes;
}
void setCap(size_t bytes) {
    std::lock_guard<std::mutex> g(allocations().lock);
    allocations().cap = bytes;
}

// ------------------------------------------------------------------------------------
// Worker pool. Threads stay alive between launches; a launch publishes a job and every
// worker, the calling thread included, takes chunks of consecutive blocks from a shared
// counter. Each block writes only its own elements, so the result does not depend on
// which worker ran which block.
namespace {

class Pool {
public:
    explicit Pool(unsigned n) {
        try {
            for (unsigned i = 1; i < n; ++i) workers_.emplace_back([this] { loop(); });
        } catch (...) {
            // Threads already started must be joined before the pool goes away.
            stopAll();
            throw;
        }
    }
    ~Pool() { stopAll(); }
    unsigned size() const { return unsigned(workers_.size()) + 1; }

    void run(dim3 grid, dim3 block, detail::BlockBody body, const void* ctx, const Order& order) {
        const uint64_t total = uint64_t(grid.x) * grid.y * grid.z;
        job_ = Job{grid, block, body, ctx, total, std::max<uint64_t>(1, total / (uint64_t(size()) * 8)), &order};
        next_.store(0);
        if (workers_.empty() || total == 1) {
            work();
            return;
        }
        {
            std::lock_guard<std::mutex> g(m_);
            busy_ = unsigned(workers_.size());
            ++generation_;
        }
        cv_.notify_all();
        work();
        std::unique_lock<std::mutex> g(m_);
        done_.wait(g, [this] { return busy_ == 0; });
    }

private:
    struct Job {
        dim3 grid, block;
        detail::BlockBody body;
        const void* ctx;
        uint64_t total;
        uint64_t chunk;
        const Order* order;
    };

    void stopAll() {
        {
            std::lock_guard<std::mutex> g(m_);
            stop_ = true;
        }
        cv_.notify_all();
        for (auto& t : workers_) t.join();
        workers_.clear();
    }

    void loop() {
        uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> g(m_);
                cv_.wait(g, [&] { return stop_ || generation_ != seen; });
                if (stop_) return;
                seen = generation_;
            }
            work();
            std::lock_guard<std::mutex> g(m_);
            if (--busy_ == 0) done_.notify_one();
        }
    }

    void work() {
        const Job& j = job_;
        const auto& blocks = j.order->blocks;
        for (;;) {
            const uint64_t first = next_.fetch_add(j.chunk);
            if (first >= j.total) return;
            const uint64_t last = std::min(j.total, first + j.chunk);
            for (uint64_t b = first; b < last; ++b) runBlock(j, blocks.empty() ? b : blocks[b]);
        }
    }

    static void runBlock(const Job& j, uint64_t b) {
        Lane lane;
        lane.gridDim = make_uint3(j.grid.x, j.grid.y, j.grid.z);
        lane.blockDim = make_uint3(j.block.x, j.block.y, j.block.z);
        lane.blockIdx = make_uint3(unsigned(b % j.grid.x), unsigned((b / j.grid.x) % j.grid.y),
                                   unsigned(b / (uint64_t(j.grid.x) * j.grid.y)));
        const auto& threads = j.order->threads;
        j.body(j.ctx, lane, threads.empty() ? nullptr : threads.data(), threads.size());
    }

    std::vector<std::thread> workers_;
    std::mutex m_;
    std::condition_variable cv_, done_;
    bool stop_ = false;
    uint64_t generation_ = 0;
    unsigned busy_ = 0;
    Job job_{};
    std::atomic<uint64_t> next_{0};
};

unsigned g_requested = 0;
std::unique_ptr<Pool> g_pool;
// One launch at a time: the pool runs one grid, and hosts may launch from several threads.
std::mutex g_poolLock;
std::atomic<uint64_t> g_launchSerial{0};

unsigned resolveThreads(unsigned n) {
    if (n) return n;
    unsigned hw = std::thread::hardware_concurrency();
    return hw ? hw : 1;
}

// The order a strict launch visits blocks and threads in: natural (empty lists), reversed,
// or shuffled with a seed that changes from launch to launch but not between runs.
void makeOrder(const StrictModes& m, uint64_t blocks, uint32_t threads, Order& order) {
    if (!m.reverse && !m.shuffle) return;
    order.blocks.resize(blocks);
    order.threads.resize(threads);
    std::iota(order.blocks.begin(), order.blocks.end(), uint64_t(0));
    std::iota(order.threads.begin(), order.threads.end(), uint32_t(0));
    if (m.shuffle) {
        std::mt19937_64 rng(0x7e55a + g_launchSerial++);
        // Fisher-Yates by hand: std::shuffle's use of the engine differs between libraries.
        for (uint64_t i = blocks; i > 1; --i) std::swap(order.blocks[i - 1], order.blocks[rng() % i]);
        for (uint32_t i = threads; i > 1; --i) std::swap(order.threads[i - 1], order.threads[rng() % i]);
    }
    if (m.reverse) {
        std::reverse(order.blocks.begin(), order.blocks.end());
        std::reverse(order.threads.begin(), order.threads.end());
    }
}

}  // namespace

void setThreads(unsigned n) {
    std::lock_guard<std::mutex> g(g_poolLock);
    g_requested = n;
    if (g_pool && g_pool->size() != resolveThreads(n)) g_pool.reset();
}

unsigned threads() { return resolveThreads(g_requested); }

Status launch(dim3 grid, dim3 block, detail::BlockBody body, const void* ctx) {
    try {
        std::lock_guard<std::mutex> g(g_poolLock);
        if (!g_pool) g_pool = std::make_unique<Pool>(threads());
        Order order;
        makeOrder(strictModes(), uint64_t(grid.x) * grid.y * grid.z, block.x * block.y * block.z, order);
        HostAccess access;
        g_pool->run(grid, block, body, ctx, order);
        return Success;
    } catch (...) {
        // No worker threads (or no memory for the order): the launch did not run.
        return ErrorLaunchFailure;
    }
}

}  // namespace rt::cpu

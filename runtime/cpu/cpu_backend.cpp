#include "runtime/cpu/cpu_backend.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

DeviceSymbols g_cpuSymbols{};

namespace rt::cpu {
namespace {

struct Allocations {
    std::mutex lock;
    std::map<const char*, size_t> live;  // start -> size
    size_t bytes = 0;
    size_t cap = 0;
};
Allocations& allocations() {
    static Allocations a;
    return a;
}

}  // namespace

Status malloc(void** p, size_t bytes) {
    if (!p) return ErrorInvalidValue;
    *p = nullptr;
    if (bytes == 0) return Success;  // like cudaMalloc: no memory, a null pointer
    Allocations& a = allocations();
    std::lock_guard<std::mutex> g(a.lock);
    if (a.cap && (bytes > a.cap || a.bytes > a.cap - bytes)) return ErrorMemoryAllocation;
    // 256-byte alignment, as cudaMalloc guarantees.
    const size_t rounded = (bytes + 255) & ~size_t(255);
    void* mem = std::aligned_alloc(256, rounded);
    if (!mem) return ErrorMemoryAllocation;
    a.live[static_cast<const char*>(mem)] = bytes;
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
    a.bytes -= it->second;
    a.live.erase(it);
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
    if (offset >= it->second || bytes > it->second - offset) return ErrorInvalidValue;
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
        for (unsigned i = 1; i < n; ++i) workers_.emplace_back([this] { loop(); });
    }
    ~Pool() {
        {
            std::lock_guard<std::mutex> g(m_);
            stop_ = true;
        }
        cv_.notify_all();
        for (auto& t : workers_) t.join();
    }
    unsigned size() const { return unsigned(workers_.size()) + 1; }

    void run(dim3 grid, dim3 block, detail::BlockBody body, const void* ctx) {
        const uint64_t total = uint64_t(grid.x) * grid.y * grid.z;
        job_ = Job{grid, block, body, ctx, total,
                   std::max<uint64_t>(1, total / (uint64_t(size()) * 8))};
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
    };

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
        for (;;) {
            const uint64_t first = next_.fetch_add(j.chunk);
            if (first >= j.total) return;
            const uint64_t last = std::min(j.total, first + j.chunk);
            for (uint64_t b = first; b < last; ++b) runBlock(j, b);
        }
    }

    static void runBlock(const Job& j, uint64_t b) {
        Lane lane;
        lane.gridDim = make_uint3(j.grid.x, j.grid.y, j.grid.z);
        lane.blockDim = make_uint3(j.block.x, j.block.y, j.block.z);
        lane.blockIdx = make_uint3(unsigned(b % j.grid.x), unsigned((b / j.grid.x) % j.grid.y),
                                   unsigned(b / (uint64_t(j.grid.x) * j.grid.y)));
        for (unsigned z = 0; z < j.block.z; ++z)
            for (unsigned y = 0; y < j.block.y; ++y)
                for (unsigned x = 0; x < j.block.x; ++x) {
                    lane.threadIdx = make_uint3(x, y, z);
                    j.body(j.ctx, lane);
                }
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

unsigned resolveThreads(unsigned n) {
    if (n) return n;
    unsigned hw = std::thread::hardware_concurrency();
    return hw ? hw : 1;
}

}  // namespace

void setThreads(unsigned n) {
    g_requested = n;
    if (g_pool && g_pool->size() != resolveThreads(n)) g_pool.reset();
}

unsigned threads() { return resolveThreads(g_requested); }

void launch(dim3 grid, dim3 block, detail::BlockBody body, const void* ctx) {
    if (!g_pool) g_pool = std::make_unique<Pool>(threads());
    g_pool->run(grid, block, body, ctx);
}

}  // namespace rt::cpu

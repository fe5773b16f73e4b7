#include "platform/platform.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {
namespace {

void defaultHandler(const char* text, const char* title, void*) {
    std::fprintf(stderr, "%s: %s\n", title ? title : "", text ? text : "");
    std::fflush(stderr);
}

MessageHandler g_handler = &defaultHandler;
void* g_user = nullptr;
uint32_t (*g_tickSource)() = nullptr;

struct Timer {
    std::chrono::steady_clock::time_point start;
    double totalMs = 0;
    unsigned sessions = 0;
    bool running = false;
};
std::map<unsigned, Timer>& timers() {
    static std::map<unsigned, Timer> t;
    return t;
}
unsigned g_nextTimer = 1;

}  // namespace

void setMessageHandler(MessageHandler handler, void* user) {
    g_handler = handler ? handler : &defaultHandler;
    g_user = handler ? user : nullptr;
}

void messageBox(const char* text, const char* title) { g_handler(text, title, g_user); }

uint32_t getTickCount() {
    if (g_tickSource) return g_tickSource();
    using namespace std::chrono;
    static const steady_clock::time_point origin = steady_clock::now();
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now() - origin).count());
}

void setTickSource(uint32_t (*source)()) { g_tickSource = source; }

bool cutCreateTimer(unsigned* name) {
    if (!name) return false;
    *name = g_nextTimer++;
    timers()[*name] = Timer{};
    return true;
}
bool cutDeleteTimer(unsigned name) { return timers().erase(name) == 1; }
bool cutResetTimer(unsigned name) {
    auto it = timers().find(name);
    if (it == timers().end()) return false;
    it->second = Timer{};
    return true;
}
bool cutStartTimer(unsigned name) {
    auto it = timers().find(name);
    if (it == timers().end()) return false;
    it->second.start = std::chrono::steady_clock::now();
    it->second.running = true;
    return true;
}
bool cutStopTimer(unsigned name) {
    auto it = timers().find(name);
    if (it == timers().end() || !it->second.running) return false;
    Timer& t = it->second;
    t.totalMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t.start).count();
    t.running = false;
    ++t.sessions;
    return true;
}
float cutGetAverageTimerValue(unsigned name) {
    auto it = timers().find(name);
    if (it == timers().end()) return 0.0f;
    const Timer& t = it->second;
    double total = t.totalMs;
    if (t.running)
        total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t.start).count();
    const unsigned n = t.sessions ? t.sessions : 1;
    return static_cast<float>(total / n);
}

void adviseHugePages(const void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const uintptr_t from = (uintptr_t(p) + kHuge - 1) & ~(kHuge - 1), to = (uintptr_t(p) + bytes) & ~(kHuge - 1);
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)p, (void)bytes;
#endif
}

void releaseFreedMemory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

void cudaCheck(rt::Status status, const char* file, int line) {
    if (status == rt::Success) return;
    std::fprintf(stderr, "Cuda error in file '%s' in line %i : %s.\n", file, line, rt::errorString(status));
    std::fflush(stderr);
    std::exit(1);
}

void cutCheck(bool ok, const char* file, int line) {
    if (ok) return;
    std::fprintf(stderr, "Cut error in file '%s' in line %i.\n", file, line);
    std::fflush(stderr);
    std::exit(1);
}

}  // namespace platform

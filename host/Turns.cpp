// Renders take turns on the device. Its state is one per process, as in a GPU context:
// the bound scene arrays and constants, the chosen backend, the CPU worker pool. Two
// renders interleaving their launches would shade with each other's scene, so each
// render holds the device from its first upload to its last delivered tile; others wait.
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "host/internal.h"

namespace host {
namespace {

std::recursive_mutex g_device;
std::mutex g_busyLock;
std::set<const TessraRendererCUDA*> g_busy;  // renderers inside Render
thread_local const TessraRendererCUDA* t_rendering = nullptr;

}  // namespace

DeviceTurn::DeviceTurn() : held_(true) { g_device.lock(); }

DeviceTurn::DeviceTurn(TessraRendererCUDA* r) : renderer_(r) {
    if (t_rendering) {
        // The device holds the outer render's scene; a nested render would replace it.
        platform::messageBox("Render was called from a callback of another render on the same thread; "
                             "call it after that render has returned.",
                             "Tessra error");
        return;
    }
    {
        std::lock_guard<std::mutex> g(g_busyLock);
        if (!g_busy.insert(r).second) {
            platform::messageBox("This renderer is already rendering on another thread; one render at a time "
                                 "per renderer.",
                                 "Tessra error");
            renderer_ = nullptr;
            return;
        }
    }
    // While it waits for another render to finish, the host can still cancel this one.
    while (!g_device.try_lock()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (abortRequested(r)) {
            std::lock_guard<std::mutex> g(g_busyLock);
            g_busy.erase(r);
            renderer_ = nullptr;
            return;
        }
    }
    held_ = true;
    t_rendering = r;
}

DeviceTurn::~DeviceTurn() {
    if (!held_) return;
    if (renderer_) {
        t_rendering = nullptr;
        std::lock_guard<std::mutex> g(g_busyLock);
        g_busy.erase(renderer_);
    }
    g_device.unlock();
}

}  // namespace host

// The exported plain functions.
#include <new>

#include "host/internal.h"

extern TessraRendererCUDA* g_renderer;
void tessraResetDeviceReady();

extern "C" {

TESSRA_API TessraRendererCUDA* Tessra_InitRenderer() try {
    host::initImageLibrary();
    TessraRendererCUDA* r = new (std::nothrow) TessraRendererCUDA();
    g_renderer = r;
    return r;
} catch (...) {
    host::reportException("Tessra_InitRenderer");
    return nullptr;
}

TESSRA_API void Tessra_DeleteRenderer(TessraRendererCUDA** renderer) {
    if (renderer) {
        delete *renderer;
        *renderer = nullptr;
    }
    g_renderer = nullptr;
}

TESSRA_API int Tessra_SelectBackend(const char* name) try {
    if (!name || !rt::selectBackend(name)) return -1;
    // A new backend needs its own device check at the next render.
    tessraResetDeviceReady();
    return 0;
} catch (...) {
    host::reportException("Tessra_SelectBackend");
    return -1;
}

TESSRA_API const char* Tessra_BackendName() try {
    return rt::backendName();
} catch (...) {
    host::reportException("Tessra_BackendName");
    return "cpu";
}

// The worker pool is rebuilt at the next launch; starting its threads can fail there.
TESSRA_API void Tessra_SetThreadCount(unsigned threads) try {
    rt::setThreadCount(threads);
} catch (...) {
    host::reportException("Tessra_SetThreadCount");
}

TESSRA_API void Tessra_SetMessageHandler(TessraMessageHandler handler, void* user) {
    platform::setMessageHandler(handler, user);
}

TESSRA_API const char* Tessra_Version() { return TESSRA_VERSION_STRING; }
}

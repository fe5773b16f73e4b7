// The exported plain functions.
#include <new>

#include "host/internal.h"

extern TessraRendererCUDA* g_renderer;
void tessraResetDeviceReady();

extern "C" {

TESSRA_API TessraRendererCUDA* Tessra_InitRenderer() {
    host::initImageLibrary();
    TessraRendererCUDA* r = new (std::nothrow) TessraRendererCUDA();
    g_renderer = r;
    return r;
}

TESSRA_API void Tessra_DeleteRenderer(TessraRendererCUDA** renderer) {
    if (renderer) {
        delete *renderer;
        *renderer = nullptr;
    }
    g_renderer = nullptr;
}

TESSRA_API int Tessra_SelectBackend(const char* name) {
    if (!name || !rt::selectBackend(name)) return -1;
    // A new backend needs its own device check at the next render.
    tessraResetDeviceReady();
    return 0;
}

TESSRA_API const char* Tessra_BackendName() { return rt::backendName(); }

TESSRA_API void Tessra_SetThreadCount(unsigned threads) { rt::setThreadCount(threads); }

TESSRA_API void Tessra_SetMessageHandler(TessraMessageHandler handler, void* user) {
    platform::setMessageHandler(handler, user);
}

TESSRA_API const char* Tessra_Version() { return TESSRA_VERSION_STRING; }
}

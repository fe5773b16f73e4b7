// Our additions beside the fixed fields: crop windows, tile filters and bands.
#include "host/internal.h"

// Whether this render shades the w x h region (a tile or a band) at (x, y): it must
// meet the crop window, and the host's filter must take it.
bool TessraRendererCUDA::shadesRegion(uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
    const uint32_t* c = extension_.crop;
    if (c[2] > c[0] && c[3] > c[1] && (x >= c[2] || y >= c[3] || x + w <= c[0] || y + h <= c[1])) return false;
    return !extension_.tileFilter || extension_.tileFilter(extension_.tileFilterUser, x, y);
}

// Whether rows first to last (half-open, of fb) hold pixels to shade: only the tile in
// progress is limited to its band; sub-pixel batches and reflection windows are not.
bool TessraRendererCUDA::shadesRows(const TessraFrameBuffer& fb, uint32_t first, uint32_t last) const {
    if (&fb != currentFrameBuffer) return true;
    return tileY + first < extension_.shadeRows[1] && tileY + last > extension_.shadeRows[0];
}

extern "C" {

TESSRA_API int Tessra_SetCropWindow(TessraRendererCUDA* r, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    if (!r) return -1;
    uint32_t* c = r->extension_.crop;
    c[0] = x0;
    c[1] = y0;
    c[2] = x1;
    c[3] = y1;
    return 0;
}

TESSRA_API int Tessra_SetBandRows(TessraRendererCUDA* r, uint32_t rows) {
    if (!r || rows > 256) return -1;
    r->extension_.bandRows = rows;
    return 0;
}

TESSRA_API int Tessra_SetTileFilter(TessraRendererCUDA* r, TessraTileFilter filter, void* user) {
    if (!r) return -1;
    r->extension_.tileFilter = filter;
    r->extension_.tileFilterUser = user;
    return 0;
}
}

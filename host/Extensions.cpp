// Our additions beside the fixed fields: crop windows, tile filters and bands.
#include <algorithm>
#include <vector>

#include "host/internal.h"

// Whether this render shades the w x h region (a tile or a band) at (x, y): it must
// meet the crop window, and the host's filter must take it.
bool TessraRendererCUDA::shadesRegion(uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
    const uint32_t* c = extension_.crop;
    if (c[2] > c[0] && c[3] > c[1] && (x >= c[2] || y >= c[3] || x + w <= c[0] || y + h <= c[1])) return false;
    return !extension_.tileFilter || extension_.tileFilter(extension_.tileFilterUser, x, y);
}

namespace host {

namespace {
// Process p's items of count, the boundaries on multiples of align.
size_t boundary(size_t count, uint32_t p, uint32_t parts, size_t align) {
    return std::min(count, (count * p / parts + align - 1) / align * align);
}
}  // namespace

SharedRange sharedRange(const TessraRendererCUDA& r, size_t count, size_t align) {
    const TessraWorkShare& s = r.extension_.share;
    return {boundary(count, s.part, s.parts, align), boundary(count, s.part + 1, s.parts, align)};
}

bool gatherShared(TessraRendererCUDA& r, void* items, size_t count, size_t itemBytes, size_t align) {
    const TessraWorkShare& s = r.extension_.share;
    if (s.parts <= 1) return true;
    std::vector<size_t> offsets(s.parts), bytes(s.parts);
    for (uint32_t p = 0; p < s.parts; ++p) {
        offsets[p] = boundary(count, p, s.parts, align) * itemBytes;
        bytes[p] = boundary(count, p + 1, s.parts, align) * itemBytes - offsets[p];
    }
    return s.gather(s.user, items, offsets.data(), bytes.data(), true);
}

bool stopTogether(TessraRendererCUDA& r) {
    const bool going = !abortRequested(&r);
    const TessraWorkShare& s = r.extension_.share;
    if (s.parts <= 1) return !going;
    const std::vector<size_t> none(s.parts, 0);
    return !s.gather(s.user, nullptr, none.data(), none.data(), going);
}

}  // namespace host

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
    if (!r || rows > TESSRA_TILE_SIZE) return -1;
    r->extension_.bandRows = rows;
    return 0;
}

TESSRA_API int Tessra_SetWorkShare(TessraRendererCUDA* r, const TessraWorkShare* share) {
    if (!r || (share && (share->parts == 0 || share->part >= share->parts || !share->gather))) return -1;
    r->extension_.share = share ? *share : TessraWorkShare{1, 0, nullptr, nullptr};
    return 0;
}

TESSRA_API int Tessra_SetTileFilter(TessraRendererCUDA* r, TessraTileFilter filter, void* user) {
    if (!r) return -1;
    r->extension_.tileFilter = filter;
    r->extension_.tileFilterUser = user;
    return 0;
}
}

#include "farm.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace tr {

bool parseCropWindow(const std::string& text, int width, int height, CropWindow& crop, std::string& error) {
    std::vector<long> v;
    const char* p = text.c_str();
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        errno = 0;
        // strtol would skip leading blanks and accept a sign; a pixel bound has neither.
        const long n = *p >= '0' && *p <= '9' ? std::strtol(p, &end, 10) : -1;
        if (n < 0 || errno || end == p || *end != (i < 3 ? ',' : '\0')) {
            error = "--crop expects X0,Y0,X1,Y1 (four pixel bounds), not '" + text + "'";
            return false;
        }
        v.push_back(n);
        p = end + 1;
    }
    if (v[2] <= v[0] || v[3] <= v[1]) {
        error = "--crop " + text + " is empty: it needs X1 > X0 and Y1 > Y0";
        return false;
    }
    if (v[2] > width || v[3] > height) {
        error = "--crop " + text + " reaches outside the " + std::to_string(width) + " x " + std::to_string(height) +
                " image";
        return false;
    }
    crop = {int(v[0]), int(v[1]), int(v[2]), int(v[3])};
    return true;
}

Image cropImage(const Image& frame, const CropWindow& c) {
    Image out;
    out.width = c.x1 - c.x0;
    out.height = c.y1 - c.y0;
    out.originX = c.x0;
    out.originY = c.y0;
    out.frameWidth = frame.width;
    out.frameHeight = frame.height;
    out.alpha = frame.alpha;
    auto window = [&](const std::vector<float>& from, std::vector<float>& to, size_t n) {
        if (from.empty()) return;
        to.resize(size_t(out.width) * out.height * n);
        for (int y = 0; y < out.height; ++y) {
            const float* row = &from[(size_t(c.y0 + y) * frame.width + c.x0) * n];
            std::copy(row, row + size_t(out.width) * n, &to[size_t(y) * out.width * n]);
        }
    };
    window(frame.rgba, out.rgba, 4);
    window(frame.albedo, out.albedo, 3);
    window(frame.normal, out.normal, 3);
    window(frame.depth, out.depth, 1);
    return out;
}

#ifndef TESSRA_WITH_MPI
bool mpiAvailable() { return false; }

std::unique_ptr<MpiRank> startMpi(std::string& error) {
    error = "this tessra-render was built without MPI (install Open MPI, libopenmpi-dev, and build again)";
    return nullptr;
}
#endif

}  // namespace tr

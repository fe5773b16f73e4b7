// Antialiasing and output passes: after a tile's one ray per pixel, pixels that differ
// from a neighbour take n x n sub-pixel rays, which run through every stage in batches
// laid out like a tile; the tile is then delivered with each pixel the mean of its rays.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "device/kernels_screen.h"
#include "host/internal.h"

namespace {

using host::kBlock;

// What one ray (or the mean of several) leaves at a pixel.
struct Sample {
    float4 colour{};
    float4 albedoDepth{};  // depth in w
    float4 normal{};
};

float clip(float v) { return std::min(std::max(v, 0.0f), 1.0f); }
float difference(const float4& a, const float4& b) {
    return std::fabs(clip(a.x) - clip(b.x)) + std::fabs(clip(a.y) - clip(b.y)) + std::fabs(clip(a.z) - clip(b.z));
}

// The stratified, jittered position of ray k of n x n in pixel (px, py): the jitter
// comes from the Halton points of the stratum's number, turned by a hash of the pixel
// so that neighbouring pixels do not repeat one pattern. Fixed: every render, worker
// count and process places the same rays.
uint32_t pixelHash(uint32_t px, uint32_t py) { return (px * 73856093u) ^ (py * 19349663u); }

float2 subPixel(uint32_t px, uint32_t py, uint32_t k, uint32_t n) {
    const uint32_t h = pixelHash(px, py);
    const double turnX = double(h & 0xffffu) / 65536.0, turnY = double(h >> 16) / 65536.0;
    double jx = haltonHost(int(k) + 1, 2) + turnX, jy = haltonHost(int(k) + 1, 3) + turnY;
    jx -= std::floor(jx);
    jy -= std::floor(jy);
    const double x = double(px) - 0.5 + (double(k % n) + jx) / n;
    const double y = double(py) - 0.5 + (double(k / n) + jy) / n;
    return make_float2(float(x), float(y));
}

// The fine stratum (x | y << 8, each below step) that ray k of n x n in pixel (px, py)
// takes within every coarse stratum of the light and glossy patterns: the pixel's rays
// take the step x step strata in turn (every one when n x n is a multiple of them,
// evenly spaced otherwise), from a start turned by the pixel, so that together they
// sample the pattern at least as evenly as one ray's whole pattern, and a pixel's rays
// do not depend on which neighbours take more.
uint32_t fineStratum(uint32_t px, uint32_t py, uint32_t k, uint32_t n, uint32_t step) {
    const uint32_t strata = step * step;
    const uint32_t turn = pixelHash(px, py) % strata;
    const uint32_t s = (k * strata / (n * n) + turn) % strata;
    return (s % step) | (s / step) << 8;
}

}  // namespace

bool TessraRendererCUDA::finishTile(TessraFrameBuffer& fb, const TileContext& c) {
    Extension& e = extension_;
    const bool passes = e.albedo || e.normal || e.depth;
    if (e.samples <= 1 && !passes && !e.coverage) {
        RefreshResultsScreen(c);
        return true;
    }
    const uint32_t W = fb.tileWidth, H = fb.tileHeight, N = W * H;
    host::ScopedDeviceMemory albedoDepth(Malloc(size_t(N) * 16)), normals(Malloc(size_t(N) * 16));
    if (!albedoDepth.p || !normals.p) return false;
    std::vector<float4> colour(N), ad(N), nor(N);
    // Combines the buffers of a tile (or the first rows of a batch) and reads back what
    // each element shows.
    auto readBack = [&](TessraFrameBuffer& b, uint32_t rows) {
        const dim3 grid(W / kBlock.x, (rows + kBlock.y - 1) / kBlock.y, 1);
        const size_t bytes = size_t(W) * rows * 16;
        rt::launch(TESSRA_KERNEL(combineBuffers), grid, kBlock, b.ssTotal, b.ssColor, b.ssIndirect, W, rows, 0u, 0u,
                   false);
        rt::launch(TESSRA_KERNEL(output_passes_ss), grid, kBlock, W, rows, host::view(b), albedoDepth.p, normals.p);
        rt::synchronize();
        TESSRA_CHECK(rt::memcpyDtoH(colour.data(), b.ssTotal, bytes), "volumeRender", __LINE__);
        TESSRA_CHECK(rt::memcpyDtoH(ad.data(), albedoDepth.p, bytes), "volumeRender", __LINE__);
        TESSRA_CHECK(rt::memcpyDtoH(nor.data(), normals.p, bytes), "volumeRender", __LINE__);
    };
    readBack(fb, H);
    std::vector<Sample> pixel(N);
    for (uint32_t i = 0; i < N; ++i) pixel[i] = {colour[i], ad[i], nor[i]};
    // The passes' depth is finite exactly where the ray hit (its position's w above one
    // half), so coverage needs no copy of its own.
    if (e.coverage)
        for (uint32_t i = 0; i < N; ++i) pixel[i].colour.w = std::isfinite(ad[i].w) ? 1.0f : 0.0f;

    // The pixels that take more rays: those of the image that differ from a neighbour
    // in the tile by more than the threshold (every one with threshold 0).
    const uint32_t n = std::max(1u, e.samples);
    // The rows delivered (a band's, or all), in the tile.
    const uint32_t bottom = std::min({c.deliverRows[1], uint32_t(height), tileY + H});
    const uint32_t first = std::max(c.deliverRows[0], tileY) - tileY, last = std::max(bottom, tileY) - tileY;
    std::vector<uint32_t> refine;
    for (uint32_t y = first; n > 1 && y < last; ++y)
        for (uint32_t x = 0; x < W && tileX + x < uint32_t(width); ++x) {
            const uint32_t i = y * W + x;
            bool differs = !(e.threshold > 0.0f);
            const int neighbours[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
            for (const auto& d : neighbours) {
                const int nx = int(x) + d[0], ny = int(y) + d[1];
                if (differs || nx < 0 || ny < 0 || nx >= int(W) || ny >= int(H)) continue;
                if (tileX + nx >= uint32_t(width) || tileY + ny >= uint32_t(height)) continue;
                differs = difference(colour[i], colour[uint32_t(ny) * W + uint32_t(nx)]) > e.threshold;
            }
            if (differs) refine.push_back(i);
        }
    e.supersampled += refine.size();

    if (!refine.empty()) {
        TessraFrameBuffer batch(this, W, H);
        if (!host::complete(batch)) return false;
        host::ScopedDeviceMemory positions(Malloc(size_t(N) * 8)), shifts(Malloc(size_t(N) * 4));
        if (!positions.p || !shifts.p) return false;
        const uint64_t rays = uint64_t(refine.size()) * n * n;
        std::vector<float2> at(N);
        std::vector<uint32_t> strata(N);
        std::vector<Sample> sum(refine.size());
        std::vector<uint32_t> hits(refine.size(), 0);
        // The n x n rays share the pixel's 8 x 8 strata of area lights and glossy cones:
        // 2 x 2 rays take a quarter of them each, 3 x 3 and 4 x 4 rays one in sixteen,
        // more rays one each; each ray's fine strata are shifted by a hash of its hit point.
        // The batch keeps the tile's delivered rows for the refreshes of its stages.
        TileContext b = c;
        b.top = b.shadeRows[0] = 0;
        b.strataStep = n <= 1 ? 1 : n <= 2 ? 2 : n <= 4 ? 4 : 8;
        b.strataShifts = static_cast<const unsigned int*>(shifts.p);
        for (uint64_t first = 0; first < rays; first += N) {
            const uint32_t count = uint32_t(std::min<uint64_t>(N, rays - first));
            for (uint32_t j = 0; j < count; ++j) {
                const uint64_t ray = first + j;
                const uint32_t i = refine[ray / (n * n)];
                at[j] = subPixel(tileX + i % W, tileY + i / W, uint32_t(ray % (n * n)), n);
                strata[j] = fineStratum(tileX + i % W, tileY + i / W, uint32_t(ray % (n * n)), n, b.strataStep);
            }
            TESSRA_CHECK(rt::memcpyHtoD(positions.p, at.data(), size_t(count) * 8), "volumeRender", __LINE__);
            TESSRA_CHECK(rt::memcpyHtoD(shifts.p, strata.data(), size_t(count) * 4), "volumeRender", __LINE__);
            // Elements past the rays see nothing; the stages skip whole rows of them.
            b.shadeRows[1] = (count + W - 1) / W;
            batch.Reset();
            rt::launch(TESSRA_KERNEL(init_screen_samples), dim3(W / kBlock.x, H / kBlock.y, 1), kBlock,
                       static_cast<float2*>(positions.p), count, uint32_t(width), uint32_t(height), W, fieldOfView,
                       host::imageAspect(*this), host::view(batch));
            rt::synchronize();
            if (!shadeTile(batch, b)) return false;
            readBack(batch, b.shadeRows[1]);
            for (uint32_t j = 0; j < count; ++j) {
                const size_t p = size_t((first + j) / (n * n));
                Sample& s = sum[p];
                s.colour += colour[j];
                s.albedoDepth += make_float4(ad[j].x, ad[j].y, ad[j].z, 0.0f);
                s.normal += nor[j];
                if (std::isfinite(ad[j].w)) {
                    s.albedoDepth.w += ad[j].w;
                    ++hits[p];
                }
            }
            if (host::abortRequested(this)) return false;
        }
        const float inv = 1.0f / float(n * n);
        for (size_t p = 0; p < refine.size(); ++p) {
            Sample& s = sum[p];
            const float depth = hits[p] ? s.albedoDepth.w / float(hits[p]) : INFINITY;
            pixel[refine[p]] = {s.colour * inv, make_float4(xyz(s.albedoDepth) * inv, depth), s.normal * inv};
            if (e.coverage) pixel[refine[p]].colour.w = float(hits[p]) * inv;
        }
    }

    for (uint32_t i = 0; i < N; ++i) colour[i] = pixel[i].colour;
    if (passes) {
        const uint32_t* crop = e.crop;
        const bool cropped = crop[2] > crop[0] && crop[3] > crop[1];
        for (uint32_t y = first; y < last; ++y)
            for (uint32_t x = 0; x < W; ++x) {
                const uint32_t gx = tileX + x, gy = tileY + y;
                if (gx >= uint32_t(width) || gy >= uint32_t(height)) continue;
                if (cropped && (gx < crop[0] || gy < crop[1] || gx >= crop[2] || gy >= crop[3])) continue;
                const Sample& s = pixel[y * W + x];
                const size_t k = size_t(gy) * uint32_t(width) + gx;
                if (e.albedo) std::memcpy(e.albedo + 3 * k, &s.albedoDepth, 12);
                if (e.normal) std::memcpy(e.normal + 3 * k, &s.normal, 12);
                if (e.depth) e.depth[k] = s.albedoDepth.w;
            }
    }
    deliverTile(fb, tileX, tileY, reinterpret_cast<const float*>(colour.data()), c);
    lastRefreshTick = platform::getTickCount();
    return true;
}

extern "C" {

TESSRA_API int Tessra_SetSupersampling(TessraRendererCUDA* r, uint32_t n, float threshold) {
    if (!r || n < 1 || n > 16 || !(threshold >= 0.0f)) return -1;
    r->extension_.samples = n;
    r->extension_.threshold = threshold;
    return 0;
}

TESSRA_API uint64_t Tessra_SupersampledPixelCount(const TessraRendererCUDA* r) {
    return r ? r->extension_.supersampled : 0;
}

TESSRA_API int Tessra_SetOutputPasses(TessraRendererCUDA* r, float* albedo, float* normal, float* depth) {
    if (!r) return -1;
    r->extension_.albedo = albedo;
    r->extension_.normal = normal;
    r->extension_.depth = depth;
    return 0;
}

TESSRA_API int Tessra_SetAlphaCoverage(TessraRendererCUDA* r, bool on) {
    if (!r) return -1;
    r->extension_.coverage = on;
    return 0;
}

TESSRA_API int Tessra_SetPixelAspect(TessraRendererCUDA* r, float aspect) {
    if (!r || !(aspect > 0.0f) || !std::isfinite(aspect)) return -1;
    r->extension_.pixelAspect = aspect;
    return 0;
}
}

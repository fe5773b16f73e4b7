// The world and emitting surfaces as lights: what a host sets, and the tables that every
// render uploads for the kernels to choose from by power: the emitting triangles, and the
// texels of the world's image.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "host/internal.h"

namespace host {

namespace {

// What triangle t emits: its material's mean radiance times its area (the factor pi and
// the two faces are the same for all, so they leave the shares unchanged); 0 for none.
double emittedPower(const TessraRendererCUDA& r, const TriangleRecord& t) {
    const TessraRendererCUDA::Extension& x = r.extension_;
    if (!x.emission || t.materialId < 0 || uint32_t(t.materialId) >= x.emissionMaterials ||
        size_t(t.materialId) >= r.materials.size())
        return 0;
    const float* e = x.emission + 3 * size_t(t.materialId);
    const double mean = (double(e[0]) + e[1] + e[2]) / 3;
    const float* v = t.vertices;
    double e1[3], e2[3];
    for (int a = 0; a < 3; ++a) e1[a] = double(v[3 + a]) - v[a], e2[a] = double(v[6 + a]) - v[a];
    const double cx = e1[1] * e2[2] - e1[2] * e2[1], cy = e1[2] * e2[0] - e1[0] * e2[2],
                 cz = e1[0] * e2[1] - e1[1] * e2[0];
    const double p = mean * 0.5 * std::sqrt(cx * cx + cy * cy + cz * cz);
    return p > 0 && std::isfinite(p) ? p : 0;
}

}  // namespace

bool uploadTable(TessraRendererCUDA& r, void*& slot, const void* data, size_t bytes, rt::Symbol symbol) {
    freeChecked(slot, "Tessra", __LINE__);
    slot = r.Malloc(bytes);
    if (!slot) return false;
    TESSRA_CHECK(rt::memcpyHtoD(slot, data, bytes), "Tessra", __LINE__);
    TESSRA_CHECK(rt::bindTexture(symbol, slot, bytes), "volumeRender", __LINE__);
    return true;
}

bool anyEmitter(const TessraRendererCUDA& r) {
    if (!r.extension_.emission) return false;
    for (const TriangleRecord& t : r.triangles)
        if (emittedPower(r, t) > 0) return true;
    return false;
}

bool uploadEmitters(TessraRendererCUDA& r) {
    TessraRendererCUDA::Extension& x = r.extension_;
    const size_t M = r.materials.size();
    const size_t given = std::min<size_t>(M, x.emissionMaterials);
    std::vector<float4> radiance(std::max<size_t>(M, 1), make_float4(0, 0, 0, 0));
    for (size_t m = 0; m < given; ++m)
        radiance[m] = make_float4(x.emission[3 * m], x.emission[3 * m + 1], x.emission[3 * m + 2], 0.0f);

    // Each emitter carries its own triangle, so that no other vertices need the device.
    std::vector<float4> table;
    std::vector<double> power;
    for (uint32_t k = 0; k < r.triangles.size(); ++k) {
        const TriangleRecord& t = r.triangles[k];
        const double p = emittedPower(r, t);
        if (!(p > 0)) continue;
        power.push_back(p);
        const float3 a = make_float3(t.vertices[0], t.vertices[1], t.vertices[2]);
        const float3 b = make_float3(t.vertices[3], t.vertices[4], t.vertices[5]);
        const float3 c = make_float3(t.vertices[6], t.vertices[7], t.vertices[8]);
        table.insert(table.end(), {make_float4(intBitsToFloat(int(k)), 0.0f, 0.0f, 0.0f), make_float4(a, 0.0f),
                                   make_float4(b - a, 0.0f), make_float4(c - a, 0.0f)});
    }
    double total = 0;
    for (double p : power) total += p;
    double running = 0;
    for (size_t i = 0; i < power.size(); ++i) {
        running += power[i];
        table[4 * i].y = i + 1 == power.size() ? 1.0f : float(running / total);
        table[4 * i].z = float(power[i] / total);
    }
    TessraRenderState& st = state(r);
    st.numEmitters = uint32_t(power.size());
    // References cannot be bound to nothing: a scene without emitters binds one unread entry.
    if (table.empty()) table.push_back(make_float4(0, 0, 0, 0));

    if (!uploadTable(r, st.emitters, table.data(), table.size() * 16, rt::Symbol::texEmitters) ||
        !uploadTable(r, st.matEmission, radiance.data(), radiance.size() * 16, rt::Symbol::texMatEmission))
        return false;
    const int count = int(st.numEmitters);
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_numEmitters, &count, 4), "volumeRender", __LINE__);
    return true;
}

bool uploadWorldImage(TessraRendererCUDA& r) {
    TessraRendererCUDA::Extension& x = r.extension_;
    const bool image = x.worldImage && x.worldImageSize[0] > 0 && x.worldImageSize[1] > 0;
    const size_t W = image ? x.worldImageSize[0] : 1, H = image ? x.worldImageSize[1] : 1;
    std::vector<float4> texels(W * H, make_float4(1, 1, 1, 0));
    // The rows' running sum, then each row's: a texel is drawn by its luminance times the
    // solid angle it spans (its row's difference of cos theta), in double so that long
    // rows stay exact enough.
    std::vector<float> cdf(H + 1 + H * (W + 1), 0.0f);
    std::vector<double> rowSum(H, 0.0);
    const double kPi = 3.14159265358979;
    for (size_t j = 0; j < H; ++j) {
        const double st = std::cos(kPi * double(j) / double(H)) - std::cos(kPi * double(j + 1) / double(H));
        float* row = &cdf[H + 1 + j * (W + 1)];
        double run = 0;
        for (size_t i = 0; i < W; ++i) {
            const float* c = image ? x.worldImage + 3 * (j * W + i) : nullptr;
            if (c) texels[j * W + i] = make_float4(c[0], c[1], c[2], 0.0f);
            const float4 t = texels[j * W + i];
            run += (0.2126 * t.x + 0.7152 * t.y + 0.0722 * t.z) * st;
            row[i + 1] = float(run);
        }
        rowSum[j] = run;
        // A black row is crossed evenly; it is never chosen unless the whole image is black.
        for (size_t i = 1; i <= W; ++i) row[i] = run > 0 ? float(row[i] / run) : float(i) / float(W);
        row[W] = 1.0f;
    }
    double total = 0;
    for (double v : rowSum) total += v;
    double run = 0;
    for (size_t j = 0; j < H; ++j) {
        run += rowSum[j];
        cdf[j + 1] = total > 0 ? float(run / total) : float(j + 1) / float(H);
    }
    cdf[H] = 1.0f;

    if (!uploadTable(r, state(r).worldTexels, texels.data(), texels.size() * 16, rt::Symbol::texWorldImage) ||
        !uploadTable(r, state(r).worldCdf, cdf.data(), cdf.size() * 4, rt::Symbol::texWorldCdf))
        return false;
    const int size[2] = {image ? int(W) : 0, image ? int(H) : 0};
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_worldImageSize, size, 8), "volumeRender", __LINE__);
    const float* t = x.worldImageTurn;
    const float4 turn[3] = {make_float4(t[0], t[1], t[2], 0), make_float4(t[3], t[4], t[5], 0),
                            make_float4(t[6], t[7], t[8], 0)};
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_worldImageTurn, turn, sizeof(turn)), "volumeRender", __LINE__);
    return true;
}

}  // namespace host

extern "C" {

TESSRA_API int Tessra_SetWorldLight(TessraRendererCUDA* r, bool on) {
    if (!r) return -1;
    r->extension_.worldLight = on;
    return 0;
}

TESSRA_API int Tessra_SetMaterialEmission(TessraRendererCUDA* r, uint32_t material, float red, float green,
                                          float blue) try {
    if (!r || material >= r->materials.size()) return -1;
    for (float c : {red, green, blue})
        if (!(c >= 0.0f) || !std::isfinite(c)) return -1;
    TessraRendererCUDA::Extension& x = r->extension_;
    host::growOwned(x.emission, x.emissionMaterials, material, uint32_t(r->materials.size()), 3);
    x.emission[3 * size_t(material)] = red;
    x.emission[3 * size_t(material) + 1] = green;
    x.emission[3 * size_t(material) + 2] = blue;
    return 0;
} catch (...) {
    host::reportException("Tessra_SetMaterialEmission");
    return -1;
}

TESSRA_API int Tessra_SetLightEmitterCosine(TessraRendererCUDA* r, uint32_t light, bool on) try {
    if (!r || light >= r->lights.size()) return -1;
    TessraRendererCUDA::Extension& x = r->extension_;
    host::growOwned(x.lambertLights, x.lambertLightCount, light, uint32_t(r->lights.size()), 1);
    x.lambertLights[light] = on ? 1 : 0;
    return 0;
} catch (...) {
    host::reportException("Tessra_SetLightEmitterCosine");
    return -1;
}

TESSRA_API int Tessra_SetWorldImage(TessraRendererCUDA* r, const float* rgb, uint32_t width, uint32_t height,
                                    const float* turn) try {
    if (!r) return -1;
    TessraRendererCUDA::Extension& x = r->extension_;
    const float identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (!turn) turn = identity;
    // Rows of unit length, at right angles, and a right-handed frame.
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            double d = 0;
            for (int k = 0; k < 3; ++k) d += double(turn[3 * a + k]) * turn[3 * b + k];
            if (!(std::fabs(d - (a == b ? 1.0 : 0.0)) < 1e-4)) return -1;
        }
    const double det = turn[0] * (double(turn[4]) * turn[8] - double(turn[5]) * turn[7]) -
                       turn[1] * (double(turn[3]) * turn[8] - double(turn[5]) * turn[6]) +
                       turn[2] * (double(turn[3]) * turn[7] - double(turn[4]) * turn[6]);
    if (!(det > 0)) return -1;
    if (!rgb || width == 0 || height == 0) {
        delete[] x.worldImage;
        x.worldImage = nullptr;
        x.worldImageSize[0] = x.worldImageSize[1] = 0;
        return 0;
    }
    if (width > 65536 || height > 32768) return -1;
    const size_t floats = 3 * size_t(width) * height;
    for (size_t i = 0; i < floats; ++i)
        if (!(rgb[i] >= 0.0f) || !std::isfinite(rgb[i])) return -1;
    std::unique_ptr<float[]> copy(new float[floats]);
    std::memcpy(copy.get(), rgb, floats * 4);
    delete[] x.worldImage;
    x.worldImage = copy.release();
    x.worldImageSize[0] = width;
    x.worldImageSize[1] = height;
    std::memcpy(x.worldImageTurn, turn, sizeof(x.worldImageTurn));
    return 0;
} catch (...) {
    host::reportException("Tessra_SetWorldImage");
    return -1;
}

}  // extern "C"

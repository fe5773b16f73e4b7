// The world and emitting surfaces as lights: what a host sets, and the table of emitting
// triangles that every render uploads for the kernels to choose from by power.
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

    std::vector<float4> table;
    std::vector<double> power;
    for (uint32_t k = 0; k < r.triangles.size(); ++k) {
        const double p = emittedPower(r, r.triangles[k]);
        if (!(p > 0)) continue;
        power.push_back(p);
        table.push_back(make_float4(intBitsToFloat(int(k)), 0.0f, 0.0f, 0.0f));
    }
    double total = 0;
    for (double p : power) total += p;
    double running = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        running += power[i];
        table[i].y = i + 1 == table.size() ? 1.0f : float(running / total);
        table[i].z = float(power[i] / total);
    }
    x.numEmitters = uint32_t(table.size());
    // References cannot be bound to nothing: a scene without emitters binds one unread entry.
    if (table.empty()) table.push_back(make_float4(0, 0, 0, 0));

    freeChecked(x.emitters, "Tessra", __LINE__);
    freeChecked(x.matEmission, "Tessra", __LINE__);
    x.emitters = r.Malloc(table.size() * 16);
    x.matEmission = r.Malloc(radiance.size() * 16);
    if (!x.emitters || !x.matEmission) return false;
    TESSRA_CHECK(rt::memcpyHtoD(x.emitters, table.data(), table.size() * 16), "Tessra", __LINE__);
    TESSRA_CHECK(rt::memcpyHtoD(x.matEmission, radiance.data(), radiance.size() * 16), "Tessra", __LINE__);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texEmitters, x.emitters, table.size() * 16), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::bindTexture(rt::Symbol::texMatEmission, x.matEmission, radiance.size() * 16), "volumeRender",
                 __LINE__);
    const int count = int(x.numEmitters);
    TESSRA_CHECK(rt::copyToSymbol(rt::Symbol::c_numEmitters, &count, 4), "volumeRender", __LINE__);
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
    if (material >= x.emissionMaterials) {
        const uint32_t n = uint32_t(r->materials.size());
        std::unique_ptr<float[]> grown(new float[3 * size_t(n)]());
        if (x.emission) std::memcpy(grown.get(), x.emission, 12 * size_t(x.emissionMaterials));
        delete[] x.emission;
        x.emission = grown.release();
        x.emissionMaterials = n;
    }
    x.emission[3 * size_t(material)] = red;
    x.emission[3 * size_t(material) + 1] = green;
    x.emission[3 * size_t(material) + 2] = blue;
    return 0;
} catch (...) {
    host::reportException("Tessra_SetMaterialEmission");
    return -1;
}

}  // extern "C"

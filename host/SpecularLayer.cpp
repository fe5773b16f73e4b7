// Materials' specular layers: what a host sets, and the albedo table the kernels read.
#include <algorithm>
#include <cmath>

#include "host/internal.h"

namespace host {

namespace {

// The directional albedo of a GGX layer (Smith's masking, Schlick's Fresnel) split as
// f0 x a + b, integrated over its half vectors on a 64 x 64 grid of strata drawn by the
// distribution: the same numbers on every run.
LayerTable computeLayerTable() {
    LayerTable t = {};
    constexpr int n = 64;
    // Every render's first frame waits for this table: what depends on fewer indices is
    // computed outside the loops that do not change it.
    double cosPhi[n];
    for (int q = 0; q < n; ++q) cosPhi[q] = std::cos(2.0 * M_PI * (q + 0.5) / n);
    for (int j = 0; j < kLayerRoughness; ++j) {
        const double r = double(j) / (kLayerRoughness - 1), alpha = std::max(r * r, 1e-3), a2 = alpha * alpha;
        const auto g1 = [a2](double c) { return 2.0 / (1.0 + std::sqrt(1.0 + a2 * (1.0 - c * c) / (c * c))); };
        double cts[n], sts[n];
        for (int p = 0; p < n; ++p) {
            const double u1 = (p + 0.5) / n;
            cts[p] = 1.0 / std::sqrt(1.0 + a2 * u1 / (1.0 - u1));
            sts[p] = std::sqrt(1.0 - cts[p] * cts[p]);
        }
        for (int i = 0; i < kLayerCosines; ++i) {
            const double mu = std::max(double(i) / (kLayerCosines - 1), 1e-3), vx = std::sqrt(1.0 - mu * mu);
            const double g1mu = g1(mu);
            double sa = 0, sb = 0;
            for (int p = 0; p < n; ++p)
                for (int q = 0; q < n; ++q) {
                    const double ct = cts[p], st = sts[p];
                    const double vh = vx * st * cosPhi[q] + mu * ct, nl = 2.0 * vh * ct - mu;
                    if (!(vh > 0) || !(nl > 0)) continue;
                    const double w = g1mu * g1(nl) * vh / (mu * ct), s = std::pow(1.0 - vh, 5.0);
                    sa += w * (1.0 - s);
                    sb += w * s;
                }
            t.a[j][i] = float(sa / (n * n));
            t.b[j][i] = float(sb / (n * n));
        }
    }
    return t;
}

}  // namespace

const LayerTable& layerTable() {
    static const LayerTable table = computeLayerTable();
    return table;
}

float layerMeanAlbedo(float f0, float roughness) {
    const LayerTable& t = layerTable();
    const float y = std::clamp(roughness, 0.0f, 1.0f) * (kLayerRoughness - 1);
    const int j = std::min(int(y), kLayerRoughness - 2);
    const float fy = y - float(j);
    double sum = 0;
    for (int i = 0; i < kLayerCosines; ++i) {
        const double at = (1 - fy) * (f0 * t.a[j][i] + t.b[j][i]) + fy * (f0 * t.a[j + 1][i] + t.b[j + 1][i]);
        const double mu = double(i) / (kLayerCosines - 1);
        sum += at * 2 * mu * (i == 0 || i == kLayerCosines - 1 ? 0.5 : 1.0);  // the trapezoid rule
    }
    return float(sum / (kLayerCosines - 1));
}

const float* specularLayerOf(const TessraRendererCUDA& r, size_t material) {
    const TessraRendererCUDA::Extension& x = r.extension_;
    if (!x.specularLayer || material >= x.specularLayerMaterials) return nullptr;
    const float* l = x.specularLayer + 2 * material;
    return l[0] > 0.0f ? l : nullptr;
}

}  // namespace host

extern "C" {

TESSRA_API int Tessra_SetMaterialSpecularLayer(TessraRendererCUDA* r, uint32_t material, float f0,
                                               float roughness) try {
    if (!r || material >= r->materials.size()) return -1;
    if (!(f0 >= 0.0f && f0 <= 1.0f) || !(roughness >= 0.0f && roughness <= 1.0f)) return -1;
    TessraRendererCUDA::Extension& x = r->extension_;
    host::growOwned(x.specularLayer, x.specularLayerMaterials, material, uint32_t(r->materials.size()), 2);
    x.specularLayer[2 * size_t(material)] = f0;
    x.specularLayer[2 * size_t(material) + 1] = roughness;
    return 0;
} catch (...) {
    host::reportException("Tessra_SetMaterialSpecularLayer");
    return -1;
}

}  // extern "C"

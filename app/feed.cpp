// What every host of the library shares once it holds a scene: the renderer's settings by
// name, the camera and light frames, the metallic-roughness material mapping and the hand
// over to the renderer. Free of the file readers, so that the Python module links it alone.
#include "scene.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "image_io.h"
#include "scene_math.h"

namespace tr {

using namespace math;

Scene::~Scene() {
    for (const std::string& f : tempFiles) std::remove(f.c_str());
}

void Scene::bounds(float centre[3], float& radius) const {
    boundsOf(triangles.data(), triangles.size(), centre, radius);
}

void boundsOf(const TriangleRecord* triangles, size_t n, float centre[3], float& radius) {
    if (n == 0) {
        centre[0] = centre[1] = centre[2] = 0;
        radius = 1;
        return;
    }
    V3 lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
    for (size_t i = 0; i < n; ++i)
        for (int v = 0; v < 3; ++v) {
            const float* p = triangles[i].vertices + 3 * v;
            lo = {std::min(lo.x, p[0]), std::min(lo.y, p[1]), std::min(lo.z, p[2])};
            hi = {std::max(hi.x, p[0]), std::max(hi.y, p[1]), std::max(hi.z, p[2])};
        }
    const V3 c = (lo + hi) * 0.5f;
    store(centre, c);
    radius = std::max(length(hi - c), 1e-6f);
}

int Scene::findMaterial(const std::string& name) const {
    for (size_t i = 0; i < materials.size(); ++i)
        if (materials[i].name == name) return int(i);
    return -1;
}

// Settings

namespace {

enum class Kind { Int, UInt, UInt8, Float, Bool };
struct Field {
    const char* name;
    Kind kind;
    std::function<void*(TessraRendererCUDA&)> at;
    // A setting the library keeps behind an export: written through set (false: refused),
    // read through at; top is the largest value the export takes.
    std::function<bool(TessraRendererCUDA&, uint32_t)> set = nullptr;
    uint32_t top = 0xffffffffu;
};
const std::vector<Field>& fields() {
    static const std::vector<Field> f = {
#define TESSRA_SETTING(name, py, kind, place) \
    {#name, Kind::kind, [](TessraRendererCUDA& r) -> void* { return &place; }},
#define TESSRA_EXPORTED_SETTING(name, py, kind, place, call, top)                      \
    {#name, Kind::kind, [](TessraRendererCUDA& r) -> void* { return &place; },         \
     [](TessraRendererCUDA& r, uint32_t v) { return call == 0; }, top},
#include "settings.def"
    };
    return f;
}

}  // namespace

std::vector<std::string> settingNames() {
    std::vector<std::string> n;
    for (const Field& f : fields()) n.push_back(f.name);
    return n;
}

namespace {

// Parses VALUE for FIELD and writes it into r, or only checks it when r is null.
bool setField(TessraRendererCUDA* r, const std::string& field, const std::string& value, std::string& error) {
    auto it = std::find_if(fields().begin(), fields().end(), [&](const Field& f) { return field == f.name; });
    if (it == fields().end()) {
        error = "unknown setting '" + field + "'";
        return false;
    }
    alignas(8) unsigned char scratch[8];
    void* p = r && !it->set ? it->at(*r) : scratch;
    const char* s = value.c_str();
    char* end = nullptr;
    errno = 0;
    switch (it->kind) {
        case Kind::Bool: {
            std::string v = value;
            std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return char(std::tolower(c)); });
            if (v == "true" || v == "1" || v == "on" || v == "yes") *static_cast<bool*>(p) = true;
            else if (v == "false" || v == "0" || v == "off" || v == "no") *static_cast<bool*>(p) = false;
            else break;
            if (it->set && r && !it->set(*r, *static_cast<bool*>(p) ? 1u : 0u)) break;
            return true;
        }
        case Kind::Float: {
            const float f = std::strtof(s, &end);
            if (end == s || *end || errno || !std::isfinite(f)) break;
            *static_cast<float*>(p) = f;
            return true;
        }
        case Kind::Int: {
            const long v = std::strtol(s, &end, 10);
            if (end == s || *end || errno || v <= 0 || v > 65536) break;
            *static_cast<int32_t*>(p) = int32_t(v);
            return true;
        }
        case Kind::UInt:
        case Kind::UInt8: {
            const long long v = std::strtoll(s, &end, 10);
            const long long top = it->kind == Kind::UInt8 ? 255 : it->top;
            if (end == s || *end || errno || v < 0 || v > top) break;
            if (it->kind == Kind::UInt8) *static_cast<uint8_t*>(p) = uint8_t(v);
            else if (it->set && r && !it->set(*r, uint32_t(v))) break;
            else *static_cast<uint32_t*>(p) = uint32_t(v);
            return true;
        }
    }
    static const char* expected[] = {"a positive integer", "a non-negative integer", "an integer from 0 to 255",
                                     "a finite number", "true or false"};
    const std::string wanted = it->kind == Kind::UInt && it->top != 0xffffffffu
                                   ? "an integer from 0 to " + std::to_string(it->top)
                                   : expected[int(it->kind)];
    error = "setting '" + field + "' expects " + wanted + ", not '" + value + "'";
    return false;
}

}  // namespace

bool applySetting(TessraRendererCUDA& r, const std::string& field, const std::string& value, std::string& error) {
    return setField(&r, field, value, error);
}

bool checkSetting(const std::string& field, const std::string& value, std::string& error) {
    return setField(nullptr, field, value, error);
}

void cameraMatrix(const Camera& c, float out[12]) {
    for (int i = 0; i < 3; ++i) {
        out[4 * i + 0] = c.right[i];
        out[4 * i + 1] = c.up[i];
        out[4 * i + 2] = c.back[i];
        out[4 * i + 3] = c.eye[i];
    }
}

Camera defaultCamera(const Scene& scene) {
    float centre[3], radius;
    scene.bounds(centre, radius);
    Camera c;
    const float distance = radius / std::sin(0.5f * c.fovRadians);
    c.eye[0] = centre[0];
    c.eye[1] = centre[1];
    c.eye[2] = centre[2] + distance;
    return c;
}

void Scene::setEnvironment(int width, int height, std::vector<float> rgb, const std::string& origin) {
    if (width <= 0 || height <= 0 || width > 65536 || height > 32768 || rgb.size() != 3 * size_t(width) * height)
        throw SceneError(origin + ": the environment must be 1 x 1 to 65536 x 32768 RGB pixels");
    for (float& v : rgb) {
        if (!std::isfinite(v)) throw SceneError(origin + ": the environment image holds a non-finite value");
        // Negative values come from filtered or colour-converted HDR images; they bring no light.
        v = std::max(v, 0.0f);
    }
    environment = std::move(rgb);
    environmentWidth = width;
    environmentHeight = height;
    if (!hasBackground) {
        hasBackground = true;
        background[0] = background[1] = background[2] = 1.0f;
    }
}

void Scene::setEnvironment(const std::string& path) {
    int w = 0, h = 0;
    std::vector<float> rgb;
    try {
        rgb = readImageRgb(path, w, h);
    } catch (const std::exception& e) {
        throw SceneError(e.what());
    }
    setEnvironment(w, h, std::move(rgb), path);
}

bool Scene::lit() const {
    return !lights.empty() || worldLights() ||
           std::any_of(materials.begin(), materials.end(), [](const Material& m) { return m.emits(); });
}

void adviseHugePages(const void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const uintptr_t from = (uintptr_t(p) + kHuge - 1) & ~(kHuge - 1), to = (uintptr_t(p) + bytes) & ~(kHuge - 1);
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)p, (void)bytes;
#endif
}

void feedRenderer(const Scene& scene, TessraRendererCUDA& r, std::vector<TriangleRecord>* handOver) {
    for (const Material& m : scene.materials) {
        material_t copy = m.m;
        copy.diffuseMap = m.diffuseMap.empty() ? nullptr : m.diffuseMap.c_str();
        const int32_t index = r.NuevoMaterial(copy);
        if (index >= 0 && m.emits())
            Tessra_SetMaterialEmission(&r, uint32_t(index), m.emission[0], m.emission[1], m.emission[2]);
        if (index >= 0 && m.specularLayer[0] > 0)
            Tessra_SetMaterialSpecularLayer(&r, uint32_t(index), m.specularLayer[0], m.specularLayer[1]);
    }
    // The records are what NuevoTriangulo makes of them.
    const size_t first = r.triangles.size();
    if (handOver && first == 0) {
        r.triangles.swap(*handOver);
    } else {
        r.triangles.reserve(first + scene.triangles.size());
        adviseHugePages(r.triangles.data() + first, scene.triangles.size() * sizeof(TriangleRecord));
        r.triangles.insert(r.triangles.end(), scene.triangles.begin(), scene.triangles.end());
    }
    // The kernel multiplies every light by the light count; undo that so that a light's
    // brightness does not depend on how many others there are.
    const float n = float(std::max<size_t>(scene.lights.size(), 1));
    float centre[3], radius;
    boundsOf(r.triangles.data() + first, r.triangles.size() - first, centre, radius);
    for (const Light& l : scene.lights) {
        const int decay = l.decay == kDecayAuto ? (r.indirectIllumination ? 3 : 1) : l.decay;
        const float* p = l.position;
        const float* c = l.color;
        const float* m = l.rotation;
        const float in = l.intensity / n;
        switch (l.kind) {
            case LIGHT_OMNI: r.NuevaLuzOmni(p[0], p[1], p[2], c[0], c[1], c[2], in, decay, l.decayStart); break;
            case LIGHT_OMNI_SPHERE:
                r.NuevaLuzOmniEsfera(p[0], p[1], p[2], c[0], c[1], c[2], in, l.radius, decay);
                break;
            case LIGHT_RECT:
                r.NuevaLuzRect(p[0], p[1], p[2], c[0], c[1], c[2], m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8],
                               in, l.width, l.height, decay);
                break;
            case LIGHT_SPOT_CIRCLE:
            case LIGHT_SPOT_RECT:
                r.NuevaLuzFoco(p[0], p[1], p[2], c[0], c[1], c[2], m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8],
                               l.falloff, l.hotspot, in, decay, l.kind == LIGHT_SPOT_CIRCLE, l.decayStart);
                break;
            case LIGHT_DIR_CIRCLE:
            case LIGHT_DIR_RECT:
                r.NuevaLuzDir(p[0], p[1], p[2], c[0], c[1], c[2], m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8],
                              l.falloff, l.hotspot, in, decay, l.kind == LIGHT_DIR_CIRCLE, l.decayStart);
                break;
        }
        if (l.cosine) Tessra_SetLightEmitterCosine(&r, uint32_t(r.lights.size() - 1), true);
        if (l.decay == kDecayAuto && decay == 3) {
            // Indirect light needs a light that fades; one given without decay fades
            // from the scene's centre on, so that the scene keeps its brightness at any
            // scale instead of falling off from one unit away.
            const float d = std::sqrt((p[0] - centre[0]) * (p[0] - centre[0]) + (p[1] - centre[1]) * (p[1] - centre[1]) +
                                      (p[2] - centre[2]) * (p[2] - centre[2]));
            r.lights.back().decayStart = std::max(d, 0.1f * radius);
        }
    }
    if (scene.hasBackground) r.SetEnvColor(scene.background[0], scene.background[1], scene.background[2]);
    Tessra_SetWorldLight(&r, scene.hasBackground);
    // Every format the hosts read means its colour textures as sRGB.
    Tessra_SetSrgbTextures(&r, true);
    // setEnvironment has checked the pixels; what is left to refuse is a turn that is no rotation.
    if (Tessra_SetWorldImage(&r, scene.environment.empty() ? nullptr : scene.environment.data(),
                             uint32_t(scene.environmentWidth), uint32_t(scene.environmentHeight),
                             scene.environmentTurn) != 0)
        throw SceneError("the environment's turn is not a rotation");
}

std::string completeSettings(TessraRendererCUDA& r, const std::function<bool(const char*)>& open) {
    // Whatever the energy, each light's photons carry its own share of it.
    Tessra_SetBalancedPhotons(&r, true);
    Tessra_SetWidePhotonEstimate(&r, true);
    const bool photonMap = r.indirectIllumination && r.usePhotonMapping;
    // The library's defaults (100 photons, no bounce) suit no scene.
    if (photonMap && open("numPhotons")) r.numPhotons = 200000;
    if (photonMap && open("numBounces")) r.numBounces = 2;
    // A room lit through a window lights its inside with few of the photons. Final
    // gather's records each average many photons' estimates; the photon map alone shows
    // them as they are, and takes more rounds.
    if (photonMap && open("photonRounds")) Tessra_SetPhotonRounds(&r, r.useFinalGather ? 8 : 16);
    const char* derived[] = {"photonEnergy", "photonSearchDistance", "irradianceSamples", "FG_record_density"};
    const bool any = std::any_of(std::begin(derived), std::end(derived), open);
    TessraPhotonSettings s;
    const bool suggested = (photonMap || r.extension_.pathSamples) && any && Tessra_SuggestPhotonSettings(&r, &s) == 0;
    // Paths carry indirect light at the strength the suggested energy gives photons.
    if (r.extension_.pathSamples && open("ambientLightIntens")) r.ambientLightIntens = suggested ? s.ambientLightIntens : 1.0f;
    if (!photonMap) return "";
    if (suggested) {
        if (open("photonSearchDistance")) r.photonSearchDistance = s.photonSearchDistance;
        if (open("irradianceSamples")) r.irradianceSamples = s.irradianceSamples;
        if (open("FG_record_density")) r.FG_record_density = s.FG_record_density;
        if (open("photonEnergy")) {
            r.photonEnergy = s.photonEnergy;
            // The suggested energy goes with its scale; a tuned energy keeps its own.
            if (open("ambientLightIntens")) r.ambientLightIntens = s.ambientLightIntens;
        }
    }
    const auto mark = [&](const char* f) { return suggested && open(f) ? " (derived)" : ""; };
    char line[400];
    std::snprintf(line, sizeof(line),
                  "photon settings: numPhotons=%u numBounces=%u photonEnergy=%g%s photonSearchDistance=%g%s "
                  "ambientLightIntens=%g irradianceSamples=%u%s FG_record_density=%g%s",
                  r.numPhotons, r.numBounces, double(r.photonEnergy), mark("photonEnergy"),
                  double(r.photonSearchDistance), mark("photonSearchDistance"), double(r.ambientLightIntens),
                  r.irradianceSamples, mark("irradianceSamples"), double(r.FG_record_density),
                  mark("FG_record_density"));
    return line;
}



std::string settingValue(TessraRendererCUDA& r, const std::string& field) {
    for (const Field& f : fields()) {
        if (field != f.name) continue;
        void* p = f.at(r);
        switch (f.kind) {
            case Kind::Bool: return *static_cast<bool*>(p) ? "true" : "false";
            case Kind::Float: {
                char b[32];
                std::snprintf(b, sizeof(b), "%.9g", double(*static_cast<float*>(p)));
                return b;
            }
            case Kind::Int: return std::to_string(*static_cast<int32_t*>(p));
            case Kind::UInt: return std::to_string(*static_cast<uint32_t*>(p));
            case Kind::UInt8: return std::to_string(int(*static_cast<uint8_t*>(p)));
        }
    }
    return "";
}

bool lookAtCamera(const float eye[3], const float at[3], const float up[3], float fovDegrees, Camera& out,
                  std::string& badKey, std::string& error) {
    const V3 e{eye[0], eye[1], eye[2]}, a{at[0], at[1], at[2]}, u{up[0], up[1], up[2]};
    if (length(e - a) == 0) {
        badKey = "look_at";
        error = "the camera looks at its own position";
        return false;
    }
    const V3 back = normalize(e - a);
    if (length(cross(u, back)) < 1e-6f) {
        badKey = "up";
        error = "'up' is parallel to the viewing direction";
        return false;
    }
    if (!(fovDegrees > 0 && fovDegrees < 180)) {
        badKey = "fov";
        error = "the field of view must lie between 0 and 180 degrees";
        return false;
    }
    const V3 right = normalize(cross(u, back));
    store(out.eye, e);
    store(out.back, back);
    store(out.right, right);
    store(out.up, cross(back, right));
    out.fovRadians = fovDegrees * 3.14159265f / 180.0f;
    return true;
}

void orientLight(Light& l, const float direction[3], const float up[3]) {
    const V3 d{direction[0], direction[1], direction[2]};
    // A rect light's axis is its emission direction; spot and directional lights store
    // the way back to the light.
    frameRows(l.kind == LIGHT_RECT ? d : d * -1.0f, V3{up[0], up[1], up[2]}, l.rotation);
}

void principledMaterial(const float base[3], float metallic, float roughness, float transmission, Material& out) {
    material_t& m = out.m;
    const float keep = (1 - metallic) * (1 - transmission);
    for (int i = 0; i < 3; ++i) m.diffuse[i] = base[i] * keep;
    // The kernel's glossy cone: cosMax = gloss^(1/90); the cone half-angle grows with
    // roughness up to about 30 degrees.
    const float theta = 0.5f * roughness;
    const float gloss = roughness < 0.05f ? 1.0f : std::pow(std::cos(theta), 90.0f);
    auto byte = [](float v) { return uint8_t(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
    if (metallic > 0) {
        m.reflective = true;
        for (int i = 0; i < 3; ++i) m.reflColor[i] = byte(base[i] * metallic);
        m.reflGloss = gloss;
    }
    if (transmission > 0) {
        m.refractive = true;
        for (int i = 0; i < 3; ++i) m.refrColor[i] = byte(base[i] * transmission);
        m.refrGloss = gloss;
    }
    // A metal's highlight: a normalised Blinn lobe, whose peak grows as it narrows so that
    // it reflects the base colour's share of the light. A flat peak left rough metals
    // without the highlight their authors see.
    const float alpha = roughness * roughness;
    const float exponent = std::min(alpha > 0 ? 2.0f / (alpha * alpha) - 2.0f : 1000.0f, 1000.0f);
    const float f0 = metallic * (base[0] + base[1] + base[2]) / 3;
    if (exponent >= 1 && f0 > 0) {
        m.specular = true;
        m.specularLevel = f0 * (exponent + 8) / 8;
        m.specularExponent = exponent;
    }
    // The dielectric's coat (0.04 at normal incidence, more at grazing): the lights'
    // highlight, and the room and the world reflected.
    out.specularLayer[0] = 0.04f * (1 - metallic);
    out.specularLayer[1] = std::clamp(roughness, 0.0f, 1.0f);
}

}  // namespace tr

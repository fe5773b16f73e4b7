// JSON scene files: models, camera, lights, material overrides and settings, with every
// error naming its line and column.
#include "scene.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "files.h"
#include "scene_math.h"

#include <unistd.h>

namespace tr {

namespace {
using Json = nlohmann::json;
using namespace math;
using namespace files;
}  // namespace


namespace {

struct Position {
    size_t line = 0, column = 0;
};

// Reads the text once more with a SAX handler that notes where every value and key
// starts, so that a semantic error can point at its line and column.
class Positions {
public:
    explicit Positions(const std::string& text) : text_(text) {
        Iter first{text.data(), &last_}, end{text.data() + text.size(), &last_};
        Handler h{*this, {}};
        Json::sax_parse(first, end, &h);
    }
    Position at(const std::string& pointer) const {
        auto it = offsets_.find(pointer);
        return it == offsets_.end() ? Position{} : lineColumn(it->second);
    }
    Position lineColumn(size_t offset) const { return lineColumn(text_, offset); }
    static Position lineColumn(const std::string& text, size_t offset) {
        Position p{1, 1};
        for (size_t i = 0; i < offset && i < text.size(); ++i) {
            if (text[i] == '\n') p = {p.line + 1, 1};
            else ++p.column;
        }
        return p;
    }

private:
    struct Iter {
        using iterator_category = std::input_iterator_tag;
        using value_type = char;
        using difference_type = std::ptrdiff_t;
        using pointer = const char*;
        using reference = const char&;
        const char* p;
        const char** last;
        const char& operator*() const {
            *last = p;
            return *p;
        }
        Iter& operator++() {
            ++p;
            return *this;
        }
        Iter operator++(int) {
            Iter t = *this;
            ++p;
            return t;
        }
        bool operator==(const Iter& o) const { return p == o.p; }
        bool operator!=(const Iter& o) const { return p != o.p; }
    };
    struct Frame {
        bool array;
        size_t index;
        std::string key;
        std::string path;
    };
    struct Handler {
        Positions& self;
        std::vector<Frame> stack;
        size_t offset() const { return self.last_ ? size_t(self.last_ - self.text_.data()) : 0; }
        // Start of the token that ends at the last character read.
        size_t tokenStart(bool quoted) const {
            const std::string& t = self.text_;
            if (t.empty()) return 0;
            size_t o = std::min(offset(), t.size() - 1);
            if (quoted) {
                if (o > 0 && t[o] != '"') --o;  // one character of look-ahead
                while (o > 0) {
                    --o;
                    if (t[o] == '"' && (o == 0 || t[o - 1] != '\\')) break;
                }
                return o;
            }
            while (o > 0 && (std::isspace((unsigned char)t[o]) || t[o] == ',' || t[o] == '}' || t[o] == ']')) --o;
            while (o > 0 && !std::strchr(" \t\r\n,:[{", t[o - 1])) --o;
            return o;
        }
        std::string childPath() const {
            if (stack.empty()) return "";
            const Frame& f = stack.back();
            return f.path + "/" + (f.array ? std::to_string(f.index) : f.key);
        }
        void value(size_t at) {
            const std::string p = childPath();
            self.offsets_.emplace(p, at);
            if (!stack.empty() && stack.back().array) ++stack.back().index;
        }
        bool scalar(bool quoted = false) {
            value(tokenStart(quoted));
            return true;
        }
        bool null() { return scalar(); }
        bool boolean(bool) { return scalar(); }
        bool number_integer(Json::number_integer_t) { return scalar(); }
        bool number_unsigned(Json::number_unsigned_t) { return scalar(); }
        bool number_float(Json::number_float_t, const std::string&) { return scalar(); }
        bool string(std::string&) { return scalar(true); }
        bool binary(Json::binary_t&) { return scalar(); }
        bool open(bool array) {
            const std::string p = childPath();
            self.offsets_.emplace(p, offset());
            stack.push_back({array, 0, "", p});
            return true;
        }
        bool close() {
            stack.pop_back();
            if (!stack.empty() && stack.back().array) ++stack.back().index;
            return true;
        }
        bool start_object(size_t) { return open(false); }
        bool end_object() { return close(); }
        bool start_array(size_t) { return open(true); }
        bool end_array() { return close(); }
        bool key(std::string& k) {
            stack.back().key = k;
            self.offsets_[stack.back().path + "/" + k] = tokenStart(true);
            return true;
        }
        bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }
    };

    const std::string& text_;
    const char* last_ = nullptr;
    std::map<std::string, size_t> offsets_;
};

// "/lights/2/type" -> "lights[2].type"
std::string keyName(const std::string& pointer) {
    std::string out;
    size_t i = 1;
    while (i <= pointer.size() && !pointer.empty()) {
        size_t j = pointer.find('/', i);
        if (j == std::string::npos) j = pointer.size();
        const std::string part = pointer.substr(i, j - i);
        if (!part.empty() && std::all_of(part.begin(), part.end(), ::isdigit)) out += "[" + part + "]";
        else out += (out.empty() ? "" : ".") + part;
        i = j + 1;
    }
    return out;
}

struct JsonReader {
    const std::string& file;
    const Positions& positions;
    std::string folder;

    [[noreturn]] void fail(const std::string& pointer, const std::string& what) const {
        const Position p = positions.at(pointer);
        std::ostringstream s;
        s << file;
        if (p.line) s << ":" << p.line << ":" << p.column;
        s << ": '" << keyName(pointer) << "': " << what;
        throw SceneError(s.str());
    }
    void allowKeys(const Json& obj, const std::string& ptr, std::initializer_list<const char*> keys) const {
        if (!obj.is_object()) fail(ptr, "expected an object");
        for (auto it = obj.begin(); it != obj.end(); ++it)
            if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return it.key() == k; })) {
                std::string list;
                for (const char* k : keys) list += std::string(list.empty() ? "" : ", ") + k;
                fail(ptr + "/" + it.key(), "unknown key (known here: " + list + ")");
            }
    }
    float number(const Json& j, const std::string& ptr) const {
        if (!j.is_number()) fail(ptr, "expected a number");
        const double v = j.get<double>();
        if (!std::isfinite(v)) fail(ptr, "expected a finite number");
        if (std::fabs(v) > double(std::numeric_limits<float>::max())) fail(ptr, "the number is out of range");
        return float(v);
    }
    float number(const Json& obj, const std::string& ptr, const char* key, float fallback) const {
        return obj.contains(key) ? number(obj[key], ptr + "/" + key) : fallback;
    }
    V3 vec3(const Json& j, const std::string& ptr) const {
        if (!j.is_array() || j.size() != 3) fail(ptr, "expected an array of three numbers");
        return {number(j[0], ptr + "/0"), number(j[1], ptr + "/1"), number(j[2], ptr + "/2")};
    }
    V3 vec3(const Json& obj, const std::string& ptr, const char* key, V3 fallback) const {
        return obj.contains(key) ? vec3(obj[key], ptr + "/" + key) : fallback;
    }
    V3 required3(const Json& obj, const std::string& ptr, const char* key) const {
        if (!obj.contains(key)) fail(ptr, std::string("missing key '") + key + "'");
        return vec3(obj[key], ptr + "/" + key);
    }
    std::string text(const Json& j, const std::string& ptr) const {
        if (!j.is_string()) fail(ptr, "expected a string");
        return j.get<std::string>();
    }
    std::string existingFile(const Json& j, const std::string& ptr) const {
        const std::string raw = text(j, ptr);
        const std::string path = resolve(folder, raw);
        const std::string why = notRegularFile(path);
        if (why == std::strerror(ENOENT)) fail(ptr, "file '" + raw + "' does not exist (looked for " + path + ")");
        if (!why.empty()) fail(ptr, "file '" + raw + "': " + path + " " + why);
        return path;
    }

    M4 transform(const Json& m, const std::string& ptr) const {
        M4 t = M4::identity();
        if (m.contains("matrix")) {
            const Json& a = m["matrix"];
            if (!a.is_array() || a.size() != 16) fail(ptr + "/matrix", "expected 16 numbers, row by row");
            for (int i = 0; i < 16; ++i) t.m[i] = number(a[i], ptr + "/matrix/" + std::to_string(i));
        }
        const V3 tr = vec3(m, ptr, "translate", {0, 0, 0});
        M4 translate = M4::identity();
        translate.m[3] = tr.x;
        translate.m[7] = tr.y;
        translate.m[11] = tr.z;
        M4 rotate = M4::identity();
        if (m.contains("rotate")) {
            const Json& r = m["rotate"];
            if (!r.is_array() || r.size() != 4) fail(ptr + "/rotate", "expected [degrees, axis x, axis y, axis z]");
            const float a = number(r[0], ptr + "/rotate/0") * 3.14159265f / 180.0f;
            const V3 u = normalize({number(r[1], ptr + "/rotate/1"), number(r[2], ptr + "/rotate/2"),
                                    number(r[3], ptr + "/rotate/3")});
            const float c = std::cos(a), s = std::sin(a), k = 1 - c;
            rotate = {{c + u.x * u.x * k, u.x * u.y * k - u.z * s, u.x * u.z * k + u.y * s, 0,
                       u.y * u.x * k + u.z * s, c + u.y * u.y * k, u.y * u.z * k - u.x * s, 0,
                       u.z * u.x * k - u.y * s, u.z * u.y * k + u.x * s, c + u.z * u.z * k, 0, 0, 0, 0, 1}};
        }
        M4 scale = M4::identity();
        if (m.contains("scale")) {
            const V3 s = m["scale"].is_number() ? V3{1, 1, 1} * number(m["scale"], ptr + "/scale")
                                                : vec3(m["scale"], ptr + "/scale");
            scale.m[0] = s.x;
            scale.m[5] = s.y;
            scale.m[10] = s.z;
        }
        return t * translate * rotate * scale;
    }

    Light light(const Json& j, const std::string& ptr) const {
        allowKeys(j, ptr, {"type", "position", "color", "intensity", "decay", "decay_start", "radius", "width",
                           "height", "direction", "up", "rotation", "falloff", "hotspot", "cosine"});
        if (!j.contains("type")) fail(ptr, "missing key 'type'");
        static const std::map<std::string, LightType> kinds = {
            {"point", LIGHT_OMNI},       {"spot", LIGHT_SPOT_CIRCLE},      {"spot_rect", LIGHT_SPOT_RECT},
            {"sphere", LIGHT_OMNI_SPHERE}, {"rect", LIGHT_RECT},           {"directional", LIGHT_DIR_CIRCLE},
            {"directional_rect", LIGHT_DIR_RECT}};
        const std::string type = text(j["type"], ptr + "/type");
        auto kind = kinds.find(type);
        if (kind == kinds.end())
            fail(ptr + "/type", "unknown light type '" + type +
                                    "' (known: point, sphere, rect, spot, spot_rect, directional, directional_rect)");
        Light l;
        l.kind = kind->second;
        store(l.position, required3(j, ptr, "position"));
        store(l.color, vec3(j, ptr, "color", {1, 1, 1}));
        l.intensity = number(j, ptr, "intensity", 1.0f);
        l.decay = kDecayAuto;
        if (j.contains("decay")) {
            const Json& d = j["decay"];
            if (d.is_number_integer()) l.decay = d.get<int>();
            else if (d == "none") l.decay = kDecayAuto;
            else if (d == "inverse") l.decay = 2;
            else if (d == "inverse_square") l.decay = 3;
            else fail(ptr + "/decay", "expected \"none\", \"inverse\", \"inverse_square\" or the renderer's code");
        }
        const bool hasDecayStart = l.kind != LIGHT_OMNI_SPHERE && l.kind != LIGHT_RECT;
        if (j.contains("decay_start") && !hasDecayStart) fail(ptr + "/decay_start", "this light kind has no decay start");
        l.decayStart = number(j, ptr, "decay_start", 1.0f);
        l.radius = number(j, ptr, "radius", 0.0f);
        if (l.kind == LIGHT_OMNI_SPHERE && !(l.radius > 0)) fail(ptr + "/radius", "a sphere light needs a radius > 0");
        if (l.kind == LIGHT_RECT) {
            if (!j.contains("width") || !j.contains("height")) fail(ptr, "a rect light needs 'width' and 'height'");
            l.width = number(j["width"], ptr + "/width");
            l.height = number(j["height"], ptr + "/height");
        }
        if (j.contains("cosine")) {
            if (l.kind != LIGHT_RECT && l.kind != LIGHT_OMNI_SPHERE)
                fail(ptr + "/cosine", "only a rect or sphere light emits with a cosine");
            if (!j["cosine"].is_boolean()) fail(ptr + "/cosine", "expected true or false");
            l.cosine = j["cosine"].get<bool>();
        }
        const bool oriented = l.kind != LIGHT_OMNI && l.kind != LIGHT_OMNI_SPHERE;
        if (oriented) {
            if (j.contains("rotation")) {
                const Json& r = j["rotation"];
                if (!r.is_array() || r.size() != 9) fail(ptr + "/rotation", "expected 9 numbers, row by row");
                for (int i = 0; i < 9; ++i) l.rotation[i] = number(r[i], ptr + "/rotation/" + std::to_string(i));
            } else {
                if (!j.contains("direction")) fail(ptr, "missing key 'direction' (or 'rotation')");
                const V3 d = vec3(j["direction"], ptr + "/direction");
                if (length(d) == 0) fail(ptr + "/direction", "the direction must not be zero");
                float dir[3], up[3];
                store(dir, d);
                store(up, vec3(j, ptr, "up", {0, 1, 0}));
                orientLight(l, dir, up);
            }
        }
        if (l.kind == LIGHT_SPOT_CIRCLE || l.kind == LIGHT_SPOT_RECT || l.kind == LIGHT_DIR_CIRCLE ||
            l.kind == LIGHT_DIR_RECT) {
            if (!j.contains("falloff")) fail(ptr, "missing key 'falloff'");
            l.falloff = number(j["falloff"], ptr + "/falloff");
            l.hotspot = number(j, ptr, "hotspot", l.falloff * 0.8f);
            if (!(l.hotspot < l.falloff)) fail(ptr + "/hotspot", "the hotspot must be smaller than the falloff");
        }
        return l;
    }

    void material(Scene& scene, const std::string& name, const Json& j, const std::string& ptr) const {
        allowKeys(j, ptr, {"diffuse", "texture", "reflection", "reflection_gloss", "refraction", "refraction_gloss",
                           "specular_level", "specular_exponent", "emission", "specular_layer"});
        bool found = false;
        for (Material& m : scene.materials) {
            if (m.name != name) continue;
            found = true;
            if (j.contains("diffuse")) store(m.m.diffuse, vec3(j["diffuse"], ptr + "/diffuse"));
            if (j.contains("texture")) {
                if (j["texture"].is_null()) m.diffuseMap.clear();
                else m.diffuseMap = existingFile(j["texture"], ptr + "/texture");
            }
            auto colour = [&](const char* key, bool& flag, uint8_t* out) {
                if (!j.contains(key)) return;
                const V3 c = vec3(j[key], ptr + "/" + key);
                out[0] = uint8_t(std::lround(std::clamp(c.x, 0.0f, 1.0f) * 255));
                out[1] = uint8_t(std::lround(std::clamp(c.y, 0.0f, 1.0f) * 255));
                out[2] = uint8_t(std::lround(std::clamp(c.z, 0.0f, 1.0f) * 255));
                flag = out[0] || out[1] || out[2];
            };
            colour("reflection", m.m.reflective, m.m.reflColor);
            colour("refraction", m.m.refractive, m.m.refrColor);
            m.m.reflGloss = number(j, ptr, "reflection_gloss", m.m.reflGloss);
            m.m.refrGloss = number(j, ptr, "refraction_gloss", m.m.refrGloss);
            m.m.specularLevel = number(j, ptr, "specular_level", m.m.specularLevel);
            m.m.specularExponent = number(j, ptr, "specular_exponent", m.m.specularExponent);
            m.m.specular = m.m.specularLevel > 0;
            if (j.contains("emission")) {
                const V3 e = vec3(j["emission"], ptr + "/emission");
                if (!(e.x >= 0 && e.y >= 0 && e.z >= 0)) fail(ptr + "/emission", "emission cannot be negative");
                store(m.emission, e);
            }
            if (j.contains("specular_layer")) {
                const Json& l = j["specular_layer"];
                const std::string at = ptr + "/specular_layer";
                if (!l.is_array() || l.size() != 2 || !l[0].is_number() || !l[1].is_number())
                    fail(at, "expected [normal reflectance, roughness]");
                for (int i = 0; i < 2; ++i) {
                    const double v = l[i].get<double>();
                    if (!(v >= 0 && v <= 1)) fail(at, "values must lie in [0, 1]");
                    m.specularLayer[i] = float(v);
                }
            }
        }
        if (!found) fail(ptr, "no material of the models is called '" + name + "'");
    }
};

}  // namespace

void loadJsonScene(Scene& scene, const std::string& path, const ImportOptions& options) {
    const std::string why = notRegularFile(path);
    if (!why.empty()) throw SceneError(path + ": cannot read the file: " + why);
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec && size > kMaxJsonSceneBytes)
        throw SceneError(path + ": " + std::to_string(size) + " bytes is too large for a scene file (at most " +
                         std::to_string(kMaxJsonSceneBytes >> 20) + " MiB; put the geometry in model files)");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SceneError(path + ": cannot open the file: " + std::strerror(errno));
    std::stringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) throw SceneError(path + ": cannot read the file: " + std::strerror(errno));
    parseJsonScene(scene, path, buffer.str(), options, &importModel);
}

void parseJsonScene(Scene& scene, const std::string& path, const std::string& text, const ImportOptions& options,
                    const ModelLoader& loadModel) {
    if (text.size() > kMaxJsonSceneBytes) throw SceneError(path + ": too large for a scene file");
    // No scene nests deeper than a few levels; the position map below keeps one path per
    // value, so a deep nest would cost depth^2 memory.
    struct TooDeep {
        size_t byte;
    };
    Json doc;
    try {
        size_t depth = 0, at = 0;
        bool quoted = false;
        for (; at < text.size(); ++at) {
            const char c = text[at];
            if (quoted) {
                if (c == '\\') ++at;
                else if (c == '"') quoted = false;
            } else if (c == '"') {
                quoted = true;
            } else if (c == '[' || c == '{') {
                if (++depth > kMaxJsonDepth) throw TooDeep{at};
            } else if ((c == ']' || c == '}') && depth > 0) {
                --depth;
            }
        }
        doc = Json::parse(text);
    } catch (const TooDeep& e) {
        const Position p = Positions::lineColumn(text, e.byte);
        throw SceneError(path + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) +
                         ": JSON nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    } catch (const Json::parse_error& e) {
        // e.byte is one past the offending character.
        Position p{1, 1};
        for (size_t i = 0; i + 1 < e.byte && i < text.size(); ++i) p = text[i] == '\n' ? Position{p.line + 1, 1}
                                                                                          : Position{p.line, p.column + 1};
        std::string what = e.what();
        const size_t colon = what.find(": ", what.find("parse error"));
        throw SceneError(path + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) + ": JSON syntax error" +
                         (colon == std::string::npos ? "" : what.substr(colon)));
    } catch (const Json::exception& e) {
        // A number beyond double's range ("number overflow parsing '1e999'"); the message
        // quotes it, which finds its place.
        const std::string what = e.what();
        const size_t q = what.find('\'');
        const std::string number = q == std::string::npos ? "" : what.substr(q + 1, what.find('\'', q + 1) - q - 1);
        const size_t at = number.empty() ? std::string::npos : text.find(number);
        std::string where;
        if (at != std::string::npos) {
            const Position p = Positions::lineColumn(text, at);
            where = ":" + std::to_string(p.line) + ":" + std::to_string(p.column);
        }
        throw SceneError(path + where + ": " + (number.empty() ? "unreadable JSON" : "number out of range: " + number));
    }
    const Positions positions(text);
    JsonReader r{path, positions, folderOf(path)};
    r.allowKeys(doc, "", {"models", "camera", "lights", "materials", "background", "environment", "settings"});

    if (doc.contains("models")) {
        const Json& models = doc["models"];
        if (!models.is_array()) r.fail("/models", "expected an array of models");
        for (size_t i = 0; i < models.size(); ++i) {
            const std::string ptr = "/models/" + std::to_string(i);
            const Json& m = models[i];
            r.allowKeys(m, ptr, {"file", "translate", "rotate", "scale", "matrix"});
            if (!m.contains("file")) r.fail(ptr, "missing key 'file'");
            const std::string file = r.existingFile(m["file"], ptr + "/file");
            const M4 t = r.transform(m, ptr);
            try {
                loadModel(scene, file, t.m, options);
            } catch (const SceneError& e) {
                r.fail(ptr + "/file", e.what());
            }
        }
    }
    if (doc.contains("materials")) {
        const Json& mats = doc["materials"];
        if (!mats.is_object()) r.fail("/materials", "expected an object of material names");
        for (auto it = mats.begin(); it != mats.end(); ++it)
            r.material(scene, it.key(), it.value(), "/materials/" + it.key());
    }
    if (doc.contains("lights")) {
        const Json& lights = doc["lights"];
        if (!lights.is_array()) r.fail("/lights", "expected an array of lights");
        for (size_t i = 0; i < lights.size(); ++i)
            scene.lights.push_back(r.light(lights[i], "/lights/" + std::to_string(i)));
    }
    if (doc.contains("camera")) {
        const Json& c = doc["camera"];
        r.allowKeys(c, "/camera", {"position", "look_at", "up", "fov"});
        float eye[3], at[3], up[3];
        store(eye, r.required3(c, "/camera", "position"));
        store(at, r.required3(c, "/camera", "look_at"));
        store(up, r.vec3(c, "/camera", "up", {0, 1, 0}));
        Camera cam;
        std::string key, error;
        if (!lookAtCamera(eye, at, up, r.number(c, "/camera", "fov", 45.0f), cam, key, error))
            r.fail("/camera/" + key, error);
        scene.camera = cam;
        scene.hasCamera = true;
    }
    if (doc.contains("background")) {
        store(scene.background, r.vec3(doc["background"], "/background"));
        scene.hasBackground = true;
    }
    if (doc.contains("environment")) {
        const std::string file = r.existingFile(doc["environment"], "/environment");
        try {
            scene.setEnvironment(file);
        } catch (const SceneError& e) {
            r.fail("/environment", e.what());
        }
    }
    if (doc.contains("settings")) {
        const Json& s = doc["settings"];
        if (!s.is_object()) r.fail("/settings", "expected an object of renderer fields");
        for (auto it = s.begin(); it != s.end(); ++it) {
            const std::string ptr = "/settings/" + it.key();
            if (!it->is_number() && !it->is_boolean()) r.fail(ptr, "expected a number or true/false");
            std::string error;
            if (!checkSetting(it.key(), it->dump(), error)) r.fail(ptr, error);
            scene.settings.emplace_back(it.key(), it->dump());
        }
    }
}

}  // namespace tr

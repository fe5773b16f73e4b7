#include "scene.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

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

#include "scene_math.h"

#include <unistd.h>

namespace tr {

namespace {

using Json = nlohmann::json;
using namespace math;

M4 fromAssimp(const aiMatrix4x4& t) {
    return {{t.a1, t.a2, t.a3, t.a4, t.b1, t.b2, t.b3, t.b4, t.c1, t.c2, t.c3, t.c4, t.d1, t.d2, t.d3, t.d4}};
}
V3 v3(const aiVector3D& v) { return {v.x, v.y, v.z}; }
float maxScale(const M4& a) {
    return std::max({length(vector(a, {1, 0, 0})), length(vector(a, {0, 1, 0})), length(vector(a, {0, 0, 1}))});
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}
std::string extensionOf(const std::string& path) {
    const size_t dot = path.find_last_of('.'), slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return lower(path.substr(dot + 1));
}
std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}
std::string resolve(const std::string& folder, std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.rfind("./", 0) == 0) path = path.substr(2);
    if (!path.empty() && path[0] == '/') return path;
    return folder + path;
}
// Empty when path names a regular file, else why not. Opening a FIFO would block and a
// folder opens fine but reads nothing, so only the file kind is asked before anything opens.
std::string notRegularFile(const std::string& path) {
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (ec || st.type() == std::filesystem::file_type::not_found)
        return std::strerror(ec && ec.value() != ENOENT ? ec.value() : ENOENT);
    if (st.type() == std::filesystem::file_type::directory) return "is a folder, not a file";
    if (st.type() != std::filesystem::file_type::regular) return "is not a regular file";
    return "";
}

// ---------------------------------------------------------------------------------
// Assimp import

struct ModelImport {
    Scene& scene;
    const std::string& path;
    const aiScene* ai;
    M4 base;
    bool gltf, blend;
    int materialBase = 0;

    M4 globalOf(const aiNode* node) const {
        M4 g = M4::identity();
        for (const aiNode* n = node; n; n = n->mParent) g = fromAssimp(n->mTransformation) * g;
        return base * g;
    }
    M4 globalOf(const aiString& name) const {
        const aiNode* node = ai->mRootNode ? ai->mRootNode->FindNode(name) : nullptr;
        return node ? globalOf(node) : base;
    }
    void warn(const std::string& what) { scene.warnings.push_back(path + ": " + what); }

    std::string texturePath(const aiString& raw) {
        const std::string s = raw.C_Str();
        if (!s.empty() && s[0] == '*') {
            const aiTexture* tex = ai->GetEmbeddedTexture(raw.C_Str());
            if (!tex || tex->mHeight != 0)
                throw SceneError(path + ": embedded texture " + s + " is not a compressed image");
            std::string hint = tex->achFormatHint;
            if (hint.empty()) hint = "png";
            const std::string templ =
                (std::filesystem::temp_directory_path() / ("tessra-texture-XXXXXX." + hint)).string();
            std::vector<char> buf(templ.begin(), templ.end());
            buf.push_back('\0');
            const int fd = mkstemps(buf.data(), int(hint.size() + 1));
            if (fd < 0) throw SceneError(path + ": cannot write embedded texture: " + std::strerror(errno));
            const char* bytes = reinterpret_cast<const char*>(tex->pcData);
            const ssize_t n = ::write(fd, bytes, tex->mWidth);
            ::close(fd);
            scene.tempFiles.push_back(buf.data());
            if (n != ssize_t(tex->mWidth)) throw SceneError(path + ": cannot write embedded texture");
            return buf.data();
        }
        const std::string resolved = resolve(folderOf(path), s);
        const std::string why = notRegularFile(resolved);
        if (!why.empty()) throw SceneError(path + ": texture '" + s + "': " + resolved + ": " + why);
        return resolved;
    }

    // glTF metallic-roughness onto the renderer's fixed material model.
    void gltfMaterial(const aiMaterial* am, Material& out) {
        aiColor4D base(1, 1, 1, 1);
        if (am->Get(AI_MATKEY_BASE_COLOR, base) != AI_SUCCESS) am->Get(AI_MATKEY_COLOR_DIFFUSE, base);
        float metallic = 0, roughness = 1, transmission = 0, ior = 1.5f;
        am->Get(AI_MATKEY_METALLIC_FACTOR, metallic);
        am->Get(AI_MATKEY_ROUGHNESS_FACTOR, roughness);
        am->Get(AI_MATKEY_TRANSMISSION_FACTOR, transmission);
        const bool hasIor = am->Get(AI_MATKEY_REFRACTI, ior) == AI_SUCCESS;
        const float rgb[3] = {base.r, base.g, base.b};
        principledMaterial(rgb, metallic, roughness, transmission, out.m);
        if (transmission > 0 && hasIor && std::fabs(ior - 1.6f) > 0.2f)
            warn("material '" + out.name + "': index of refraction " + std::to_string(ior) +
                 " is not supported; the renderer always uses 1.6");
    }

    void objMaterial(const aiMaterial* am, Material& out) {
        aiColor3D kd(0.8f, 0.8f, 0.8f), ks(0, 0, 0), tf(1, 1, 1);
        float d = 1, ns = 0, ior = 1.6f;
        int illum = 2;
        am->Get(AI_MATKEY_COLOR_DIFFUSE, kd);
        am->Get(AI_MATKEY_COLOR_SPECULAR, ks);
        am->Get(AI_MATKEY_COLOR_TRANSPARENT, tf);
        am->Get(AI_MATKEY_OPACITY, d);
        am->Get(AI_MATKEY_SHININESS, ns);
        const bool hasIor = am->Get(AI_MATKEY_REFRACTI, ior) == AI_SUCCESS;
        am->Get("$mat.illum", 0, 0, illum);
        out.m.diffuse[0] = kd.r;
        out.m.diffuse[1] = kd.g;
        out.m.diffuse[2] = kd.b;
        auto byte = [](float v) { return uint8_t(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
        if (illum == 3 || illum == 5 || illum == 6 || illum == 7 || illum == 8) {
            out.m.reflective = true;
            out.m.reflColor[0] = byte(ks.r);
            out.m.reflColor[1] = byte(ks.g);
            out.m.reflColor[2] = byte(ks.b);
        }
        if (illum == 4 || illum == 6 || illum == 7 || illum == 9 || d < 1) {
            out.m.refractive = true;
            out.m.refrColor[0] = byte(tf.r * (1 - d));
            out.m.refrColor[1] = byte(tf.g * (1 - d));
            out.m.refrColor[2] = byte(tf.b * (1 - d));
            if (hasIor && ior > 0 && std::fabs(ior - 1.6f) > 0.2f)
                warn("material '" + out.name + "': index of refraction " + std::to_string(ior) +
                     " is not supported; the renderer always uses 1.6");
        }
        const float level = std::max({ks.r, ks.g, ks.b});
        if (level > 0 && illum >= 2) {
            out.m.specular = true;
            out.m.specularLevel = level;
            out.m.specularExponent = ns;
        }
    }

    void materials() {
        materialBase = int(scene.materials.size());
        for (unsigned i = 0; i < ai->mNumMaterials; ++i) {
            const aiMaterial* am = ai->mMaterials[i];
            Material out;
            aiString name;
            if (am->Get(AI_MATKEY_NAME, name) == AI_SUCCESS) out.name = name.C_Str();
            if (gltf) gltfMaterial(am, out);
            else objMaterial(am, out);
            aiString tex;
            if (am->GetTexture(aiTextureType_DIFFUSE, 0, &tex) == AI_SUCCESS ||
                am->GetTexture(aiTextureType_BASE_COLOR, 0, &tex) == AI_SUCCESS)
                out.diffuseMap = texturePath(tex);
            scene.materials.push_back(std::move(out));
        }
    }

    void meshes(const aiNode* node) {
        const M4 g = globalOf(node);
        for (unsigned k = 0; k < node->mNumMeshes; ++k) {
            const aiMesh* mesh = ai->mMeshes[node->mMeshes[k]];
            if (!(mesh->mPrimitiveTypes & aiPrimitiveType_TRIANGLE)) continue;
            for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
                const aiFace& face = mesh->mFaces[f];
                if (face.mNumIndices != 3) continue;
                std::array<float, 24> t{};
                for (int v = 0; v < 3; ++v) {
                    const unsigned i = face.mIndices[v];
                    store(&t[3 * v], point(g, v3(mesh->mVertices[i])));
                    if (mesh->mNormals) store(&t[9 + 3 * v], normalVector(g, v3(mesh->mNormals[i])));
                    if (mesh->mTextureCoords[0]) {
                        t[18 + 2 * v] = mesh->mTextureCoords[0][i].x;
                        t[19 + 2 * v] = mesh->mTextureCoords[0][i].y;
                    }
                }
                scene.triangles.push_back(t);
                scene.triangleMaterial.push_back(materialBase + int(mesh->mMaterialIndex));
            }
        }
        for (unsigned c = 0; c < node->mNumChildren; ++c) meshes(node->mChildren[c]);
    }

    // 1/(c + l d + q d^2) onto the renderer's decay kinds.
    void attenuation(const aiLight& l, Light& out, bool hasDecayStart) {
        const float c = l.mAttenuationConstant, lin = l.mAttenuationLinear, q = l.mAttenuationQuadratic;
        if (q > 0) {
            out.decay = 3;
            if (hasDecayStart) out.decayStart = 1.0f / std::sqrt(q);
            else out.intensity /= q;
        } else if (lin > 0) {
            out.decay = 2;
            if (hasDecayStart) out.decayStart = 1.0f / lin;
            else out.intensity /= lin;
        } else {
            out.decay = kDecayAuto;
        }
        if (c > 0 && (q > 0 || lin > 0))
            warn(std::string("light '") + l.mName.C_Str() +
                 "': a constant attenuation term next to a distance term has no equivalent; it is dropped");
    }

    void lights() {
        for (unsigned i = 0; i < ai->mNumLights; ++i) {
            const aiLight& l = *ai->mLights[i];
            const M4 g = globalOf(l.mName);
            Light out;
            const aiColor3D col = l.mColorDiffuse;
            const float peak = std::max({col.r, col.g, col.b});
            if (peak > 0) {
                out.color[0] = col.r / peak;
                out.color[1] = col.g / peak;
                out.color[2] = col.b / peak;
            }
            out.intensity = peak;
            store(out.position, point(g, v3(l.mPosition)));
            const V3 beam = normalize(vector(g, v3(l.mDirection)));
            const V3 up = normalize(vector(g, v3(l.mUp)));
            switch (l.mType) {
                case aiLightSource_POINT:
                    out.kind = LIGHT_OMNI;
                    attenuation(l, out, true);
                    break;
                case aiLightSource_SPOT: {
                    out.kind = LIGHT_SPOT_CIRCLE;
                    frameRows(beam * -1.0f, up, out.rotation);
                    // glTF through Assimp gives half-angles in radians; Blender full ones.
                    const float toDeg = 180.0f / 3.14159265f * (blend ? 1.0f : 2.0f);
                    out.falloff = l.mAngleOuterCone * toDeg;
                    out.hotspot = std::min(l.mAngleInnerCone * toDeg, out.falloff * 0.99f);
                    attenuation(l, out, true);
                    break;
                }
                case aiLightSource_DIRECTIONAL: {
                    out.kind = LIGHT_DIR_CIRCLE;
                    frameRows(beam * -1.0f, up, out.rotation);
                    float c[3], radius;
                    scene.bounds(c, radius);
                    store(out.position, V3{c[0], c[1], c[2]} - beam * (3 * radius));
                    out.falloff = 1.05f * radius;
                    out.hotspot = radius;
                    out.decay = kDecayAuto;
                    break;
                }
                case aiLightSource_AREA: {
                    out.kind = LIGHT_RECT;
                    const V3 r0 = normalize(cross(beam, up));
                    store(out.rotation, r0);
                    store(out.rotation + 3, normalize(cross(beam, r0)) * -1.0f);
                    store(out.rotation + 6, beam);
                    out.width = l.mSize.x * maxScale(g);
                    out.height = l.mSize.y * maxScale(g);
                    attenuation(l, out, false);
                    break;
                }
                default:
                    warn(std::string("light '") + l.mName.C_Str() + "' is ambient or of an unknown kind; skipped");
                    continue;
            }
            scene.lights.push_back(out);
        }
    }

    void camera() {
        if (ai->mNumCameras == 0) return;
        if (ai->mNumCameras > 1) warn("the file has several cameras; the first is used");
        const aiCamera& c = *ai->mCameras[0];
        const M4 g = globalOf(c.mName);
        if (c.mOrthographicWidth > 0) warn("orthographic camera rendered as a perspective one");
        Camera cam;
        const V3 back = normalize(vector(g, v3(c.mLookAt))) * -1.0f;
        const V3 right = normalize(cross(vector(g, v3(c.mUp)), back));
        store(cam.back, back);
        store(cam.right, right);
        store(cam.up, cross(back, right));
        // Assimp 5.2 repeats the node translation in the glTF camera's position.
        store(cam.eye, point(g, gltf ? V3{0, 0, 0} : v3(c.mPosition)));
        if (gltf) {
            // and reports yfov x aspect as the horizontal angle.
            cam.fovRadians = c.mAspect > 0 ? c.mHorizontalFOV / c.mAspect : c.mHorizontalFOV;
            cam.fovIsVertical = true;
        } else {
            cam.fovRadians = c.mHorizontalFOV;
        }
        scene.camera = cam;
        scene.hasCamera = true;
    }
};

}  // namespace

namespace {

// A PLY header may declare far more elements than the file holds; Assimp reserves room for
// all of them before reading any, so a few truncated bytes would ask for gigabytes.
void checkPlyCounts(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line, format;
    bool ascii = false;
    std::vector<std::pair<std::string, unsigned long long>> counts;
    std::vector<unsigned long long> perElement;
    size_t lines = 0;
    while (std::getline(in, line) && ++lines < 10000) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word == "end_header") break;
        if (word == "format") {
            words >> format;
            ascii = format == "ascii";
        } else if (word == "element") {
            std::string name, count;
            words >> name >> count;
            char* end = nullptr;
            errno = 0;
            const unsigned long long n = std::strtoull(count.c_str(), &end, 10);
            if (count.empty() || *end || errno || count[0] == '-')
                throw SceneError(path + ": element '" + name + "' has no valid count ('" + count + "')");
            counts.emplace_back(name, n);
            perElement.push_back(0);
        } else if (word == "property" && !perElement.empty()) {
            std::string type;
            words >> type;
            if (type == "list") words >> type;  // the count's type: a list holds at least its count
            static const std::map<std::string, unsigned> sizes = {
                {"char", 1},   {"uchar", 1},  {"int8", 1},    {"uint8", 1},   {"short", 2},   {"ushort", 2},
                {"int16", 2},  {"uint16", 2}, {"int", 4},     {"uint", 4},    {"float", 4},   {"int32", 4},
                {"uint32", 4}, {"float32", 4}, {"double", 8}, {"float64", 8}};
            auto it = sizes.find(type);
            perElement.back() += ascii ? 2 : (it == sizes.end() ? 1 : it->second);
        }
    }
    if (!in) return;  // no header end: Assimp says what is wrong
    const std::streamoff start = in.tellg();
    in.seekg(0, std::ios::end);
    const unsigned long long left = (unsigned long long)(in.tellg() - start);
    for (size_t i = 0; i < counts.size(); ++i) {
        const unsigned long long bytes = std::max<unsigned long long>(perElement[i], 1);
        if (counts[i].second > left / bytes)
            throw SceneError(path + ": the header declares " + std::to_string(counts[i].second) + " '" +
                             counts[i].first + "' elements but the file holds " + std::to_string(left) +
                             " bytes after it (truncated or corrupt)");
    }
}

}  // namespace

void importModel(Scene& scene, const std::string& path, const float transform[16], const ImportOptions& options) {
    const std::string ext = extensionOf(path);
    static const char* safe[] = {"gltf", "glb", "obj", "ply", "stl"};
    if (!options.allowAnyFormat && std::find(std::begin(safe), std::end(safe), ext) == std::end(safe))
        throw SceneError(path + ": ." + ext +
                         " files are read only with --allow-any-format (model formats: .gltf, .glb, .obj, .ply, .stl)");
    const std::string why = notRegularFile(path);
    if (!why.empty()) throw SceneError(path + ": cannot read the file: " + why);
    if (ext == "ply") checkPlyCounts(path);

    Assimp::Importer importer;
    importer.SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE, aiPrimitiveType_POINT | aiPrimitiveType_LINE);
    const aiScene* ai =
        importer.ReadFile(path, aiProcess_Triangulate | aiProcess_GenSmoothNormals | aiProcess_JoinIdenticalVertices |
                                    aiProcess_SortByPType | aiProcess_ValidateDataStructure);
    if (!ai || (ai->mFlags & AI_SCENE_FLAGS_INCOMPLETE) || !ai->mRootNode)
        throw SceneError(path + ": " + (importer.GetErrorString()[0] ? importer.GetErrorString() : "cannot read"));

    M4 base{};
    std::copy(transform, transform + 16, base.m);
    M4 unit = M4::identity();
    for (int i : {0, 5, 10}) unit.m[i] = options.scale;
    if (options.up == 'z') {
        const M4 zUp{{1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1}};  // (x, y, z) -> (x, z, -y)
        unit = unit * zUp;
    }
    ModelImport m{scene, path, ai, base * unit, ext == "gltf" || ext == "glb", ext == "blend"};
    m.materials();
    m.meshes(ai->mRootNode);
    m.lights();
    m.camera();
}

// ---------------------------------------------------------------------------------
// JSON scene files

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
                           "height", "direction", "up", "rotation", "falloff", "hotspot"});
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
                           "specular_level", "specular_exponent"});
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
    r.allowKeys(doc, "", {"models", "camera", "lights", "materials", "background", "settings"});

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

// Model files: OBJ, PLY and STL through the dedicated readers, everything else through
// Assimp (meshes with their world transforms, materials, lights and the camera), in the
// scene's units and up axis.
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


#include "files.h"
#include "mesh_readers.h"
#include "scene_math.h"

#include <unistd.h>

namespace tr {

namespace {

using namespace math;
using namespace files;

M4 fromAssimp(const aiMatrix4x4& t) {
    return {{t.a1, t.a2, t.a3, t.a4, t.b1, t.b2, t.b3, t.b4, t.c1, t.c2, t.c3, t.c4, t.d1, t.d2, t.d3, t.d4}};
}
V3 v3(const aiVector3D& v) { return {v.x, v.y, v.z}; }
float maxScale(const M4& a) {
    return std::max({length(vector(a, {1, 0, 0})), length(vector(a, {0, 1, 0})), length(vector(a, {0, 0, 1}))});
}

// ---------------------------------------------------------------------------------
// Shared with the dedicated readers

}  // namespace

std::string modelTexture(const std::string& modelPath, const std::string& raw) {
    const std::string resolved = resolve(folderOf(modelPath), raw);
    const std::string why = notRegularFile(resolved);
    if (!why.empty()) throw SceneError(modelPath + ": texture '" + raw + "': " + resolved + ": " + why);
    return resolved;
}

void objMaterial(const ObjMaterialValues& v, const std::string& modelPath, Material& out,
                 std::vector<std::string>& warnings) {
    const float* kd = v.kd;
    const float* ks = v.ks;
    const float* tf = v.tf;
    const float d = v.d, ior = v.ior;
    const int illum = v.illum;
    auto warnIor = [&] {
        warnings.push_back(modelPath + ": material '" + out.name + "': index of refraction " + std::to_string(ior) +
                           " is not supported; the renderer always uses 1.6");
    };
    out.name = v.name;
    out.m.diffuse[0] = kd[0];
    out.m.diffuse[1] = kd[1];
    out.m.diffuse[2] = kd[2];
    auto byte = [](float x) { return uint8_t(std::lround(std::clamp(x, 0.0f, 1.0f) * 255.0f)); };
    if (illum == 3 || illum == 5 || illum == 6 || illum == 7 || illum == 8) {
        out.m.reflective = true;
        for (int i = 0; i < 3; ++i) out.m.reflColor[i] = byte(ks[i]);
    }
    if (illum == 4 || illum == 6 || illum == 7 || illum == 9 || d < 1) {
        out.m.refractive = true;
        for (int i = 0; i < 3; ++i) out.m.refrColor[i] = byte(tf[i] * (1 - d));
        if (v.hasIor && ior > 0 && std::fabs(ior - 1.6f) > 0.2f) warnIor();
    }
    const float level = std::max({ks[0], ks[1], ks[2]});
    if (level > 0 && illum >= 2) {
        out.m.specular = true;
        out.m.specularLevel = level;
        out.m.specularExponent = v.ns;
    }
    if (!v.diffuseMap.empty()) out.diffuseMap = modelTexture(modelPath, v.diffuseMap);
    for (int i = 0; i < 3; ++i) out.emission[i] = std::isfinite(v.ke[i]) ? std::max(v.ke[i], 0.0f) : 0.0f;
}

namespace {

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
        return modelTexture(path, s);
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
        principledMaterial(rgb, metallic, roughness, transmission, out);
        // emissiveFactor, times KHR_materials_emissive_strength where the importer passes it on.
        aiColor3D emissive(0, 0, 0);
        float strength = 1;
        am->Get(AI_MATKEY_COLOR_EMISSIVE, emissive);
        am->Get(AI_MATKEY_EMISSIVE_INTENSITY, strength);
        const float e[3] = {emissive.r * strength, emissive.g * strength, emissive.b * strength};
        for (int i = 0; i < 3; ++i) out.emission[i] = std::isfinite(e[i]) ? std::max(e[i], 0.0f) : 0.0f;
        if (transmission > 0 && hasIor && std::fabs(ior - 1.6f) > 0.2f)
            warn("material '" + out.name + "': index of refraction " + std::to_string(ior) +
                 " is not supported; the renderer always uses 1.6");
    }

    void objMaterial(const aiMaterial* am, Material& out) {
        ObjMaterialValues v;
        v.name = out.name;
        aiColor3D kd(v.kd[0], v.kd[1], v.kd[2]), ks(0, 0, 0), tf(1, 1, 1), ke(0, 0, 0);
        am->Get(AI_MATKEY_COLOR_DIFFUSE, kd);
        am->Get(AI_MATKEY_COLOR_SPECULAR, ks);
        am->Get(AI_MATKEY_COLOR_TRANSPARENT, tf);
        am->Get(AI_MATKEY_COLOR_EMISSIVE, ke);
        am->Get(AI_MATKEY_OPACITY, v.d);
        am->Get(AI_MATKEY_SHININESS, v.ns);
        v.hasIor = am->Get(AI_MATKEY_REFRACTI, v.ior) == AI_SUCCESS;
        am->Get("$mat.illum", 0, 0, v.illum);
        const aiColor3D* from[4] = {&kd, &ks, &tf, &ke};
        float* to[4] = {v.kd, v.ks, v.tf, v.ke};
        for (int k = 0; k < 4; ++k) {
            to[k][0] = from[k]->r;
            to[k][1] = from[k]->g;
            to[k][2] = from[k]->b;
        }
        tr::objMaterial(v, path, out, scene.warnings);
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
                TriangleRecord t{};
                V3 p[3];
                for (int v = 0; v < 3; ++v) p[v] = point(g, v3(mesh->mVertices[face.mIndices[v]]));
                // Flat where the file gives no normal (and for STL's "facet normal 0 0 0"):
                // Assimp's generated normals need one vertex per corner, which indexed
                // glTF and PLY meshes do not have.
                const V3 flat = normalize(cross(p[1] - p[0], p[2] - p[0]));
                for (int v = 0; v < 3; ++v) {
                    const unsigned i = face.mIndices[v];
                    store(&t.vertices[3 * v], p[v]);
                    const V3 n = mesh->mNormals ? normalVector(g, v3(mesh->mNormals[i])) : V3{};
                    store(&t.normals[3 * v], length(n) > 0.5f ? n : flat);
                    if (mesh->mTextureCoords[0]) {
                        t.uvs[2 * v] = mesh->mTextureCoords[0][i].x;
                        t.uvs[2 * v + 1] = mesh->mTextureCoords[0][i].y;
                    }
                }
                t.materialId = materialBase + int(mesh->mMaterialIndex);
                scene.triangles.push_back(t);
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

// Whether an "s" line turns smoothing on ("s 1", "s 4", not "s off" or "s 0").
bool objSmoothingOn(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 2 || line[0] != 's' || (line[1] != ' ' && line[1] != '\t')) continue;
        std::istringstream words(line.substr(1));
        std::string group;
        words >> group;
        if (!group.empty() && group != "off" && group.find_first_not_of('0') != std::string::npos) return true;
    }
    return false;
}

}  // namespace

namespace {

// Refuses what no reader should open: formats outside the safe list unless asked for, and
// anything but a regular file. Returns the extension.
std::string checkModelFile(const std::string& path, const ImportOptions& options) {
    const std::string ext = extensionOf(path);
    static const char* safe[] = {"gltf", "glb", "obj", "ply", "stl"};
    if (!options.allowAnyFormat && std::find(std::begin(safe), std::end(safe), ext) == std::end(safe))
        throw SceneError(path + ": ." + ext +
                         " files are read only with --allow-any-format (model formats: .gltf, .glb, .obj, .ply, .stl)");
    const std::string why = notRegularFile(path);
    if (!why.empty()) throw SceneError(path + ": cannot read the file: " + why);
    return ext;
}

// The transform after the file's units and up axis.
M4 modelMatrix(const float transform[16], const ImportOptions& options) {
    M4 base{};
    std::copy(transform, transform + 16, base.m);
    M4 unit = M4::identity();
    for (int i : {0, 5, 10}) unit.m[i] = options.scale;
    if (options.up == 'z') {
        const M4 zUp{{1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1}};  // (x, y, z) -> (x, z, -y)
        unit = unit * zUp;
    }
    return base * unit;
}

void assimpImport(Scene& scene, const std::string& path, const std::string& ext, const M4& toWorld) {
    if (ext == "ply") checkPlyCounts(path);

    Assimp::Importer importer;
    importer.SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE, aiPrimitiveType_POINT | aiPrimitiveType_LINE);
    // Assimp's OBJ reader skips the group numbers of "s" lines, so smoothing switched on
    // anywhere smooths the whole file, though not across creases sharper than 80 degrees,
    // which keeps the hard edges of the faces that were meant to stay flat. The OBJ reader
    // gives each corner its own vertex, which the smoothing step needs.
    unsigned smooth = 0;
    if (ext == "obj" && objSmoothingOn(path)) {
        smooth = aiProcess_GenSmoothNormals;
        importer.SetPropertyFloat(AI_CONFIG_PP_GSN_MAX_SMOOTHING_ANGLE, 80.0f);
    }
    const aiScene* ai = importer.ReadFile(path, aiProcess_Triangulate | smooth | aiProcess_JoinIdenticalVertices |
                                                    aiProcess_SortByPType | aiProcess_ValidateDataStructure);
    if (!ai || (ai->mFlags & AI_SCENE_FLAGS_INCOMPLETE) || !ai->mRootNode)
        throw SceneError(path + ": " + (importer.GetErrorString()[0] ? importer.GetErrorString() : "cannot read"));

    ModelImport m{scene, path, ai, toWorld, ext == "gltf" || ext == "glb", ext == "blend"};
    m.materials();
    m.meshes(ai->mRootNode);
    m.lights();
    m.camera();
}

}  // namespace

void importWithAssimp(Scene& scene, const std::string& path, const float transform[16], const ImportOptions& options) {
    const std::string ext = checkModelFile(path, options);
    assimpImport(scene, path, ext, modelMatrix(transform, options));
}

void importModel(Scene& scene, const std::string& path, const float transform[16], const ImportOptions& options) {
    const std::string ext = checkModelFile(path, options);
    const M4 toWorld = modelMatrix(transform, options);
    TriangleWriter out(scene, toWorld);
    if (ext == "ply") readPly(out, path);
    else if (ext == "stl") readStl(out, path);
    else if (ext != "obj" || !readObj(out, path)) assimpImport(scene, path, ext, toWorld);
}

}  // namespace tr

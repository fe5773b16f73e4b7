// Wavefront OBJ and MTL files, read from the mapped file straight into the scene's
// triangle records: one pass for the vertices, normals and coordinates, one for the rest.
//
// A parser of our own rather than tinyobjloader (Debian has 2.0.0rc10): tinyobjloader
// builds the whole mesh as index and attribute arrays first and rounds numbers its own
// way, while the images must stay what they were through Assimp. So this reader follows
// Assimp 5.2's OBJ reader and post-processing wherever they decide what reaches the
// renderer: numbers rounded as fast_atof rounds them, one mesh per object and material
// switch, faces in file order, quads split from their concave corner, the MTL defaults
// and the fallback to MODEL.mtl, "s" smoothing through Assimp's own SpatialSort so that
// neighbours are summed in the same order, and the joining of identical vertices, which
// lets the first of two nearly equal corners win. The joining is replayed in full only
// where it can change a value (nearly equal attributes in the file, or smoothing); else
// only the sign of zeros can differ, which a lookup of the corners holding a zero settles.
//
// The few constructs whose Assimp output this reader does not reproduce (polygons of more
// than four corners, a repeated object name, line continuations, free-form curves, lines
// and points where the joining is replayed) are handed to Assimp whole: the reader then
// returns false and leaves the scene as it found it.
#include <assimp/SpatialSort.h>
#include <assimp/vector3.h>

#include <cstring>
#include <map>
#include <unordered_map>

#include "files.h"
#include "mesh_readers.h"
#include "mesh_text.h"

namespace tr {

namespace {

using namespace math;
using namespace meshtext;

struct LeaveToAssimp {};

constexpr unsigned kNoMaterial = ~0u;

// One corner of a face as Assimp's vertex: position, normal (zero: none) and coordinates.
struct Corner {
    float v[8];
    V3 position() const { return {v[0], v[1], v[2]}; }
    V3 normal() const { return {v[3], v[4], v[5]}; }
};

// The canonical form of a corner for Assimp's joining of identical vertices: equal
// corners compare equal however their zeros are signed.
struct CornerKey {
    float v[8];
    bool operator==(const CornerKey& o) const { return std::memcmp(v, o.v, sizeof(v)) == 0; }
};
struct CornerHash {
    size_t operator()(const CornerKey& k) const {
        uint64_t h = 1469598103934665603ull;
        uint32_t bits[8];
        std::memcpy(bits, k.v, sizeof(bits));
        for (uint32_t b : bits) h = (h ^ b) * 1099511628211ull;
        return size_t(h);
    }
};

// One Assimp mesh: the triangles of an object under one material, in file order.
struct ObjMesh {
    unsigned material = kNoMaterial;
    size_t firstTriangle = 0;
    bool hasFaces = false, hasNormals = false;
    // Assimp joins the identical corners of a mesh, and the first one's values win; where
    // the file has no nearly equal attributes that changes only the sign of zeros, so only
    // corners holding a zero are looked up.
    std::unordered_map<CornerKey, Corner, CornerHash> firstOfKind;
    // Only where the joining is replayed or the file smoothed, which needs the whole mesh:
    // the corners, and for each triangle its three.
    std::vector<Corner> corners;
    std::vector<uint32_t> triangleCorners;
};

class ObjReader {
public:
    ObjReader(TriangleWriter& out, const std::string& path) : out_(out), path_(path) {}
    void read();

private:
    TriangleWriter& out_;
    const std::string& path_;
    int line_ = 0;
    bool smooth_ = false;
    bool negativeZero_[3] = {false, false, false};  // the file writes -0 in positions, normals, coordinates
    bool deferred_ = false;   // corners kept per mesh, to smooth or join them as Assimp does
    int pass_ = 1;
    std::vector<char> vertexLines_;  // for each "v" line, whether Assimp makes a vertex of it
    size_t vertexLine_ = 0;
    int64_t sizes_[3] = {0, 0, 0};  // vertices, coordinates and normals before the current line

    std::vector<V3> positions_, normals_;
    std::vector<std::array<float, 2>> uvs_;

    std::vector<ObjMaterialValues> library_;
    std::map<std::string, unsigned> materialIndex_;
    std::string currentMaterial_;  // empty: none chosen yet
    std::vector<std::string> objects_;
    std::string activeGroup_;
    bool haveMesh_ = false;
    ObjMesh mesh_;
    std::vector<std::pair<size_t, unsigned>> meshMaterials_;  // first triangle, material

    std::vector<int64_t> lists_[3];  // a face's position, uv and normal indices
    std::vector<Corner> corners_;
    std::vector<V3> facePositions_;

    [[noreturn]] void fail(const std::string& what) const {
        throw SceneError(path_ + ":" + std::to_string(line_) + ": " + what);
    }

    void scanFile(const char* p, const char* end);
    void parseLine(const char* p, const char* end);
    const char* number(const char* p, const char* end, float& v) {
        p = skipBlanks(p, end);
        const char* e = parseReal(p, end, v);
        if (!e) fail("expected a number, not '" + std::string(p, std::min<size_t>(size_t(end - p), 40)) + "'");
        return skipToken(e, end);
    }
    void vertex(const char* p, const char* end);
    void face(const char* p, const char* end, char kind);
    void useMaterial(const std::string& name);
    void materialLibrary(const std::string& name);
    void readMtl(const std::string& file);
    unsigned materialNamed(const std::string& name);
    void newObject(const std::string& name);
    void newMesh();
    void finishMesh();
    void smoothMesh();
    void joinExactly();
    void join(Corner& c);
    void emit(const Corner& a, const Corner& b, const Corner& c, bool normals);
};

// An OBJ material's defaults in Assimp: grey, no highlight, illum 1, index 1.
ObjMaterialValues objDefaults(const std::string& name) {
    ObjMaterialValues m;
    m.name = name;
    std::fill(m.kd, m.kd + 3, 0.6f);
    m.ior = 1.0f;
    m.hasIor = true;
    m.illum = 1;
    return m;
}

std::string trimmed(const char* p, const char* end) {
    p = skipBlanks(p, end);
    while (end > p && isBlank(end[-1])) --end;
    return std::string(p, end);
}
std::string firstWord(const char* p, const char* end) { return std::string(p, skipToken(p, end)); }

// The counting of Assimp's reader: words that start like a number.
int numericWords(const char* p, const char* end) {
    int n = 0;
    for (;;) {
        p = skipBlanks(p, end);
        if (p == end || *p == '#') return n;
        const char c = *p;
        const bool numeric = isDigit(c) || c == '-' || c == '+' ||
                             (end - p >= 3 && (strncasecmp(p, "nan", 3) == 0 || strncasecmp(p, "inf", 3) == 0));
        n += numeric;
        p = skipToken(p, end);
    }
}

// Smoothing is on when any "s" line names a group other than 0 or off, as before.
bool smoothingLine(const char* p, const char* end) {
    if (end - p < 2 || p[0] != 's' || (p[1] != ' ' && p[1] != '\t')) return false;
    p = skipBlanks(p + 1, end);
    const std::string group = firstWord(p, end);
    return !group.empty() && group != "off" && group.find_first_not_of('0') != std::string::npos;
}

// Whether two of the points lie within Assimp's joining distance without being equal, in
// which case Assimp's joining of corners can change values and is replayed as it does it.
// A sweep over the points sorted by coordinates; a run of equal first coordinates is left
// as soon as the second one is too far, so that grids stay linear. Past a budget of
// comparisons the answer is yes, which is always safe.
template <size_t N>
bool nearDuplicates(std::vector<std::array<float, N>> pts) {
    constexpr float kTolerance = 1.01e-5f;
    for (const auto& p : pts)
        for (float c : p)
            if (!std::isfinite(c)) return true;  // NaN compares as near everything
    std::sort(pts.begin(), pts.end());
    pts.erase(std::unique(pts.begin(), pts.end()), pts.end());
    const size_t n = pts.size();
    std::vector<uint32_t> runEnd(n);  // the end of each run of equal first coordinates
    for (size_t i = n; i-- > 0;) runEnd[i] = i + 1 < n && pts[i + 1][0] == pts[i][0] ? runEnd[i + 1] : uint32_t(i + 1);
    uint64_t budget = 64 * uint64_t(n) + 1024;
    for (size_t i = 0; i < n; ++i) {
        const auto& a = pts[i];
        for (size_t j = i + 1; j < n && pts[j][0] - a[0] <= kTolerance;) {
            if (--budget == 0) return true;
            const auto& b = pts[j];
            if (b[0] == a[0] && b[1] - a[1] > kTolerance) {
                j = runEnd[j];
                continue;
            }
            float d2 = 0;
            for (size_t k = 0; k < N; ++k) d2 += (a[k] - b[k]) * (a[k] - b[k]);
            if (d2 <= kTolerance * kTolerance) return true;
            ++j;
        }
    }
    return false;
}

void ObjReader::scanFile(const char* p, const char* end) {
    // One quick pass for the counts, to reserve once, and for the smoothing switch, which
    // may come after the faces it applies to.
    size_t v = 0, vn = 0, vt = 0, f = 0;
    while (p < end) {
        const char* e = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
        if (!e) e = end;
        if (e - p >= 2) {
            if (p[0] == 'v') {
                v += p[1] == ' ' || p[1] == '\t';
                vn += p[1] == 'n';
                vt += p[1] == 't';
            } else if (p[0] == 'f') {
                ++f;
            } else if (p[0] == 's' && !smooth_) {
                smooth_ = smoothingLine(p, e);
            }
        }
        p = e + 1;
    }
    positions_.reserve(v);
    normals_.reserve(vn);
    uvs_.reserve(vt);
    out_.reserve(f);
}

void ObjReader::read() {
    const MappedFile file(path_);
    // Assimp's limit: nothing shorter holds a triangle.
    if (file.size() < 16) throw SceneError(path_ + ": the file is too small for an OBJ file (" +
                                           std::to_string(file.size()) + " bytes)");
    const char* p = file.begin();
    const char* end = file.end();
    if (end - p >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
    scanFile(p, end);
    library_.push_back(objDefaults("DefaultMaterial"));
    materialIndex_[library_[0].name] = 0;

    // The attributes first, so that faces may refer forward as Assimp lets them, and so
    // that it is known before any face whether corners must be joined as Assimp joins them.
    for (pass_ = 1; pass_ <= 2; ++pass_) {
        line_ = 0;
        for (const char* q = p; q < end;) {
            const char* e = q;
            while (e < end && *e != '\n' && *e != '\r') ++e;
            ++line_;
            if (e > q && e[-1] == '\\') throw LeaveToAssimp{};  // a continued line
            if (e > q) parseLine(q, e);
            q = e;
            if (q < end && *q == '\r') ++q;
            if (q < end && *q == '\n') ++q;
        }
        if (pass_ == 1) {
            auto asArrays = [](const std::vector<V3>& v) {
                std::vector<std::array<float, 3>> a(v.size());
                for (size_t i = 0; i < v.size(); ++i) a[i] = {v[i].x, v[i].y, v[i].z};
                return a;
            };
            deferred_ = smooth_ || nearDuplicates(asArrays(positions_)) || nearDuplicates(asArrays(normals_)) ||
                        nearDuplicates(uvs_);
        }
    }
    if (haveMesh_) finishMesh();

    const int base = int(out_.scene.materials.size());
    for (size_t m = 0; m < meshMaterials_.size(); ++m) {
        const size_t from = meshMaterials_[m].first;
        const size_t to = m + 1 < meshMaterials_.size() ? meshMaterials_[m + 1].first : out_.scene.triangles.size();
        const int id = base + int(meshMaterials_[m].second == kNoMaterial ? 0 : meshMaterials_[m].second);
        for (size_t t = from; t < to; ++t) out_.scene.triangles[t].materialId = id;
    }
    for (const ObjMaterialValues& v : library_) {
        Material m;
        objMaterial(v, path_, m, out_.scene.warnings);
        out_.scene.materials.push_back(std::move(m));
    }
}

void ObjReader::parseLine(const char* p, const char* end) {
    if (pass_ == 1 && *p != 'v') return;
    switch (*p) {
        case 'v':
            if (end - p < 2) return;
            if (pass_ == 2) {
                // The counts so far, which relative indices count back from.
                if (p[1] == ' ' || p[1] == '\t') sizes_[0] += vertexLines_[vertexLine_++];
                else sizes_[1] += p[1] == 't';
                sizes_[2] += p[1] == 'n';
                return;
            }
            if (p[1] == ' ' || p[1] == '\t') {
                vertex(p + 1, end);
            } else if (p[1] == 't') {
                const int n = numericWords(p + 2, end);
                if (n != 2 && n != 3) fail("a texture coordinate needs two or three numbers");
                std::array<float, 2> uv{};
                const char* q = number(p + 2, end, uv[0]);
                number(q, end, uv[1]);
                for (float& c : uv) {
                    if (!std::isfinite(c)) c = 0;
                    negativeZero_[2] |= c == 0 && std::signbit(c);
                }
                uvs_.push_back(uv);
            } else if (p[1] == 'n') {
                V3 n;
                const char* q = number(p + 2, end, n.x);
                q = number(q, end, n.y);
                number(q, end, n.z);
                for (float c : {n.x, n.y, n.z}) negativeZero_[1] |= c == 0 && std::signbit(c);
                normals_.push_back(n);
            }
            return;
        case 'f':
        case 'l':
        case 'p': face(skipBlanks(skipToken(p, end), end), end, *p); return;
        case 'u':
            if (firstWord(p, end) == "usemtl") {
                const std::string name = trimmed(skipToken(p, end), end);
                if (!name.empty()) useMaterial(name);
            }
            return;
        case 'm':
            if (firstWord(p, end) == "mtllib") {
                const char* q = skipBlanks(skipToken(p, end), end);
                if (q < end) materialLibrary(std::string(q, end));
            }
            return;
        case 'g': {
            const std::string name = trimmed(skipToken(p, end), end);
            if (!name.empty() && name != activeGroup_) {
                newObject(name);
                activeGroup_ = name;
            }
            return;
        }
        case 'o': {
            const std::string name = firstWord(skipBlanks(skipToken(p, end), end), end);
            if (name.empty()) return;
            // Assimp goes back to an object of the same name, which can reorder meshes.
            if (std::find(objects_.begin(), objects_.end(), name) != objects_.end()) throw LeaveToAssimp{};
            newObject(name);
            return;
        }
        case 'c':
            if (firstWord(p, end) == "cstype") throw LeaveToAssimp{};
            return;
        default: return;
    }
}

void ObjReader::vertex(const char* p, const char* end) {
    const int n = numericWords(p, end);
    // Assimp skips a line of other counts; later indices shift past it.
    vertexLines_.push_back(n == 3 || n == 4 || n == 6);
    if (!vertexLines_.back()) return;
    V3 v;
    p = number(p, end, v.x);
    p = number(p, end, v.y);
    p = number(p, end, v.z);
    if (n == 4) {
        float w;
        number(p, end, w);
        if (w == 0) fail("a homogeneous vertex with w = 0");
        v = {v.x / w, v.y / w, v.z / w};
    }
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z))
        fail("a vertex coordinate is not a finite number");
    for (float c : {v.x, v.y, v.z}) negativeZero_[0] |= c == 0 && std::signbit(c);
    positions_.push_back(v);
}

void ObjReader::face(const char* p, const char* end, char kind) {
    for (auto& l : lists_) l.clear();
    const int64_t total[3] = {int64_t(positions_.size()), int64_t(uvs_.size()), int64_t(normals_.size())};
    bool hasNormal = false;
    int slot = 0;
    // Assimp's reading of a corner list: slashes move to the next slot, blanks back to the
    // first; a texture slot is skipped when the file has normals but no coordinates.
    while (p < end && *p != '#') {
        const char c = *p;
        if (c == '/') {
            ++slot;
            ++p;
            continue;
        }
        if (isBlank(c)) {
            slot = 0;
            ++p;
            continue;
        }
        const char* q = p + (c == '-' || c == '+');
        int64_t value = 0;
        const std::from_chars_result r = std::from_chars(q, end, value);
        if (r.ec == std::errc::result_out_of_range || value > INT32_MAX) fail("an index out of range");
        if (r.ec != std::errc() || value == 0) fail("an invalid index in a face");
        if (c == '-') value = -value;
        // Assimp advances by the digits of the value it read, not of the text.
        int step = 1 + (value < 0);
        for (int64_t t = value; (t /= 10) != 0;) ++step;
        if (slot == 1 && sizes_[1] == 0 && sizes_[2] > 0) slot = 2;
        if (slot <= 2) {
            // Relative indices count back from what is defined so far; others may refer forward.
            const int64_t at = value > 0 ? value - 1 : sizes_[slot] + value;
            if (at < 0 || at >= total[slot]) {
                static const char* what[3] = {"vertex", "texture coordinate", "normal"};
                fail(std::string("a face refers to ") + what[slot] + " " + std::to_string(value) +
                     ", out of range: the file has " + std::to_string(total[slot]));
            }
            lists_[slot].push_back(at);
            hasNormal |= slot == 2;
        }
        p += step;
    }
    const size_t n = lists_[0].size();
    if (n == 0) return;
    if (!haveMesh_ || objects_.empty()) newObject("defaultobject");
    mesh_.hasFaces = true;
    mesh_.hasNormals |= hasNormal;
    if (kind != 'f' || n < 3) {
        if (deferred_) throw LeaveToAssimp{};  // split off by Assimp, which reorders the corners
        return;
    }
    if (n > 4) throw LeaveToAssimp{};
    corners_.resize(n);
    facePositions_.resize(n);
    for (size_t k = 0; k < n; ++k) {
        Corner& c = corners_[k];
        const V3& q = positions_[size_t(lists_[0][k])];
        const V3 nn = k < lists_[2].size() ? normals_[size_t(lists_[2][k])] : V3{0, 0, 0};
        const bool t = k < lists_[1].size();
        const float u = t ? uvs_[size_t(lists_[1][k])][0] : 0.0f, w = t ? uvs_[size_t(lists_[1][k])][1] : 0.0f;
        c = Corner{{q.x, q.y, q.z, nn.x, nn.y, nn.z, u, w}};
        if (!deferred_) join(c);
        facePositions_[k] = c.position();
    }
    const int s = polygonStart(facePositions_.data(), int(n));
    const size_t cornerBase = mesh_.corners.size();
    if (deferred_) mesh_.corners.insert(mesh_.corners.end(), corners_.begin(), corners_.end());
    for (size_t k = 1; k + 1 < n; ++k) {
        const size_t at[3] = {size_t(s), (s + k) % n, (s + k + 1) % n};
        if (deferred_) {
            for (int c = 0; c < 3; ++c) mesh_.triangleCorners.push_back(uint32_t(cornerBase + at[c]));
            continue;
        }
        emit(corners_[at[0]], corners_[at[1]], corners_[at[2]], !lists_[2].empty());
    }
}

void ObjReader::join(Corner& c) {
    // Only a zero of an attribute the file also writes as -0 can take another sign.
    bool zero = false;
    for (int i = 0; i < 8; ++i) zero |= c.v[i] == 0 && negativeZero_[i < 3 ? 0 : i < 6 ? 1 : 2];
    if (!zero) return;
    CornerKey key;
    for (int i = 0; i < 8; ++i) key.v[i] = c.v[i] + 0.0f;  // -0 + 0 is +0
    auto [it, added] = mesh_.firstOfKind.try_emplace(key, c);
    if (!added) c = it->second;
}

void ObjReader::emit(const Corner& a, const Corner& b, const Corner& c, bool normals) {
    const V3 q[3] = {a.position(), b.position(), c.position()};
    const V3 n[3] = {a.normal(), b.normal(), c.normal()};
    const float uv[6] = {a.v[6], a.v[7], b.v[6], b.v[7], c.v[6], c.v[7]};
    out_.add(q, normals ? n : nullptr, uv, 0);
}

unsigned ObjReader::materialNamed(const std::string& name) {
    auto it = materialIndex_.find(name);
    if (it != materialIndex_.end()) return it->second;
    // A name no library defines still becomes a material, with the defaults.
    library_.push_back(objDefaults(name));
    return materialIndex_[name] = unsigned(library_.size() - 1);
}

void ObjReader::useMaterial(const std::string& name) {
    if (!currentMaterial_.empty() && currentMaterial_ == name) return;
    const unsigned index = materialNamed(name);
    currentMaterial_ = name;
    // A new mesh only when the current one already has faces under another material;
    // otherwise the current mesh takes the material, faces before it included.
    if (!haveMesh_ || (mesh_.material != kNoMaterial && mesh_.material != index && mesh_.hasFaces)) newMesh();
    mesh_.material = index;
}

void ObjReader::newObject(const std::string& name) {
    objects_.push_back(name);
    newMesh();
    if (!currentMaterial_.empty()) mesh_.material = materialNamed(currentMaterial_);
}

void ObjReader::newMesh() {
    if (haveMesh_) finishMesh();
    mesh_ = ObjMesh{};
    mesh_.firstTriangle = out_.scene.triangles.size();
    haveMesh_ = true;
    meshMaterials_.emplace_back(mesh_.firstTriangle, kNoMaterial);
}

void ObjReader::finishMesh() {
    meshMaterials_.back().second = mesh_.material;
    if (deferred_ && !mesh_.corners.empty()) {
        if (smooth_ && !mesh_.hasNormals) smoothMesh();
        joinExactly();
        const std::vector<uint32_t>& t = mesh_.triangleCorners;
        for (size_t i = 0; i < t.size(); i += 3)
            emit(mesh_.corners[t[i]], mesh_.corners[t[i + 1]], mesh_.corners[t[i + 2]], true);
    }
    mesh_ = ObjMesh{};
}

// Assimp's joining of identical vertices: a hash table over the exact positions, with as
// many buckets as corners, in which a corner takes the values of the latest earlier one of
// its bucket that lies within 1e-5 of it in every attribute. Corners apart by less than
// that are thus joined only where their positions happen to share a bucket, which only the
// same table, hash and insertion order reproduce.
namespace {
struct JoinHash {
    size_t operator()(const Corner& c) const noexcept {
        size_t seed = 0;
        for (int i = 0; i < 3; ++i) seed ^= std::hash<float>()(c.v[i]) + 0x9e3779b9 + (seed << 6) + (seed >> 2);
        return seed;
    }
};
struct JoinEqual {
    bool operator()(const Corner& a, const Corner& b) const {
        const float limit = 1e-5f * 1e-5f;
        auto near = [&](int at, int n) {
            const aiVector3D d(a.v[at] - b.v[at], a.v[at + 1] - b.v[at + 1], n == 3 ? a.v[at + 2] - b.v[at + 2] : 0.0f);
            return d.SquareLength() <= limit;
        };
        return near(0, 3) && near(3, 3) && near(6, 2);
    }
};
}  // namespace

void ObjReader::joinExactly() {
    std::vector<Corner>& c = mesh_.corners;
    std::unordered_map<Corner, unsigned, JoinHash, JoinEqual> first(c.size(), JoinHash(), JoinEqual());
    first.reserve(c.size());
    std::vector<unsigned> unique;
    for (Corner& k : c) {
        auto it = first.find(k);
        if (it == first.end()) {
            first[k] = unsigned(unique.size());
            unique.push_back(unsigned(&k - c.data()));
        } else {
            k = c[unique[it->second]];
        }
    }
}

// Assimp's smoothing below 80 degrees: each corner takes the face normal of the last
// triangle that used it, then the sum of the face normals of all corners within a small
// distance whose normals lie within the angle of its own.
void ObjReader::smoothMesh() {
    std::vector<Corner>& corners = mesh_.corners;
    const std::vector<uint32_t>& tri = mesh_.triangleCorners;
    std::vector<aiVector3D> v(corners.size()), faceNormals(corners.size());
    for (size_t i = 0; i < corners.size(); ++i) v[i] = aiVector3D(corners[i].v[0], corners[i].v[1], corners[i].v[2]);
    for (size_t t = 0; t < tri.size(); t += 3) {
        const aiVector3D& a = v[tri[t]];
        const aiVector3D n = ((v[tri[t + 1]] - a) ^ (v[tri[t + 2]] - a)).NormalizeSafe();
        for (int c = 0; c < 3; ++c) faceNormals[tri[t + size_t(c)]] = n;
    }
    aiVector3D lo(1e10f, 1e10f, 1e10f), hi(-1e10f, -1e10f, -1e10f);
    for (const aiVector3D& p : v) {
        lo = aiVector3D(std::min(p.x, lo.x), std::min(p.y, lo.y), std::min(p.z, lo.z));
        hi = aiVector3D(std::max(p.x, hi.x), std::max(p.y, hi.y), std::max(p.z, hi.z));
    }
    const float epsilon = (hi - lo).Length() * 1e-4f;
    const float limit = std::cos(80.0f * 0.0174532925f);
    Assimp::SpatialSort sort;
    sort.Fill(v.data(), unsigned(v.size()), sizeof(aiVector3D));
    std::vector<unsigned> found;
    for (unsigned i = 0; i < v.size(); ++i) {
        sort.FindPositions(v[i], epsilon, found);
        const aiVector3D own = faceNormals[i];
        aiVector3D sum;
        for (unsigned j : found) {
            const aiVector3D& n = faceNormals[j];
            if (!std::isnan(n.x) && (j == i || n * own >= limit)) sum += n;
        }
        sum.NormalizeSafe();
        corners[i].v[3] = sum.x;
        corners[i].v[4] = sum.y;
        corners[i].v[5] = sum.z;
    }
}

void ObjReader::materialLibrary(const std::string& name) {
    std::string file = files::resolve(files::folderOf(path_), name);
    if (!files::notRegularFile(file).empty()) {
        // Assimp then tries the model's own name with .mtl.
        file = path_.substr(0, path_.size() >= 3 ? path_.size() - 3 : 0) + "mtl";
        if (!files::notRegularFile(file).empty()) return;
    }
    readMtl(file);
}

void ObjReader::readMtl(const std::string& file) {
    const MappedFile mtl(file);
    const char* p = mtl.begin();
    const char* end = mtl.end();
    ObjMaterialValues* current = nullptr;
    int line = 0;
    auto fail = [&](const std::string& what) {
        throw SceneError(file + ":" + std::to_string(line) + ": " + what);
    };
    auto value = [&](const char*& q, const char* e, float& v) {
        q = skipBlanks(q, e);
        if (q == e) {
            v = 0;
            return;
        }
        const char* r = parseReal(q, e, v);
        if (!r) fail("expected a number, not '" + std::string(q, std::min<size_t>(size_t(e - q), 40)) + "'");
        q = skipToken(r, e);
    };
    // Assimp's colours: one number sets red alone, the others stay 0.
    auto colour = [&](const char* q, const char* e, float* c) {
        value(q, e, c[0]);
        c[1] = c[2] = 0;
        if (skipBlanks(q, e) == e) return;
        value(q, e, c[1]);
        value(q, e, c[2]);
    };
    while (p < end) {
        const char* e = p;
        while (e < end && *e != '\n' && *e != '\r') ++e;
        ++line;
        const char* q = skipBlanks(p, e);
        const std::string key = firstWord(q, e);
        const char* rest = skipToken(q, e);
        if (key == "newmtl") {
            std::string name = trimmed(rest, e);
            if (name.empty()) name = "DefaultMaterial";
            current = &library_[materialNamed(name)];
        } else if (current && !key.empty()) {
            const char k0 = key[0], k1 = key.size() > 1 ? key[1] : '\0';
            if ((k0 == 'K' || k0 == 'k') && k1 == 'd') colour(q + 2, e, current->kd);
            else if ((k0 == 'K' || k0 == 'k') && k1 == 's') colour(q + 2, e, current->ks);
            else if ((k0 == 'K' || k0 == 'k') && k1 == 'e' && key.size() == 2) colour(q + 2, e, current->ke);
            else if (k0 == 'T' && k1 == 'f') colour(q + 2, e, current->tf);
            else if (k0 == 'T' && k1 == 'r') {
                float tr;
                const char* r = q + 2;
                value(r, e, tr);
                current->d = 1.0f - tr;
            } else if (k0 == 'd' && key.compare(0, 4, "disp") != 0) {
                const char* r = q + 1;
                value(r, e, current->d);
            } else if ((k0 == 'N' || k0 == 'n') && k1 == 's') {
                const char* r = q + 2;
                value(r, e, current->ns);
            } else if ((k0 == 'N' || k0 == 'n') && k1 == 'i') {
                const char* r = q + 2;
                value(r, e, current->ior);
            } else if (k0 == 'i') {
                const std::string w = firstWord(skipBlanks(rest, e), e);
                current->illum = std::atoi(w.c_str());
            } else if (strncasecmp(key.c_str(), "map_Kd", 6) == 0) {
                // Options before the name: -o, -s and -t take three values, -mm two, the rest one.
                const char* r = skipBlanks(rest, e);
                while (r < e && *r == '-') {
                    const std::string opt = firstWord(r, e);
                    int skip = 1;
                    auto is = [&](const char* o) { return strncasecmp(opt.c_str(), o, std::strlen(o)) == 0; };
                    if (is("-clamp") || is("-type") || is("-blendu") || is("-blendv") || is("-boost") ||
                        is("-texres") || is("-bm") || is("-imfchan"))
                        skip = 2;
                    else if (is("-mm")) skip = 3;
                    else if (is("-o") || is("-s") || is("-t")) skip = 4;
                    for (int i = 0; i < skip; ++i) r = skipBlanks(skipToken(r, e), e);
                }
                current->diffuseMap = trimmed(r, e);
            }
        }
        p = e;
        if (p < end && *p == '\r') ++p;
        if (p < end && *p == '\n') ++p;
    }
}

}  // namespace

bool readObj(TriangleWriter& out, const std::string& path) {
    Scene& s = out.scene;
    const size_t triangles = s.triangles.size(), materials = s.materials.size(), warnings = s.warnings.size();
    try {
        ObjReader(out, path).read();
        return true;
    } catch (const LeaveToAssimp&) {
        s.triangles.resize(triangles);
        s.materials.resize(materials);
        s.warnings.resize(warnings);
        return false;
    }
}

}  // namespace tr

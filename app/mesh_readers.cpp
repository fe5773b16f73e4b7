// The file mapping, the triangle records, and the STL and PLY readers. Both formats are
// simple enough that a parser of our own beats a general library: binary files are read
// straight from the mapping into the scene's records, text files parsed in place.
#include "mesh_readers.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mesh_text.h"

namespace tr {

using namespace math;
using meshtext::MappedFile;

namespace meshtext {

MappedFile::MappedFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw SceneError(path + ": cannot open the file: " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        throw SceneError(path + ": cannot read the file: " + std::strerror(e));
    }
    size_ = size_t(st.st_size);
    if (size_ > 0) {
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) {
            const int e = errno;
            ::close(fd);
            throw SceneError(path + ": cannot read the file: " + std::strerror(e));
        }
        // Read ahead in large pieces; the advice values are not flags, so one call each.
        ::madvise(p, size_, MADV_SEQUENTIAL);
        ::madvise(p, size_, MADV_WILLNEED);
        data_ = static_cast<const char*>(p);
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (data_) ::munmap(const_cast<char*>(data_), size_);
}

}  // namespace meshtext

TriangleWriter::TriangleWriter(Scene& s, const M4& toWorld) : scene(s), g(toWorld) {
    // The same cofactors and sign as normalVector, computed once instead of per normal.
    const float* m = g.m;
    const V3 r0{m[0], m[1], m[2]}, r1{m[4], m[5], m[6]}, r2{m[8], m[9], m[10]};
    c0 = cross(r1, r2);
    c1 = cross(r2, r0);
    c2 = cross(r0, r1);
    flip = dot(r0, c0) < 0;
}

void TriangleWriter::reserve(size_t more) {
    std::vector<TriangleRecord>& t = scene.triangles;
    t.reserve(t.size() + more);
    adviseHugePages(t.data() + t.size(), (t.capacity() - t.size()) * sizeof(t[0]));
}

namespace {

inline V3 faceNormal(const float* t) {
    const V3 p0{t[0], t[1], t[2]}, p1{t[3], t[4], t[5]}, p2{t[6], t[7], t[8]};
    return normalize(cross(p1 - p0, p2 - p0));
}

}  // namespace

void TriangleWriter::add(const V3* p, const V3* n, const float* uv, int material) {
    TriangleRecord& t = scene.triangles.emplace_back();
    for (int v = 0; v < 3; ++v) store(&t.vertices[3 * v], point(g, p[v]));
    const V3 flat = faceNormal(t.vertices);
    for (int v = 0; v < 3; ++v) {
        V3 w{};
        if (n) {
            w = {dot(c0, n[v]), dot(c1, n[v]), dot(c2, n[v])};
            if (flip) w = w * -1.0f;
            w = normalize(w);
        }
        store(&t.normals[3 * v], length(w) > 0.5f ? w : flat);
    }
    if (uv) std::copy(uv, uv + 6, t.uvs);
    else std::fill(t.uvs, t.uvs + 6, 0.0f);
    t.materialId = material;
}

namespace {

// The material Assimp gives STL and PLY files, white or the colour a Materialise STL
// header names, with the highlight it implies through the OBJ mapping.
int defaultMaterial(TriangleWriter& out, const std::string& path, const float colour[3], const std::string& texture) {
    ObjMaterialValues v;
    v.name = "DefaultMaterial";
    std::copy(colour, colour + 3, v.kd);
    std::copy(colour, colour + 3, v.ks);
    v.diffuseMap = texture;
    Material m;
    objMaterial(v, path, m, out.scene.warnings);
    out.scene.materials.push_back(std::move(m));
    return int(out.scene.materials.size() - 1);
}

bool finite(const V3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

[[noreturn]] void notFinite(const std::string& where) {
    throw SceneError(where + ": a vertex coordinate is not a finite number");
}

// ---------------------------------------------------------------------------------
// STL

void readStlBinary(TriangleWriter& out, const std::string& path, const MappedFile& f, uint32_t count) {
    if (count == 0) throw SceneError(path + ": the STL file holds no facets");
    // Materialise writes a default colour into the header as COLOR= and four bytes.
    float colour[3] = {1, 1, 1};
    const unsigned char* header = reinterpret_cast<const unsigned char*>(f.begin());
    for (int i = 0; i + 10 <= 80; ++i)
        if (std::memcmp(header + i, "COLOR=", 6) == 0) {
            for (int k = 0; k < 3; ++k) colour[k] = header[i + 6 + k] * (1.0f / 255.0f);
            break;
        }
    const int material = defaultMaterial(out, path, colour, "");
    out.reserve(count);
    const char* p = f.begin() + 84;
    for (uint32_t i = 0; i < count; ++i, p += 50) {
        float v[12];
        std::memcpy(v, p, sizeof(v));  // little-endian floats, as x86 and ARM hold them
        const V3 n[3] = {{v[0], v[1], v[2]}, {v[0], v[1], v[2]}, {v[0], v[1], v[2]}};
        const V3 q[3] = {{v[3], v[4], v[5]}, {v[6], v[7], v[8]}, {v[9], v[10], v[11]}};
        if (!finite(q[0]) || !finite(q[1]) || !finite(q[2])) notFinite(path + ": facet " + std::to_string(i));
        out.add(q, n, nullptr, material);
    }
}

void readStlText(TriangleWriter& out, const std::string& path, const MappedFile& f) {
    using namespace meshtext;
    const char* p = f.begin();
    const char* end = f.end();
    int line = 1;
    auto next = [&]() {  // the next word, counting lines
        while (p < end && isSpace(*p)) line += *p++ == '\n';
        const char* w = p;
        p = skipToken(p, end);
        return std::string_view(w, size_t(p - w));
    };
    auto fail = [&](const std::string& what) { throw SceneError(path + ":" + std::to_string(line) + ": " + what); };
    auto readVector = [&](V3& v) {
        float* c[3] = {&v.x, &v.y, &v.z};
        for (float* x : c) {
            p = skipBlanks(p, end);
            const char* e = parseReal(p, end, *x);
            if (!e) fail("expected a number");
            p = e;
        }
    };
    const float white[3] = {1, 1, 1};
    const int material = defaultMaterial(out, path, white, "");
    out.reserve(f.size() / 250);
    size_t facets = 0;
    for (std::string_view w = next(); w == "solid"; w = next()) {
        while (p < end && *p != '\n') ++p;  // the solid's name
        for (;;) {
            w = next();
            if (w.empty() || w == "endsolid") break;
            if (w != "facet") fail("expected 'facet' or 'endsolid', not '" + std::string(w.substr(0, 40)) + "'");
            if (next() != "normal") fail("expected 'normal' after 'facet'");
            V3 n;
            readVector(n);
            if (next() != "outer" || next() != "loop") fail("expected 'outer loop'");
            V3 q[3];
            int corners = 0;
            for (w = next(); w == "vertex"; w = next()) {
                V3 v;
                readVector(v);
                if (corners < 3) q[corners] = v;  // Assimp drops the corners past the third, and so do we
                ++corners;
            }
            if (corners < 3) fail("a facet needs three vertices");
            if (w != "endloop" || next() != "endfacet") fail("expected 'endloop' and 'endfacet'");
            if (!finite(q[0]) || !finite(q[1]) || !finite(q[2])) notFinite(path + ":" + std::to_string(line));
            const V3 normals[3] = {n, n, n};
            out.add(q, normals, nullptr, material);
            ++facets;
        }
        while (p < end && *p != '\n') ++p;  // the name after endsolid
    }
    if (facets == 0) throw SceneError(path + ": the STL file holds no facets");
}

// ---------------------------------------------------------------------------------
// PLY

enum class PlyType { None, I8, U8, I16, U16, I32, U32, F32, F64 };

PlyType plyType(std::string_view s) {
    static const std::pair<const char*, PlyType> names[] = {
        {"char", PlyType::I8},     {"int8", PlyType::I8},      {"uchar", PlyType::U8},   {"uint8", PlyType::U8},
        {"short", PlyType::I16},   {"int16", PlyType::I16},    {"ushort", PlyType::U16}, {"uint16", PlyType::U16},
        {"int", PlyType::I32},     {"int32", PlyType::I32},    {"uint", PlyType::U32},   {"uint32", PlyType::U32},
        {"float", PlyType::F32},   {"float32", PlyType::F32},  {"double", PlyType::F64}, {"float64", PlyType::F64}};
    for (const auto& n : names)
        if (s == n.first) return n.second;
    return PlyType::None;
}
size_t plySize(PlyType t) {
    switch (t) {
        case PlyType::I8: case PlyType::U8: return 1;
        case PlyType::I16: case PlyType::U16: return 2;
        case PlyType::I32: case PlyType::U32: case PlyType::F32: return 4;
        case PlyType::F64: return 8;
        default: return 0;
    }
}

struct PlyProperty {
    std::string name;
    PlyType type = PlyType::None;
    PlyType countType = PlyType::None;  // set for lists
};
struct PlyElement {
    std::string name;
    uint64_t count = 0;
    std::vector<PlyProperty> properties;
};

// Reads one value of a PLY file, binary in either byte order or text.
struct PlyReader {
    const std::string& path;
    const char* p;
    const char* end;
    int format;  // 0 text, 1 little-endian, 2 big-endian
    const char* element = "";
    uint64_t index = 0;

    [[noreturn]] void truncated() const {
        throw SceneError(path + ": the file ends inside " + element + " " + std::to_string(index) +
                         " (truncated or corrupt)");
    }
    template <typename T>
    T raw() {
        if (size_t(end - p) < sizeof(T)) truncated();
        unsigned char b[sizeof(T)];
        std::memcpy(b, p, sizeof(T));
        p += sizeof(T);
        if (format == 2) std::reverse(b, b + sizeof(T));
        T v;
        std::memcpy(&v, b, sizeof(T));
        return v;
    }
    // Text: the next word; a number that does not parse is an error, not a zero.
    std::string_view word() {
        while (p < end && meshtext::isSpace(*p)) ++p;
        if (p == end) truncated();
        const char* w = p;
        p = meshtext::skipToken(p, end);
        return std::string_view(w, size_t(p - w));
    }
    [[noreturn]] void notANumber(std::string_view w) const {
        throw SceneError(path + ": " + element + " " + std::to_string(index) + ": '" + std::string(w.substr(0, 40)) +
                         "' is not a number");
    }
    double real(PlyType t) {
        if (format == 0) {
            const std::string_view w = word();
            float f;
            if (t == PlyType::F32 || t == PlyType::F64) {
                if (meshtext::parseReal(w.data(), w.data() + w.size(), f) != w.data() + w.size()) notANumber(w);
                return f;
            }
            return double(integer(t, w));
        }
        switch (t) {
            case PlyType::F32: return raw<float>();
            case PlyType::F64: return raw<double>();
            default: return double(integer(t));
        }
    }
    int64_t integer(PlyType t, std::string_view w = {}) {
        if (format == 0) {
            if (w.empty()) w = word();
            int64_t v = 0;
            const char* b = w.data() + (w[0] == '+');
            const std::from_chars_result r = std::from_chars(b, w.data() + w.size(), v);
            if (r.ec != std::errc() || r.ptr != w.data() + w.size()) {
                float f;  // some writers give integers as 3.0
                if (meshtext::parseReal(w.data(), w.data() + w.size(), f) != w.data() + w.size() || !std::isfinite(f))
                    notANumber(w);
                return int64_t(f);
            }
            return v;
        }
        switch (t) {
            case PlyType::I8: return raw<int8_t>();
            case PlyType::U8: return raw<uint8_t>();
            case PlyType::I16: return raw<int16_t>();
            case PlyType::U16: return raw<uint16_t>();
            case PlyType::I32: return raw<int32_t>();
            case PlyType::U32: return raw<uint32_t>();
            case PlyType::F32: return int64_t(raw<float>());
            case PlyType::F64: return int64_t(raw<double>());
            default: return 0;
        }
    }
    void skip(const PlyProperty& prop) {
        if (prop.countType != PlyType::None) {
            const int64_t n = integer(prop.countType);
            if (n < 0) throw SceneError(path + ": " + element + " " + std::to_string(index) + ": a negative list length");
            if (format != 0) {
                const uint64_t bytes = uint64_t(n) * plySize(prop.type);
                if (uint64_t(end - p) < bytes) truncated();
                p += bytes;
            } else {
                for (int64_t i = 0; i < n; ++i) word();
            }
        } else if (format != 0) {
            if (size_t(end - p) < plySize(prop.type)) truncated();
            p += plySize(prop.type);
        } else {
            word();
        }
    }
};

// Assimp's test for the concave corner of a quad, with its arithmetic.
template <typename Position>
int quadStart(const Position& pos) {
    for (int i = 0; i < 4; ++i) {
        const V3 v = pos(i);
        V3 left = pos((i + 3) % 4) - v, diag = pos((i + 2) % 4) - v, right = pos((i + 1) % 4) - v;
        auto unit = [](V3& a) {
            const float l = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
            if (l != 0) {
                const float inv = 1.0f / l;
                a = {a.x * inv, a.y * inv, a.z * inv};
            }
        };
        unit(left);
        unit(diag);
        unit(right);
        const float angle = std::acos(dot(left, diag)) + std::acos(dot(right, diag));
        if (angle > 3.1415926535897932f) return i;
    }
    return 0;
}

}  // namespace

int polygonStart(const V3* corners, int n) {
    return n == 4 ? quadStart([&](int i) { return corners[i]; }) : 0;
}

namespace {

struct PlyHeader {
    int format = -1;  // 0 text, 1 little-endian, 2 big-endian
    std::vector<PlyElement> elements;
    std::string texture;
};

// The header up to end_header, leaving p at the data; refuses counts the rest cannot hold.
PlyHeader readPlyHeader(const std::string& path, const char*& p, const char* end) {
    auto line = [&]() {
        const char* b = p;
        while (p < end && *p != '\n') ++p;
        const char* e = p;
        if (p < end) ++p;
        if (e > b && e[-1] == '\r') --e;
        return std::string_view(b, size_t(e - b));
    };
    auto words = [](std::string_view l) {
        std::vector<std::string_view> w;
        size_t i = 0;
        while (i < l.size()) {
            while (i < l.size() && meshtext::isBlank(l[i])) ++i;
            const size_t b = i;
            while (i < l.size() && !meshtext::isBlank(l[i])) ++i;
            if (i > b) w.push_back(l.substr(b, i - b));
        }
        return w;
    };
    if (line() != "ply") throw SceneError(path + ": not a PLY file (no 'ply' line at the start)");
    PlyHeader h;
    int& format = h.format;
    std::vector<PlyElement>& elements = h.elements;
    bool ended = false;
    for (int n = 0; p < end && n < 100000 && !ended; ++n) {
        const std::vector<std::string_view> w = words(line());
        if (w.empty()) continue;
        if (w[0] == "end_header") {
            ended = true;
        } else if (w[0] == "format" && w.size() >= 2) {
            format = w[1] == "ascii" ? 0 : w[1] == "binary_little_endian" ? 1 : w[1] == "binary_big_endian" ? 2 : -1;
            if (format < 0) throw SceneError(path + ": unknown PLY format '" + std::string(w[1]) + "'");
        } else if (w[0] == "element") {
            PlyElement e;
            e.name = w.size() > 1 ? std::string(w[1]) : "";
            const std::string count = w.size() > 2 ? std::string(w[2]) : "";
            const std::from_chars_result r = std::from_chars(count.data(), count.data() + count.size(), e.count);
            if (count.empty() || r.ec != std::errc() || r.ptr != count.data() + count.size())
                throw SceneError(path + ": element '" + e.name + "' has no valid count ('" + count + "')");
            elements.push_back(std::move(e));
        } else if (w[0] == "property") {
            if (elements.empty()) throw SceneError(path + ": a property before any element");
            PlyProperty prop;
            if (w.size() >= 5 && w[1] == "list") {
                prop.countType = plyType(w[2]);
                prop.type = plyType(w[3]);
                prop.name = w[4];
                if (prop.countType == PlyType::None || prop.countType == PlyType::F32 || prop.countType == PlyType::F64)
                    throw SceneError(path + ": property '" + prop.name + "' has no integer list count type");
            } else if (w.size() >= 3) {
                prop.type = plyType(w[1]);
                prop.name = w[2];
            }
            if (prop.type == PlyType::None)
                throw SceneError(path + ": property '" + prop.name + "' of element '" + elements.back().name +
                                 "' has an unknown type");
            elements.back().properties.push_back(std::move(prop));
        } else if (w[0] == "comment" && w.size() >= 3 && w[1] == "TextureFile") {
            h.texture = std::string(w[2]);
        }
    }
    if (!ended) throw SceneError(path + ": the PLY header has no end_header line");
    if (format < 0) throw SceneError(path + ": the PLY header has no format line");

    // A header may declare far more elements than the file holds; refused before anything
    // is reserved, since a few corrupt bytes would otherwise ask for gigabytes.
    const unsigned long long left = (unsigned long long)(end - p);
    for (const PlyElement& e : elements) {
        unsigned long long bytes = 0;
        for (const PlyProperty& prop : e.properties)
            bytes += format == 0 ? 2 : prop.countType != PlyType::None ? plySize(prop.countType) : plySize(prop.type);
        bytes = std::max<unsigned long long>(bytes, 1);
        if (e.count > left / bytes)
            throw SceneError(path + ": the header declares " + std::to_string(e.count) + " '" + e.name +
                             "' elements but the file holds " + std::to_string(left) +
                             " bytes after it (truncated or corrupt)");
    }

    return h;
}

struct PlyMesh {
    std::vector<V3> positions, normals;
    std::vector<std::array<float, 2>> uvs;
};

void readPlyVertices(PlyReader& in, const PlyElement& e, const std::string& path, PlyMesh& m) {
    int slot[8];  // x y z nx ny nz u v: the property index, or -1
    std::fill(slot, slot + 8, -1);
    static const char* names[8][3] = {{"x", "", ""},     {"y", "", ""},     {"z", "", ""},
                                      {"nx", "", ""},    {"ny", "", ""},    {"nz", "", ""},
                                      {"u", "s", "texture_u"}, {"v", "t", "texture_v"}};
    for (size_t k = 0; k < e.properties.size(); ++k) {
        const PlyProperty& prop = e.properties[k];
        if (prop.countType != PlyType::None) continue;
        for (int s = 0; s < 8; ++s)
            for (const char* nm : names[s])
                if (*nm && prop.name == nm && slot[s] < 0) slot[s] = int(k);
        if (prop.name == "texture_s" && slot[6] < 0) slot[6] = int(k);
        if (prop.name == "texture_t" && slot[7] < 0) slot[7] = int(k);
    }
    if (slot[0] < 0 || slot[1] < 0 || slot[2] < 0)
        throw SceneError(path + ": the 'vertex' element has no x, y and z");
    const bool hasNormals = slot[3] >= 0 || slot[4] >= 0 || slot[5] >= 0;
    const bool hasUv = slot[6] >= 0 || slot[7] >= 0;
    m.positions.resize(e.count);
    if (hasNormals) m.normals.resize(e.count);
    if (hasUv) m.uvs.resize(e.count);
    // Which of the eight each property feeds.
    std::vector<int> role(e.properties.size(), -1);
    for (int s = 0; s < 8; ++s)
        if (slot[s] >= 0) role[size_t(slot[s])] = s;
    for (uint64_t i = 0; i < e.count; ++i) {
        in.index = i;
        float v[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (size_t k = 0; k < e.properties.size(); ++k) {
            if (role[k] < 0) in.skip(e.properties[k]);
            else v[role[k]] = float(in.real(e.properties[k].type));
        }
        m.positions[i] = {v[0], v[1], v[2]};
        if (!finite(m.positions[i])) notFinite(path + ": vertex " + std::to_string(i));
        if (hasNormals) m.normals[i] = {v[3], v[4], v[5]};
        if (hasUv) m.uvs[i] = {v[6], v[7]};
    }
}

// The faces as triangles, of the file's one material (made at the first face element).
void readPlyFaces(PlyReader& in, const PlyElement& e, const PlyHeader& h, const PlyMesh& m, bool haveVertices,
                  int& material, TriangleWriter& out) {
    const std::string& path = in.path;
    std::vector<V3> corners;
    std::vector<uint32_t> polygon;
    int list = -1;
    for (size_t k = 0; k < e.properties.size(); ++k)
        if (e.properties[k].countType != PlyType::None &&
            (e.properties[k].name == "vertex_indices" || e.properties[k].name == "vertex_index"))
            list = int(k);
    if (list < 0) throw SceneError(path + ": the 'face' element has no vertex_indices list");
    if (!haveVertices) throw SceneError(path + ": the faces come before the vertices");
    if (material < 0) {
        const float white[3] = {1, 1, 1};
        material = defaultMaterial(out, path, white, h.texture);
    }
    out.reserve(e.count);
    const PlyProperty& lp = e.properties[size_t(list)];
    for (uint64_t i = 0; i < e.count; ++i) {
        in.index = i;
        for (size_t k = 0; k < e.properties.size(); ++k) {
            if (int(k) != list) {
                in.skip(e.properties[k]);
                continue;
            }
            const int64_t n = in.integer(lp.countType);
            if (n < 0) throw SceneError(path + ": face " + std::to_string(i) + ": a negative list length");
            polygon.resize(size_t(n));
            for (int64_t c = 0; c < n; ++c) {
                const int64_t at = in.integer(lp.type);
                if (at < 0 || uint64_t(at) >= m.positions.size())
                    throw SceneError(path + ": face " + std::to_string(i) + " refers to vertex " +
                                     std::to_string(at) + ", but the file has " +
                                     std::to_string(m.positions.size()) + " vertices");
                polygon[size_t(c)] = uint32_t(at);
            }
        }
        const size_t n = polygon.size();
        if (n < 3) continue;  // points and lines draw nothing
        corners.resize(n);
        for (size_t c = 0; c < n; ++c) corners[c] = m.positions[polygon[c]];
        const int s = polygonStart(corners.data(), int(n));
        for (size_t k = 1; k + 1 < n; ++k) {
            const uint32_t idx[3] = {polygon[size_t(s)], polygon[(s + k) % n], polygon[(s + k + 1) % n]};
            const V3 q[3] = {m.positions[idx[0]], m.positions[idx[1]], m.positions[idx[2]]};
            V3 nn[3];
            float uv[6];
            for (int c = 0; c < 3; ++c) {
                if (!m.normals.empty()) nn[c] = m.normals[idx[c]];
                if (!m.uvs.empty()) {
                    uv[2 * c] = m.uvs[idx[c]][0];
                    uv[2 * c + 1] = m.uvs[idx[c]][1];
                }
            }
            out.add(q, m.normals.empty() ? nullptr : nn, m.uvs.empty() ? nullptr : uv, material);
        }
    }
}

}  // namespace

void readPly(TriangleWriter& out, const std::string& path) {
    const MappedFile f(path);
    const char* p = f.begin();
    const char* end = f.end();
    if (f.size() == 0) throw SceneError(path + ": the file is empty");
    const PlyHeader h = readPlyHeader(path, p, end);
    PlyReader in{path, p, end, h.format};
    PlyMesh m;
    bool haveVertices = false;
    int material = -1;
    for (const PlyElement& e : h.elements) {
        in.element = e.name.c_str();
        if (e.name == "vertex") {
            if (haveVertices) throw SceneError(path + ": more than one 'vertex' element");
            readPlyVertices(in, e, path, m);
            haveVertices = true;
        } else if (e.name == "face") {
            readPlyFaces(in, e, h, m, haveVertices, material, out);
        } else {
            for (uint64_t i = 0; i < e.count; ++i) {
                in.index = i;
                for (const PlyProperty& prop : e.properties) in.skip(prop);
            }
        }
    }
}

void readStl(TriangleWriter& out, const std::string& path) {
    const MappedFile f(path);
    if (f.size() == 0) throw SceneError(path + ": the file is empty");
    uint32_t count = 0;
    if (f.size() >= 84) std::memcpy(&count, f.begin() + 80, 4);
    // A binary file's size is fixed by its facet count; text files start with "solid",
    // which some binary writers also put in their header.
    if (f.size() >= 84 && f.size() == 84 + 50 * uint64_t(count)) return readStlBinary(out, path, f, count);
    const char* p = meshtext::skipBlanks(f.begin(), f.end());
    while (p < f.end() && meshtext::isSpace(*p)) ++p;
    if (f.end() - p > 5 && std::memcmp(p, "solid", 5) == 0) return readStlText(out, path, f);
    throw SceneError(path + ": neither a binary STL file (its header counts " + std::to_string(count) +
                     " facets, which take " + std::to_string(84 + 50 * uint64_t(count)) + " bytes, but the file has " +
                     std::to_string(f.size()) + ") nor a text one (starting with 'solid')");
}

}  // namespace tr

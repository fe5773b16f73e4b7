// The Python module: converts Python values into the scene that tessra-render also builds
// (app/scene.h) and drives one render per call with the GIL released. Callbacks and the
// abort poll take the GIL back; library messages, callback exceptions and Ctrl-C come back
// to Python as exceptions once the library has returned.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "image_io.h"
#include "scene.h"
#include "scene_math.h"
#include "tessra.h"

namespace py = pybind11;

namespace {

// What the library said through its message handler; tessra.Error in Python.
struct LibraryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------------
// Buffers

// A C-contiguous view of any object with the buffer protocol, released on scope exit.
class View {
public:
    View(py::handle obj, const char* what)
        : what_(what), raw_(PyBytes_Check(obj.ptr()) || PyByteArray_Check(obj.ptr())) {
        if (PyObject_GetBuffer(obj.ptr(), &v_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            PyErr_Clear();
            throw py::type_error(std::string(what) + ": expected an object with the buffer protocol (bytes, "
                                 "array.array, memoryview, numpy array), not " +
                                 std::string(py::str(py::type::of(obj).attr("__name__"))));
        }
    }
    ~View() { PyBuffer_Release(&v_); }
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // The elements as doubles. bytes and bytearray hold raw native float32 values, or
    // uint32 ones when `integral`; every other buffer is read by its format.
    std::vector<double> numbers(bool integral) const {
        const std::string f = format();
        const char* p = static_cast<const char*>(v_.buf);
        const size_t bytes = size_t(v_.len);
        std::vector<double> out;
        auto each = [&](auto tag) {
            using T = decltype(tag);
            if (bytes % sizeof(T)) throw py::value_error(std::string(what_) + ": " + std::to_string(bytes) +
                                                         " bytes are not a whole number of " +
                                                         std::to_string(sizeof(T)) + "-byte values");
            out.resize(bytes / sizeof(T));
            for (size_t i = 0; i < out.size(); ++i) {
                T t;
                std::memcpy(&t, p + i * sizeof(T), sizeof(T));
                out[i] = double(t);
            }
        };
        if (raw()) {
            if (integral) each(uint32_t());
            else each(float());
        } else if (f.size() != 1) {
            throw py::value_error(std::string(what_) + ": unsupported buffer format '" + f + "'");
        } else {
            switch (f[0]) {
                case 'f': each(float()); break;
                case 'd': each(double()); break;
                case 'b': each(int8_t()); break;
                case 'B': each(uint8_t()); break;
                case 'h': each(int16_t()); break;
                case 'H': each(uint16_t()); break;
                case 'i': each(int32_t()); break;
                case 'I': each(uint32_t()); break;
                case 'l': each(long()); break;
                case 'L': each((unsigned long)0); break;
                case 'q': each((long long)0); break;
                case 'Q': each((unsigned long long)0); break;
                default: throw py::value_error(std::string(what_) + ": unsupported buffer format '" + f + "'");
            }
            if (integral && (f[0] == 'f' || f[0] == 'd'))
                throw py::value_error(std::string(what_) + ": expected integers, got a float buffer");
        }
        return out;
    }

    // The elements where the buffer holds them, when it holds T of the kind asked for
    // (float32 values, or 32-bit indices, signed ones flagged) and they are aligned.
    template <typename T>
    const T* inPlace(bool integral, bool& isSigned) const {
        const std::string f = format();
        isSigned = !raw() && f == "i";
        const bool match = integral ? (raw() || f == "I" || f == "i") : (raw() || f == "f");
        if (!match || size_t(v_.len) % sizeof(T) || reinterpret_cast<uintptr_t>(v_.buf) % alignof(T)) return nullptr;
        return static_cast<const T*>(v_.buf);
    }
    size_t bytes() const { return size_t(v_.len); }

private:
    // The element format without its native byte-order mark.
    std::string format() const {
        std::string f = v_.format ? v_.format : "B";
        if (!f.empty() && std::strchr("@=<", f[0])) f.erase(0, 1);
        return f;
    }
    // Raw native values: bytes, bytearray and char buffers.
    bool raw() const { return raw_ || format() == "c"; }

    Py_buffer v_{};
    const char* what_;
    bool raw_;
};

// A mesh buffer's elements as float values or uint32 indices: read where the buffer lies
// when it holds them already (Blender's float32 and int32 arrays), else converted once.
// A million-face mesh's buffers as doubles took a second of fresh memory.
template <typename T>
class Elements {
public:
    Elements() = default;
    Elements(py::handle obj, const char* what) : view_(std::make_unique<View>(obj, what)) {
        constexpr bool integral = std::is_integral_v<T>;
        if (const T* p = view_->inPlace<T>(integral, signed_)) {
            data_ = p;
            size_ = view_->bytes() / sizeof(T);
            return;
        }
        signed_ = false;
        const std::vector<double> wide = view_->numbers(integral);
        owned_.resize(wide.size());
        for (size_t i = 0; i < wide.size(); ++i) {
            if constexpr (integral) {
                // An index outside uint32 reads as its largest, which no mesh has elements
                // for; the first is kept to be reported as given.
                const bool fits = wide[i] >= 0 && wide[i] <= 4294967295.0;
                if (!fits && unfitAt_ == SIZE_MAX) unfitAt_ = i, unfit_ = (long long)wide[i];
                owned_[i] = fits ? T(wide[i]) : T(4294967295u);
            } else {
                owned_[i] = T(wide[i]);
            }
        }
        data_ = owned_.data();
        size_ = owned_.size();
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T operator[](size_t i) const { return data_[i]; }
    // Index i as the caller gave it.
    long long given(size_t i) const {
        if (i == unfitAt_) return unfit_;
        return signed_ ? (long long)int32_t(data_[i]) : (long long)data_[i];
    }

private:
    std::unique_ptr<View> view_;
    std::vector<T> owned_;
    const T* data_ = nullptr;
    size_t size_ = 0;
    bool signed_ = false;
    size_t unfitAt_ = SIZE_MAX;
    long long unfit_ = 0;
};
using Values = Elements<float>;
using Indices = Elements<uint32_t>;

// Checked: a whole number of `multiple`, every value a finite float.
Values finiteValues(py::handle obj, const char* what, size_t multiple) {
    Values v(obj, what);
    if (v.size() % multiple)
        throw py::value_error(std::string(what) + ": " + std::to_string(v.size()) + " values are not a multiple of " +
                              std::to_string(multiple));
    for (size_t i = 0; i < v.size(); ++i)
        if (!std::isfinite(v[i]))
            throw py::value_error(std::string(what) + ": value " + std::to_string(i) + " is not a finite float");
    return v;
}

std::array<float, 3> vec3(py::handle obj, const char* what) {
    std::vector<double> v;
    try {
        for (py::handle x : py::reinterpret_borrow<py::sequence>(obj)) v.push_back(x.cast<double>());
    } catch (const py::cast_error&) {
        v.clear();
    }
    if (!py::isinstance<py::sequence>(obj) || v.size() != 3)
        throw py::value_error(std::string(what) + ": expected three numbers");
    for (double x : v)
        if (!std::isfinite(x)) throw py::value_error(std::string(what) + ": expected finite numbers");
    return {float(v[0]), float(v[1]), float(v[2])};
}

float finite(double x, const char* what) {
    if (!std::isfinite(x) || std::fabs(x) > 3.0e38) throw py::value_error(std::string(what) + ": expected a finite number");
    return float(x);
}

// ---------------------------------------------------------------------------------
// Image

struct Image {
    tr::Image data;
    Image(int w, int h) {
        data.width = w;
        data.height = h;
        data.rgba.assign(size_t(w) * h * 4, 0.0f);
    }
};

// One output pass of an image, viewed in place: the image stays alive as long as the view.
struct Pass {
    std::shared_ptr<Image> image;
    std::vector<float> tr::Image::*values;
    int channels;
    const std::vector<float>& data() const { return image->data.*values; }
};

// The pixels of a rectangle (row 0 at the top of the image), bottom row first, as a flat
// array.array('f'): the order Blender's render result takes.
py::object bottomUpTile(const std::vector<float>& v, int width, int height, int channels, int x, int y, int w, int h) {
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || x + w > width || y + h > height)
        throw py::value_error("tile: the rectangle leaves the image");
    const size_t rowBytes = size_t(w) * channels * sizeof(float);
    std::string bytes(rowBytes * h, '\0');
    char* out = bytes.data();
    for (int row = y + h - 1; row >= y; --row, out += rowBytes)
        std::memcpy(out, &v[(size_t(row) * width + x) * channels], rowBytes);
    return py::module_::import("array").attr("array")("f", py::bytes(bytes));
}

// ---------------------------------------------------------------------------------
// Materials

struct Material {
    tr::Material m;
};

uint8_t byte(float v) { return uint8_t(std::lround(std::clamp(v, 0.0f, 1.0f) * 255)); }
std::array<float, 3> colour(const uint8_t* c) { return {c[0] / 255.0f, c[1] / 255.0f, c[2] / 255.0f}; }
void setColour(py::handle obj, const char* what, uint8_t* out, bool& flag) {
    const auto c = vec3(obj, what);
    for (int i = 0; i < 3; ++i) out[i] = byte(c[i]);
    flag = out[0] || out[1] || out[2];
}

// ---------------------------------------------------------------------------------
// Messages: the library's message handler is process-wide; the render in progress
// collects what it says.

std::mutex g_messagesMutex;
std::vector<std::string>* g_messages = nullptr;

void onMessage(const char* text, const char* title, void*) {
    std::string line = (title && *title ? std::string(title) + ": " : "") + (text ? text : "");
    while (!line.empty() && line.back() == '\n') line.pop_back();
    std::lock_guard<std::mutex> lock(g_messagesMutex);
    if (g_messages) g_messages->push_back(line);
    else std::fprintf(stderr, "tessra: %s\n", line.c_str());
}

struct MessageSink {
    std::vector<std::string> lines;
    std::vector<std::string>* previous;
    MessageSink() {
        std::lock_guard<std::mutex> lock(g_messagesMutex);
        previous = g_messages;
        g_messages = &lines;
    }
    ~MessageSink() {
        std::lock_guard<std::mutex> lock(g_messagesMutex);
        g_messages = previous;
    }
};

// ---------------------------------------------------------------------------------
// The host of one render

class Host : public TessraCallbacks {
public:
    Host(std::shared_ptr<Image> image, py::object onTile, py::object onStatus, py::object shouldAbort,
         py::object imageObject)
        : image_(std::move(image)), onTile_(std::move(onTile)), onStatus_(std::move(onStatus)),
          shouldAbort_(std::move(shouldAbort)), imageObject_(std::move(imageObject)) {}

    void DrawPixels(const float* rgba, uint32_t count, uint32_t x, uint32_t y) override {
        tr::Image& im = image_->data;
        if (y >= uint32_t(im.height) || x >= uint32_t(im.width)) return;
        count = std::min(count, uint32_t(im.width) - x);
        float* out = &im.rgba[(size_t(y) * im.width + x) * 4];
        std::copy(rgba, rgba + 4 * size_t(count), out);
        // Unless it is coverage, delivered alpha means nothing: a drawn pixel is opaque, one
        // not drawn yet stays 0.
        for (uint32_t i = 0; !im.alpha && i < count; ++i) out[4 * i + 3] = 1.0f;
    }
    // The library also delivers a tile in progress during long reflection passes, so a tile
    // is known to be finished only once the next one arrives or the render has completed.
    void TileFinished(uint32_t x, uint32_t y, uint32_t w, uint32_t h) override {
        const tr::Image& im = image_->data;
        if (x >= uint32_t(im.width) || y >= uint32_t(im.height)) return;
        if (pending_ && (pending_->x != x || pending_->y != y)) finishPending();
        if (tiles_.count({x, y})) return;
        // The library reports whole tiles; the host is told only the part it asked for.
        const uint32_t x0 = std::max(x, crop[0]), y0 = std::max(y, crop[1]);
        const uint32_t x1 = std::min({x + w, uint32_t(im.width), crop[2]});
        const uint32_t y1 = std::min({y + h, uint32_t(im.height), crop[3]});
        if (x1 <= x0 || y1 <= y0) return;
        pending_ = TessraUInt3{x, y, 0};
        pendingRect_ = {x0, y0, x1 - x0, y1 - y0};
    }
    // After a complete render: the last tile.
    void finishPending() {
        if (!pending_) return;
        const TessraUInt3 t = *pending_;
        pending_.reset();
        tiles_.insert({t.x, t.y});
        ++tilesDone;
        if (onTile_.is_none() || failed()) return;
        const std::array<uint32_t, 4> r = pendingRect_;
        call([&] { onTile_(imageObject_, r[0], r[1], r[2], r[3]); });
    }
    void SetStatusText(const char* text) override {
        if (onStatus_.is_none() || failed()) return;
        const std::string t = text ? text : "";
        if (t == lastStatus_) return;
        lastStatus_ = t;
        call([&] { onStatus_(t); });
    }
    bool AbortRequested() override {
        if (failed()) return true;
        call([&] {
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (!shouldAbort_.is_none() && py::bool_(shouldAbort_())) aborted = true;
        });
        return failed() || aborted;
    }
    void SetFinalGatherCount(uint32_t) override {}
    void ReportIrradianceTime(float, float) override {}
    void SetPhotonCount(uint32_t) override {}

    bool failed() const { return error != nullptr; }

    // The first Python exception raised in a callback; raised again once the render is over.
    std::unique_ptr<py::error_already_set> error;
    bool aborted = false;
    int tilesDone = 0;
    std::array<uint32_t, 4> crop{0, 0, ~0u, ~0u};  // x0, y0, x1, y1

private:
    template <class F>
    void call(F&& f) {
        py::gil_scoped_acquire gil;
        try {
            f();
        } catch (py::error_already_set& e) {
            if (!error) error = std::make_unique<py::error_already_set>(std::move(e));
        } catch (const std::exception& e) {
            if (!error) {
                PyErr_SetString(PyExc_RuntimeError, e.what());
                error = std::make_unique<py::error_already_set>();
            }
        }
    }

    std::shared_ptr<Image> image_;
    py::object onTile_, onStatus_, shouldAbort_, imageObject_;
    std::set<std::pair<uint32_t, uint32_t>> tiles_;
    std::optional<TessraUInt3> pending_;
    std::array<uint32_t, 4> pendingRect_{};  // x, y, width, height
    std::string lastStatus_;
};

// ---------------------------------------------------------------------------------
// Renderer

int decayCode(py::handle d) {
    if (d.is_none()) return tr::kDecayAuto;
    if (py::isinstance<py::str>(d)) {
        const std::string s = d.cast<std::string>();
        if (s == "none") return tr::kDecayAuto;
        if (s == "inverse") return 2;
        if (s == "inverse_square") return 3;
    }
    throw py::value_error("decay: expected None, 'none', 'inverse' or 'inverse_square'");
}

struct Renderer {
    TessraRendererCUDA* settings;  // holds the public fields only; never renders
    tr::Scene scene;
    std::vector<std::pair<py::object, int>> materialIndex;  // Python material -> scene index
    bool hasCamera = false, fovSet = false;
    std::set<std::string> given;  // settings the user assigned
    // tessra-render's antialiasing unless the user picks another.
    uint32_t aaSamples = tr::kDefaultAaSamples;
    float aaThreshold = tr::kDefaultAaThreshold;
    bool transparent = false;
    float pixelAspect = 1.0f;
    uint64_t supersampled = 0;
    bool rendering = false;  // the scene is read without the GIL then
    // A render's library renderer holds the scene's triangles while it lives.
    const TessraRendererCUDA* lentTo = nullptr;
    const std::vector<TriangleRecord>& triangles() const { return lentTo ? lentTo->triangles : scene.triangles; }

    void checkIdle() const {
        if (rendering) throw std::runtime_error("the renderer is rendering; change the scene after render() returns");
    }
    py::object lastImage = py::none();

    Renderer(int width, int height) : settings(Tessra_InitRenderer()) {
        if (!settings) throw std::runtime_error("cannot create the renderer");
        settings->shadowMode = 1;
        setInt("pathBounces", tr::kDefaultPathBounces);
        setInt("width", width);
        setInt("height", height);
    }
    ~Renderer() { Tessra_DeleteRenderer(&settings); }
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    void setText(const char* field, const std::string& value) {
        std::string error;
        if (!tr::applySetting(*settings, field, value, error)) throw py::value_error(error);
    }
    void setInt(const char* field, long long v) { setText(field, std::to_string(v)); }

    int material(py::object m) {
        if (m.is_none()) {
            // Never destroyed: a static's destructor would run after the interpreter is gone.
            static const py::object& defaultMaterial = *new py::object(py::cast(Material{}));
            m = defaultMaterial;
        }
        if (!py::isinstance<Material>(m)) throw py::type_error("material: expected a tessra.Material");
        for (const auto& [obj, index] : materialIndex)
            if (obj.is(m)) return index;
        const int index = int(scene.materials.size());
        scene.materials.push_back(m.cast<const Material&>().m);
        materialIndex.emplace_back(m, index);
        return index;
    }

    // Vertex indices (or, with an attribute's own index buffer, attribute indices) checked
    // against the number of elements they index.
    // count 0 takes any number of indices (the triangles' own).
    static Indices indexBuffer(py::handle obj, const char* what, size_t count, size_t elements, const char* unit) {
        Indices idx(obj, what);
        if (count && idx.size() != count)
            throw py::value_error(std::string(what) + ": " + std::to_string(idx.size()) + " indices, expected " +
                                  std::to_string(count));
        for (size_t i = 0; i < idx.size(); ++i)
            if (idx[i] >= elements || idx.given(i) < 0)
                throw py::value_error(std::string(what) + ": index " + std::to_string(i) + " is " +
                                      std::to_string(idx.given(i)) + ", outside the " + std::to_string(elements) +
                                      " " + unit);
        return idx;
    }

    // An attribute with `width` numbers per element, indexed per triangle corner by its own
    // indices (read into `own`) or else by the vertex indices; `idx` is set to those used.
    // Indices already read for another attribute from the same object (`sameAs`) are reused.
    static Values attribute(py::handle values, py::handle ownIndices, const char* what, const char* indicesName,
                            size_t width, size_t vertices, const Indices& vertexIdx, Indices& own,
                            const Indices*& idx, py::handle sameAs = py::handle(), const Indices* read = nullptr) {
        Values v = finiteValues(values, what, width);
        if (read && !ownIndices.is_none() && ownIndices.is(sameAs) && !read->empty()) {
            for (size_t i = 0; i < read->size(); ++i)
                if ((*read)[i] >= v.size() / width)
                    throw py::value_error(std::string(indicesName) + ": an index lies outside the " +
                                          std::to_string(v.size() / width) + " " + what);
            idx = read;
        } else if (ownIndices.is_none()) {
            if (v.size() != width * vertices)
                throw py::value_error(std::string(what) + ": " + std::to_string(v.size() / width) + " values for " +
                                      std::to_string(vertices) + " vertices");
            idx = &vertexIdx;
        } else {
            own = indexBuffer(ownIndices, indicesName, vertexIdx.size(), v.size() / width, what);
            idx = &own;
        }
        return v;
    }

    void addMesh(py::object positions, py::object indices, py::object normals, py::object normalIndices,
                 py::object uvs, py::object uvIndices, py::object mat, py::object materialIndices,
                 py::object transform, bool flipNormals) {
        checkIdle();
        using namespace tr::math;
        const Values p = finiteValues(positions, "positions", 3);
        const size_t nv = p.size() / 3;
        const Indices idx = indexBuffer(indices, "indices", 0, nv, "vertices");
        const size_t corners = idx.size();
        if (corners % 3) throw py::value_error("indices: " + std::to_string(corners) + " values are not a multiple of 3");
        Values n, uv;
        Indices nOwn, uvOwn, mIdx;
        const Indices *nIdx = nullptr, *uvIdx = nullptr;
        if (!normals.is_none())
            n = attribute(normals, normalIndices, "normals", "normal_indices", 3, nv, idx, nOwn, nIdx);
        // Blender hands one corner list for both.
        if (!uvs.is_none())
            uv = attribute(uvs, uvIndices, "uvs", "uv_indices", 2, nv, idx, uvOwn, uvIdx, normalIndices, nIdx);
        M4 t = M4::identity();
        const bool transformed = !transform.is_none();
        if (transformed) {
            const Values m = finiteValues(transform, "transform", 16);
            if (m.size() != 16) throw py::value_error("transform: expected 16 numbers, row by row");
            for (int i = 0; i < 16; ++i) t.m[i] = m[i];
        }
        // One material, or a list of them picked per triangle by material_indices.
        std::vector<int> materialIds;
        if (py::isinstance<py::list>(mat) || py::isinstance<py::tuple>(mat)) {
            if (materialIndices.is_none()) throw py::value_error("material_indices: required with a list of materials");
            const py::sequence list = mat;
            if (list.size() == 0) throw py::value_error("material: the list is empty");
            mIdx = indexBuffer(materialIndices, "material_indices", corners / 3, list.size(), "materials");
            for (py::handle m : list) materialIds.push_back(material(py::reinterpret_borrow<py::object>(m)));
        } else {
            if (!materialIndices.is_none()) throw py::value_error("material_indices: needs a list of materials");
            materialIds.push_back(material(mat));
        }
        auto vec = [](const Values& a, size_t i) { return V3{a[3 * i], a[3 * i + 1], a[3 * i + 2]}; };
        // Grown by half at least, or a scene of many small meshes copies its list once per
        // mesh; fresh memory in 4 kB pages costs more to fault in than to fill.
        std::vector<TriangleRecord>& list = scene.triangles;
        const size_t first = list.size();
        if (first + corners / 3 > list.capacity()) {
            list.reserve(std::max(first + corners / 3, list.capacity() + list.capacity() / 2));
            tr::adviseHugePages(list.data() + first, (list.capacity() - first) * sizeof(TriangleRecord));
        }
        list.resize(first + corners / 3);
        for (size_t f = 0; f < corners; f += 3) {
            TriangleRecord& tri = list[first + f / 3];
            V3 v[3];
            for (int k = 0; k < 3; ++k) {
                v[k] = vec(p, idx[f + k]);
                if (transformed) v[k] = point(t, v[k]);
                store(&tri.vertices[3 * k], v[k]);
                if (!n.empty()) {
                    const V3 nn = vec(n, (*nIdx)[f + k]) * (flipNormals ? -1.0f : 1.0f);
                    store(&tri.normals[3 * k], transformed ? normalVector(t, nn) : nn);
                }
                if (!uv.empty()) {
                    tri.uvs[2 * k] = uv[2 * size_t((*uvIdx)[f + k])];
                    tri.uvs[2 * k + 1] = uv[2 * size_t((*uvIdx)[f + k]) + 1];
                }
            }
            if (n.empty()) {
                const V3 face = normalize(cross(v[1] - v[0], v[2] - v[0])) * (flipNormals ? -1.0f : 1.0f);
                for (int k = 0; k < 3; ++k) store(&tri.normals[3 * k], face);
            }
            tri.materialId = materialIds[mIdx.empty() ? 0 : size_t(mIdx[f / 3])];
        }
    }

    void addLight(LightType kind, py::object position, py::object color, double intensity, py::object decay,
                  double decayStart, py::object direction, py::object up, double radius, double width,
                  double height, double falloff, py::object hotspot, bool cosine) {
        checkIdle();
        tr::Light l;
        l.kind = kind;
        l.cosine = cosine;
        const auto pos = vec3(position, "position");
        const auto col = vec3(color, "color");
        std::copy(pos.begin(), pos.end(), l.position);
        std::copy(col.begin(), col.end(), l.color);
        l.intensity = finite(intensity, "intensity");
        l.decay = decayCode(decay);
        l.decayStart = finite(decayStart, "decay_start");
        if (kind == LIGHT_OMNI_SPHERE) {
            l.radius = finite(radius, "radius");
            if (!(l.radius > 0)) throw py::value_error("radius: a sphere light needs a radius > 0");
        }
        if (kind == LIGHT_RECT) {
            l.width = finite(width, "width");
            l.height = finite(height, "height");
            if (!(l.width > 0 && l.height > 0)) throw py::value_error("width, height: a rect light needs both > 0");
        }
        if (kind != LIGHT_OMNI && kind != LIGHT_OMNI_SPHERE) {
            const auto d = vec3(direction, "direction");
            if (d[0] == 0 && d[1] == 0 && d[2] == 0) throw py::value_error("direction: must not be zero");
            const auto u = vec3(up, "up");
            tr::orientLight(l, d.data(), u.data());
        }
        if (kind != LIGHT_OMNI && kind != LIGHT_OMNI_SPHERE && kind != LIGHT_RECT) {
            l.falloff = finite(falloff, "falloff");
            l.hotspot = hotspot.is_none() ? l.falloff * 0.8f : finite(hotspot.cast<double>(), "hotspot");
            if (!(l.falloff > 0)) throw py::value_error("falloff: must be > 0");
            if (!(l.hotspot < l.falloff)) throw py::value_error("hotspot: must be smaller than the falloff");
        }
        scene.lights.push_back(l);
    }

    void setCamera(py::object position, py::object lookAt, py::object up, double fovDegrees) {
        checkIdle();
        const auto e = vec3(position, "position"), a = vec3(lookAt, "look_at"), u = vec3(up, "up");
        tr::Camera c;
        std::string key, error;
        if (!tr::lookAtCamera(e.data(), a.data(), u.data(), finite(fovDegrees, "fov_degrees"), c, key, error))
            throw py::value_error((key == "fov" ? std::string("fov_degrees") : key) + ": " + error);
        scene.camera = c;
        scene.hasCamera = hasCamera = true;
        settings->fieldOfView = c.fovRadians;
        fovSet = true;
    }

    // A library renderer with this one's settings and camera, deleted with the object.
    struct LibraryRenderer {
        TessraRendererCUDA* r;
        explicit LibraryRenderer(const Renderer& from) : r(Tessra_InitRenderer()) {
            if (!r) throw std::runtime_error("cannot create the renderer");
            // The settings travel by name, through the same table as tessra-render's --set.
            for (const std::string& name : tr::settingNames()) {
                std::string error;
                tr::applySetting(*r, name, tr::settingValue(*from.settings, name), error);
            }
            const tr::Camera camera = from.hasCamera ? from.scene.camera : tr::defaultCamera(from.scene);
            if (!from.fovSet) r->fieldOfView = camera.fovRadians;
            tr::cameraMatrix(camera, r->cameraMatrix);
            Tessra_SetSupersampling(r, from.aaSamples, from.aaThreshold);
            Tessra_SetAlphaCoverage(r, from.transparent);
            Tessra_SetPixelAspect(r, from.pixelAspect);
        }
        ~LibraryRenderer() { Tessra_DeleteRenderer(&r); }
        LibraryRenderer(const LibraryRenderer&) = delete;
        LibraryRenderer& operator=(const LibraryRenderer&) = delete;
    };

    bool open(const char* field) const { return !given.count(field); }
    // Hands the scene over (the triangles moved from `handOver` where given, else copied),
    // then fills in the settings the user left open as tessra-render does, so that the two
    // give the same image of the same scene.
    void feed(TessraRendererCUDA& r, std::vector<TriangleRecord>* handOver = nullptr) const {
        tr::feedRenderer(scene, r, handOver);
        tr::completeSettings(r, [&](const char* f) { return open(f); });
    }

    py::dict suggestPhotonSettings() const {
        if (scene.triangles.empty()) throw py::value_error("the scene has no triangles");
        // Lights fade differently under indirect light, so the suggestion is for a
        // photon-mapped render with this renderer's other settings.
        LibraryRenderer owner(*this);
        owner.r->indirectIllumination = owner.r->usePhotonMapping = true;
        feed(*owner.r);
        TessraPhotonSettings s;
        if (Tessra_SuggestPhotonSettings(owner.r, &s) != 0)
            throw py::value_error("the scene's triangles have no area");
        py::dict d;
        d["photon_energy"] = s.photonEnergy;
        d["photon_search_distance"] = s.photonSearchDistance;
        d["ambient_light_intens"] = s.ambientLightIntens;
        d["irradiance_samples"] = s.irradianceSamples;
        d["fg_record_density"] = s.FG_record_density;
        return d;
    }

    py::object render(py::object onTile, py::object onStatus, py::object shouldAbort, py::iterable passes,
                      py::object crop) {
        checkIdle();
        std::array<uint32_t, 4> window{0, 0, uint32_t(settings->width), uint32_t(settings->height)};
        if (!crop.is_none()) {
            const auto c = crop.cast<std::vector<long long>>();
            if (c.size() != 4 || c[0] < 0 || c[1] < 0 || c[2] > settings->width || c[3] > settings->height ||
                c[2] <= c[0] || c[3] <= c[1])
                throw py::value_error("crop: expected (x0, y0, x1, y1) with 0 <= x0 < x1 <= width and "
                                      "0 <= y0 < y1 <= height");
            for (int i = 0; i < 4; ++i) window[i] = uint32_t(c[i]);
        }
        std::set<std::string> wanted;
        for (py::handle p : passes) {
            const std::string name = py::isinstance<py::str>(p) ? p.cast<std::string>() : "";
            if (name != "albedo" && name != "normal" && name != "depth")
                throw py::value_error("passes: expected 'albedo', 'normal' or 'depth', not " +
                                      std::string(py::repr(p)));
            wanted.insert(name);
        }
        if (scene.triangles.empty()) throw py::value_error("the scene has no triangles");
        if (!scene.lit()) throw py::value_error("the scene has no lights, no world that lights it and no emission");
        auto image = std::make_shared<Image>(settings->width, settings->height);
        py::object imageObject = py::cast(image);
        lastImage = imageObject;
        const size_t pixels = size_t(settings->width) * size_t(settings->height);
        tr::Image& im = image->data;
        im.alpha = transparent;
        if (wanted.count("albedo")) im.albedo.assign(3 * pixels, 0.0f);
        if (wanted.count("normal")) im.normal.assign(3 * pixels, 0.0f);
        if (wanted.count("depth")) im.depth.assign(pixels, INFINITY);

        LibraryRenderer owner(*this);
        TessraRendererCUDA* r = owner.r;
        Tessra_SetOutputPasses(r, im.albedo.empty() ? nullptr : im.albedo.data(),
                               im.normal.empty() ? nullptr : im.normal.data(),
                               im.depth.empty() ? nullptr : im.depth.data());

        Host host(image, onTile, onStatus, shouldAbort, imageObject);
        if (!crop.is_none()) {
            Tessra_SetCropWindow(r, window[0], window[1], window[2], window[3]);
            host.crop = window;
        }
        r->callbacks = &host;
        MessageSink sink;
        struct Busy {
            bool& flag;
            ~Busy() { flag = false; }
        } busy{rendering};
        rendering = true;
        // The library renderer borrows the triangles instead of copying them (100 bytes
        // each): nothing in a render changes them. They come back however the render ends.
        struct Lend {
            Renderer& self;
            TessraRendererCUDA& r;
            ~Lend() {
                if (self.scene.triangles.empty()) self.scene.triangles.swap(r.triangles);
                self.lentTo = nullptr;
            }
        } lend{*this, *r};
        {
            py::gil_scoped_release nogil;
            lentTo = r;
            feed(*r, &scene.triangles);
            if (!host.AbortRequested()) r->Render();
            if (!host.failed() && !host.aborted && sink.lines.empty()) host.finishPending();
            // An aborted or failed render leaves its scene data to the host's CleanUp.
            r->CleanUp();
        }
        r->callbacks = nullptr;
        supersampled = Tessra_SupersampledPixelCount(r);

        if (host.error) {
            py::error_already_set& e = *host.error;
            if (e.matches(PyExc_KeyboardInterrupt)) {
                // The tiles done so far travel with the exception.
                py::setattr(e.value(), "image", imageObject);
            }
            e.restore();
            throw py::error_already_set();
        }
        if (!sink.lines.empty()) {
            std::string text;
            for (const std::string& l : sink.lines) text += (text.empty() ? "" : "\n") + l;
            throw LibraryError(text);
        }
        if (host.aborted) return py::none();
        return imageObject;
    }
};

// get: a public field, or a function reading what an export keeps.
template <class Get>
void setting(py::class_<Renderer>& c, const char* name, const char* pyName, Get get) {
    using T = std::decay_t<std::invoke_result_t<Get, const TessraRendererCUDA&>>;
    c.def_property(
        pyName, [get](const Renderer& r) -> T { return std::invoke(get, *r.settings); },
        [name](Renderer& r, py::object v) {
            std::string text;
            if constexpr (std::is_same_v<T, bool>) {
                if (!py::isinstance<py::bool_>(v)) throw py::type_error(std::string(name) + ": expected True or False");
                text = v.cast<bool>() ? "true" : "false";
            } else if constexpr (std::is_floating_point_v<T>) {
                char b[32];
                std::snprintf(b, sizeof(b), "%.9g", v.cast<double>());
                text = b;
            } else {
                if (!py::isinstance<py::int_>(v) || py::isinstance<py::bool_>(v))
                    throw py::type_error(std::string(name) + ": expected an integer");
                text = std::string(py::str(v));
            }
            r.setText(name, text);
            r.given.insert(name);
            if (std::string(name) == "fieldOfView") r.fovSet = true;
        });
}

}  // namespace

// Which way a mesh's normals face a viewer at eye, for hosts whose files hold inside-out
// meshes (the library lights only the side a normal faces). Each triangle counts with the
// side its corner normals take. The volume is positive when the normals point outwards and
// about zero for a flat sheet; the winding number about eye (solid angles, Van Oosterom and
// Strackee 1983) is 1 inside a closed mesh whose normals point outwards, -1 inside one whose
// normals point inwards, 0 outside, and between for an open one; the opening is the normals'
// net area over their total (0 for a closed surface).
py::tuple meshFacing(py::object positions, py::object indices, py::object normals, py::object normalIndices,
                     py::object eye) {
    const Values p = finiteValues(positions, "positions", 3);
    const size_t nv = p.size() / 3;
    const Indices idx = Renderer::indexBuffer(indices, "indices", 0, nv, "vertices");
    const size_t corners = idx.size();
    if (corners % 3) throw py::value_error("indices: " + std::to_string(corners) + " values are not a multiple of 3");
    Indices nOwn;
    const Indices* nIdx = nullptr;
    const Values n = Renderer::attribute(normals, normalIndices, "normals", "normal_indices", 3, nv, idx, nOwn, nIdx);
    const auto e = vec3(eye, "eye");
    using D3 = std::array<double, 3>;
    auto sub = [](D3 a, D3 b) { return D3{a[0] - b[0], a[1] - b[1], a[2] - b[2]}; };
    auto dot = [](D3 a, D3 b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
    auto cross = [](D3 a, D3 b) {
        return D3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    };
    auto len = [&](D3 a) { return std::sqrt(dot(a, a)); };
    // Volumes about the bounding box's centre: an open mesh's then depends on its shape only.
    D3 lo{0, 0, 0}, hi = lo;
    if (nv) lo = hi = D3{p[0], p[1], p[2]};
    for (size_t i = 0; i < nv; ++i)
        for (int k = 0; k < 3; ++k)
            lo[k] = std::min(lo[k], double(p[3 * i + k])), hi[k] = std::max(hi[k], double(p[3 * i + k]));
    const D3 centre{(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2};
    const D3 view{e[0], e[1], e[2]};
    double volume = 0, solidAngle = 0, area = 0;
    D3 netArea{0, 0, 0};
    for (size_t f = 0; f < corners; f += 3) {
        D3 v[3], normalSum{0, 0, 0};
        for (int k = 0; k < 3; ++k) {
            const size_t i = idx[f + k], j = (*nIdx)[f + k];
            v[k] = D3{p[3 * i], p[3 * i + 1], p[3 * i + 2]};
            for (int c = 0; c < 3; ++c) normalSum[c] += n[3 * j + c];
        }
        const D3 g = cross(sub(v[1], v[0]), sub(v[2], v[0]));
        const double side = dot(g, normalSum) < 0 ? -1.0 : 1.0;
        const D3 a = sub(v[0], centre), b = sub(v[1], centre), c = sub(v[2], centre);
        volume += side * dot(a, cross(b, c)) / 6;
        const D3 ra = sub(v[0], view), rb = sub(v[1], view), rc = sub(v[2], view);
        const double la = len(ra), lb = len(rb), lc = len(rc);
        solidAngle += side * 2 * std::atan2(dot(ra, cross(rb, rc)),
                                            la * lb * lc + dot(ra, rb) * lc + dot(ra, rc) * lb + dot(rb, rc) * la);
        area += len(g) / 2;
        for (int k = 0; k < 3; ++k) netArea[k] += side * g[k] / 2;
    }
    return py::make_tuple(volume, solidAngle / (4 * M_PI), area > 0 ? len(netArea) / area : 0.0);
}

// The image of a render and its output passes.
void bindImages(py::module_& m) {
    py::class_<Image, std::shared_ptr<Image>> image(m, "Image", py::buffer_protocol());
    image
        .def_property_readonly("width", [](const Image& i) { return i.data.width; })
        .def_property_readonly("height", [](const Image& i) { return i.data.height; })
        .def_buffer([](Image& i) {
            const py::ssize_t w = i.data.width, h = i.data.height, f = sizeof(float);
            return py::buffer_info(i.data.rgba.data(), f, py::format_descriptor<float>::format(), 3, {h, w, py::ssize_t(4)},
                                   {w * 4 * f, 4 * f, f});
        })
        .def("save", [](const Image& i, const std::string& path) {
            tr::ImageFormat format;
            if (!tr::formatFromPath(path, format)) throw py::value_error(path + ": unknown image format (.png, .exr, .pfm)");
            try {
                tr::writeImage(path, i.data);
            } catch (const std::exception& e) {
                throw py::value_error(e.what());
            }
        }, py::arg("path"), "Writes .png (8-bit sRGB), .exr (linear float RGBA and the passes) or .pfm.")
        .def("tile", [](const Image& i, int x, int y, int w, int h) {
            return bottomUpTile(i.data.rgba, i.data.width, i.data.height, 4, x, y, w, h);
        }, py::arg("x"), py::arg("y"), py::arg("width"), py::arg("height"),
           "The pixels of a rectangle (row 0 at the top of the image), bottom row first, as a flat "
           "array.array('f') of RGBA.");
    auto pass = [&](const char* name, std::vector<float> tr::Image::*values, int channels) {
        image.def_property_readonly(name, [values, channels](std::shared_ptr<Image> i) -> py::object {
            if ((i->data.*values).empty()) return py::none();
            return py::cast(Pass{std::move(i), values, channels});
        });
    };
    pass("albedo", &tr::Image::albedo, 3);
    pass("normal", &tr::Image::normal, 3);
    pass("depth", &tr::Image::depth, 1);

    py::class_<Pass>(m, "Pass", py::buffer_protocol())
        .def_property_readonly("width", [](const Pass& p) { return p.image->data.width; })
        .def_property_readonly("height", [](const Pass& p) { return p.image->data.height; })
        .def_readonly("channels", &Pass::channels)
        .def_buffer([](Pass& p) {
            const py::ssize_t w = p.image->data.width, h = p.image->data.height, c = p.channels, f = sizeof(float);
            float* data = (p.image->data.*p.values).data();
            if (c == 1) return py::buffer_info(data, f, py::format_descriptor<float>::format(), 2, {h, w}, {w * f, f});
            return py::buffer_info(data, f, py::format_descriptor<float>::format(), 3, {h, w, c}, {w * c * f, c * f, f});
        })
        .def("tile", [](const Pass& p, int x, int y, int w, int h) {
            return bottomUpTile(p.data(), p.image->data.width, p.image->data.height, p.channels, x, y, w, h);
        }, py::arg("x"), py::arg("y"), py::arg("width"), py::arg("height"),
           "As Image.tile, with the pass's channels per pixel.");

}

void bindMaterial(py::module_& m) {
    py::class_<Material>(m, "Material")
        .def(py::init([](py::object diffuse, py::object texture, py::object reflection, double reflectionGloss,
                         py::object refraction, double refractionGloss, double specularLevel, double specularExponent,
                         py::object emission, py::object specularLayer) {
                 Material mat;
                 const auto d = vec3(diffuse, "diffuse");
                 std::copy(d.begin(), d.end(), mat.m.m.diffuse);
                 if (!texture.is_none()) mat.m.diffuseMap = texture.cast<std::string>();
                 setColour(reflection, "reflection", mat.m.m.reflColor, mat.m.m.reflective);
                 setColour(refraction, "refraction", mat.m.m.refrColor, mat.m.m.refractive);
                 mat.m.m.reflGloss = finite(reflectionGloss, "reflection_gloss");
                 mat.m.m.refrGloss = finite(refractionGloss, "refraction_gloss");
                 mat.m.m.specularLevel = finite(specularLevel, "specular_level");
                 mat.m.m.specularExponent = finite(specularExponent, "specular_exponent");
                 mat.m.m.specular = mat.m.m.specularLevel > 0;
                 const auto e = vec3(emission, "emission");
                 if (!(e[0] >= 0 && e[1] >= 0 && e[2] >= 0)) throw py::value_error("emission: cannot be negative");
                 std::copy(e.begin(), e.end(), mat.m.emission);
                 const auto l = specularLayer.cast<std::array<double, 2>>();
                 for (int i = 0; i < 2; ++i) {
                     if (!(l[i] >= 0 && l[i] <= 1)) throw py::value_error("specular_layer: values must lie in [0, 1]");
                     mat.m.specularLayer[i] = float(l[i]);
                 }
                 return mat;
             }),
             py::kw_only(), py::arg("diffuse") = py::make_tuple(0.8, 0.8, 0.8), py::arg("texture") = py::none(),
             py::arg("reflection") = py::make_tuple(0, 0, 0), py::arg("reflection_gloss") = 1.0,
             py::arg("refraction") = py::make_tuple(0, 0, 0), py::arg("refraction_gloss") = 1.0,
             py::arg("specular_level") = 0.0, py::arg("specular_exponent") = 0.0,
             py::arg("emission") = py::make_tuple(0, 0, 0), py::arg("specular_layer") = py::make_tuple(0, 0))
        .def_static("principled", [](py::object base, double metallic, double roughness, double transmission,
                                     py::object texture) {
            Material mat;
            const auto b = vec3(base, "base_color");
            tr::principledMaterial(b.data(), finite(metallic, "metallic"), finite(roughness, "roughness"),
                                   finite(transmission, "transmission"), mat.m);
            if (!texture.is_none()) mat.m.diffuseMap = texture.cast<std::string>();
            return mat;
        }, py::kw_only(), py::arg("base_color") = py::make_tuple(0.8, 0.8, 0.8), py::arg("metallic") = 0.0,
           py::arg("roughness") = 0.5, py::arg("transmission") = 0.0, py::arg("texture") = py::none(),
           "A metallic-roughness material mapped as tessra-render maps glTF's.")
        .def_property_readonly("diffuse", [](const Material& x) {
            return std::array<float, 3>{x.m.m.diffuse[0], x.m.m.diffuse[1], x.m.m.diffuse[2]};
        })
        .def_property_readonly("texture", [](const Material& x) -> py::object {
            return x.m.diffuseMap.empty() ? py::none() : py::cast(x.m.diffuseMap);
        })
        .def_property_readonly("reflection", [](const Material& x) { return colour(x.m.m.reflColor); })
        .def_property_readonly("refraction", [](const Material& x) { return colour(x.m.m.refrColor); })
        .def_property_readonly("reflection_gloss", [](const Material& x) { return x.m.m.reflGloss; })
        .def_property_readonly("refraction_gloss", [](const Material& x) { return x.m.m.refrGloss; })
        .def_property_readonly("specular_level", [](const Material& x) { return x.m.m.specularLevel; })
        .def_property_readonly("specular_exponent", [](const Material& x) { return x.m.m.specularExponent; })
        .def_property_readonly("emission", [](const Material& x) {
            return std::array<float, 3>{x.m.emission[0], x.m.emission[1], x.m.emission[2]};
        })
        .def_property_readonly("specular_layer", [](const Material& x) {
            return std::array<float, 2>{x.m.specularLayer[0], x.m.specularLayer[1]};
        });
}

// The scene a renderer holds: the world, meshes, bounds and camera.
void bindScene(py::class_<Renderer>& r) {
    r.def_property(
         "background",
         [](const Renderer& x) -> py::object {
             if (!x.scene.hasBackground) return py::none();
             return py::make_tuple(x.scene.background[0], x.scene.background[1], x.scene.background[2]);
         },
         [](Renderer& x, py::object v) {
             x.checkIdle();
             if (v.is_none()) {
                 x.scene.hasBackground = false;
                 return;
             }
             const auto c = vec3(v, "background");
             std::copy(c.begin(), c.end(), x.scene.background);
             x.scene.hasBackground = true;
         })
        .def(
            "set_environment",
            [](Renderer& x, py::object source, int width, int height, py::object turn, bool bottomUp, bool srgb) {
                x.checkIdle();
                if (!turn.is_none()) {
                    std::vector<double> t;
                    if (py::isinstance<py::list>(turn) || py::isinstance<py::tuple>(turn)) {
                        for (py::handle v : turn) t.push_back(v.cast<double>());
                    } else {
                        const Values v = finiteValues(turn, "turn", 9);
                        for (size_t i = 0; i < v.size(); ++i) t.push_back(v[i]);
                    }
                    if (t.size() != 9) throw py::value_error("turn: expected 9 numbers, row by row");
                    for (int i = 0; i < 9; ++i) x.scene.environmentTurn[i] = float(t[i]);
                }
                try {
                    if (source.is_none()) {
                        x.scene.environment.clear();
                        x.scene.environmentWidth = x.scene.environmentHeight = 0;
                    } else if (py::isinstance<py::str>(source) || py::hasattr(source, "__fspath__")) {
                        x.scene.setEnvironment(py::str(source).cast<std::string>());
                    } else {
                        // RGB or RGBA pixels, as Blender's image.pixels gives them.
                        const Values v = finiteValues(source, "pixels", 1);
                        const size_t n = size_t(std::max(width, 0)) * size_t(std::max(height, 0));
                        const size_t channels = n && v.size() == 4 * n ? 4 : 3;
                        if (!n || v.size() != channels * n)
                            throw py::value_error("pixels: expected width x height x 3 or x 4 numbers");
                        std::vector<float> rgb(3 * n);
                        const size_t w = size_t(width);
                        for (size_t i = 0; i < n; ++i) {
                            const size_t row = bottomUp ? size_t(height) - 1 - i / w : i / w;
                            for (int c = 0; c < 3; ++c) {
                                const float e = v[channels * i + c];
                                rgb[3 * (row * w + i % w) + c] = srgb ? tr::srgbToLinear(e) : e;
                            }
                        }
                        x.scene.setEnvironment(width, height, std::move(rgb), "pixels");
                    }
                } catch (const tr::SceneError& e) {
                    throw py::value_error(e.what());
                }
            },
            py::arg("source"), py::arg("width") = 0, py::arg("height") = 0, py::kw_only(), py::arg("turn") = py::none(),
            py::arg("bottom_up") = false, py::arg("srgb") = false,
            "The world's equirectangular image, which background multiplies (white unless set): a file (.exr, "
            ".hdr, .png, .jpg) or width x height RGB or RGBA linear pixels, row 0 looking up (+Y) and the middle "
            "looking down -Z (pixels with bottom_up start at the bottom row; with srgb they are decoded from sRGB); "
            "turn, a row-major 3 x 3 rotation, takes scene directions into the image's frame. None returns to the "
            "colour alone. It is seen where rays meet nothing and lights the scene.")
        .def_readonly("last_image", &Renderer::lastImage,
                      "The image of the last render, complete or not (after KeyboardInterrupt: the tiles done).")
        .def_property_readonly("triangle_count", [](const Renderer& x) { return x.triangles().size(); })
        .def("add_mesh", &Renderer::addMesh, py::arg("positions"), py::arg("indices"), py::kw_only(),
             py::arg("normals") = py::none(), py::arg("normal_indices") = py::none(), py::arg("uvs") = py::none(),
             py::arg("uv_indices") = py::none(), py::arg("material") = py::none(),
             py::arg("material_indices") = py::none(), py::arg("transform") = py::none(),
             py::arg("flip_normals") = false,
             "Adds triangles: positions x y z per vertex, three vertex indices per triangle; normals and uvs per "
             "vertex, or per corner through their own index buffers; one material, or a list picked per triangle "
             "by material_indices; an optional row-major 4x4 transform; flip_normals turns every normal round.")
        .def("bounds", [](const Renderer& x) {
            float c[3], radius;
            tr::boundsOf(x.triangles().data(), x.triangles().size(), c, radius);
            return py::make_tuple(py::make_tuple(c[0], c[1], c[2]), radius);
        }, "The centre and radius of the sphere around the triangles' bounding box.")
        .def("set_camera", &Renderer::setCamera, py::arg("position"), py::arg("look_at"),
             py::arg("up") = py::make_tuple(0, 1, 0), py::arg("fov_degrees") = 45.0,
             "A perspective camera; fov_degrees is the horizontal field of view.");
}

void bindLights(py::class_<Renderer>& r) {
    // One method per light kind. Every intensity is per light (the hand-over divides by the
    // count); a keyword that the kind has no use for is an error rather than ignored.
    auto light = [&](const char* name, LightType kind, std::set<std::string> uses) {
        r.def(name,
              [kind, uses](Renderer& self, py::object position, py::object direction, py::object color,
                           double intensity, py::object decay, double decayStart, py::object up, py::object radius,
                           py::object width, py::object height, py::object falloff, py::object hotspot,
                           py::object cosine) {
                  const std::pair<const char*, py::object*> given[] = {
                      {"direction", &direction}, {"radius", &radius},     {"width", &width},    {"height", &height},
                      {"falloff", &falloff},     {"hotspot", &hotspot}, {"cosine", &cosine}};
                  for (const auto& [key, value] : given) {
                      if (uses.count(key) && value->is_none() && std::string(key) != "hotspot" &&
                          std::string(key) != "cosine")
                          throw py::value_error(std::string(key) + ": required for this light");
                      if (!uses.count(key) && !value->is_none())
                          throw py::value_error(std::string(key) + ": this light kind has none");
                  }
                  auto num = [](py::object v) { return v.is_none() ? 0.0 : v.cast<double>(); };
                  self.addLight(kind, position, color, intensity, decay, decayStart, direction, up, num(radius),
                                num(width), num(height), num(falloff), hotspot, !cosine.is_none() && cosine.cast<bool>());
              },
              py::kw_only(), py::arg("position"), py::arg("direction") = py::none(),
              py::arg("color") = py::make_tuple(1, 1, 1), py::arg("intensity") = 1.0, py::arg("decay") = py::none(),
              py::arg("decay_start") = 1.0, py::arg("up") = py::make_tuple(0, 1, 0), py::arg("radius") = py::none(),
              py::arg("width") = py::none(), py::arg("height") = py::none(), py::arg("falloff") = py::none(),
              py::arg("hotspot") = py::none(), py::arg("cosine") = py::none());
    };
    light("add_point_light", LIGHT_OMNI, {});
    light("add_sphere_light", LIGHT_OMNI_SPHERE, {"radius", "cosine"});
    light("add_rect_light", LIGHT_RECT, {"direction", "width", "height", "cosine"});
    light("add_spot_light", LIGHT_SPOT_CIRCLE, {"direction", "falloff", "hotspot"});
    light("add_rect_spot_light", LIGHT_SPOT_RECT, {"direction", "falloff", "hotspot"});
    light("add_directional_light", LIGHT_DIR_CIRCLE, {"direction", "falloff", "hotspot"});
    light("add_rect_directional_light", LIGHT_DIR_RECT, {"direction", "falloff", "hotspot"});
}

PYBIND11_MODULE(tessra, m) {
    m.doc() = "Tessra, a tiled renderer, from Python. See docs/python.md.";
    Tessra_SetMessageHandler(&onMessage, nullptr);
    py::register_exception<LibraryError>(m, "Error", PyExc_RuntimeError);
    m.attr("__version__") = Tessra_Version();
    m.def("select_backend", [](const std::string& name) {
        if (Tessra_SelectBackend(name.c_str()) != 0) throw py::value_error("unknown backend '" + name + "' (auto, cpu, cuda)");
    }, py::arg("name"), "Picks the device: 'auto', 'cpu' or 'cuda'.");
    m.def("backend_name", [] { return std::string(Tessra_BackendName()); });
    m.def("set_thread_count", [](unsigned n) { Tessra_SetThreadCount(n); }, py::arg("threads"),
          "Worker threads of the CPU device (0 = every core).");
    m.attr("TILE_SIZE") = TESSRA_TILE_SIZE;
    m.def("_setting_names", &tr::settingNames);
    m.def("mesh_facing", &meshFacing, py::arg("positions"), py::arg("indices"), py::kw_only(), py::arg("normals"),
          py::arg("normal_indices") = py::none(), py::arg("eye"),
          "(volume, winding number about eye, opening) of a mesh as its normals orient it: see add_mesh's "
          "flip_normals.");

    bindImages(m);
    bindMaterial(m);

    py::class_<Renderer> r(m, "Renderer");
    r.def(py::init<int, int>(), py::kw_only(), py::arg("width") = 512, py::arg("height") = 512);
#define TESSRA_SETTING(name, py, kind, place) \
    setting(r, #name, #py, [](const TessraRendererCUDA& r) { return place; });
#include "settings.def"

    bindScene(r);
    bindLights(r);

    r.def("render", &Renderer::render, py::kw_only(), py::arg("on_tile") = py::none(), py::arg("on_status") = py::none(),
          py::arg("should_abort") = py::none(), py::arg("passes") = py::tuple(), py::arg("crop") = py::none(),
          "Renders with the GIL released. on_tile(image, x, y, width, height) once per finished tile, "
          "on_status(text) on each new status text, should_abort() polled between stages: a true answer ends the "
          "render and returns None. Ctrl-C raises KeyboardInterrupt with the tiles so far on its 'image'. "
          "passes: any of 'albedo', 'normal', 'depth', found on the image's attributes of those names. "
          "crop=(x0, y0, x1, y1) shades only those pixels (rows from the top), as the whole render has them.");
    r.def("suggest_photon_settings", &Renderer::suggestPhotonSettings,
          "The photon_energy, photon_search_distance and ambient_light_intens that suit this scene under "
          "photon mapping; a photon-mapped render takes them for the settings left unset.");
    r.def_property(
        "aa_samples", [](const Renderer& x) { return x.aaSamples; },
        [](Renderer& x, py::object v) {
            if (!py::isinstance<py::int_>(v) || py::isinstance<py::bool_>(v) || v.cast<long long>() < 1 ||
                v.cast<long long>() > 16)
                throw py::value_error("aa_samples: expected an integer from 1 to 16");
            x.aaSamples = v.cast<uint32_t>();
        },
        "Antialiasing: at most aa_samples x aa_samples rays in a pixel (1: one ray per pixel).");
    r.def_property(
        "aa_threshold", [](const Renderer& x) { return x.aaThreshold; },
        [](Renderer& x, double v) {
            if (!(v >= 0) || !std::isfinite(v)) throw py::value_error("aa_threshold: expected a finite number >= 0");
            x.aaThreshold = float(v);
        },
        "Colour difference to a neighbour (|dr| + |dg| + |db|) above which a pixel takes more rays; 0: all do.");
    r.def_property(
        "transparent", [](const Renderer& x) { return x.transparent; },
        [](Renderer& x, py::object v) {
            if (!py::isinstance<py::bool_>(v)) throw py::type_error("transparent: expected True or False");
            x.transparent = v.cast<bool>();
        },
        "Alpha as coverage: the fraction of a pixel's rays that hit a surface (0 where only the background is "
        "seen), kept by save() in PNG and OpenEXR files. False: alpha is not coverage and files are opaque.");
    r.def_property(
        "pixel_aspect", [](const Renderer& x) { return x.pixelAspect; },
        [](Renderer& x, double v) {
            x.checkIdle();
            if (!(v > 0) || !std::isfinite(v)) throw py::value_error("pixel_aspect: expected a finite number > 0");
            x.pixelAspect = float(v);
        },
        "A pixel's width over its height (1: square). The horizontal field of view stays.");
    r.def_property_readonly("supersampled_pixel_count", [](const Renderer& x) { return x.supersampled; },
                            "The pixels the last render gave more than one ray.");
}

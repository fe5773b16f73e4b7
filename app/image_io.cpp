#include "image_io.h"

#include <png.h>

#include <IL/il.h>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <ImfRgbaFile.h>
#include <ImfStringAttribute.h>
#include <ImathBox.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <unistd.h>

namespace tr {

bool formatFromPath(const std::string& path, ImageFormat& format) {
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos) return false;
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (ext == "png") format = ImageFormat::Png;
    else if (ext == "exr") format = ImageFormat::Exr;
    else if (ext == "pfm") format = ImageFormat::Pfm;
    else return false;
    return true;
}

namespace {

std::vector<float> readExrRgb(const std::string& path, int& width, int& height) {
    try {
        Imf::RgbaInputFile file(path.c_str());
        const Imath::Box2i dw = file.dataWindow();
        const int w = dw.max.x - dw.min.x + 1, h = dw.max.y - dw.min.y + 1;
        if (w <= 0 || h <= 0 || int64_t(w) * h > (int64_t(1) << 31)) throw std::runtime_error("bad size");
        std::vector<Imf::Rgba> px(size_t(w) * h);
        file.setFrameBuffer(px.data() - dw.min.x - size_t(dw.min.y) * w, 1, size_t(w));
        file.readPixels(dw.min.y, dw.max.y);
        std::vector<float> rgb(3 * px.size());
        for (size_t i = 0; i < px.size(); ++i) {
            rgb[3 * i] = px[i].r;
            rgb[3 * i + 1] = px[i].g;
            rgb[3 * i + 2] = px[i].b;
        }
        width = w;
        height = h;
        return rgb;
    } catch (const std::exception& e) {
        throw std::runtime_error(path + ": cannot read the OpenEXR image (" + e.what() + ")");
    }
}

// DevIL for the other formats; it keeps one current image for the whole process.
std::vector<float> readDevilRgb(const std::string& path, int& width, int& height) {
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    static const bool ready = [] {
        ilInit();
        ilOriginFunc(IL_ORIGIN_UPPER_LEFT);
        ilEnable(IL_ORIGIN_SET);
        return true;
    }();
    (void)ready;
    ILuint name = 0;
    ilGenImages(1, &name);
    ilBindImage(name);
    struct Release {
        ILuint n;
        ~Release() { ilDeleteImages(1, &n); }
    } release{name};
    if (!ilLoadImage(path.c_str())) throw std::runtime_error(path + ": cannot read the image");
    const ILint type = ilGetInteger(IL_IMAGE_TYPE);
    const bool linear = type == IL_FLOAT || type == IL_HALF || type == IL_DOUBLE;
    if (!ilConvertImage(IL_RGB, IL_FLOAT)) throw std::runtime_error(path + ": cannot convert the image to RGB");
    const ILint w = ilGetInteger(IL_IMAGE_WIDTH), h = ilGetInteger(IL_IMAGE_HEIGHT);
    if (w <= 0 || h <= 0 || ilGetInteger(IL_IMAGE_DEPTH) != 1 ||
        int64_t(ilGetInteger(IL_IMAGE_SIZE_OF_DATA)) < int64_t(w) * h * 12)
        throw std::runtime_error(path + ": the image has no usable pixels");
    const float* data = reinterpret_cast<const float*>(ilGetData());
    std::vector<float> rgb(data, data + 3 * size_t(w) * h);
    if (!linear)
        for (float& v : rgb) v = srgbToLinear(v);
    width = w;
    height = h;
    return rgb;
}

}  // namespace

float srgbToLinear(float s) { return s <= 0.04045f ? s / 12.92f : std::pow((s + 0.055f) / 1.055f, 2.4f); }

std::vector<float> readImageRgb(const std::string& path, int& width, int& height) {
    const size_t dot = path.find_last_of('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (::access(path.c_str(), R_OK) != 0) throw std::runtime_error(path + ": cannot open the image");
    return ext == "exr" ? readExrRgb(path, width, height) : readDevilRgb(path, width, height);
}

unsigned char linearToSrgb8(float v) {
    if (!(v > 0.0f)) return 0;  // also NaN
    if (v >= 1.0f) return 255;
    const float s = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
    return static_cast<unsigned char>(std::lround(s * 255.0f));
}

namespace {

// Alpha is linear: PNG keeps it without the sRGB curve.
unsigned char alpha8(float a) {
    if (!(a > 0.0f)) return 0;
    return a >= 1.0f ? 255 : static_cast<unsigned char>(std::lround(a * 255.0f));
}

void writePng(const std::string& path, const Image& im) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    std::vector<unsigned char> row(size_t(im.width) * 4);
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        throw std::runtime_error("libpng failed writing " + path);
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, im.width, im.height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_sRGB_gAMA_and_cHRM(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_write_info(png, info);
    for (int y = 0; y < im.height; ++y) {
        const float* src = &im.rgba[size_t(y) * im.width * 4];
        for (int x = 0; x < im.width; ++x) {
            // The delivered colour is premultiplied by coverage; PNG's alpha is straight.
            const float a = src[4 * x + 3];
            const float k = im.alpha && a > 0.0f && a < 1.0f ? 1.0f / a : 1.0f;
            for (int c = 0; c < 3; ++c) row[4 * x + c] = linearToSrgb8(src[4 * x + c] * k);
            row[4 * x + 3] = im.alpha ? alpha8(src[4 * x + 3]) : 255;
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(f) != 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

void writeExr(const std::string& path, const Image& im, const std::vector<std::pair<std::string, std::string>>& attrs) {
    const Imath::Box2i data(Imath::V2i(im.originX, im.originY),
                            Imath::V2i(im.originX + im.width - 1, im.originY + im.height - 1));
    const Imath::Box2i display(Imath::V2i(0, 0), Imath::V2i((im.frameWidth ? im.frameWidth : im.width) - 1,
                                                            (im.frameHeight ? im.frameHeight : im.height) - 1));
    Imf::Header header(display, data);
    for (const char* c : {"R", "G", "B", "A"}) header.channels().insert(c, Imf::Channel(Imf::FLOAT));
    for (const auto& a : attrs) header.insert(a.first, Imf::StringAttribute(a.second));
    // Without coverage the delivered alpha means nothing: every pixel is opaque.
    std::vector<float> pixels(im.rgba);
    for (size_t i = 3; !im.alpha && i < pixels.size(); i += 4) pixels[i] = 1.0f;
    Imf::FrameBuffer fb;
    const size_t xs = 4 * sizeof(float), ys = xs * size_t(im.width);
    // OpenEXR addresses a slice by absolute pixel coordinates, so the base sits before
    // the buffer by the data window's origin.
    char* base = reinterpret_cast<char*>(pixels.data()) - (ptrdiff_t(im.originY) * ys + ptrdiff_t(im.originX) * xs);
    const char* names[4] = {"R", "G", "B", "A"};
    for (int c = 0; c < 4; ++c) fb.insert(names[c], Imf::Slice(Imf::FLOAT, base + c * sizeof(float), xs, ys));
    // Output passes as layers with the channel names compositors and denoisers expect.
    auto layer = [&](const std::vector<float>& values, std::initializer_list<const char*> channels) {
        if (values.empty()) return;
        const size_t n = channels.size(), pxs = n * sizeof(float);
        size_t c = 0;
        for (const char* name : channels) {
            header.channels().insert(name, Imf::Channel(Imf::FLOAT));
            char* layerBase = const_cast<char*>(reinterpret_cast<const char*>(values.data())) -
                              (ptrdiff_t(im.originY) * ptrdiff_t(pxs * size_t(im.width)) + ptrdiff_t(im.originX) * ptrdiff_t(pxs));
            fb.insert(name, Imf::Slice(Imf::FLOAT, layerBase + c++ * sizeof(float), pxs, pxs * size_t(im.width)));
        }
    };
    layer(im.albedo, {"albedo.R", "albedo.G", "albedo.B"});
    layer(im.normal, {"N.X", "N.Y", "N.Z"});
    layer(im.depth, {"Z"});
    Imf::OutputFile file(path.c_str(), header);
    file.setFrameBuffer(fb);
    file.writePixels(im.height);
}

// Portable float map: little-endian (negative scale), rows bottom first.
void writePfm(const std::string& path, const Image& im) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    std::fprintf(f, "PF\n%d %d\n-1.0\n", im.width, im.height);
    std::vector<float> row(size_t(im.width) * 3);
    bool ok = true;
    for (int y = im.height - 1; y >= 0 && ok; --y) {
        const float* src = &im.rgba[size_t(y) * im.width * 4];
        for (int x = 0; x < im.width; ++x)
            for (int c = 0; c < 3; ++c) row[3 * x + c] = src[4 * x + c];
        ok = std::fwrite(row.data(), sizeof(float), row.size(), f) == row.size();
    }
    if (std::fclose(f) != 0 || !ok) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

}  // namespace

void writeImage(const std::string& path, const Image& image,
                const std::vector<std::pair<std::string, std::string>>& attributes) {
    ImageFormat format;
    if (!formatFromPath(path, format)) throw std::runtime_error(path + ": unknown image format (use .png, .exr or .pfm)");
    if (image.rgba.size() != size_t(image.width) * image.height * 4) throw std::logic_error("image size mismatch");
    // The temporary keeps the extension: OpenEXR does not care, but a reader that sniffs
    // names should see the same kind of file.
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string tmp = dir + "." + name + ".tmp" + std::to_string(::getpid());
    try {
        switch (format) {
            case ImageFormat::Png: writePng(tmp, image); break;
            case ImageFormat::Exr: writeExr(tmp, image, attributes); break;
            case ImageFormat::Pfm: writePfm(tmp, image); break;
        }
        if (std::rename(tmp.c_str(), path.c_str()) != 0)
            throw std::runtime_error("cannot rename " + tmp + " to " + path + ": " + std::strerror(errno));
    } catch (const std::exception& e) {
        std::remove(tmp.c_str());
        throw std::runtime_error(std::string(e.what()));
    }
}

}  // namespace tr

// Small image files for the bad-input and fuzz tests: a good PNG written with libpng,
// and headers that declare absurd sizes over a few bytes of data.
#pragma once

#include <png.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace tt {

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// An RGB PNG of w x h texels with a gradient, through libpng's own writer.
inline bool writeGradientPng(const std::string& path, int w, int h) {
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
            p[0] = uint8_t(255 * x / (w > 1 ? w - 1 : 1));
            p[1] = uint8_t(255 * y / (h > 1 ? h - 1 : 1));
            p[2] = 128;
        }
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    image.width = uint32_t(w);
    image.height = uint32_t(h);
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
}

inline void putBe32(std::vector<uint8_t>& f, uint32_t v) {
    for (int i = 3; i >= 0; --i) f.push_back(uint8_t(v >> (8 * i)));
}

// A PNG whose chunks are whole but whose header declares w x h texels.
inline std::vector<uint8_t> pngDeclaring(uint32_t w, uint32_t h) {
    std::vector<uint8_t> f = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    putBe32(f, 13);
    for (char c : std::string("IHDR")) f.push_back(uint8_t(c));
    putBe32(f, w);
    putBe32(f, h);
    const uint8_t rest[] = {8, 2, 0, 0, 0};
    f.insert(f.end(), rest, rest + 5);
    putBe32(f, 0);  // CRC, never reached
    putBe32(f, 0);
    for (char c : std::string("IEND")) f.push_back(uint8_t(c));
    putBe32(f, 0xae426082u);
    return f;
}

// A 24-bit uncompressed BMP of w x h texels with room for dataBytes of pixels after its
// 54-byte header; the image-size field is written only when recordSize is set.
inline std::vector<uint8_t> bmpHeader(int32_t w, int32_t h, uint32_t dataBytes, bool recordSize) {
    std::vector<uint8_t> f(54 + dataBytes, 0);
    auto put32 = [&](size_t o, uint32_t v) {
        for (int i = 0; i < 4; ++i) f[o + i] = uint8_t(v >> (8 * i));
    };
    f[0] = 'B';
    f[1] = 'M';
    put32(2, uint32_t(f.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, uint32_t(w));
    put32(22, uint32_t(h));
    f[26] = 1;
    f[28] = 24;
    if (recordSize) put32(34, dataBytes);
    return f;
}

// A 24-bit BMP header declaring w x h texels over four bytes of data.
inline std::vector<uint8_t> bmpDeclaring(int32_t w, int32_t h) { return bmpHeader(w, h, 4, false); }

// An uncompressed true-colour TGA header declaring w x h texels.
inline std::vector<uint8_t> tgaDeclaring(uint16_t w, uint16_t h) {
    std::vector<uint8_t> f(18 + 12, 0);
    f[2] = 2;
    f[12] = uint8_t(w);
    f[13] = uint8_t(w >> 8);
    f[14] = uint8_t(h);
    f[15] = uint8_t(h >> 8);
    f[16] = 24;
    return f;
}

// A baseline JPEG start with a frame header declaring w x h texels, and nothing after.
inline std::vector<uint8_t> jpegDeclaring(uint16_t w, uint16_t h) {
    return {0xff, 0xd8, 0xff, 0xc0, 0x00, 0x11, 0x08, uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w),
            0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01, 0xff, 0xd9};
}

}  // namespace tt

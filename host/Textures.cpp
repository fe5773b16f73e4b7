// Texture files through DevIL, the texture atlas, and the bindings of the scene,
// light and material arrays to their texture references.
#include <IL/il.h>
#include <IL/ilu.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "host/internal.h"

namespace {

// Images larger than this are refused from their header, before DevIL allocates
// anything: 16384 texels on a side and 2^26 texels (256 MiB of RGBA) in all. Files
// larger than kMaxTextureFileBytes are not read at all; the whole atlas stays below
// 2^29 texels so that every texel offset fits the int of its size record.
constexpr uint32_t kMaxTextureSide = 16384;
constexpr uint64_t kMaxTextureTexels = uint64_t(1) << 26;
constexpr uint64_t kMaxAtlasTexels = uint64_t(1) << 29;
constexpr uint64_t kMaxTextureFileBytes = uint64_t(256) << 20;

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }
uint32_t be16(const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; }
int32_t le32s(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24));
}

// DevIL's PNG reader ignores short reads, so libpng walks on through stale bytes of a
// truncated or corrupt file for minutes, or for ever. A PNG must therefore hold whole
// chunks from IHDR to IEND before DevIL sees it; damage inside the compressed data is
// then caught by zlib and reported as a failed load.
bool pngChunksIntact(const std::vector<uint8_t>& f) {
    size_t at = 8;
    bool first = true;
    for (;;) {
        if (f.size() - at < 12) return false;
        const uint64_t length = be32(&f[at]);
        if (length > 0x7fffffffu || at + 12 + length > f.size()) return false;
        if (first && std::memcmp(&f[at + 4], "IHDR", 4) != 0) return false;
        if (std::memcmp(&f[at + 4], "IEND", 4) == 0) return true;
        first = false;
        at += size_t(12 + length);
    }
}

// The width and height a JPEG declares in its first start-of-frame segment, and whether
// every marker segment, also those after the image data starts, lies inside the file:
// DevIL's reader never ends a skip over a segment that runs past the end of its data
// (a hang found by fuzz_texture).
bool jpegSize(const std::vector<uint8_t>& f, uint32_t& w, uint32_t& h) {
    bool frame = false, scan = false;
    size_t at = 2;
    while (at + 2 <= f.size()) {
        if (f[at] != 0xff) {
            if (!scan) return false;  // only image data lies between segments
            ++at;
            continue;
        }
        const uint8_t marker = f[at + 1];
        if (marker == 0xff) {  // fill byte
            ++at;
            continue;
        }
        // Stuffed zero, restart markers and the markers without a length.
        if (marker == 0x00 || marker == 0xd8 || (marker >= 0xd0 && marker <= 0xd7) || marker == 0x01) {
            at += 2;
            continue;
        }
        if (marker == 0xd9) break;  // end of image
        if (at + 4 > f.size()) return false;
        const uint32_t length = be16(&f[at + 2]);
        if (length < 2 || at + 2 + length > f.size()) return false;
        if (marker == 0xda) {
            if (!frame) return false;  // image data before a frame header
            scan = true;
        }
        if (!frame && marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc) {
            if (length < 7) return false;
            h = be16(&f[at + 5]);
            w = be16(&f[at + 7]);
            frame = true;
        }
        at += 2 + length;
    }
    return frame && scan;
}

// A TGA has no magic number: its header must describe an image DevIL can decode.
bool looksLikeTga(const std::vector<uint8_t>& f) {
    if (f.size() < 18) return false;
    const uint8_t colorMapType = f[1], type = f[2], depth = f[16];
    const bool knownType = type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11;
    const bool knownDepth = depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
    // A colour map exactly for the colour-mapped types, with whole entries in the file:
    // DevIL sizes its palette from these fields (a 4 GiB request, found by fuzz_texture).
    const bool mapped = type == 1 || type == 9;
    if (colorMapType != (mapped ? 1 : 0)) return false;
    if (mapped) {
        const uint8_t entry = f[7];
        if (entry != 15 && entry != 16 && entry != 24 && entry != 32) return false;
        if (depth != 8 || le16(&f[3]) != 0) return false;
        if (18 + uint64_t(f[0]) + uint64_t(le16(&f[5])) * ((entry + 7) / 8) > f.size()) return false;
    }
    return knownType && knownDepth;
}

// Reads a regular file of bounded size without following it into a FIFO or a device.
bool readTextureFile(const char* path, std::vector<uint8_t>& bytes, const char*& why) {
    if (!path) {
        why = "no path";
        return false;
    }
    FILE* f = nullptr;
    struct stat st;
    // The type is checked on the path first so that opening a FIFO cannot block, and
    // again on the open file in case the path was replaced in between.
    if (::stat(path, &st) != 0) {
        why = "no such file";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    f = std::fopen(path, "rb");
    if (!f || ::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (f) std::fclose(f);
        why = "cannot be opened as a regular file";
        return false;
    }
    if (st.st_size <= 0 || uint64_t(st.st_size) > kMaxTextureFileBytes) {
        std::fclose(f);
        why = st.st_size <= 0 ? "empty file" : "file larger than 256 MiB";
        return false;
    }
    bytes.resize(size_t(st.st_size));
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    if (got != bytes.size()) {
        why = "short read";
        return false;
    }
    return true;
}

}  // namespace

namespace host {

// Chooses the decoder from the file's first bytes and reads the declared size from its
// header. Only PNG, JPEG, BMP and TGA are accepted; DevIL is then told which one it is.
TextureHeader inspectTexture(const std::vector<uint8_t>& f) {
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    TextureHeader t;
    if (f.size() >= 24 && std::memcmp(f.data(), kPng, 8) == 0) {
        if (!pngChunksIntact(f)) {
            t.why = "PNG with broken chunk structure";
            return t;
        }
        t.format = IL_PNG;
        t.width = be32(&f[16]);
        t.height = be32(&f[20]);
    } else if (f.size() >= 4 && f[0] == 0xff && f[1] == 0xd8 && f[2] == 0xff) {
        if (!jpegSize(f, t.width, t.height)) {
            t.why = "JPEG without a readable frame header, or with a segment running past its end";
            return t;
        }
        t.format = IL_JPG;
    } else if (f.size() >= 54 && f[0] == 'B' && f[1] == 'M') {
        const int32_t w = le32s(&f[18]), h = le32s(&f[22]);
        // A negative height marks a top-down BMP.
        t.width = w > 0 ? uint32_t(w) : 0;
        t.height = h == INT32_MIN ? 0 : uint32_t(h < 0 ? -h : h);
        t.format = IL_BMP;
        // DevIL's BMP reader reads past the end of a buffer that lacks the pixel data
        // the header promises (found by fuzz_texture), so the data must all be there.
        const uint64_t offset = uint32_t(le32s(&f[10])), headerSize = uint32_t(le32s(&f[14]));
        const uint32_t bpp = le16(&f[28]), compression = uint32_t(le32s(&f[30]));
        const bool knownBpp = bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
        const uint64_t stride = ((uint64_t(t.width) * bpp + 31) / 32) * 4;
        const bool packed = compression == 0 || compression == 3;
        // Run-length data only at its own depth, and no longer than the file: DevIL
        // allocates what the header's data size says (4 GiB, found by fuzz_texture).
        const uint64_t dataBytes = uint32_t(le32s(&f[34]));
        const bool depthFits = compression == 0 || (compression == 1 && bpp == 8) || (compression == 2 && bpp == 4) ||
                               (compression == 3 && (bpp == 16 || bpp == 32));
        if (!depthFits || (!packed && (dataBytes == 0 || offset + dataBytes > f.size()))) {
            t.why = "BMP whose compression does not match its depth or data";
            t.format = 0;
            return t;
        }
        // DevIL sizes the palette from the colours-used field in 32 bits: 0xb00019bf colours
        // asked for 3 GiB (found by fuzz_texture). No depth holds more than 256.
        const uint32_t coloursUsed = uint32_t(le32s(&f[46]));
        if (coloursUsed > (bpp <= 8 ? 1u << bpp : 256u)) {
            t.why = "BMP whose palette is larger than its depth allows";
            t.format = 0;
            return t;
        }
        if (headerSize < 40 || le16(&f[26]) != 1 || !knownBpp || compression > 3 || offset < 14 + headerSize ||
            offset >= f.size() || (packed && offset + stride * t.height > f.size())) {
            t.why = "BMP whose header does not match its data";
            t.format = 0;
            return t;
        }
    } else if (looksLikeTga(f)) {
        t.format = IL_TGA;
        t.width = le16(&f[12]);
        t.height = le16(&f[14]);
        // Likewise an uncompressed TGA must hold every pixel it declares.
        const uint64_t mapBytes = f[1] ? uint64_t(le16(&f[5])) * ((f[7] + 7) / 8) : 0;
        const uint64_t pixelBytes = uint64_t(t.width) * t.height * ((f[16] + 7) / 8);
        if (f[2] < 9 && 18 + uint64_t(f[0]) + mapBytes + pixelBytes > f.size()) {
            t.why = "TGA shorter than the pixels it declares";
            t.format = 0;
            return t;
        }
    } else {
        t.why = "not a PNG, JPEG, BMP or TGA file";
        return t;
    }
    if (t.width == 0 || t.height == 0 || t.width > kMaxTextureSide || t.height > kMaxTextureSide ||
        uint64_t(t.width) * t.height > kMaxTextureTexels) {
        t.why = "image size beyond 16384 texels a side or 2^26 texels";
        t.format = 0;
        return t;
    }
    t.ok = true;
    return t;
}

// Decodes an inspected file into the bound DevIL image.
bool decodeTexture(const std::vector<uint8_t>& f, const TextureHeader& t) {
    if (!t.ok || f.size() > 0xffffffffu) return false;
    if (!ilLoadL(ILenum(t.format), f.data(), ILuint(f.size()))) return false;
    // The decoder must deliver what the header declared, nothing larger.
    return uint32_t(ilGetInteger(IL_IMAGE_WIDTH)) == t.width && uint32_t(ilGetInteger(IL_IMAGE_HEIGHT)) == t.height &&
           ilGetInteger(IL_IMAGE_DEPTH) == 1;
}

// Converts the bound image to 8-bit RGB, the form the atlas copy reads; copying from
// an image DevIL could not convert reads past its pixels (found by fuzz_texture).
bool convertTexture() {
    const ILint w = ilGetInteger(IL_IMAGE_WIDTH), h = ilGetInteger(IL_IMAGE_HEIGHT);
    if (ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE) != IL_TRUE) return false;
    return ilGetInteger(IL_IMAGE_WIDTH) == w && ilGetInteger(IL_IMAGE_HEIGHT) == h &&
           ilGetInteger(IL_IMAGE_DEPTH) == 1 && ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL) == 3 &&
           int64_t(ilGetInteger(IL_IMAGE_SIZE_OF_DATA)) >= int64_t(w) * h * 3;
}

}  // namespace host

namespace {
void reportUnreadable(const char* path) { platform::messageBox("Error!: no se pudo cargar la imagen!", path); }
}  // namespace

namespace host {

void initImageLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        ilInit();
        iluInit();
        // Every image top row first, whatever its file format: DevIL would otherwise hand
        // BMP and TGA rows bottom first, flipping those textures against PNG ones.
        ilOriginFunc(IL_ORIGIN_UPPER_LEFT);
        ilEnable(IL_ORIGIN_SET);
    });
}

void releaseTextureImages(std::vector<uint32_t>& images) {
    for (uint32_t& name : images) {
        ILuint n = name;
        ilDeleteImages(1, &n);
    }
    images.clear();
}

}  // namespace host

int32_t TessraRendererCUDA::LoadTexture(const char* path) try {
    host::initImageLibrary();
    const int32_t index = int32_t(textureImages.size());
    TESSRA_PRINTF("Cargando: %s...", path ? path : "(null)");
    std::vector<uint8_t> bytes;
    const char* why = nullptr;
    host::TextureHeader header;
    if (readTextureFile(path, bytes, why)) {
        header = host::inspectTexture(bytes);
        why = header.why;
    }
    const uint64_t atlas = host::atlasTexels(textureImages) + uint64_t(header.width) * header.height;
    if (header.ok && atlas > kMaxAtlasTexels) {
        header.ok = false;
        why = "the texture atlas would exceed 2^29 texels";
    }
    ILuint image = 0;
    // Room for the image's name before DevIL holds it, so that running out of memory
    // cannot lose a loaded image.
    textureImages.reserve(textureImages.size() + 1);
    if (header.ok) {
        ilGenImages(1, &image);
        ilBindImage(image);
        if (!host::decodeTexture(bytes, header)) {
            ilDeleteImages(1, &image);
            header.ok = false;
            why = "the decoder refused the data";
        }
    }
    if (!header.ok) {
        TESSRA_PRINTF("refused: %s\n", why ? why : "unreadable");
        reportUnreadable(path ? path : "");
        return -1;
    }
    TESSRA_PRINTF("OK!\n");
    const int w = ilGetInteger(IL_IMAGE_WIDTH);
    const int h = ilGetInteger(IL_IMAGE_HEIGHT);
    const int bpp = ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL);
    TESSRA_PRINTF("Image data: w(%d) h(%d) bpp(%d)\n", w, h, bpp);
    if (!host::convertTexture()) {
        ilDeleteImages(1, &image);
        reportUnreadable(path);
        return -1;
    }
    textureImages.push_back(image);
    return index;
} catch (...) {
    host::reportException("LoadTexture");
    return -1;
}

namespace host {

// Total texels of the loaded images, in index order.
uint64_t atlasTexels(const std::vector<uint32_t>& images) {
    uint64_t total = 0;
    for (uint32_t name : images) {
        ilBindImage(name);
        total += uint64_t(ilGetInteger(IL_IMAGE_WIDTH)) * uint64_t(ilGetInteger(IL_IMAGE_HEIGHT));
    }
    return total;
}

// Packs every loaded image into one RGBA atlas and uploads it with the size records.
void buildTextureAtlas(TessraRendererCUDA* r) {
    std::vector<int4> sizes;
    uint64_t offset = 0;
    for (uint32_t name : r->textureImages) {
        ilBindImage(name);
        const int w = ilGetInteger(IL_IMAGE_WIDTH), h = ilGetInteger(IL_IMAGE_HEIGHT);
        sizes.push_back(make_int4(w, h, int(offset), 0));
        TESSRA_PRINTF("{%d,%d}\n", w, h);
        offset += uint64_t(w) * uint64_t(h);
    }
    const uint64_t T = offset;
    std::vector<uchar4> texels(T);
    TESSRA_PRINTF("Used Texture Memory: %f MB\n", float(T * 4) / 1024.0f / 1024.0f);
    for (size_t t = 0; t < r->textureImages.size(); ++t) {
        TESSRA_PRINTF("copy texture: %d\n", int(t));
        flushOut();
        ilBindImage(r->textureImages[t]);
        ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE);
        ilCopyPixels(0, 0, 0, ILuint(sizes[t].x), ILuint(sizes[t].y), 1, IL_RGBA, IL_UNSIGNED_BYTE,
                     texels.data() + sizes[t].z);
    }
    TESSRA_PRINTF("---1b---\n");
    flushOut();
    r->d_textureAtlas = r->Malloc(T * 4);
    if (!r->d_textureAtlas) return;  // reported; initScene stops
    TESSRA_CHECK(rt::memcpyHtoD(r->d_textureAtlas, texels.data(), T * 4), "Tessra", 1196);
    r->d_textureSizes = r->Malloc(sizes.size() * 16);
    if (!r->d_textureSizes) return;
    TESSRA_CHECK(rt::memcpyHtoD(r->d_textureSizes, sizes.data(), sizes.size() * 16), "Tessra", 1199);
}

}  // namespace host

void TessraRendererCUDA::SetCudaCustomTextures() try {
    using rt::Symbol;
    const size_t N = numTris, L = numLights;
    // No kernel reads the vertices, so none are uploaded (see uploadGeometry): the
    // reference is bound to nothing and reads zero.
    TESSRA_CHECK(rt::bindTexture(Symbol::texTris, nullptr, 0), "volumeRender", 2426);
    TESSRA_CHECK(rt::bindTexture(Symbol::texTriNorms, d_triNormals, 9 * N * 4), "volumeRender", 2427);
    TESSRA_CHECK(rt::bindTexture(Symbol::texTriTexCoords, d_triTexCoords, d_triTexCoords ? 3 * N * 16 : 0),
                 "volumeRender", 2428);
    TESSRA_CHECK(rt::bindTexture(Symbol::texTriMatID, d_triMatIds, N * 4), "volumeRender", 2429);
    TESSRA_CHECK(rt::bindTexture(Symbol::texLights, d_lightPosCol, 2 * L * 16), "volumeRender", 2430);
    TESSRA_CHECK(rt::bindTexture(Symbol::texLightsRotMat, d_lightRotRows, 3 * L * 16), "volumeRender", 2431);
    TESSRA_CHECK(rt::bindTexture(Symbol::texLightsSpotData, d_lightSpotData, L * 16), "volumeRender", 2432);
    TESSRA_CHECK(rt::bindTexture(Symbol::texLightsParams, d_lightParams, L * 4), "volumeRender", 2433);
    TESSRA_CHECK(rt::bindTexture(Symbol::texLightsDecayStart, d_lightDecayStart, L * 4), "volumeRender", 2434);
} catch (...) {
    host::reportException("SetCudaCustomTextures");
}

void TessraRendererCUDA::SetCudaMaterialTextures() try {
    using rt::Symbol;
    const size_t M = materials.size();
    if (d_textureAtlas)
        TESSRA_CHECK(rt::bindTexture(Symbol::texMatTextures, d_textureAtlas, host::atlasTexels(textureImages) * 4),
                     "volumeRender", 2441);
    if (d_textureSizes)
        TESSRA_CHECK(rt::bindTexture(Symbol::texTexSizesOffset, d_textureSizes, textureImages.size() * 16),
                     "volumeRender", 2443);
    TESSRA_CHECK(rt::bindTexture(Symbol::texMatDiffuse, d_matDiffuse, M * 16), "volumeRender", 2445);
    TESSRA_CHECK(rt::bindTexture(Symbol::texMatCaps, d_matCaps, M * 16), "volumeRender", 2446);
    TESSRA_CHECK(rt::bindTexture(Symbol::texMatSpec, d_matSpec, M * 16), "volumeRender", 2447);
    TESSRA_CHECK(rt::bindTexture(Symbol::texMatReflColor, d_matReflColor, M * 4), "volumeRender", 2448);
    TESSRA_CHECK(rt::bindTexture(Symbol::texMatReflGloss, d_matReflGloss, M * 4), "volumeRender", 2449);
    TESSRA_CHECK(rt::bindTexture(Symbol::texMatRefrColor, d_matRefrColor, M * 4), "volumeRender", 2450);
    TESSRA_CHECK(rt::bindTexture(Symbol::texMatRefrGloss, d_matRefrGloss, M * 4), "volumeRender", 2451);
    const int srgb = extension_.srgbTextures ? 1 : 0;
    TESSRA_CHECK(rt::copyToSymbol(Symbol::c_srgbTextures, &srgb, 4), "volumeRender", __LINE__);
    TESSRA_CHECK(rt::copyToSymbol(Symbol::c_layerTable, &host::layerTable(), sizeof(LayerTable)), "volumeRender",
                 __LINE__);
} catch (...) {
    host::reportException("SetCudaMaterialTextures");
}

extern "C" TESSRA_API int Tessra_SetSrgbTextures(TessraRendererCUDA* r, bool on) {
    if (!r) return -1;
    r->extension_.srgbTextures = on;
    return 0;
}

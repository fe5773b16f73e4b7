// Texture files through DevIL, the texture atlas, and the bindings of the scene,
// light and material arrays to their texture references.
#include <IL/il.h>
#include <IL/ilu.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "host/internal.h"

namespace {

// Images larger than this are refused before they reach the atlas: 16384 texels on a
// side and 256 MiB of RGBA texels in all.
constexpr int kMaxTextureSide = 16384;
constexpr uint64_t kMaxTextureTexels = (256ull << 20) / 4;

bool isRegularFile(const char* path) {
    struct stat st;
    return path && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// DevIL's PNG reader ignores short reads, so libpng walks on through stale bytes of a
// truncated or corrupt file for minutes, or for ever. A file that starts like a PNG must
// therefore hold whole chunks from IHDR to IEND before DevIL sees it; damage inside the
// compressed data is then caught by zlib and reported as a failed load.
bool pngChunksIntact(const char* path) {
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    unsigned char head[8];
    bool ok = true;
    if (std::fread(head, 1, 8, f) == 8 && std::memcmp(head, kSignature, 8) == 0) {
        std::fseek(f, 0, SEEK_END);
        const long size = std::ftell(f);
        long at = 8;
        bool first = true, ended = false;
        while (ok && !ended) {
            unsigned char c[8];
            if (std::fseek(f, at, SEEK_SET) != 0 || std::fread(c, 1, 8, f) != 8) {
                ok = false;
                break;
            }
            const uint64_t length = (uint64_t(c[0]) << 24) | (uint64_t(c[1]) << 16) | (uint64_t(c[2]) << 8) | c[3];
            if (length > 0x7fffffffu || uint64_t(at) + 12 + length > uint64_t(size)) ok = false;
            if (first && std::memcmp(c + 4, "IHDR", 4) != 0) ok = false;
            ended = std::memcmp(c + 4, "IEND", 4) == 0;
            first = false;
            at += long(12 + length);
        }
    }
    std::fclose(f);
    return ok;
}

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

int32_t TessraRendererCUDA::LoadTexture(const char* path) {
    host::initImageLibrary();
    const int32_t index = int32_t(textureImages.size());
    ILuint image = 0;
    ilGenImages(1, &image);
    ilBindImage(image);
    TESSRA_PRINTF("Cargando: %s...", path ? path : "(null)");
    // Only regular files: a directory or a FIFO would fail or block inside the decoder.
    if (!isRegularFile(path) || !pngChunksIntact(path) || !ilLoadImage(path)) {
        ilDeleteImages(1, &image);
        reportUnreadable(path ? path : "");
        return -1;
    }
    TESSRA_PRINTF("OK!\n");
    const int w = ilGetInteger(IL_IMAGE_WIDTH);
    const int h = ilGetInteger(IL_IMAGE_HEIGHT);
    const int bpp = ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL);
    TESSRA_PRINTF("Image data: w(%d) h(%d) bpp(%d)\n", w, h, bpp);
    if (w <= 0 || h <= 0 || w > kMaxTextureSide || h > kMaxTextureSide ||
        uint64_t(w) * uint64_t(h) > kMaxTextureTexels) {
        ilDeleteImages(1, &image);
        reportUnreadable(path);
        return -1;
    }
    textureImages.push_back(image);
    return index;
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
    TESSRA_CHECK(rt::memcpyHtoD(r->d_textureAtlas, texels.data(), T * 4), "Tessra", 1196);
    r->d_textureSizes = r->Malloc(sizes.size() * 16);
    TESSRA_CHECK(rt::memcpyHtoD(r->d_textureSizes, sizes.data(), sizes.size() * 16), "Tessra", 1199);
}

}  // namespace host

void TessraRendererCUDA::SetCudaCustomTextures() {
    using rt::Symbol;
    const size_t N = numTris, L = numLights;
    TESSRA_CHECK(rt::bindTexture(Symbol::texTris, d_triVertices, 3 * N * 16), "volumeRender", 2426);
    TESSRA_CHECK(rt::bindTexture(Symbol::texTriNorms, d_triNormals, 3 * N * 16), "volumeRender", 2427);
    TESSRA_CHECK(rt::bindTexture(Symbol::texTriTexCoords, d_triTexCoords, 3 * N * 16), "volumeRender", 2428);
    TESSRA_CHECK(rt::bindTexture(Symbol::texTriMatID, d_triMatIds, N * 4), "volumeRender", 2429);
    TESSRA_CHECK(rt::bindTexture(Symbol::texLights, d_lightPosCol, 2 * L * 16), "volumeRender", 2430);
    TESSRA_CHECK(rt::bindTexture(Symbol::texLightsRotMat, d_lightRotRows, 3 * L * 16), "volumeRender", 2431);
    TESSRA_CHECK(rt::bindTexture(Symbol::texLightsSpotData, d_lightSpotData, L * 16), "volumeRender", 2432);
    TESSRA_CHECK(rt::bindTexture(Symbol::texLightsParams, d_lightParams, L * 4), "volumeRender", 2433);
    TESSRA_CHECK(rt::bindTexture(Symbol::texLightsDecayStart, d_lightDecayStart, L * 4), "volumeRender", 2434);
}

void TessraRendererCUDA::SetCudaMaterialTextures() {
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
}

// Texture files and the atlas: size records, printed lines, 3-byte images stored as 4,
// a file named twice, the same picture as BMP and PNG, and every way a file can fail to
// load without leaking or crashing.
#include <gtest/gtest.h>

#include <IL/il.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host/internal.h"
#include "support/bad_files.h"
#include "support/test_support.h"

namespace {

struct Picture {
    int w, h;
    std::vector<uint8_t> rgb;  // top row first
    uint8_t at(int x, int y, int c) const { return rgb[(size_t(y) * w + x) * 3 + c]; }
};

// A picture whose every texel differs and whose rows are told apart by their green.
Picture makePicture(int w, int h, int seed) {
    Picture p{w, h, {}};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            p.rgb.push_back(uint8_t(10 * x + seed));
            p.rgb.push_back(uint8_t(40 * y + 3));
            p.rgb.push_back(uint8_t(200 - 7 * (x + w * y) - seed));
        }
    return p;
}

// A 24-bit BMP written byte by byte: rows bottom first, BGR, padded to 4 bytes. Written
// here rather than by DevIL so that the expected row order does not rest on DevIL.
void writeBmp(const std::string& path, const Picture& p, int declaredW = 0, int declaredH = 0) {
    const int stride = (p.w * 3 + 3) & ~3;
    std::vector<uint8_t> f = tt::bmpHeader(declaredW ? declaredW : p.w, declaredH ? declaredH : p.h,
                                           uint32_t(stride) * uint32_t(p.h), true);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const size_t o = 54 + size_t(p.h - 1 - y) * stride + size_t(x) * 3;
            f[o] = p.at(x, y, 2);
            f[o + 1] = p.at(x, y, 1);
            f[o + 2] = p.at(x, y, 0);
        }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.data()), std::streamsize(f.size()));
}

// A PNG through DevIL, the data declared top row first.
void writePng(const std::string& path, const Picture& p) {
    host::initImageLibrary();
    ILuint img = 0;
    ilGenImages(1, &img);
    ilBindImage(img);
    std::vector<uint8_t> data = p.rgb;
    ASSERT_TRUE(ilTexImage(ILuint(p.w), ILuint(p.h), 1, 3, IL_RGB, IL_UNSIGNED_BYTE, data.data()));
    ilRegisterOrigin(IL_ORIGIN_UPPER_LEFT);
    ilEnable(IL_FILE_OVERWRITE);
    ASSERT_TRUE(ilSaveImage(path.c_str())) << path;
    ilDeleteImages(1, &img);
}

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/tessra-tex-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string& n) const { return path + "/" + n; }
    std::string path;
};

// A renderer with one light, one triangle per material and the given texture paths.
struct TexturedScene {
    explicit TexturedScene(const std::vector<std::string>& maps) : paths(maps) {
        r.reset(tt::newRenderer(16, 16));
        r->NuevaLuzOmni(0, 0, 5, 1, 1, 1, 1, 0, 0);
        for (size_t i = 0; i < paths.size(); ++i) {
            material_t m;
            m.diffuseMap = paths[i].c_str();
            const int id = r->NuevoMaterial(m);
            tt::addTriangle(*r, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, id);
        }
        tt::setCameraLookingDownZ(*r, {0, 0, 5});
    }
    ~TexturedScene() { r->CleanUp(); }
    std::vector<std::string> paths;
    std::unique_ptr<TessraRendererCUDA> r;
};

// What a texture reference is bound to, copied back: the mirror holds device addresses,
// which the host cannot read on CUDA.
template <typename T>
std::vector<T> bound(const TexRef<T>& t) {
    std::vector<T> v(t.count);
    EXPECT_EQ(rt::memcpyDtoH(v.data(), t.ptr, v.size() * sizeof(T)), rt::Success);
    return v;
}

std::vector<uchar4> atlas() { return bound(rt::symbolMirror().texMatTextures); }

void expectTexels(const std::vector<uchar4>& a, size_t offset, const Picture& p, const std::string& what) {
    ASSERT_GE(a.size(), offset + size_t(p.w) * p.h) << what;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const uchar4 t = a[offset + size_t(y) * p.w + x];
            ASSERT_EQ(t.x, p.at(x, y, 0)) << what << " texel " << x << "," << y;
            ASSERT_EQ(t.y, p.at(x, y, 1)) << what << " texel " << x << "," << y;
            ASSERT_EQ(t.z, p.at(x, y, 2)) << what << " texel " << x << "," << y;
        }
}

TEST(TextureAtlas, FourByTwoAndThreeByThreeGiveSeventeenTexels) {
    TempDir dir;
    const Picture a = makePicture(4, 2, 1), b = makePicture(3, 3, 2);
    writeBmp(dir.file("a.bmp"), a);
    writeBmp(dir.file("b.bmp"), b);
    TexturedScene s({dir.file("a.bmp"), dir.file("b.bmp")});
    tt::StdoutCapture out;
    out.start();
    const bool ok = s.r->initScene();
    const std::string text = out.stop();
    ASSERT_TRUE(ok) << text;
    EXPECT_NE(text.find("Cargando: " + dir.file("a.bmp") + "...OK!\nImage data: w(4) h(2) bpp(3)\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("numTex: 2\n"), std::string::npos);
    EXPECT_NE(text.find("{4,2}\n{3,3}\n"), std::string::npos) << text;
    char mem[64];
    std::snprintf(mem, sizeof(mem), "Used Texture Memory: %f MB\n", 68.0f / 1024.0f / 1024.0f);
    EXPECT_NE(text.find(mem), std::string::npos) << text;
    EXPECT_NE(text.find("copy texture: 0\ncopy texture: 1\n---1b---\n"), std::string::npos) << text;

    const DeviceSymbols& S = rt::symbolMirror();
    const std::vector<int4> sizes = bound(S.texTexSizesOffset);
    ASSERT_EQ(sizes.size(), 2u);
    const int4 r0 = sizes[0], r1 = sizes[1];
    EXPECT_EQ(r0.x, 4);
    EXPECT_EQ(r0.y, 2);
    EXPECT_EQ(r0.z, 0);
    EXPECT_EQ(r1.x, 3);
    EXPECT_EQ(r1.y, 3);
    EXPECT_EQ(r1.z, 8);
    // Three bytes per pixel in the files, four per texel in the atlas.
    ASSERT_EQ(S.texMatTextures.count, 17u);
    const std::vector<uchar4> t = atlas();
    expectTexels(t, 0, a, "4 x 2");
    expectTexels(t, 8, b, "3 x 3");
    // The materials carry the texture indices in load order.
    const std::vector<int4> caps = bound(S.texMatCaps);
    ASSERT_EQ(caps.size(), 2u);
    EXPECT_EQ(caps[0].x, 0);
    EXPECT_EQ(caps[1].x, 1);
}

TEST(TextureAtlas, SameFileNamedTwiceOccupiesTwoPlaces) {
    TempDir dir;
    const Picture a = makePicture(5, 3, 7);
    writeBmp(dir.file("a.bmp"), a);
    TexturedScene s({dir.file("a.bmp"), dir.file("a.bmp")});
    ASSERT_TRUE(s.r->initScene());
    EXPECT_EQ(s.r->textureImages.size(), 2u);
    const DeviceSymbols& S = rt::symbolMirror();
    const std::vector<int4> sizes = bound(S.texTexSizesOffset);
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[1].z, 15);
    ASSERT_EQ(S.texMatTextures.count, 30u);
    const std::vector<uchar4> t = atlas();
    expectTexels(t, 0, a, "first naming");
    expectTexels(t, 15, a, "second naming");
}

// The same picture as a BMP (rows bottom first in the file) and a PNG (rows top first)
// arrives in the atlas identically, top row first.
TEST(TextureAtlas, BmpAndPngOfOnePictureGiveIdenticalTexels) {
    TempDir dir;
    const Picture p = makePicture(6, 4, 3);
    writeBmp(dir.file("p.bmp"), p);
    writePng(dir.file("p.png"), p);
    TexturedScene s({dir.file("p.bmp"), dir.file("p.png")});
    ASSERT_TRUE(s.r->initScene());
    const std::vector<uchar4> t = atlas();
    ASSERT_EQ(t.size(), 48u);
    expectTexels(t, 0, p, "BMP");
    expectTexels(t, 24, p, "PNG");
}

// Every file that cannot be used: the message with the path as title, initScene false,
// no device memory or DevIL image left behind once the renderer cleans up.
TEST(TextureAtlas, UnreadableFilesAreRefusedWithoutLeaks) {
    TempDir dir;
    {
        std::ofstream(dir.file("junk.png"), std::ios::binary) << "\x89PNG\r\n\x1a\n this is not image data at all";
    }
    writePng(dir.file("whole.png"), makePicture(16, 16, 1));
    {
        // A PNG cut off after its first 60 bytes.
        std::ifstream in(dir.file("whole.png"), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GT(bytes.size(), 60u);
        std::ofstream(dir.file("cut.png"), std::ios::binary).write(bytes.data(), 60);
    }
    {
        // A BMP whose header claims 20000 x 20000 texels over a few bytes of data.
        writeBmp(dir.file("liar.bmp"), makePicture(2, 2, 1), 20000, 20000);
        // A readable BMP wider than 16384 texels.
        writeBmp(dir.file("wide.bmp"), makePicture(16385, 1, 1));
    }
    mkdir(dir.file("folder.png").c_str(), 0700);
    const std::vector<std::string> bad = {dir.file("missing.png"), dir.file("junk.png"), dir.file("cut.png"),
                                          dir.file("folder.png"), dir.file("liar.bmp"), dir.file("wide.bmp")};
    writeBmp(dir.file("good.bmp"), makePicture(2, 2, 1));
    const size_t before = rt::liveAllocationCount();
    for (const std::string& path : bad) {
        // A good texture first, so that a failure also has loaded images to release.
        TexturedScene s({dir.file("good.bmp"), path});
        tt::MessageCapture messages;
        tt::StdoutCapture out;
        out.start();
        const bool ok = s.r->initScene();
        out.stop();
        EXPECT_FALSE(ok) << path;
        ASSERT_EQ(messages.messages.size(), 1u) << path;
        EXPECT_EQ(messages.messages[0].text, "Error!: no se pudo cargar la imagen!");
        EXPECT_EQ(messages.messages[0].title, path);
        EXPECT_EQ(s.r->textureImages.size(), 1u) << "the failed image must not be kept: " << path;
        s.r->CleanUp();
        EXPECT_TRUE(s.r->textureImages.empty());
        EXPECT_EQ(rt::liveAllocationCount(), before) << path;
    }
}

}  // namespace

// Textures: the atlas holds every file's texels top row first, whatever the format and
// however often a file is named, and a textured surface shows the texels the lookup rule
// picks (wrapped coordinates, t flipped). The files are written here, byte by byte or
// with libpng, so that the expectations do not rest on the loader under test.
#include <IL/il.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "host/internal.h"
#include "support/test_support.h"

namespace {

struct Picture {
    int w, h;
    uint8_t at(int x, int y, int c) const {
        const int v[3] = {40 + 50 * x, 30 + 80 * y, 200 - 7 * (x + w * y) - 13 * w};
        return uint8_t(v[c]);
    }
};

// A 24-bit BMP: rows bottom first, BGR, padded to 4 bytes.
std::string writeBmp(const tt::TempDir& dir, const std::string& name, const Picture& p) {
    const int stride = (p.w * 3 + 3) & ~3;
    std::vector<uint8_t> f = tt::bmpHeader(p.w, p.h, uint32_t(stride) * uint32_t(p.h), true);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x)
            for (int c = 0; c < 3; ++c) f[54 + size_t(p.h - 1 - y) * stride + size_t(x) * 3 + c] = p.at(x, y, 2 - c);
    tt::writeBytes(dir.file(name), f);
    return dir.file(name);
}

std::string writePng(const tt::TempDir& dir, const std::string& name, const Picture& p) {
    EXPECT_TRUE(tt::writePng(dir.file(name), p.w, p.h, [&](int x, int y, int c) { return p.at(x, y, c); }));
    return dir.file(name);
}

template <typename T>
std::vector<T> bound(const TexRef<T>& t) {
    std::vector<T> v(t.count);
    EXPECT_EQ(rt::memcpyDtoH(v.data(), t.ptr, v.size() * sizeof(T)), rt::Success);
    return v;
}

TEST(TextureAtlas, HoldsEachNamedFileTopRowFirstInOrder) {
    const tt::TempDir dir;
    const Picture a{4, 2}, b{3, 3};
    const std::vector<std::pair<std::string, Picture>> maps = {{writeBmp(dir, "a.bmp", a), a},
                                                               {writePng(dir, "b.png", b), b},
                                                               {dir.file("a.bmp"), a},
                                                               {writeBmp(dir, "b.bmp", b), b}};
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(16, 16));
    r->NuevaLuzOmni(0, 0, 5, 1, 1, 1, 1, 0, 0);
    for (const auto& m : maps) {
        material_t mat;
        mat.diffuseMap = m.first.c_str();
        tt::addTriangle(*r, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, r->NuevoMaterial(mat));
    }
    tt::setCameraLookingDownZ(*r, {0, 0, 5});
    {
        tt::StdoutCapture quiet(true);
        ASSERT_TRUE(r->initScene());
    }
    const DeviceSymbols& S = rt::symbolMirror();
    const std::vector<int4> sizes = bound(S.texTexSizesOffset), caps = bound(S.texMatCaps);
    const std::vector<uchar4> atlas = bound(S.texMatTextures);
    ASSERT_EQ(sizes.size(), maps.size());
    ASSERT_EQ(caps.size(), maps.size());
    int offset = 0;
    for (size_t i = 0; i < maps.size(); ++i) {
        const Picture& p = maps[i].second;
        EXPECT_EQ(caps[i].x, int(i));
        EXPECT_EQ(sizes[i].x, p.w);
        EXPECT_EQ(sizes[i].y, p.h);
        EXPECT_EQ(sizes[i].z, offset);
        ASSERT_GE(atlas.size(), size_t(offset + p.w * p.h));
        for (int y = 0; y < p.h; ++y)
            for (int x = 0; x < p.w; ++x) {
                const uchar4 t = atlas[size_t(offset + y * p.w + x)];
                ASSERT_TRUE(t.x == p.at(x, y, 0) && t.y == p.at(x, y, 1) && t.z == p.at(x, y, 2))
                    << maps[i].first << " texel " << x << "," << y;
            }
        offset += p.w * p.h;
    }
    EXPECT_EQ(atlas.size(), size_t(offset));
    r->CleanUp();
}

// The decoder sizes a BMP's palette from the header alone, so the header check must
// bound it: a full 256-colour palette passes, one colour more does not, nor does the
// count that wraps to 3 GiB in 32 bits.
TEST(TextureHeader, BoundsTheBmpPaletteBeforeTheDecoderSeesIt) {
    for (const uint32_t colours : {0u, 256u, 257u, 0xb00019bfu}) {
        SCOPED_TRACE(colours);
        const uint32_t stride = 4, h = 2;
        std::vector<uint8_t> f = tt::bmpHeader(2, int32_t(h), 1024 + stride * h, true);
        f[28] = 8;
        const uint32_t offset = 54 + 1024;
        for (int i = 0; i < 4; ++i) {
            f[10 + i] = uint8_t(offset >> (8 * i));
            f[46 + i] = uint8_t(colours >> (8 * i));
        }
        EXPECT_EQ(host::inspectTexture(f).ok, colours <= 256);
    }
}

// DevIL's JPEG reader never ends a skip over a segment that runs past the end of the
// file (it hangs), so every segment must fit: a JPEG DevIL wrote passes, and so does one
// with an extra segment, unless that segment is longer than the rest of the file.
TEST(TextureHeader, RefusesJpegSegmentsRunningPastTheEnd) {
    host::initImageLibrary();
    std::vector<uint8_t> px(8 * 8 * 3, 128), jpeg(16384);
    ILuint image = 0;
    ilGenImages(1, &image);
    ilBindImage(image);
    ASSERT_TRUE(ilTexImage(8, 8, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, px.data()));
    jpeg.resize(ilSaveL(IL_JPG, jpeg.data(), ILuint(jpeg.size())));
    ilDeleteImages(1, &image);
    ASSERT_GT(jpeg.size(), 100u);
    const host::TextureHeader good = host::inspectTexture(jpeg);
    EXPECT_TRUE(good.ok && good.width == 8 && good.height == 8);

    // A segment longer than the rest of the file: first, after the frame header (where
    // the old check had stopped looking, and where fuzz_texture put it) and after the
    // image data.
    size_t frame = 2;
    while (frame + 1 < jpeg.size() && !(jpeg[frame] == 0xff && jpeg[frame + 1] == 0xc0)) ++frame;
    ASSERT_LT(frame + 4, jpeg.size());
    const size_t afterFrame = frame + 2 + (size_t(jpeg[frame + 2]) << 8 | jpeg[frame + 3]);
    for (const size_t at : {size_t(2), afterFrame, jpeg.size() - 2}) {
        SCOPED_TRACE(at);
        std::vector<uint8_t> f = jpeg;
        f.insert(f.begin() + std::ptrdiff_t(at), {0xff, 0xe3, 0xd9, 0x00, 'x'});
        EXPECT_FALSE(host::inspectTexture(f).ok);
        f[at + 2] = 0x00, f[at + 3] = 0x03;  // the same segment, of its true length
        EXPECT_TRUE(host::inspectTexture(f).ok);
    }
}

TEST(TexturedSurface, ShowsTheTexelsOfTheWrappedFlippedLookup) {
    const tt::TempDir dir;
    const Picture tex{4, 3};
    const std::string path = writePng(dir, "t.png", tex);
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(40, 40));
    material_t m;
    m.diffuseMap = path.c_str();
    const int mat = r->NuevoMaterial(m);
    // The quad [-4, 4]^2 at z = 0 with texture coordinates (x + 4) / 4, (y + 4) / 4: the
    // picture repeats twice along each axis.
    const float uv0[6] = {0, 0, 2, 0, 2, 2}, uv1[6] = {0, 0, 2, 2, 0, 2};
    tt::addTriangle(*r, {-4, -4, 0}, {4, -4, 0}, {4, 4, 0}, {0, 0, 1}, mat, uv0);
    tt::addTriangle(*r, {-4, -4, 0}, {4, 4, 0}, {-4, 4, 0}, {0, 0, 1}, mat, uv1);
    r->NuevaLuzDir(0, 0, 10, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 100, 90, 1.0f, 0, true, 1.0f);
    const tt::V3 eye = {0.3f, 0.1f, 5};
    const tt::RecordingHost host = tt::renderDownZ(*r, eye);
    int checked = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) {
            const float k = eye.z * std::tan(0.45f);
            const float px = eye.x + (2.0f * x / 40 - 1) * k, py = eye.y - (2.0f * y / 40 - 1) * k;
            const float s = std::fmod(std::fmod((px + 4) / 4, 1.0f) + 1.0f, 1.0f);
            const float t = std::fmod(1.0f - std::fmod((py + 4) / 4, 1.0f), 1.0f);
            // Points close to a texel border may round either way.
            const float cs = (tex.w - 1) * s, rs = (tex.h - 1) * t;
            if (std::fabs(cs - std::round(cs)) < 0.02f || std::fabs(rs - std::round(rs)) < 0.02f) continue;
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(host.pixel(x, y)[c], tex.at(int(cs), int(rs), c) / 255.0f, 1e-5f) << x << "," << y;
            ++checked;
        }
    EXPECT_GT(checked, 400);
}

}  // namespace

// Textures: a textured surface shows the texels the lookup rule picks (wrapped
// coordinates, t flipped) from every file's texels, top row first, whatever the format
// and however often a file is named. The files are written here, byte by byte or with
// libpng, so that the expectations do not rest on the loader under test.
#include <IL/il.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "host/internal.h"
#include "support/test_support.h"

namespace {

struct Picture {
    int w, h, seed;
    uint8_t at(int x, int y, int c) const {
        const int v[3] = {40 + 50 * x, 30 + 80 * y + seed, 200 - 7 * (x + w * y) - 13 * w};
        return uint8_t(v[c]);
    }
};

// A 24-bit BMP (rows bottom first, BGR, padded to 4 bytes), or a PNG through libpng.
std::string write(const tt::TempDir& dir, const std::string& name, const Picture& p) {
    if (name.find(".png") != std::string::npos) {
        EXPECT_TRUE(tt::writePng(dir.file(name), p.w, p.h, [&](int x, int y, int c) { return p.at(x, y, c); }));
        return dir.file(name);
    }
    const int stride = (p.w * 3 + 3) & ~3;
    std::vector<uint8_t> f = tt::bmpHeader(p.w, p.h, uint32_t(stride) * uint32_t(p.h), true);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x)
            for (int c = 0; c < 3; ++c) f[54 + size_t(p.h - 1 - y) * stride + size_t(x) * 3 + c] = p.at(x, y, 2 - c);
    tt::writeBytes(dir.file(name), f);
    return dir.file(name);
}

// The four quadrants of the view are quads of their own textures, a BMP, a PNG, the same
// BMP again and another BMP; each quad's texture coordinates run from 0 to 2 over its 4
// units, so that its picture repeats twice along each axis.
TEST(TexturedSurface, ShowsTheTexelsOfTheWrappedFlippedLookupOfEachFile) {
    const tt::TempDir dir;
    const Picture a{4, 2, 0}, b{3, 3, 0}, c{2, 3, 7};
    const std::vector<std::pair<std::string, Picture>> maps = {
        {write(dir, "a.bmp", a), a}, {write(dir, "b.png", b), b}, {dir.file("a.bmp"), a}, {write(dir, "c.bmp", c), c}};
    std::unique_ptr<TessraRendererCUDA> r(tt::newRenderer(40, 40));
    const float uv0[6] = {0, 0, 2, 0, 2, 2}, uv1[6] = {0, 0, 2, 2, 0, 2};
    for (int q = 0; q < 4; ++q) {
        material_t m;
        m.diffuseMap = maps[size_t(q)].first.c_str();
        const int mat = r->NuevoMaterial(m);
        const float x0 = q % 2 ? 0 : -4, y0 = q / 2 ? 0 : -4;
        tt::addTriangle(*r, {x0, y0, 0}, {x0 + 4, y0, 0}, {x0 + 4, y0 + 4, 0}, {0, 0, 1}, mat, uv0);
        tt::addTriangle(*r, {x0, y0, 0}, {x0 + 4, y0 + 4, 0}, {x0, y0 + 4, 0}, {0, 0, 1}, mat, uv1);
    }
    r->NuevaLuzDir(0, 0, 10, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 100, 90, 1.0f, 0, true, 1.0f);
    const tt::V3 eye = {0.3f, 0.1f, 5};
    const tt::RecordingHost host = tt::renderDownZ(*r, eye);
    int checked[4] = {0, 0, 0, 0};
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) {
            const tt::V3 p = tt::onPlane(x, y, 40, 40, eye);
            const int q = (p.x >= 0) + 2 * (p.y >= 0);
            const Picture& tex = maps[size_t(q)].second;
            const float s = std::fmod((p.x + 4) / 2, 1.0f), t = std::fmod(1.0f - std::fmod((p.y + 4) / 2, 1.0f), 1.0f);
            // Points close to a texel border or a seam may round either way.
            const float cs = (tex.w - 1) * s, rs = (tex.h - 1) * t;
            if (std::fabs(cs - std::round(cs)) < 0.02f || std::fabs(rs - std::round(rs)) < 0.02f ||
                std::min(std::fabs(p.x), std::fabs(p.y)) < 0.05f)
                continue;
            for (int ch = 0; ch < 3; ++ch)
                EXPECT_NEAR(host.pixel(x, y)[ch], tex.at(int(cs), int(rs), ch) / 255.0f, 1e-5f) << x << "," << y;
            ++checked[q];
        }
    for (int q = 0; q < 4; ++q) EXPECT_GT(checked[q], 60) << maps[size_t(q)].first;
}

// The header check guards the decoders from what they would trust. A BMP's palette is
// sized from the header alone: a full 256-colour palette passes, one colour more does
// not, nor does the count that wraps to 3 GiB in 32 bits. DevIL's JPEG reader never ends
// a skip over a segment that runs past the end of the file (it hangs): a JPEG DevIL wrote
// passes, and so does one with an extra segment, unless that segment is longer than the
// rest of the file.
TEST(TextureHeader, BoundsBmpPalettesAndJpegSegments) {
    for (const uint32_t colours : {0u, 256u, 257u, 0xb00019bfu}) {
        std::vector<uint8_t> f = tt::bmpHeader(2, 2, 1024 + 8, true);
        f[28] = 8;
        for (int i = 0; i < 4; ++i) f[10 + i] = uint8_t((54 + 1024) >> (8 * i)), f[46 + i] = uint8_t(colours >> (8 * i));
        EXPECT_EQ(host::inspectTexture(f).ok, colours <= 256) << colours << " colours";
    }
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

}  // namespace

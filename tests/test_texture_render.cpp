// A textured floor shows its texels where the lookup rule puts them: wrapped
// coordinates, the flipped t, rows top first.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cmath>
#include <string>

#include "host/internal.h"
#include "support/test_support.h"

namespace {

constexpr int kSize = 40;
constexpr float kFov = 0.9f;
constexpr int kTexW = 4, kTexH = 3;

// Texel (column, row) with row 0 the top row of the picture.
void texel(int c, int r, unsigned char* rgb) {
    rgb[0] = static_cast<unsigned char>(40 + 50 * c);
    rgb[1] = static_cast<unsigned char>(30 + 80 * r);
    rgb[2] = static_cast<unsigned char>((c + r) % 2 ? 250 : 10);
}

// Written with libpng, rows top first, independently of the loader under test.
std::string writeTexture() {
    const std::string path = "/tmp/tessra-tex-" + std::to_string(getpid()) + ".png";
    FILE* f = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, kTexW, kTexH, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int r = 0; r < kTexH; ++r) {
        unsigned char row[kTexW * 3];
        for (int c = 0; c < kTexW; ++c) texel(c, r, row + 3 * c);
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return path;
}

TEST(TexturedSurface, ShowsTheTexelsOfTheWrappedFlippedLookup) {
    TessraRendererCUDA* init = Tessra_InitRenderer();  // DevIL set-up as a host gets it
    delete init;
    const std::string path = writeTexture();
    TessraRendererCUDA* r = tt::newRenderer(kSize, kSize);
    r->fieldOfView = kFov;
    material_t m;
    m.diffuseMap = path.c_str();
    const int mat = r->NuevoMaterial(m);
    // The quad [-4, 4]^2 at z = 0 with texture coordinates (x + 4) / 4, (y + 4) / 4: the
    // picture repeats twice along each axis.
    auto uvOf = [](float x, float y) { return std::pair<float, float>((x + 4) / 4, (y + 4) / 4); };
    const tt::V3 a = {-4, -4, 0}, b = {4, -4, 0}, c = {4, 4, 0}, d = {-4, 4, 0};
    const float uv0[6] = {uvOf(a.x, a.y).first, uvOf(a.x, a.y).second, uvOf(b.x, b.y).first,
                          uvOf(b.x, b.y).second, uvOf(c.x, c.y).first, uvOf(c.x, c.y).second};
    const float uv1[6] = {uvOf(a.x, a.y).first, uvOf(a.x, a.y).second, uvOf(c.x, c.y).first,
                          uvOf(c.x, c.y).second, uvOf(d.x, d.y).first, uvOf(d.x, d.y).second};
    tt::addTriangle(*r, a, b, c, {0, 0, 1}, mat, uv0);
    tt::addTriangle(*r, a, c, d, {0, 0, 1}, mat, uv1);
    r->NuevaLuzDir(0, 0, 10, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 100, 90, 1.0f, 0, true, 1.0f);
    tt::RecordingHost host(kSize, kSize);
    r->callbacks = &host;
    const tt::V3 eye = {0.3f, 0.1f, 5};
    tt::setCameraLookingDownZ(*r, eye);
    tt::StdoutCapture quiet;
    quiet.start();
    r->Render();
    quiet.stop();

    int checked = 0;
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) {
            const float u = 2.0f * x / kSize - 1.0f, v = 2.0f * y / kSize - 1.0f;
            const float dz = -1.0f / std::tan(kFov * 0.5f);
            const float t = eye.z / -dz;
            const float px = eye.x + u * t, py = eye.y - v * t;
            const auto [tu, tv] = uvOf(px, py);
            const float s = std::fmod(std::fmod(tu, 1.0f) + 1.0f, 1.0f);
            const float tt_ = std::fmod(1.0f - std::fmod(tv, 1.0f), 1.0f);
            // Skip points close to a texel border, where float rounding may pick either.
            const float cs = (kTexW - 1) * s, rs = (kTexH - 1) * tt_;
            if (std::fabs(cs - std::round(cs)) < 0.02f || std::fabs(rs - std::round(rs)) < 0.02f) continue;
            unsigned char rgb[3];
            texel(int(cs), int(rs), rgb);
            const float* p = host.pixel(x, y);
            EXPECT_NEAR(p[0], rgb[0] / 255.0f, 1e-5f) << x << "," << y;
            EXPECT_NEAR(p[1], rgb[1] / 255.0f, 1e-5f) << x << "," << y;
            EXPECT_NEAR(p[2], rgb[2] / 255.0f, 1e-5f) << x << "," << y;
            ++checked;
        }
    }
    EXPECT_GT(checked, 400);
    delete r;
    std::remove(path.c_str());
}

}  // namespace

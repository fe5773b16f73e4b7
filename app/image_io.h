// Image files of tessra-render: PNG (8-bit sRGB), OpenEXR (linear float RGBA) and PFM.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tr {

enum class ImageFormat { Png, Exr, Pfm };

// The format named by a file's extension (case-insensitive); false for an unknown one.
bool formatFromPath(const std::string& path, ImageFormat& format);

struct Image {
    int width = 0, height = 0;
    std::vector<float> rgba;  // linear, row 0 at the top
    // The alpha in rgba is coverage (Tessra_SetAlphaCoverage), the colour premultiplied
    // by it: OpenEXR keeps both, PNG divides the colour by it (straight alpha). Otherwise
    // alpha is not coverage, and they are written opaque.
    bool alpha = false;
    // Output passes written into OpenEXR files beside the colour, where not empty:
    // albedo.R/G/B and N.X/Y/Z (3 floats a pixel), Z (1 float a pixel).
    std::vector<float> albedo, normal, depth;
    // Where these pixels sit in the whole frame (a crop of a farm render): OpenEXR keeps
    // it as the data window inside the display window; PNG and PFM hold the pixels alone.
    // A zero frame size means the pixels are the whole frame.
    int originX = 0, originY = 0, frameWidth = 0, frameHeight = 0;
};

// Written to a temporary name beside `path` and renamed over it, so a reader never sees a
// half-written file. Attributes go into the EXR header as strings. Throws on failure and
// leaves no temporary file behind.
void writeImage(const std::string& path, const Image& image,
                const std::vector<std::pair<std::string, std::string>>& attributes = {});

// Reads an image as linear RGB floats, row 0 at the top: OpenEXR and Radiance HDR as
// they are, 8- and 16-bit formats (PNG, JPEG, ...) decoded from sRGB. Throws
// std::runtime_error naming the file when it cannot be read.
std::vector<float> readImageRgb(const std::string& path, int& width, int& height);

// The linear value of an sRGB-encoded one (0 to 1).
float srgbToLinear(float s);

// sRGB encoding of a linear value clamped to [0, 1], as an 8-bit code.
unsigned char linearToSrgb8(float v);

}  // namespace tr

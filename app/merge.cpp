// tessra-merge: assembles the crops of one frame (OpenEXR files whose data windows sit in
// the same display window, as tessra-render --crop writes them) into the whole image.
#include <CLI/CLI.hpp>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfStringAttribute.h>
#include <ImathBox.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "image_io.h"

namespace {

constexpr int kExitOk = 0, kExitFailure = 1, kExitUsage = 2;

// The layers a part may hold: the colour (required) and tessra-render's output passes.
struct Layer {
    const char* name;
    std::vector<float> tr::Image::*pixels;
    std::vector<const char*> channels;
};
const Layer kLayers[] = {{"colour", &tr::Image::rgba, {"R", "G", "B", "A"}},
                         {"albedo", &tr::Image::albedo, {"albedo.R", "albedo.G", "albedo.B"}},
                         {"normal", &tr::Image::normal, {"N.X", "N.Y", "N.Z"}},
                         {"depth", &tr::Image::depth, {"Z"}}};

struct Part {
    std::string path;
    Imath::Box2i data, display;
    tr::Image image;  // the data window's pixels, top row first
    std::map<std::string, std::string> attributes;
};

std::string box(const Imath::Box2i& b) {
    return "(" + std::to_string(b.min.x) + "," + std::to_string(b.min.y) + ")-(" + std::to_string(b.max.x) + "," +
           std::to_string(b.max.y) + ")";
}

Part readPart(const std::string& path) {
    Imf::InputFile file(path.c_str());
    const Imf::Header& h = file.header();
    Part p;
    p.path = path;
    p.data = h.dataWindow();
    p.display = h.displayWindow();
    for (const char* c : {"R", "G", "B"})
        if (!h.channels().findChannel(c)) throw std::runtime_error(path + ": no " + c + " channel");
    // Checked before any allocation: a damaged header must not ask for terabytes.
    const Imath::V2i size = p.display.size() + Imath::V2i(1, 1);
    if (p.display.isEmpty() || size.x > 65536 || size.y > 65536)
        throw std::runtime_error(path + ": display window " + box(p.display) + " is not a frame tessra-render writes");
    if (p.data.isEmpty() || !p.display.intersects(p.data.min) || !p.display.intersects(p.data.max))
        throw std::runtime_error(path + ": data window " + box(p.data) + " is not inside the display window " +
                                 box(p.display));
    for (auto a = h.begin(); a != h.end(); ++a)
        if (const auto* s = dynamic_cast<const Imf::StringAttribute*>(&a.attribute())) p.attributes[a.name()] = s->value();
    const long w = long(p.data.max.x) - p.data.min.x + 1, ht = long(p.data.max.y) - p.data.min.y + 1;
    p.image.width = int(w);
    p.image.height = int(ht);
    Imf::FrameBuffer fb;
    for (const Layer& layer : kLayers) {
        const bool colour = layer.pixels == &tr::Image::rgba;
        bool present = true;
        for (const char* c : layer.channels) present = present && (colour || h.channels().findChannel(c));
        if (!present) continue;
        std::vector<float>& px = p.image.*layer.pixels;
        const size_t n = layer.channels.size(), xs = n * sizeof(float), ys = xs * size_t(w);
        px.resize(size_t(w) * size_t(ht) * n);
        // OpenEXR addresses slices by absolute coordinates: the base sits before the
        // buffer by the data window's origin. A missing alpha reads as opaque.
        char* base = reinterpret_cast<char*>(px.data()) - (ptrdiff_t(p.data.min.y) * ptrdiff_t(ys) + ptrdiff_t(p.data.min.x) * ptrdiff_t(xs));
        for (size_t c = 0; c < n; ++c)
            fb.insert(layer.channels[c], Imf::Slice(Imf::FLOAT, base + c * sizeof(float), xs, ys, 1, 1, c == 3 ? 1.0 : 0.0));
    }
    file.setFrameBuffer(fb);
    file.readPixels(p.data.min.y, p.data.max.y);
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tessra-merge: assembles the crops of one frame (OpenEXR files written by tessra-render --crop) into "
                 "the whole image, placing each by its data window. Pixels that two parts share must agree bit for "
                 "bit."};
    std::vector<std::string> parts;
    std::string output;
    bool allowGaps = false, quiet = false;
    app.add_option("parts", parts, "The crops, OpenEXR files with the same display window")->required();
    app.add_option("-o,--output", output, "The whole image: .exr, .png or .pfm")->required();
    app.add_flag("--allow-gaps", allowGaps, "Write the image even where no part covers some pixels (left black)");
    app.add_flag("-q,--quiet", quiet, "No messages but errors");
    app.footer("Exit status: 0 success, 1 a part cannot be read, parts disagree, or pixels are missing (without "
               "--allow-gaps), 2 usage error.\nManual: docs/farm.md");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    tr::ImageFormat format;
    if (!tr::formatFromPath(output, format)) {
        std::fprintf(stderr, "tessra-merge: %s: unknown image format (use .exr, .png or .pfm)\n", output.c_str());
        return kExitUsage;
    }

    std::vector<Part> read;
    try {
        for (const std::string& path : parts) read.push_back(readPart(path));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessra-merge: error: %s\n", e.what());
        return kExitFailure;
    }
    const Imath::Box2i frame = read[0].display;
    for (const Part& p : read) {
        if (p.display != frame) {
            std::fprintf(stderr, "tessra-merge: error: %s and %s are crops of different frames (display windows %s and %s)\n",
                         read[0].path.c_str(), p.path.c_str(), box(frame).c_str(), box(p.display).c_str());
            return kExitFailure;
        }
        // An interrupted render has black tiles that look like pixels.
        const auto it = p.attributes.find("tessra:interrupted");
        if (it != p.attributes.end() && it->second == "true") {
            std::fprintf(stderr, "tessra-merge: error: %s is an interrupted render; render that crop again\n", p.path.c_str());
            return kExitFailure;
        }
    }

    tr::Image image;
    image.width = frame.max.x - frame.min.x + 1;
    image.height = frame.max.y - frame.min.y + 1;
    const size_t pixels = size_t(image.width) * image.height;
    for (const Layer& layer : kLayers) {
        const bool present = !(read[0].image.*layer.pixels).empty();
        for (const Part& p : read)
            if ((p.image.*layer.pixels).empty() == present) {
                std::fprintf(stderr, "tessra-merge: error: %s %s the %s layer and %s %s\n", read[0].path.c_str(),
                             present ? "has" : "lacks", layer.name, p.path.c_str(), present ? "does not" : "has it");
                return kExitFailure;
            }
        if (present) (image.*layer.pixels).assign(pixels * layer.channels.size(), 0.0f);
    }
    std::vector<int> from(pixels, -1);  // the part that set each pixel
    for (size_t k = 0; k < read.size(); ++k) {
        const Part& p = read[k];
        const int w = p.data.max.x - p.data.min.x + 1;
        for (int y = p.data.min.y; y <= p.data.max.y; ++y)
            for (int x = p.data.min.x; x <= p.data.max.x; ++x) {
                const size_t j = size_t(y - p.data.min.y) * w + (x - p.data.min.x);
                const size_t i = size_t(y - frame.min.y) * image.width + (x - frame.min.x);
                for (const Layer& layer : kLayers) {
                    const std::vector<float>& part = p.image.*layer.pixels;
                    if (part.empty()) continue;
                    const size_t n = layer.channels.size();
                    const float* src = &part[j * n];
                    float* dst = &(image.*layer.pixels)[i * n];
                    if (from[i] < 0) {
                        std::memcpy(dst, src, n * sizeof(float));
                    } else if (std::memcmp(dst, src, n * sizeof(float)) != 0) {
                        std::string a, b;
                        for (size_t c = 0; c < n; ++c) {
                            a += (c ? ", " : "") + std::to_string(dst[c]);
                            b += (c ? ", " : "") + std::to_string(src[c]);
                        }
                        std::fprintf(stderr, "tessra-merge: error: %s and %s disagree at pixel (%d, %d) in the %s: (%s) against (%s)\n",
                                     read[size_t(from[i])].path.c_str(), p.path.c_str(), x, y, layer.name, a.c_str(), b.c_str());
                        return kExitFailure;
                    }
                }
                if (from[i] < 0) from[i] = int(k);
            }
    }
    size_t missing = 0, first = 0;
    for (size_t i = from.size(); i-- > 0;)
        if (from[i] < 0) ++missing, first = i;
    if (missing > 0) {
        std::fprintf(stderr, "tessra-merge: %s: %zu of the %d x %d pixels are in no part, the first at (%d, %d)%s\n",
                     allowGaps ? "warning" : "error", missing, image.width, image.height,
                     int(first % size_t(image.width)) + frame.min.x, int(first / size_t(image.width)) + frame.min.y,
                     allowGaps ? "; left black" : " (--allow-gaps writes them black)");
        if (!allowGaps) return kExitFailure;
        // A gap shows as black and opaque, and as nothing hit in the depth.
        for (size_t i = 0; i < from.size(); ++i)
            if (from[i] < 0) {
                image.rgba[i * 4 + 3] = 1.0f;
                if (!image.depth.empty()) image.depth[i] = INFINITY;
            }
    }

    // What every part says alike describes the whole (the settings, the scene); the rest
    // (render times) belonged to one part.
    std::vector<std::pair<std::string, std::string>> attributes;
    for (const auto& [name, value] : read[0].attributes) {
        bool shared = true;
        for (const Part& p : read) {
            const auto it = p.attributes.find(name);
            shared = shared && it != p.attributes.end() && it->second == value;
        }
        if (shared) attributes.emplace_back(name, value);
    }
    attributes.emplace_back("tessra:mergedParts", std::to_string(read.size()));
    try {
        tr::writeImage(output, image, attributes);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessra-merge: error: %s\n", e.what());
        return kExitFailure;
    }
    if (!quiet)
        std::fprintf(stderr, "tessra-merge: wrote %s (%d x %d from %zu parts)\n", output.c_str(), image.width,
                     image.height, read.size());
    return kExitOk;
}

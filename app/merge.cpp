// tessra-merge: assembles the crops of one frame (OpenEXR files whose data windows sit in
// the same display window, as tessra-render --crop writes them) into the whole image.
#include <CLI/CLI.hpp>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfStringAttribute.h>
#include <ImathBox.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "image_io.h"

namespace {

constexpr int kExitOk = 0, kExitFailure = 1, kExitUsage = 2;

struct Part {
    std::string path;
    Imath::Box2i data, display;
    std::vector<float> rgba;  // the data window's pixels, top row first
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
    p.rgba.resize(size_t(w) * size_t(ht) * 4);
    // OpenEXR addresses slices by absolute coordinates: the base sits before the buffer
    // by the data window's origin. A missing alpha reads as opaque.
    const size_t xs = 16, ys = xs * size_t(w);
    char* base = reinterpret_cast<char*>(p.rgba.data()) - (ptrdiff_t(p.data.min.y) * ptrdiff_t(ys) + ptrdiff_t(p.data.min.x) * 16);
    Imf::FrameBuffer fb;
    const char* names[4] = {"R", "G", "B", "A"};
    for (int c = 0; c < 4; ++c)
        fb.insert(names[c], Imf::Slice(Imf::FLOAT, base + c * sizeof(float), xs, ys, 1, 1, c == 3 ? 1.0 : 0.0));
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
    image.rgba.assign(size_t(image.width) * image.height * 4, 0.0f);
    std::vector<int> from(size_t(image.width) * image.height, -1);  // the part that set each pixel
    for (size_t k = 0; k < read.size(); ++k) {
        const Part& p = read[k];
        const int w = p.data.max.x - p.data.min.x + 1;
        for (int y = p.data.min.y; y <= p.data.max.y; ++y)
            for (int x = p.data.min.x; x <= p.data.max.x; ++x) {
                const float* src = &p.rgba[(size_t(y - p.data.min.y) * w + (x - p.data.min.x)) * 4];
                const size_t i = size_t(y - frame.min.y) * image.width + (x - frame.min.x);
                float* dst = &image.rgba[i * 4];
                if (from[i] < 0) {
                    std::memcpy(dst, src, 16);
                    from[i] = int(k);
                } else if (std::memcmp(dst, src, 16) != 0) {
                    std::fprintf(stderr,
                                 "tessra-merge: error: %s and %s disagree at pixel (%d, %d): (%g, %g, %g, %g) against "
                                 "(%g, %g, %g, %g)\n",
                                 read[size_t(from[i])].path.c_str(), p.path.c_str(), x, y, dst[0], dst[1], dst[2], dst[3],
                                 src[0], src[1], src[2], src[3]);
                    return kExitFailure;
                }
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
        for (size_t i = 0; i < from.size(); ++i)
            if (from[i] < 0) image.rgba[i * 4 + 3] = 1.0f;
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

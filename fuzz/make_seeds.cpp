// Writes small images in every accepted format as the texture fuzzer's seeds.
#include <IL/il.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/internal.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    host::initImageLibrary();
    ilEnable(IL_FILE_OVERWRITE);
    int written = 0;
    const int sizes[][2] = {{1, 1}, {2, 3}, {7, 5}, {16, 16}};
    for (const auto& wh : sizes) {
        const int w = wh[0], h = wh[1];
        for (int channels : {3, 4}) {
            std::vector<uint8_t> px(size_t(w) * h * channels);
            for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(37 * i + 11 * w);
            ILuint image = 0;
            ilGenImages(1, &image);
            ilBindImage(image);
            ilTexImage(ILuint(w), ILuint(h), 1, ILubyte(channels), channels == 3 ? IL_RGB : IL_RGBA, IL_UNSIGNED_BYTE,
                       px.data());
            for (const char* ext : {"png", "jpg", "bmp", "tga"}) {
                const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(w) + "x" +
                                         std::to_string(h) + "-" + std::to_string(channels) + "." + ext;
                if (ilSaveImage(path.c_str())) ++written;
            }
            ilDeleteImages(1, &image);
        }
    }
    std::printf("%d seed images\n", written);
    return written > 0 ? 0 : 1;
}

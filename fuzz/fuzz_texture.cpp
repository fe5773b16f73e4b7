// Texture bytes through the header checks and, when they pass, DevIL's decoder for the
// format the magic bytes chose. Anything the checks let through must decode within the
// declared size or be refused; nothing may crash, hang or allocate beyond the caps.
#include <IL/il.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (host::initImageLibrary(), true);
    (void)ready;
    const std::vector<uint8_t> bytes(data, data + size);
    const host::TextureHeader header = host::inspectTexture(bytes);
    if (!header.ok) return 0;
    ILuint image = 0;
    ilGenImages(1, &image);
    ilBindImage(image);
    if (host::decodeTexture(bytes, header) && host::convertTexture()) {
        // The atlas step: every decoded image converts to RGBA bytes of the header's size.
        std::vector<uint8_t> texels(size_t(header.width) * header.height * 4);
        ilCopyPixels(0, 0, 0, header.width, header.height, 1, IL_RGBA, IL_UNSIGNED_BYTE, texels.data());
    }
    ilDeleteImages(1, &image);
    return 0;
}

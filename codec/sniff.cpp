// Extension lookup: the extension is packed into one little-endian word
// (first character in the low byte) and compared against the table.
#include "codec/sniff.h"

static constexpr u32 key4(const char* s) {
    u32 key = 0;
    for (u32 i = 0; i < 4 && s[i] != 0; i++) key |= (u32)(u8)s[i] << (8 * i);
    return key;
}

struct ExtensionEntry {
    u32 key;
    ImageFormat format;
};

static const ExtensionEntry k_extensions[] = {
    {key4("bmp"), FORMAT_BMP},   {key4("ico"), FORMAT_ICO},   {key4("png"), FORMAT_PNG},
    {key4("jpg"), FORMAT_JPEG},  {key4("jpeg"), FORMAT_JPEG}, {key4("tif"), FORMAT_TIFF},
    {key4("tiff"), FORMAT_TIFF}, {key4("gif"), FORMAT_GIF},   {key4("webp"), FORMAT_WEBP},
    {key4("avif"), FORMAT_AVIF}, {key4("dng"), FORMAT_DNG},   {key4("ktx2"), FORMAT_KTX2},
    {key4("dds"), FORMAT_DDS},   {key4("pam"), FORMAT_PAM},   {key4("pnm"), FORMAT_PNM},
    {key4("qoi"), FORMAT_QOI},   {key4("tga"), FORMAT_TGA},
    // Other names the same formats go by: a cursor, a device-independent
    // bitmap, and the three netpbm kinds.
    {key4("cur"), FORMAT_ICO},   {key4("dib"), FORMAT_BMP},   {key4("pbm"), FORMAT_PNM},
    {key4("pgm"), FORMAT_PNM},   {key4("ppm"), FORMAT_PNM},
};

ImageFormat format_from_name(const u8* name, u64 length) {
    u64 dot = length;
    for (u64 i = length; i > 0; i--) {
        if (name[i - 1] == '.') {
            dot = i - 1;
            break;
        }
    }
    if (dot == length) return FORMAT_NONE;
    u64 count = length - dot - 1;
    if (count == 0 || count > 4) return FORMAT_NONE;
    u32 key = 0;
    for (u64 i = 0; i < count; i++) {
        u32 c = name[dot + 1 + i];
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        key |= c << (8 * i);
    }
    for (const ExtensionEntry& e : k_extensions) {
        if (e.key == key) return e.format;
    }
    return FORMAT_NONE;
}

bool has_image_extension(ByteSpan name) {
    return format_from_name(name.data, name.size) != FORMAT_NONE;
}

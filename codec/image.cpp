// Name tables and the small checks behind every codec.
#include "codec/image.h"

#include "codec/codecs.h"

struct NameEntry {
    const char* text;
    u32 length;
};

#define QB_NAME(s) {s, sizeof(s) - 1}

static const NameEntry k_format_names[16] = {
    QB_NAME(""),    QB_NAME("BMP"),  QB_NAME("ICO"),  QB_NAME("PNG"),  QB_NAME("JPEG"), QB_NAME("TIFF"),
    QB_NAME("GIF"), QB_NAME("WebP"), QB_NAME("AVIF"), QB_NAME("DNG"),  QB_NAME("KTX2"), QB_NAME("DDS"),
    QB_NAME("PAM"), QB_NAME("PNM"),  QB_NAME("QOI"),  QB_NAME("TGA"),
};

static const NameEntry k_pixel_format_names[PIXEL_FORMAT_COUNT] = {
    QB_NAME("Rgba8Straight"), QB_NAME("Rgba8Premul"), QB_NAME("Bgra8"),      QB_NAME("Yuv420_8"),
    QB_NAME("Yuv422_8"),      QB_NAME("Yuv444_8"),    QB_NAME("Yuv420_16"),  QB_NAME("Yuv422_16"),
    QB_NAME("Yuv444_16"),     QB_NAME("Yuv420A_8"),   QB_NAME("Yuv422A_8"),  QB_NAME("Yuv444A_8"),
    QB_NAME("Yuv420A_16"),    QB_NAME("Yuv422A_16"),  QB_NAME("Yuv444A_16"), QB_NAME("Mono8"),
    QB_NAME("MonoA8"),        QB_NAME("Rgba16"),      QB_NAME("RgbaF16"),    QB_NAME("RgbaF32"),
    QB_NAME("Bc1"),           QB_NAME("Bc2"),         QB_NAME("Bc3"),        QB_NAME("Bc4"),
    QB_NAME("Bc5"),           QB_NAME("Bc6h"),        QB_NAME("Bc7"),        QB_NAME("Astc"),
    QB_NAME("Etc2"),          QB_NAME("Eac"),
};

static const NameEntry k_error_names[8] = {
    QB_NAME("ok"),          QB_NAME("bad_signature"), QB_NAME("truncated"), QB_NAME("bad_header"),
    QB_NAME("unsupported"), QB_NAME("too_large"),     QB_NAME("limit"),     QB_NAME("bad_target"),
};

static const NameEntry k_jpeg_status_names[11] = {
    QB_NAME("ok"),        QB_NAME("bad_signature"), QB_NAME("truncated"), QB_NAME("bad_header"),
    QB_NAME("unsupported"), QB_NAME("too_large"),   QB_NAME("limit"),     QB_NAME("bad_table"),
    QB_NAME("bad_scan"),  QB_NAME("bad_data"),      QB_NAME("bad_target"),
};

#undef QB_NAME

static ByteSpan name_span(const NameEntry* table, u32 count, u32 index) {
    if (index >= count) return ByteSpan{(u8*)"", 0};
    return ByteSpan{(u8*)table[index].text, table[index].length};
}

ByteSpan image_format_name(ImageFormat format) {
    return name_span(k_format_names, 16, format);
}

ByteSpan pixel_format_name(PixelFormat format) {
    return name_span(k_pixel_format_names, PIXEL_FORMAT_COUNT, format);
}

ImageFormat decoder_to_format(DecoderKind decoder) {
    const CodecEntry* entry = codec_entry(decoder);
    return entry != nullptr ? entry->format : FORMAT_NONE;
}

ByteSpan codec_error_name(u32 code) {
    return name_span(k_error_names, 8, code);
}

ByteSpan jpeg_status_name(u32 code) {
    return name_span(k_jpeg_status_names, 11, code);
}

u32 jpeg_status_to_codec_error(u32 code) {
    static const u8 map[11] = {0, 1, 2, 3, 4, 5, 6, 3, 3, 3, 7};
    // An unknown status cannot come from the decoder; call it a bad header
    // rather than let it pass as success.
    return code < 11 ? (u32)map[code] : (u32)ERR_BAD_HEADER;
}

CodecError codec_error_from_jpeg(JpegStatus status) {
    return CodecError{jpeg_status_to_codec_error(status.code), status.offset};
}

void image_header_clear(ImageHeader* header) {
    header->width = 0;
    header->height = 0;
    header->frame_count = 0;
    header->flags = 0;
    header->pixel_format = Rgba8Straight;
    header->sample_bits = 0;
}

bool bytes_equal(const u8* a, u64 len_a, const u8* b, u64 len_b) {
    if (len_a != len_b) return false;
    u8 diff = 0;
    for (u64 i = 0; i < len_a; i++) diff |= (u8)(a[i] ^ b[i]);
    return diff == 0;
}

u32 prefix_match(const u8* data, u64 data_len, const u8* pattern, u64 pattern_len) {
    u64 n = data_len < pattern_len ? data_len : pattern_len;
    for (u64 i = 0; i < n; i++) {
        if (data[i] != pattern[i]) return PREFIX_MISMATCH;
    }
    return data_len < pattern_len ? PREFIX_PARTIAL : PREFIX_FULL;
}

bool match_at(const u8* data, u64 len, u64 index, const u8* pattern, u64 pattern_len) {
    if (index > len || pattern_len > len - index) return false;
    for (u64 i = 0; i < pattern_len; i++) {
        if (data[index + i] != pattern[i]) return false;
    }
    return true;
}

bool need_bytes(u64 len, u64 needed, CodecError* err) {
    error_clear(err);
    if (len < needed) return fail(err, ERR_TRUNCATED, len);
    return true;
}

bool fits(u64 count, u64 size, u64 available) {
    if (size == 0 || count == 0) return true;
    return count <= available / size;
}

bool check_dimensions(u32 width, u32 height, u64 offset, ImageHeader* header, CodecError* err) {
    if ((u64)width * (u64)height >= ((u64)1 << 32)) return fail(err, ERR_TOO_LARGE, offset);
    header->width = width;
    header->height = height;
    return true;
}

// The decoder is chosen by the first byte alone; each probe checks its own
// signature and reads just enough to size every buffer of the decode job.
#include "codec/probe.h"

#include "codec/gif/gif.h"
#include "codec/jpeg/jpeg.h"
#include "codec/png/png.h"
#include "codec/webp/webp.h"

DecoderKind sniff_decoder(const u8* data, u64 length) {
    if (length == 0) return DECODER_NONE;
    switch (data[0]) {
    case 0x52: return DECODER_WEBP;
    case 0xFF: return DECODER_JPEG;
    case 0x47: return DECODER_GIF;
    case 0x89: return DECODER_PNG;
    default: return DECODER_NONE;
    }
}

bool probe_image(const u8* data, u64 length, ImageInfo* info, CodecError* err) {
    *info = ImageInfo{};
    error_set(err, ERR_BAD_SIGNATURE, 0);
    DecoderKind kind = sniff_decoder(data, length);
    switch (kind) {
    case DECODER_NONE: return false;
    case DECODER_PNG: {
        PngPlan plan;
        if (!png_probe(data, length, info, &plan, err)) return false;
        error_clear(err);
        return true;
    }
    case DECODER_JPEG: {
        // The full header parse needs a decoder record; it is thrown away
        // afterwards (the job parses the headers again into its scratch).
        static JpegDecoder state;
        if (!jpeg_probe(data, length, info, &state, err)) return false;
        error_clear(err);
        return true;
    }
    case DECODER_GIF: {
        GifInfo gif;
        if (!gif_probe(data, length, info, &gif, err)) return false;
        error_clear(err);
        return true;
    }
    case DECODER_WEBP:
        if (!webp_probe(data, length, info, err)) return false;
        error_clear(err);
        return true;
    default: return fail(err, ERR_UNSUPPORTED, 0);
    }
}

static bool parse_side(const u8* p, u64 n, u64* pos, u32* value_out) {
    u64 start = *pos;
    u64 value = 0;
    while (*pos < n && *pos - start < 10 && p[*pos] >= '0' && p[*pos] <= '9') {
        value = value * 10 + (p[*pos] - '0');
        (*pos)++;
    }
    if (*pos == start || value < 1 || value > 0xFFFF00) return false;
    *value_out = (u32)value;
    return true;
}

bool synthetic_size(ByteSpan name, u32* width_out, u32* height_out) {
    static const u8 prefix[5] = {'p', 'r', 'o', 'c', '-'};
    if (!match_at(name.data, name.size, 0, prefix, 5)) return false;
    u64 pos = 5;
    u32 w = 0;
    u32 h = 0;
    if (!parse_side(name.data, name.size, &pos, &w)) return false;
    if (pos >= name.size || name.data[pos] != 'x') return false;
    pos++;
    if (!parse_side(name.data, name.size, &pos, &h)) return false;
    if (pos != name.size && name.data[pos] != '.') return false;
    *width_out = w;
    *height_out = h;
    return true;
}

// Finding an embedded profile in a JPEG, PNG or WebP file and reading it
// into the job's memory. The walkers check every length against the file
// and stop where the image data begins. A profile that cannot be made out
// whole (a missing or repeated JPEG segment, a bad compression method, a
// size beyond the limit) is one we ignore; it never keeps an image from
// opening.
#include <string.h>

#include "codec/icc/icc.h"
#include "codec/orientation.h"
#include "codec/png/inflate.h"

// ---- JPEG: APP2 "ICC_PROFILE" segments -------------------------------------------

// The segments of a JPEG's profile, by sequence number (1 to count).
struct JpegSegments {
    u64 offset[256];  // of each segment's profile bytes; 0: not seen
    u32 size[256];
    u32 count;        // as the segments say; 0: none seen
    bool faulty;      // counts disagree, a number is out of range or repeated
    u32 components;   // of the frame header
};

static void jpeg_segments(const u8* p, u64 n, JpegSegments* s) {
    memset(s, 0, sizeof *s);
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return;
    static const u8 tag[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
    u64 pos = 2;
    while (pos + 4 <= n) {
        if (p[pos] != 0xFF) return;
        u32 m = p[pos + 1];
        if (m == 0xFF) {  // fill byte
            pos++;
            continue;
        }
        if (m == 0xD9 || m == 0xDA) return;  // the image data begins
        if ((m >= 0xD0 && m <= 0xD7) || m == 0x01) {
            pos += 2;
            continue;
        }
        u64 len = load_be16(p, n, pos + 2);
        if (len < 2 || len > n - pos - 2) return;
        bool sof = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
        if (sof && len >= 8) s->components = p[pos + 9];
        if (m == 0xE2 && len >= 2 + 14 && match_at(p, n, pos + 4, tag, 12)) {
            u32 seq = p[pos + 16];
            u32 count = p[pos + 17];
            if (count == 0 || seq == 0 || seq > count || (s->count != 0 && count != s->count) ||
                s->offset[seq] != 0) {
                s->faulty = true;
            } else {
                s->count = count;
                s->offset[seq] = pos + 18;
                s->size[seq] = (u32)(len - 16);
            }
        }
        pos += 2 + len;
    }
}

void jpeg_find_profile(const u8* data, u64 length, IccFind* out) {
    *out = IccFind{};
    JpegSegments s;
    jpeg_segments(data, length, &s);
    out->grey = s.components == 1;
    out->cmyk = s.components == 4;
    if (s.count == 0 && !s.faulty) return;
    out->container = ICC_IN_JPEG;
    out->state = COLOUR_IGNORED;
    if (s.faulty) return;
    u64 total = 0;
    for (u32 i = 1; i <= s.count; i++) {
        if (s.offset[i] == 0) return;  // a missing segment
        total += s.size[i];
    }
    if (total == 0 || total > ICC_MAX_PROFILE) return;
    out->size = total;
    out->state = COLOUR_PENDING;
}

static bool jpeg_copy_profile(const u8* data, u64 length, u8* out, u64 size) {
    JpegSegments s;
    jpeg_segments(data, length, &s);
    u64 at = 0;
    for (u32 i = 1; i <= s.count && !s.faulty; i++) {
        if (s.offset[i] == 0 || s.size[i] > size - at) return false;
        memcpy(out + at, data + s.offset[i], s.size[i]);
        at += s.size[i];
    }
    return !s.faulty && at == size;
}

// ---- PNG: iCCP -----------------------------------------------------------------

// The iCCP chunk's compressed stream (after its name and method), false
// when there is none before the image data or an sRGB chunk says sRGB.
static bool png_iccp(const u8* p, u64 n, u64* zlib_out, u64* zlib_size_out, bool* bad_out, bool* grey_out) {
    static const u8 sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    *bad_out = false;
    *grey_out = false;
    if (!match_at(p, n, 0, sig, 8)) return false;
    static const u8 ihdr[4] = {'I', 'H', 'D', 'R'};
    static const u8 iccp[4] = {'i', 'C', 'C', 'P'};
    static const u8 srgb[4] = {'s', 'R', 'G', 'B'};
    static const u8 idat[4] = {'I', 'D', 'A', 'T'};
    static const u8 iend[4] = {'I', 'E', 'N', 'D'};
    bool found = false;
    u64 pos = 8;
    while (n - pos >= 12) {
        u64 len = load_be32(p, n, pos);
        if (len > n - pos - 12) break;
        if (match_at(p, n, pos + 4, ihdr, 4) && len >= 13) *grey_out = (p[pos + 17] & 2) == 0;
        if (match_at(p, n, pos + 4, srgb, 4)) return false;
        if (match_at(p, n, pos + 4, idat, 4) || match_at(p, n, pos + 4, iend, 4)) break;
        if (match_at(p, n, pos + 4, iccp, 4) && !found) {
            found = true;
            // A name of 1 to 79 bytes, its terminator, compression method 0.
            u64 name = 0;
            while (name < len && name < 80 && p[pos + 8 + name] != 0) name++;
            if (name == 0 || name > 79 || name + 2 > len || p[pos + 8 + name + 1] != 0) {
                *bad_out = true;
            } else {
                *zlib_out = pos + 8 + name + 2;
                *zlib_size_out = len - name - 2;
            }
        }
        pos += 12 + len;
    }
    return found;
}

void png_find_profile(const u8* data, u64 length, IccFind* out) {
    *out = IccFind{};
    u64 at = 0, size = 0;
    bool bad = false;
    if (!png_iccp(data, length, &at, &size, &bad, &out->grey)) return;
    out->container = ICC_IN_PNG;
    out->state = COLOUR_IGNORED;
    if (bad) return;
    // The profile's own header says how large it is: its first four bytes.
    InflateState state;
    inflate_init(&state);
    u8 head[4];
    InflateResult r = inflate_run(&state, data + at, size, head, sizeof head, true);
    if ((r != INFLATE_OUTPUT_FULL && r != INFLATE_DONE) || inflate_out_pos(&state) < 4) return;
    u64 declared = load_be32(head, 4, 0);
    if (declared < 132 || declared > ICC_MAX_PROFILE) return;
    out->size = declared;
    out->state = COLOUR_PENDING;
}

static bool png_inflate_profile(const u8* data, u64 length, InflateState* state, u8* out, u64 size) {
    u64 at = 0, zsize = 0;
    bool bad = false, grey = false;
    if (!png_iccp(data, length, &at, &zsize, &bad, &grey) || bad) return false;
    inflate_init(state);
    return inflate_run(state, data + at, zsize, out, size, true) == INFLATE_DONE && inflate_out_pos(state) == size;
}

// ---- WebP: ICCP ------------------------------------------------------------------

// The ICCP chunk's data, when the file is a VP8X one whose ICC flag is set.
static bool webp_iccp(const u8* p, u64 n, u64* at_out, u64* size_out) {
    static const u8 riff[4] = {'R', 'I', 'F', 'F'};
    static const u8 webp[4] = {'W', 'E', 'B', 'P'};
    static const u8 vp8x[4] = {'V', 'P', '8', 'X'};
    static const u8 iccp[4] = {'I', 'C', 'C', 'P'};
    if (!match_at(p, n, 0, riff, 4) || !match_at(p, n, 8, webp, 4) || !match_at(p, n, 12, vp8x, 4)) return false;
    if (n < 21 || (p[20] & 0x20) == 0) return false;
    u64 pos = 12;
    while (n - pos >= 8) {
        u64 size = load_le32(p, n, pos + 4);
        if (size > n - pos - 8) return false;
        if (match_at(p, n, pos, iccp, 4)) {
            *at_out = pos + 8;
            *size_out = size;
            return true;
        }
        pos += 8 + size + (size & 1);
        if (pos > n) return false;
    }
    return false;
}

void webp_find_profile(const u8* data, u64 length, IccFind* out) {
    *out = IccFind{};
    u64 at = 0, size = 0;
    if (!webp_iccp(data, length, &at, &size)) return;
    out->container = ICC_IN_WEBP;
    out->state = COLOUR_IGNORED;
    if (size < 132 || size > ICC_MAX_PROFILE) return;
    out->size = size;
    out->state = COLOUR_PENDING;
}

// ---- TIFF: tag 34675 --------------------------------------------------------------

// The profile's bytes in a TIFF's or BigTIFF's first IFD, and what the
// image is: grey (min-is-white or min-is-black) or CMYK (separated).
static bool tiff_icc(const u8* p, u64 n, u64* at_out, u64* size_out, bool* grey_out, bool* cmyk_out) {
    TiffIfd0 ifd;
    if (!tiff_ifd0(p, n, &ifd)) return false;
    bool found = false;
    u64 photometric = 2;
    for (u64 i = 0; i < ifd.count; i++) {
        TiffIfdEntry e = tiff_ifd0_entry(&ifd, i);
        if (e.tag == 262 && e.type == 3 && e.count == 1) photometric = tiff_ifd0_number(&ifd, e.field, 3);
        // Bytes beyond the value field lie at the offset it holds.
        if (e.tag == 34675 && (e.type == 1 || e.type == 7) && e.count > (ifd.big ? 8u : 4u)) {
            *at_out = tiff_ifd0_number(&ifd, e.field, ifd.big ? 16 : 4);
            *size_out = e.count;
            found = true;
        }
    }
    *grey_out = photometric <= 1;
    *cmyk_out = photometric == 5;
    return found;
}

void tiff_find_profile(const u8* data, u64 length, IccFind* out) {
    *out = IccFind{};
    u64 at = 0, size = 0;
    bool grey = false, cmyk = false;
    if (!tiff_icc(data, length, &at, &size, &grey, &cmyk)) return;
    out->container = ICC_IN_TIFF;
    out->state = COLOUR_IGNORED;
    out->grey = grey;
    out->cmyk = cmyk;
    if (size < 132 || size > ICC_MAX_PROFILE || at > length || size > length - at) return;
    out->size = size;
    out->state = COLOUR_PENDING;
}

// ---- Reading and building ----------------------------------------------------------

static u64 inflate_bytes(const IccFind* find) {
    return find->container == ICC_IN_PNG ? align64(sizeof(InflateState)) : 0;
}

u64 icc_memory_bytes(const IccFind* find) {
    if (find->state != COLOUR_PENDING) return 0;
    return align64(sizeof(IccTransform)) + inflate_bytes(find) + align64(find->size);
}

u32 icc_prepare(const u8* data, u64 length, const IccFind* find, u8* memory, u64 memory_size,
                const IccTransform** transform_out) {
    *transform_out = nullptr;
    if (find->state != COLOUR_PENDING) return find->state;
    if (memory == nullptr || memory_size < icc_memory_bytes(find)) return COLOUR_IGNORED;
    IccTransform* t = (IccTransform*)memory;
    u8* profile = memory + align64(sizeof(IccTransform)) + inflate_bytes(find);
    bool read = false;
    if (find->container == ICC_IN_JPEG) {
        read = jpeg_copy_profile(data, length, profile, find->size);
    } else if (find->container == ICC_IN_PNG) {
        InflateState* state = (InflateState*)(memory + align64(sizeof(IccTransform)));
        read = png_inflate_profile(data, length, state, profile, find->size);
    } else if (find->container == ICC_IN_WEBP) {
        u64 at = 0, size = 0;
        read = webp_iccp(data, length, &at, &size) && size == find->size;
        if (read) memcpy(profile, data + at, size);
    } else if (find->container == ICC_IN_TIFF) {
        u64 at = 0, size = 0;
        bool grey = false, cmyk = false;
        read = tiff_icc(data, length, &at, &size, &grey, &cmyk) && size == find->size && at <= length &&
               size <= length - at;
        if (read) memcpy(profile, data + at, size);
    }
    IccProfile parsed;
    // A grey image needs a grey profile and a colour image a colour one; a
    // CMYK image would need a CMYK profile, which we do not convert.
    if (!read || find->cmyk || !icc_parse(profile, find->size, &parsed) || parsed.grey != find->grey) {
        return COLOUR_IGNORED;
    }
    if (!icc_build(&parsed, t)) return COLOUR_NONE;
    *transform_out = t;
    return COLOUR_CONVERT;
}

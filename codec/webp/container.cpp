// The RIFF container of a WebP file held whole in memory: the header reader
// that recognises and measures every layout, the locator that finds the
// image of one frame, the preparations that check a lossless image (and
// resolve the caller's rectangle) or a lossy one (and find its alpha
// plane), and the probe. The container's declared size is trusted
// only as far as the data goes: bytes after it are ignored, and a size past
// the data is "truncated". Every chunk is checked to lie inside the range it
// is read from before its payload is looked at.
#include "codec/webp/webp.h"

static const u8 TAG_RIFF[4] = {'R', 'I', 'F', 'F'};
static const u8 TAG_WEBP[4] = {'W', 'E', 'B', 'P'};
static const u8 TAG_VP8[4] = {'V', 'P', '8', ' '};
static const u8 TAG_VP8L[4] = {'V', 'P', '8', 'L'};
static const u8 TAG_VP8X[4] = {'V', 'P', '8', 'X'};
static const u8 TAG_ALPH[4] = {'A', 'L', 'P', 'H'};
static const u8 TAG_ANMF[4] = {'A', 'N', 'M', 'F'};

static constexpr u32 VP8L_SIGNATURE = 0x2F;
static constexpr u32 VP8L_MAX_SIDE = 16384;

// One chunk: its header at `pos`, payload at pos + 8, the next chunk after
// the payload padded to an even length.
struct Chunk {
    u64 pos;
    u32 size;
    u64 next;
};

static bool is_tag(const u8* data, u64 pos, const u8* tag) {
    return data[pos] == tag[0] && data[pos + 1] == tag[1] && data[pos + 2] == tag[2] && data[pos + 3] == tag[3];
}

// The chunk header at `pos`, which must lie with its padded payload before
// `end`.
static bool read_chunk(const u8* data, u64 pos, u64 end, Chunk* c, CodecError* err) {
    if (pos + 8 > end) return fail(err, ERR_BAD_HEADER, pos);
    u32 size = load_le32(data, end, pos + 4);
    u64 next = pos + 8 + (u64)size + (size & 1);
    if (next > end) return fail(err, ERR_BAD_HEADER, pos + 4);
    *c = Chunk{pos, size, next};
    return true;
}

// What an image chunk's own header says.
struct ImageFacts {
    u32 width;
    u32 height;
    u32 alpha;
    u32 lossy;
};

static bool check_vp8(const u8* data, u64 p, u32 s, ImageFacts* f, CodecError* err) {
    if (s < 10) return fail(err, ERR_BAD_HEADER, p);
    u32 tag = load_le24(data, p + s, p);
    if (tag & 1) return fail(err, ERR_BAD_HEADER, p);        // not a key frame
    if (tag & 8) return fail(err, ERR_UNSUPPORTED, p);       // versions 4 to 7
    if (!(tag & 16) || (tag >> 5) > s - 10) return fail(err, ERR_BAD_HEADER, p);
    if (data[p + 3] != 0x9D || data[p + 4] != 0x01 || data[p + 5] != 0x2A) return fail(err, ERR_BAD_HEADER, p + 3);
    u32 w = load_le16(data, p + s, p + 6) & 0x3FFF;
    if (w == 0) return fail(err, ERR_BAD_HEADER, p + 6);
    u32 h = load_le16(data, p + s, p + 8) & 0x3FFF;
    if (h == 0) return fail(err, ERR_BAD_HEADER, p + 8);
    *f = ImageFacts{w, h, 0, 1};
    return true;
}

// The 5-byte header of a lossless stream: signature, then 14 bits of width
// - 1, 14 bits of height - 1, the alpha hint and a 3-bit version.
static bool check_vp8l(const u8* data, u64 p, u32 s, ImageFacts* f, CodecError* err) {
    if (s < 5 || data[p] != VP8L_SIGNATURE) return fail(err, ERR_BAD_HEADER, p);
    u32 v = load_le32(data, p + s, p + 1);
    if (v >> 29) return fail(err, ERR_BAD_HEADER, p + 1);
    *f = ImageFacts{(v & 0x3FFF) + 1, ((v >> 14) & 0x3FFF) + 1, (v >> 28) & 1, 0};
    return true;
}

// An image chunk ("VP8 " or "VP8L"), or false with no error for any other.
static bool is_image(const u8* data, u64 pos) {
    return is_tag(data, pos, TAG_VP8) || is_tag(data, pos, TAG_VP8L);
}

static bool check_image(const u8* data, const Chunk& c, ImageFacts* f, CodecError* err) {
    if (is_tag(data, c.pos, TAG_VP8)) return check_vp8(data, c.pos + 8, c.size, f, err);
    return check_vp8l(data, c.pos + 8, c.size, f, err);
}

// An animation frame: offset and size inside the canvas (offsets are stored
// halved), and a first sub-chunk that is the frame's image or its alpha.
static bool check_anmf(const u8* data, const Chunk& c, u32 canvas_w, u32 canvas_h, u32* lossy, CodecError* err) {
    u64 at = c.pos;
    if (c.size < 24) return fail(err, ERR_BAD_HEADER, at + 4);
    u64 x = load_le24(data, at + 32, at + 8);
    u64 y = load_le24(data, at + 32, at + 11);
    u64 w = (u64)load_le24(data, at + 32, at + 14) + 1;
    u64 h = (u64)load_le24(data, at + 32, at + 17) + 1;
    if (2 * x + w > canvas_w || 2 * y + h > canvas_h) return fail(err, ERR_BAD_HEADER, at + 8);
    u64 sub = at + 24;
    bool alph = is_tag(data, sub, TAG_ALPH);
    if (!alph && !is_image(data, sub)) return fail(err, ERR_BAD_HEADER, sub);
    if ((u64)load_le32(data, at + 32, sub + 4) + 8 > (u64)c.size - 16) return fail(err, ERR_BAD_HEADER, sub + 4);
    *lossy = alph || is_tag(data, sub, TAG_VP8) ? 1 : 0;
    return true;
}

// ---- Header reader ------------------------------------------------------------

// The RIFF frame: signature, form type, and the effective end of the
// container (the declared size, which must lie inside the data).
static bool read_riff(const u8* data, u64 length, u64* end_out, CodecError* err) {
    if (!may_match(data, length, TAG_RIFF, 4)) return fail(err, ERR_BAD_SIGNATURE, 0);
    if (length < 12) return fail(err, ERR_TRUNCATED, length);
    if (!match_at(data, length, 8, TAG_WEBP, 4)) return fail(err, ERR_BAD_SIGNATURE, 8);
    u64 end = (u64)load_le32(data, length, 4) + 8;
    if (end < 20) return fail(err, ERR_BAD_HEADER, 4);
    if (end > length) return fail(err, ERR_TRUNCATED, length);
    *end_out = end;
    return true;
}

static u32 pixel_format_of(u32 alpha, u32 lossy) {
    if (!lossy) return Rgba8Straight;
    return alpha ? Yuv420A_8 : Yuv420_8;
}

bool webp_read_header(const u8* data, u64 length, ImageHeader* header, CodecError* err) {
    image_header_clear(header);
    error_clear(err);
    u64 end;
    if (!read_riff(data, length, &end, err)) return false;
    Chunk first;
    if (!read_chunk(data, 12, end, &first, err)) return false;
    header->sample_bits = 8;

    ImageFacts f;
    if (is_image(data, 12)) {
        // The simple layout: the one chunk is the whole image.
        if (!check_image(data, first, &f, err)) return false;
        header->width = f.width;
        header->height = f.height;
        header->frame_count = 1;
        header->flags = f.alpha | WEBP_FLAG_LOSSY * f.lossy;
        header->pixel_format = pixel_format_of(f.alpha, f.lossy);
        return true;
    }
    if (!is_tag(data, 12, TAG_VP8X) || first.size != 10) return fail(err, ERR_BAD_HEADER, 12);
    u32 flag_byte = data[20];
    u32 alpha = (flag_byte >> 4) & 1;
    u32 animated = (flag_byte >> 1) & 1;
    u32 canvas_w = load_le24(data, end, 24) + 1;
    u32 canvas_h = load_le24(data, end, 27) + 1;
    if (!check_dimensions(canvas_w, canvas_h, 27, header, err)) return false;

    u32 lossy = 0;
    u32 frames = 0;
    bool image_seen = false;
    Chunk c;
    for (u64 pos = first.next; pos < end; pos = c.next) {
        if (!read_chunk(data, pos, end, &c, err)) return false;
        if (animated) {
            if (!is_tag(data, pos, TAG_ANMF)) continue;
            u32 frame_lossy;
            if (!check_anmf(data, c, canvas_w, canvas_h, &frame_lossy, err)) return false;
            frames++;
            lossy |= frame_lossy;
        } else if (is_tag(data, pos, TAG_ALPH)) {
            alpha = 1;
        } else if (!image_seen && is_image(data, pos)) {
            if (!check_image(data, c, &f, err)) return false;
            if (f.width != canvas_w) return fail(err, ERR_BAD_HEADER, 24);
            if (f.height != canvas_h) return fail(err, ERR_BAD_HEADER, 27);
            alpha |= f.alpha;
            lossy |= f.lossy;
            image_seen = true;
            frames = 1;
        }
    }
    if (frames == 0) return fail(err, ERR_BAD_HEADER, end);
    header->frame_count = frames;
    header->flags = WEBP_FLAG_ANIMATED * animated | alpha | WEBP_FLAG_LOSSY * lossy;
    if (!animated) header->pixel_format = pixel_format_of(alpha, lossy);
    return true;
}

// ---- Locator and preparation ------------------------------------------------

// The first image chunk in [start, stop); other chunks are passed over.
static bool search_image(const u8* data, u64 start, u64 stop, WebpImageRef* ref, CodecError* err) {
    Chunk c;
    for (u64 pos = start; pos < stop; pos = c.next) {
        if (!read_chunk(data, pos, stop, &c, err)) return false;
        if (is_image(data, pos)) {
            ref->image_pos = pos;
            ref->lossy = is_tag(data, pos, TAG_VP8) ? 1 : 0;
            return true;
        }
    }
    return fail(err, ERR_BAD_HEADER, start);
}

bool webp_locate_image(const u8* data, u64 length, u32 frame, WebpImageRef* ref, ImageHeader* header,
                       CodecError* err) {
    *ref = WebpImageRef{};
    if (!webp_read_header(data, length, header, err)) return false;
    bool animated = (header->flags & WEBP_FLAG_ANIMATED) != 0;
    if (!animated && frame != 0) return fail(err, ERR_BAD_TARGET, 0);
    u64 end = (u64)load_le32(data, length, 4) + 8;
    if (is_image(data, 12)) {
        ref->w = header->width;
        ref->h = header->height;
        ref->image_pos = 12;
        ref->lossy = is_tag(data, 12, TAG_VP8) ? 1 : 0;
        return true;
    }
    u64 after_vp8x = 12 + 8 + 10;
    if (!animated) {
        ref->w = header->width;
        ref->h = header->height;
        return search_image(data, after_vp8x, end, ref, err);
    }
    u32 seen = 0;
    Chunk c;
    for (u64 pos = after_vp8x; pos < end; pos = c.next) {
        if (!read_chunk(data, pos, end, &c, err)) return false;
        if (!is_tag(data, pos, TAG_ANMF)) continue;
        if (seen++ != frame) continue;
        ref->w = load_le24(data, end, pos + 14) + 1;
        ref->h = load_le24(data, end, pos + 17) + 1;
        return search_image(data, pos + 24, pos + 8 + c.size, ref, err);
    }
    return fail(err, ERR_BAD_TARGET, 0);
}

bool webp_prepare(const u8* data, u64 length, const WebpRequest* request, WebpPrepared* prepared, CodecError* err) {
    *prepared = WebpPrepared{};
    ImageHeader header;
    WebpImageRef ref;
    if (!webp_locate_image(data, length, request->frame, &ref, &header, err)) return false;
    if (ref.lossy) return fail(err, ERR_UNSUPPORTED, ref.image_pos);
    // The locator proved the chunk lies inside the data.
    u64 p = ref.image_pos + 8;
    u32 size = load_le32(data, length, ref.image_pos + 4);
    if (size < 5 || data[p] != VP8L_SIGNATURE) return fail(err, ERR_BAD_HEADER, p);
    u32 v = load_le32(data, length, p + 1);
    u32 w = (v & 0x3FFF) + 1;
    u32 h = ((v >> 14) & 0x3FFF) + 1;
    if ((v >> 29) != 0 || w != ref.w || h != ref.h) return fail(err, ERR_BAD_HEADER, p + 1);
    // A lossless stream cannot code more than 2^24 pixels a byte (a run of
    // back-references at its densest), so a larger claim is refused before
    // any memory is sized from it.
    if (w < 1 || w > VP8L_MAX_SIDE || h < 1 || h > VP8L_MAX_SIDE || (u64)w * h > ((u64)size + 1) << 24) {
        return fail(err, ERR_LIMIT, ref.image_pos);
    }
    u64 x = request->x, y = request->y;
    if (x >= w || (request->w != 0 && x + request->w > w)) return fail(err, ERR_BAD_TARGET, 0);
    if (y >= h || (request->h != 0 && y + request->h > h)) return fail(err, ERR_BAD_TARGET, 0);
    prepared->image = ref;
    prepared->width = w;
    prepared->height = h;
    prepared->payload_pos = p;
    prepared->payload_size = size;
    prepared->x = (u32)x;
    prepared->y = (u32)y;
    prepared->rect_width = request->w != 0 ? request->w : w - (u32)x;
    prepared->rect_height = request->h != 0 ? request->h : h - (u32)y;
    return true;
}

// The last ALPH chunk in [start, stop), as libwebp takes it; false when
// there is none.
static bool find_alph(const u8* data, u64 start, u64 stop, Chunk* alph) {
    Chunk c;
    CodecError ignored;
    bool found = false;
    for (u64 pos = start; pos < stop; pos = c.next) {
        if (!read_chunk(data, pos, stop, &c, &ignored)) return found;
        if (is_tag(data, pos, TAG_ALPH)) {
            *alph = c;
            found = true;
        }
    }
    return found;
}

// The first sub-chunk of the ANMF frame that holds the chunk at `inner`.
static u64 frame_start(const u8* data, u64 inner) {
    u64 end = (u64)load_le32(data, inner, 4) + 8;
    Chunk c;
    CodecError ignored;
    for (u64 pos = 30; pos < end; pos = c.next) {
        if (!read_chunk(data, pos, end, &c, &ignored)) return 0;
        if (pos < inner && inner < c.next) return pos + 24;
    }
    return 0;
}

bool webp_prepare_lossy(const u8* data, u64 length, u32 frame, WebpPrepared* prepared, CodecError* err) {
    *prepared = WebpPrepared{};
    ImageHeader header;
    WebpImageRef ref;
    if (!webp_locate_image(data, length, frame, &ref, &header, err)) return false;
    if (!ref.lossy) return fail(err, ERR_UNSUPPORTED, ref.image_pos);
    Chunk c;
    if (!read_chunk(data, ref.image_pos, length, &c, err)) return false;
    ImageFacts f;
    if (!check_vp8(data, c.pos + 8, c.size, &f, err)) return false;
    if (f.width != ref.w || f.height != ref.h) return fail(err, ERR_BAD_HEADER, c.pos + 8 + 6);
    // As for lossless images: no stream codes more than 2^24 pixels a byte
    // (a frame of skipped macroblocks at its densest is far below that), so
    // a larger claim is refused before any memory is sized from it.
    if ((u64)f.width * f.height > ((u64)c.size + 1) << 24) return fail(err, ERR_LIMIT, ref.image_pos);
    prepared->image = ref;
    prepared->width = f.width;
    prepared->height = f.height;
    prepared->payload_pos = c.pos + 8;
    prepared->payload_size = c.size;
    // A still's last partition may run on to the container's end; a frame's
    // stops at its own chunk, as libwebp hands each frame to its decoder.
    prepared->available = (u64)load_le32(data, length, 4) + 8 - (c.pos + 8);
    if (header.flags & WEBP_FLAG_ANIMATED) prepared->available = c.size;
    prepared->rect_width = f.width;
    prepared->rect_height = f.height;
    // The alpha plane lies before the image: among the chunks after VP8X,
    // or the frame's sub-chunks. The simple layout has none.
    u64 start = 0;
    if (ref.image_pos > 12) start = (header.flags & WEBP_FLAG_ANIMATED) ? frame_start(data, ref.image_pos) : 30;
    Chunk alph;
    if (start != 0 && find_alph(data, start, ref.image_pos, &alph)) {
        if (alph.size < 1) return fail(err, ERR_BAD_HEADER, alph.pos + 4);
        prepared->alpha_pos = alph.pos + 8;
        prepared->alpha_size = alph.size;
    }
    return true;
}

u64 webp_lossy_scratch_bytes(const u8* data, const WebpPrepared* p) {
    u64 color = vp8_scratch_bytes(p->width, p->height);
    if (p->alpha_size == 0) return color;
    u64 alpha = alph_scratch_bytes(p->width, p->height, data, p->alpha_pos, p->alpha_size);
    return color > alpha ? color : alpha;
}

// Tile mode: [decoder record and planes | alpha plane | alpha decoder].
u64 webp_lossy_tile_scratch_bytes(const u8* data, const WebpPrepared* p) {
    u64 color = align64(vp8_scratch_bytes(p->width, p->height));
    if (p->alpha_size == 0) return color;
    return color + align64((u64)p->width * p->height) +
           alph_scratch_bytes(p->width, p->height, data, p->alpha_pos, p->alpha_size);
}

bool webp_decode_lossy_planes(const u8* data, const WebpPrepared* p, u8* scratch, u64 scratch_size,
                              CodecError* err) {
    bool more = false;
    u32 rows = 0;
    return webp_lossy_begin(data, p, scratch, scratch_size, err) &&
           webp_lossy_step(scratch, ~0u, &more, &rows, err);
}

// The alpha plane is decoded whole at the start: it is one lossless image
// (or a raw plane), and the colour rows after it can then be shown as soon
// as they are final.
bool webp_lossy_begin(const u8* data, const WebpPrepared* p, u8* scratch, u64 scratch_size, CodecError* err) {
    u64 color = align64(vp8_scratch_bytes(p->width, p->height));
    if (scratch_size < webp_lossy_tile_scratch_bytes(data, p)) return fail(err, ERR_BAD_TARGET, 0);
    if (!vp8_begin_planes(data, p->payload_pos, p->available, scratch, color, p->width, p->height, err)) {
        return false;
    }
    if (p->alpha_size == 0) return true;
    u64 plane = (u64)p->width * p->height;
    u8* alpha = scratch + color;
    return alph_decode_plane(data, p->alpha_pos, p->alpha_size, p->width, p->height, alpha + align64(plane),
                             scratch_size - color - align64(plane), alpha, err);
}

bool webp_lossy_step(u8* scratch, u32 mb_rows, bool* more, u32* rows_final, CodecError* err) {
    bool ok = vp8_decode_plane_rows(scratch, mb_rows, err);
    *more = ok && vp8_plane_rows_left(scratch) != 0;
    *rows_final = ok ? vp8_rows_final(scratch) : 0;
    return ok;
}

void webp_lossy_output(const u8* scratch, const WebpPrepared* p, u32 x, u32 y, u32 w, u32 h,
                       const PixelBuffer* target) {
    vp8_output_rect(scratch, x, y, w, h, target);
    if (p->alpha_size == 0) return;
    const u8* alpha = scratch + align64(vp8_scratch_bytes(p->width, p->height));
    for (u32 i = 0; i < h; i++) {
        const u8* from = alpha + (u64)(y + i) * p->width + x;
        u8* to = target->pixels + (u64)i * target->stride + 3;
        for (u32 j = 0; j < w; j++) to[4 * j] = from[j];
    }
}

bool webp_decode_lossy(const u8* data, const WebpPrepared* p, u8* scratch, u64 scratch_size, const PixelBuffer* out,
                       CodecError* err) {
    if (!vp8_decode(data, p->payload_pos, p->available, scratch, scratch_size, out, err)) return false;
    if (p->alpha_size == 0) return true;
    return alph_decode(data, p->alpha_pos, p->alpha_size, scratch, scratch_size, out, err);
}

static bool probe_lossy(const u8* data, u64 length, ImageInfo* info, CodecError* err) {
    WebpPrepared prep;
    if (!webp_prepare_lossy(data, length, 0, &prep, err)) return false;
    info->decoder = DECODER_WEBP;
    info->width = prep.width;
    info->height = prep.height;
    info->frame_count = 1;
    // Tiles are converted from the planes kept in the scratch.
    info->scratch_bytes = webp_lossy_tile_scratch_bytes(data, &prep);
    info->pixel_bytes = 64;
    return true;
}

bool webp_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err) {
    *info = ImageInfo{};
    ImageHeader header;
    if (!webp_read_header(data, length, &header, err)) return false;
    if (header.flags & WEBP_FLAG_ANIMATED) {
        WebpAnimInfo anim;
        if (!webp_anim_measure(data, length, &anim, err)) return false;
        info->decoder = DECODER_WEBP;
        info->width = anim.canvas_w;
        info->height = anim.canvas_h;
        info->frame_count = anim.frame_count;
        info->play_count = anim.loop_count;
        info->scratch_bytes = anim.scratch_bytes;
        info->pixel_bytes = row_stride(anim.canvas_w) * anim.canvas_h + 32;
        return true;
    }
    WebpImageRef ref;
    if (!webp_locate_image(data, length, 0, &ref, &header, err)) return false;
    if (ref.lossy) return probe_lossy(data, length, info, err);
    WebpRequest whole = {0, 0, 0, 0, 0};
    WebpPrepared prep;
    if (!webp_prepare(data, length, &whole, &prep, err)) return false;
    info->decoder = DECODER_WEBP;
    // The first frame's own size: for a still file the canvas, for an
    // animation the frame that is decoded (the canvas of an animation may be
    // larger than its first frame).
    info->width = prep.width;
    info->height = prep.height;
    info->frame_count = 1;
    info->play_count = 0;
    info->preview_level = 0;
    info->scratch_bytes = vp8l_scratch_bytes(prep.width, prep.height, prep.payload_size);
    info->pixel_bytes = 64;
    info->extra_bytes = 0;
    return true;
}

// Animated WebP: the frames (ANMF chunks) measured for the probe, and
// composed on the canvas as libwebp's animation decoder composes them. Each
// frame is decoded whole into a frame buffer in the scratch memory, lossy
// or lossless, then placed on the canvas: a key frame (the first, one that
// covers the canvas and needs no blending, or one after a frame cleared to
// the background that was itself a key frame or covered the canvas) starts
// from a transparent canvas; any other frame starts from the canvas as the
// frame before it left it after its disposal, and its translucent pixels
// are blended over that (non-premultiplied, libwebp's integer formula;
// inside a rectangle just cleared they are taken as they are). The
// background colour of the file is ignored for transparent, as browsers do.
//
// The canvas always shows a whole frame: the previous frame's disposal is
// applied only once the next frame has decoded, so a frame that fails
// leaves the last good frame on screen.
#include "codec/webp/webp.h"

#include <string.h>

static const u8 TAG_ANMF[4] = {'A', 'N', 'M', 'F'};
static const u8 TAG_ANIM[4] = {'A', 'N', 'I', 'M'};
static const u8 TAG_ALPH[4] = {'A', 'L', 'P', 'H'};

// "WEBPANIM" read as a big-endian number.
static constexpr u64 ANIM_MAGIC = 0x57454250414E494Dull;
static constexpr u64 STATE_BYTES = 64;

// What the scratch starts with: the composition so far.
struct AnimState {
    u64 magic;
    i32 composed;       // the frame the canvas shows, -1: none
    u32 prev_x;         // that frame's rectangle and how it is disposed of
    u32 prev_y;
    u32 prev_w;
    u32 prev_h;
    u8 prev_dispose_bg;
    u8 prev_key;
    u8 pad[6];
};
static_assert(sizeof(AnimState) <= STATE_BYTES, "animation state");

static bool is_tag(const u8* data, u64 pos, const u8* tag) {
    return memcmp(data + pos, tag, 4) == 0;
}

static u64 container_end(const u8* data, u64 length) {
    return (u64)load_le32(data, length, 4) + 8;
}

// ---- Frames -------------------------------------------------------------------

bool webp_frame_info(const u8* data, u64 length, u32 frame, WebpFrameInfo* info, CodecError* err) {
    ImageHeader header;
    WebpImageRef ref;
    if (!webp_locate_image(data, length, frame, &ref, &header, err)) return false;
    if (!(header.flags & WEBP_FLAG_ANIMATED)) return fail(err, ERR_BAD_TARGET, 0);
    // The locator proved every chunk up to this frame sound; find its ANMF.
    u64 end = container_end(data, length);
    u64 pos = 30;
    u32 seen = 0;
    while (pos + 8 <= end) {
        u32 size = load_le32(data, end, pos + 4);
        u64 next = pos + 8 + (u64)size + (size & 1);
        if (is_tag(data, pos, TAG_ANMF) && seen++ == frame) {
            *info = WebpFrameInfo{};
            info->x = 2 * load_le24(data, end, pos + 8);
            info->y = 2 * load_le24(data, end, pos + 11);
            info->w = ref.w;
            info->h = ref.h;
            info->duration = load_le24(data, end, pos + 20);
            u32 flags = data[pos + 23];
            info->blend = (flags & 2) == 0;
            info->dispose_bg = flags & 1;
            info->lossy = ref.lossy;
            if (ref.lossy) {
                for (u64 p = pos + 24; p < ref.image_pos; p += (8 + (u64)load_le32(data, end, p + 4) + 1) & ~1ull) {
                    if (is_tag(data, p, TAG_ALPH)) info->has_alpha = 1;
                }
            } else {
                // The alpha hint of the lossless header.
                info->has_alpha = (load_le32(data, end, ref.image_pos + 9) >> 28) & 1;
            }
            return true;
        }
        pos = next;
    }
    return fail(err, ERR_BAD_TARGET, 0);
}

// Scratch of one frame's decoder.
static bool frame_scratch(const u8* data, u64 length, u32 frame, const WebpFrameInfo& f, u64* bytes,
                          CodecError* err) {
    if (f.lossy) {
        WebpPrepared p;
        if (!webp_prepare_lossy(data, length, frame, &p, err)) return false;
        *bytes = webp_lossy_scratch_bytes(data, &p);
        return true;
    }
    WebpRequest whole = {frame, 0, 0, 0, 0};
    WebpPrepared p;
    if (!webp_prepare(data, length, &whole, &p, err)) return false;
    *bytes = vp8l_scratch_bytes(p.width, p.height, p.payload_size);
    return true;
}

static u64 frame_buffer_bytes(u32 w, u32 h) {
    return align64(row_stride(w) * h + 64);
}

bool webp_anim_measure(const u8* data, u64 length, WebpAnimInfo* info, CodecError* err) {
    *info = WebpAnimInfo{};
    ImageHeader header;
    if (!webp_read_header(data, length, &header, err)) return false;
    if (!(header.flags & WEBP_FLAG_ANIMATED)) return fail(err, ERR_BAD_TARGET, 0);
    info->canvas_w = header.width;
    info->canvas_h = header.height;
    info->frame_count = header.frame_count;
    u64 end = container_end(data, length);
    for (u64 pos = 30; pos + 8 <= end; pos += (8 + (u64)load_le32(data, end, pos + 4) + 1) & ~1ull) {
        if (is_tag(data, pos, TAG_ANIM)) {
            if (load_le32(data, end, pos + 4) < 6) return fail(err, ERR_BAD_HEADER, pos + 4);
            info->loop_count = load_le16(data, end, pos + 12);
            break;
        }
    }
    u64 largest = 0;
    for (u32 k = 0; k < header.frame_count; k++) {
        WebpFrameInfo f;
        u64 bytes;
        if (!webp_frame_info(data, length, k, &f, err) || !frame_scratch(data, length, k, f, &bytes, err)) {
            return false;
        }
        u64 need = frame_buffer_bytes(f.w, f.h) + bytes;
        if (need > largest) largest = need;
    }
    info->scratch_bytes = STATE_BYTES + largest + 64;
    return true;
}

// ---- Composition --------------------------------------------------------------------

// Frame k whole into `out` (RGBA, its own size).
static bool decode_frame(const u8* data, u64 length, u32 frame, const WebpFrameInfo& f, u8* scratch,
                         u64 scratch_size, const PixelBuffer* out, CodecError* err) {
    if (f.lossy) {
        WebpPrepared p;
        if (!webp_prepare_lossy(data, length, frame, &p, err)) return false;
        return webp_decode_lossy(data, &p, scratch, scratch_size, out, err);
    }
    WebpRequest whole = {frame, 0, 0, 0, 0};
    for (u32 stage = VP8L_STAGE_ENTROPY; stage <= VP8L_STAGE_TRANSFORMS; stage++) {
        if (!vp8l_decode_stage(data, length, &whole, out, scratch, scratch_size, stage, 0, err)) return false;
    }
    for (u32 band = 0; band < vp8l_band_count(f.h); band++) {
        if (!vp8l_decode_stage(data, length, &whole, out, scratch, scratch_size, VP8L_STAGE_OUTPUT, band, err)) {
            return false;
        }
    }
    return true;
}

// `src` over `dst`, neither premultiplied, as libwebp's animation decoder
// computes it.
static u32 blend(u32 src, u32 dst) {
    u32 src_a = src >> 24;
    if (src_a == 0) return dst;
    u32 dst_a = dst >> 24;
    u32 dst_factor = (dst_a * (256 - src_a)) >> 8;
    u32 out_a = src_a + dst_factor;
    u32 scale = (1u << 24) / out_a;
    u32 v = out_a << 24;
    for (u32 shift = 0; shift < 24; shift += 8) {
        u32 s = (src >> shift) & 255, d = (dst >> shift) & 255;
        v |= (((s * src_a + d * dst_factor) * scale) >> 24) << shift;
    }
    return v;
}

static void clear_rect(const PixelBuffer* c, u32 x, u32 y, u32 w, u32 h) {
    for (u32 j = 0; j < h; j++) memset(c->pixels + (u64)(y + j) * c->stride + 4 * (u64)x, 0, 4 * (u64)w);
}

static void compose(const AnimState* s, const WebpFrameInfo& f, bool key, const PixelBuffer* frame,
                    const PixelBuffer* canvas) {
    bool blending = f.blend && !key;
    for (u32 j = 0; j < f.h; j++) {
        const u32* src = (const u32*)(frame->pixels + (u64)j * frame->stride);
        u32* dst = (u32*)(canvas->pixels + (u64)(f.y + j) * canvas->stride) + f.x;
        if (!blending) {  // the frame's pixels as they are
            memcpy(dst, src, 4 * (u64)f.w);
            continue;
        }
        u32 cy = f.y + j;
        bool row_in_prev = s->prev_dispose_bg && cy >= s->prev_y && cy < s->prev_y + s->prev_h;
        for (u32 i = 0; i < f.w; i++) {
            u32 p = src[i];
            if ((p >> 24) != 255) {
                u32 cx = f.x + i;
                // A pixel of a rectangle just cleared is taken as decoded.
                bool cleared = row_in_prev && cx >= s->prev_x && cx < s->prev_x + s->prev_w;
                if (!cleared) p = blend(p, dst[i]);
            }
            dst[i] = p;
        }
    }
}

bool webp_anim_decode(const u8* data, u64 length, u32 target, u8* scratch, u64 scratch_size, const PixelBuffer* canvas,
                      i32* shown, CodecError* err) {
    error_clear(err);
    AnimState* s = (AnimState*)scratch;
    if (scratch_size < STATE_BYTES || ((uintptr_t)scratch & 63) != 0) return fail(err, ERR_BAD_TARGET, 0);
    if (s->magic != ANIM_MAGIC) {
        memset(s, 0, sizeof *s);
        s->magic = ANIM_MAGIC;
        s->composed = -1;
    }
    ImageHeader header;
    if (!webp_read_header(data, length, &header, err)) return false;
    if (!(header.flags & WEBP_FLAG_ANIMATED) || target >= header.frame_count || canvas->width != header.width ||
        canvas->height != header.height) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    u32 first = s->composed >= 0 && (u32)s->composed < target ? (u32)s->composed + 1 : 0;
    if (s->composed == (i32)target) first = target + 1;
    for (u32 k = first; k <= target; k++) {
        WebpFrameInfo f;
        if (!webp_frame_info(data, length, k, &f, err)) return false;
        u8* frame_at = scratch + STATE_BYTES;
        PixelBuffer frame = {frame_at, row_stride(f.w), f.w, f.h};
        u8* dec = frame_at + frame_buffer_bytes(f.w, f.h);
        u64 dec_size = scratch_size - (u64)(dec - scratch);
        if (dec > scratch + scratch_size) return fail(err, ERR_BAD_TARGET, 0);
        if (!decode_frame(data, length, k, f, dec, dec_size, &frame, err)) return false;
        bool full = f.w == header.width && f.h == header.height;
        bool key = k == 0 || ((!f.has_alpha || !f.blend) && full) ||
                   (s->prev_dispose_bg && ((s->prev_w == header.width && s->prev_h == header.height) || s->prev_key));
        if ((k == 0 || key) && !full) {  // a key frame covering the canvas overwrites all of it
            for (u32 j = 0; j < canvas->height; j++) memset(canvas->pixels + (u64)j * canvas->stride, 0, 4 * (u64)canvas->width);
        } else if (!(k == 0 || key) && s->prev_dispose_bg) {
            clear_rect(canvas, s->prev_x, s->prev_y, s->prev_w, s->prev_h);
        }
        compose(s, f, key || k == 0, &frame, canvas);
        s->composed = (i32)k;
        s->prev_x = f.x;
        s->prev_y = f.y;
        s->prev_w = f.w;
        s->prev_h = f.h;
        s->prev_dispose_bg = (u8)f.dispose_bg;
        s->prev_key = key ? 1 : 0;
        *shown = (i32)k;
    }
    *shown = s->composed;
    return true;
}

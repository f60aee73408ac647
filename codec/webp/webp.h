// WebP: the RIFF container, the lossless (VP8L) and lossy (VP8, with its
// ALPH alpha plane) decoders and the composition of animations, as the
// probe and the decode job see them. The container reader recognises every
// layout (simple lossy, simple lossless, extended with alpha, animation and
// other chunks) and measures it. A still image is decoded into the scratch
// memory and tiles are converted from it on demand: the lossless decoder in
// three stages (stage 0 entropy-decodes the whole image into ARGB words,
// stage 1 undoes the transforms there, stage 2 converts any rectangle to
// RGBA, 64 rows per band), the lossy one into Y, U and V planes. An
// animation's frames are composed on the job's pixel buffer.
#pragma once

#include "codec/image.h"

// ---- Container --------------------------------------------------------------

// ImageHeader.flags as the header reader sets them.
enum : u32 {
    WEBP_FLAG_ALPHA = 1,
    WEBP_FLAG_ANIMATED = 2,
    WEBP_FLAG_LOSSY = 4,
};

// How a decode job serves a WebP file.
enum : u8 {
    WEBP_MODE_LOSSLESS = 0,  // a still lossless image, in stages, tiles from the scratch
    WEBP_MODE_LOSSY = 1,     // a still lossy image, whole into the pixel buffer
    WEBP_MODE_ANIMATION = 2, // frames composed on the pixel buffer
};

// Where the image of one frame lies.
struct WebpImageRef {
    u32 w;           // the frame's size, or the still image's
    u32 h;
    u64 image_pos;   // offset of the "VP8 " or "VP8L" chunk header
    u8 lossy;        // 1: the image chunk is "VP8 "
};

// What the caller asks for: a frame and a rectangle of its image, where a
// width or height of 0 means up to the right or bottom edge.
struct WebpRequest {
    u32 frame;
    u32 x;
    u32 y;
    u32 w;
    u32 h;
};

// A located lossless image, checked and with the rectangle resolved.
struct WebpPrepared {
    WebpImageRef image;
    u32 width;          // the image's size (the VP8L header's)
    u32 height;
    u64 payload_pos;    // image_pos + 8
    u64 payload_size;   // the chunk's payload size S
    u64 available;      // bytes from payload_pos to the container's end
    u64 alpha_pos;      // a lossy image's ALPH payload and its size (0: none)
    u64 alpha_size;
    u32 x;              // the rectangle, width and height at least 1
    u32 y;
    u32 rect_width;
    u32 rect_height;
};

bool webp_read_header(const u8* data, u64 length, ImageHeader* header, CodecError* err);
bool webp_locate_image(const u8* data, u64 length, u32 frame, WebpImageRef* ref, ImageHeader* header,
                       CodecError* err);
bool webp_prepare(const u8* data, u64 length, const WebpRequest* request, WebpPrepared* prepared, CodecError* err);

// The header probe: a still image's size and its decoder's scratch (the
// pixel buffer is a nominal 64 bytes: tiles come from the scratch); an
// animation's canvas, frame and loop counts, its scratch for the largest
// frame and a pixel buffer for the canvas.
bool webp_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err);

// Locates a frame's lossy image ("VP8 " chunk) and checks its header against
// the container: the rectangle is the whole frame. "unsupported" for a
// lossless image.
bool webp_prepare_lossy(const u8* data, u64 length, u32 frame, WebpPrepared* prepared, CodecError* err);

// ---- Animation ----------------------------------------------------------------

// One frame of an animation: its rectangle on the canvas, its duration in
// milliseconds, blending (1: alpha-blend over the canvas), disposal (1:
// cleared to transparent after it is shown), and its image's kind.
struct WebpFrameInfo {
    u32 x;
    u32 y;
    u32 w;
    u32 h;
    u32 duration;
    u32 blend;
    u32 dispose_bg;
    u32 lossy;
    u32 has_alpha;  // an ALPH chunk, or the lossless header's alpha hint
};

bool webp_frame_info(const u8* data, u64 length, u32 frame, WebpFrameInfo* info, CodecError* err);

struct WebpAnimInfo {
    u32 canvas_w;
    u32 canvas_h;
    u32 frame_count;
    u32 loop_count;     // 0: forever
    u64 scratch_bytes;  // the composition state, a frame buffer, the largest frame's decoder
};

// Walks every frame (checking each image's header) to size the scratch.
bool webp_anim_measure(const u8* data, u64 length, WebpAnimInfo* info, CodecError* err);

// Brings the canvas (the animation's size, RGBA) to frame `target`, from
// the frame it shows (state kept at the start of the scratch, which starts
// zeroed) or from frame 0 when going back. *shown is the frame the canvas
// shows afterwards, also after a failure (-1: none yet).
bool webp_anim_decode(const u8* data, u64 length, u32 target, u8* scratch, u64 scratch_size,
                      const PixelBuffer* canvas, i32* shown, CodecError* err);

// ---- Lossy decoder ----------------------------------------------------------

// Scratch for the alpha plane of a w x h lossy image whose ALPH payload is
// `size` bytes (a raw plane needs none beyond the pixel buffer).
u64 alph_scratch_bytes(u32 w, u32 h, const u8* data, u64 pos, u64 size);

// The ALPH payload at `pos` (header byte, then a raw or lossless plane,
// filtered or not) into the alpha bytes of `out`, whose colour is already
// there. Faults carry their file offset.
bool alph_decode(const u8* data, u64 pos, u64 size, u8* scratch, u64 scratch_size, const PixelBuffer* out,
                 CodecError* err);

// Scratch for a prepared lossy image: its decoder's, or its alpha plane's
// when larger (the plane is decoded after the colour).
u64 webp_lossy_scratch_bytes(const u8* data, const WebpPrepared* prepared);

// The whole prepared lossy image, colour then alpha, into `out`.
bool webp_decode_lossy(const u8* data, const WebpPrepared* prepared, u8* scratch, u64 scratch_size,
                       const PixelBuffer* out, CodecError* err);

// The decode job's way: the planes (and the alpha plane after them) kept in
// the scratch, tiles converted from them on demand as lossless images are.
u64 webp_lossy_tile_scratch_bytes(const u8* data, const WebpPrepared* prepared);
bool webp_decode_lossy_planes(const u8* data, const WebpPrepared* prepared, u8* scratch, u64 scratch_size,
                              CodecError* err);
void webp_lossy_output(const u8* scratch, const WebpPrepared* prepared, u32 x, u32 y, u32 w, u32 h,
                       const PixelBuffer* target);
// The same in steps, for an image too large to decode within one paint:
// the frame header and the whole alpha plane, then `mb_rows` macroblock
// rows of colour per step. `more` says whether rows are left; `rows_final`
// counts the image rows (from the top) whose pixels no later step changes,
// which webp_lossy_output may already serve.
bool webp_lossy_begin(const u8* data, const WebpPrepared* prepared, u8* scratch, u64 scratch_size, CodecError* err);
bool webp_lossy_step(u8* scratch, u32 mb_rows, bool* more, u32* rows_final, CodecError* err);

// Scratch for a lossy frame of w x h: the decoder record, a row of
// macroblock state and the macroblock-aligned Y, U and V planes.
u64 vp8_scratch_bytes(u32 w, u32 h);

// Decodes the key frame whose payload starts at `payload_pos` of `data` into
// `out`, which has the frame's size: RGBA with alpha 255. `available` bytes
// may be read from there: as in libwebp, the last token partition runs on
// to the end of the container, past the chunk (its padding byte, later
// chunks), so a stream cut inside its chunk may still decode. The scratch
// is 16-byte aligned and vp8_scratch_bytes long.
bool vp8_decode(const u8* data, u64 payload_pos, u64 available, u8* scratch, u64 scratch_size,
                const PixelBuffer* out, CodecError* err);

// The same in two parts: the frame into the planes in the scratch (w x h
// must match the frame header), then any rectangle of it to RGBA, the
// target's row i for the rectangle's row i.
bool vp8_decode_planes(const u8* data, u64 payload_pos, u64 available, u8* scratch, u64 scratch_size, u32 w, u32 h,
                       CodecError* err);
void vp8_output_rect(const u8* scratch, u32 x, u32 y, u32 w, u32 h, const PixelBuffer* target);
// The planes in steps: the header first, then `count` macroblock rows at a
// time (fewer at the end). `data` stays where it was at the start. Output
// rows below vp8_rows_final may already be converted; once a step fails,
// every later one does ("bad_target").
bool vp8_begin_planes(const u8* data, u64 payload_pos, u64 available, u8* scratch, u64 scratch_size, u32 w, u32 h,
                      CodecError* err);
bool vp8_decode_plane_rows(u8* scratch, u32 count, CodecError* err);
u32 vp8_rows_final(const u8* scratch);
u32 vp8_plane_rows_left(const u8* scratch);
// Where the planes lie in a w x h frame's scratch (the rest is the decoder
// record and its row state), and the part of each plane (Y, U, V) the next
// `mb_rows` macroblock rows write, as offsets from the scratch's start:
// memory a caller may make ready a band at a time.
void vp8_plane_span(u32 w, u32 h, u64* start, u64* end);
void vp8_band_ranges(const u8* scratch, u32 mb_rows, u64 offsets[3], u64 sizes[3]);

// The alpha plane alone, w x h bytes.
bool alph_decode_plane(const u8* data, u64 pos, u64 size, u32 w, u32 h, u8* scratch, u64 scratch_size, u8* plane,
                       CodecError* err);

// ---- Lossless decoder -------------------------------------------------------

enum : u32 {
    VP8L_STAGE_ENTROPY = 0,     // the whole image into ARGB words
    VP8L_STAGE_TRANSFORMS = 1,  // the inverse transforms, in place
    VP8L_STAGE_OUTPUT = 2,      // one band of 64 rows of the rectangle to RGBA
    VP8L_BAND_ROWS = 64,
    VP8L_RECORD_BYTES = 384,
};

// Scratch for an image of w x h carried in a payload of S bytes: the decoder
// record, every buffer and the Huffman table pool.
u64 vp8l_scratch_bytes(u32 w, u32 h, u64 payload_size);

// Runs one stage (stage 2: one band) for `request`. Order and argument faults
// are "bad_target" at 0; stream faults carry their file offset.
bool vp8l_decode_stage(const u8* data, u64 length, const WebpRequest* request, const PixelBuffer* target,
                       u8* scratch, u64 scratch_size, u32 stage, u32 band, CodecError* err);

// A lossless stream without the signature and size header (an alpha
// plane's), w x h, at `pos` for `size` bytes: decoded and transformed in
// one call; *argb_out points at the w x h ARGB words in the scratch, which
// is vp8l_scratch_bytes(w, h, size) long.
bool vp8l_decode_headerless(const u8* data, u64 pos, u64 size, u32 w, u32 h, u8* scratch, u64 scratch_size,
                            const u32** argb_out, CodecError* err);

// Clears the stage flags of the record at the start of `scratch` (when it is
// large enough to hold one), so that only stage 0 may run next.
void vp8l_reset(u8* scratch, u64 scratch_size);

// Bands of 64 rows in a rectangle of `height` rows (1 for an empty height).
inline u32 vp8l_band_count(u32 height) {
    return height == 0 ? 1 : (height + VP8L_BAND_ROWS - 1) / VP8L_BAND_ROWS;
}

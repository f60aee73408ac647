// The codec table: one record per decoder kind, holding everything the
// sniffer, the probe, the decode jobs and the status line ask of a decoder.
// Nothing outside this table switches on the kind, so a new format is its
// own folder under codec/ plus one entry here.
#pragma once

#include "codec/gif/gif.h"
#include "codec/icc/icc.h"
#include "codec/image.h"
#include "codec/jpeg/jpeg.h"
#include "codec/png/png.h"

struct DecodeJob;

// What some probes fill beyond the ImageInfo. The caller supplies it, so
// two probes never share state; the JPEG header parse alone is about 53 KB.
struct ProbeWork {
    JpegDecoder jpeg;  // the JPEG probe's full header parse, thrown away afterwards
    PngPlan png_plan;  // the PNG probe's plan, which the decode job keeps
    GifInfo gif;
};

struct CodecEntry {
    DecoderKind kind;
    ImageFormat format;  // the name the status line shows
    // Content test on the first bytes. The four original decoders are chosen
    // by the first byte alone, and their probes check the rest.
    bool (*sniff)(const u8* data, u64 length);
    // Taken only for a file whose name claims `format` (TGA has no signature).
    bool needs_name;
    // A job that reads only the parts of the file under the tiles it makes
    // (a tiled TIFF): a very large file is worth mapping rather than reading.
    bool reads_parts;
    bool (*probe)(const u8* data, u64 length, ImageInfo* info, ProbeWork* work, CodecError* err);
    // A container whose image may be another codec's stream (a BMP holding
    // a PNG or JPEG, an icon entry that is a PNG): the inner bytes, or an
    // empty span when this decoder reads the image itself. Null: never.
    bool (*embedded)(const u8* data, u64 length, ByteSpan* inner_out, CodecError* err);
    // Readies a job just started from this kind's probe. Null: nothing.
    void (*start)(DecodeJob* job, const ProbeWork* work);
    // Brings the base decode up to the requested frame. On failure the job's
    // decoded_frame names what the pixel buffer shows (-1: nothing).
    bool (*base)(DecodeJob* job, CodecError* err);
    // Fills the valid cw x ch pixels of a tile at a level the job serves.
    // Null: copied from the pixel buffer.
    bool (*tile)(DecodeJob* job, u32 level, u32 column, u32 row, u32 cw, u32 ch, PixelBuffer* tile, CodecError* err);
    // Whether a level's tiles are copied from the pixel buffer after all (a
    // JPEG before its second stage). Null: never, when `tile` is given.
    bool (*tile_from_buffer)(const DecodeJob* job, u32 level);
    // The second stage of a decoder that has one. Null: none.
    bool (*second_stage)(DecodeJob* job, CodecError* err);
    // For a decoder whose whole image is assembled from level-0 tiles:
    // whether the job can give them now ("bad_target" when not). Null: the
    // pixel buffer is the whole image.
    bool (*whole_ready)(DecodeJob* job, CodecError* err);
    // Delay of an animation frame in hundredths of a second. Null: stills.
    u32 (*frame_delay)(DecodeJob* job, u32 frame);
    // For a still decoded whole into the pixel buffer in one step: the
    // decoder's own call, which the shared base step wraps.
    bool (*decode_still)(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* out,
                         CodecError* err);
    // The orientation the file's metadata asks for (1 to 8). Null: 1.
    u32 (*orientation)(const u8* data, u64 length);
    // Where the file's colour profile is and whether it can be read. Null:
    // the format carries none.
    void (*profile)(const u8* data, u64 length, IccFind* out);
};

// The entry of a kind; null for DECODER_NONE and unknown kinds.
const CodecEntry* codec_entry(DecoderKind kind);

// The base step of every still decoded whole by `decode_still`.
bool codec_still_base(DecodeJob* job, CodecError* err);

// Every entry, in sniffing order.
const CodecEntry* codec_table(u32* count_out);

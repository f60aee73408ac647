// The body every fuzz target of a still decoder shares: the embedded-stream
// check (where the format has one), the probe, then the whole decode into
// memory of exactly the probe's sizes. The file, the scratch and the pixels
// each end flush against a PROT_NONE guard page, so any access past them
// faults. Results are checked for consistency: a failure carries an error
// code and an offset within the file, an embedded stream lies inside it, an
// image the probe accepts has the probe's sizes, and a decode that succeeds
// reports no error.
#pragma once

#include <stdint.h>
#include <string.h>

#include "codec/image.h"
#include "fuzz/guarded.h"

struct StillDecoder {
    DecoderKind kind;
    bool (*embedded)(const u8* data, u64 length, ByteSpan* inner_out, CodecError* err);  // null: none
    bool (*probe)(const u8* data, u64 length, ImageInfo* info, CodecError* err);
    bool (*decode)(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* out, CodecError* err);
};

inline int fuzz_still_decoder(const StillDecoder& d, const uint8_t* data, size_t size) {
    static Guarded file_memory, scratch_memory, pixel_memory;
    // Decoded memory above this is skipped: a valid header may claim 2^26
    // pixels.
    const u64 memory_cap = 96ull << 20;
    u8* file = file_memory.tail(size, 1);
    if (size != 0) memcpy(file, data, size);
    CodecError err;
    if (d.embedded != nullptr) {
        ByteSpan inner;
        if (d.embedded(file, size, &inner, &err)) {
            fuzz_check(inner.size == 0 || (inner.data >= file && inner.data + inner.size <= file + size));
        } else {
            fuzz_check(err.code != ERR_OK && err.offset <= size);
        }
    }
    ImageInfo info;
    if (!d.probe(file, size, &info, &err)) {
        fuzz_check(err.code != ERR_OK && err.offset <= size);
        return 0;
    }
    fuzz_check(info.decoder == d.kind && info.width > 0 && info.height > 0 && info.frame_count == 1);
    fuzz_check(info.pixel_bytes == row_stride(info.width) * info.height + 32);
    if (info.pixel_bytes + info.scratch_bytes > memory_cap) return 0;
    u8* scratch = scratch_memory.tail(info.scratch_bytes, 64);
    PixelBuffer out = {pixel_memory.tail(info.pixel_bytes, 32), row_stride(info.width), info.width, info.height};
    if (!d.decode(file, size, scratch, info.scratch_bytes, &out, &err)) {
        fuzz_check(err.code != ERR_OK && err.code != ERR_BAD_TARGET && err.offset <= size);
    } else {
        fuzz_check(err.code == ERR_OK);
    }
    return 0;
}

// Sniffing and header probes: the content picks the decoder (through the
// codec table), the probe reads just enough to size every buffer before any
// pixel is decoded.
#pragma once

#include "codec/codecs.h"
#include "codec/image.h"

// The decoder for the content alone: the first entry of the codec table
// whose content test passes, leaving out formats that need a name.
DecoderKind sniff_decoder(const u8* data, u64 length);
// The same for a file whose name claims `claimed`: a TGA (which has no
// signature) is recognised by its header when the name says so, unless the
// content carries another format's full signature.
DecoderKind sniff_decoder(const u8* data, u64 length, ImageFormat claimed);

// Clears `info`, sets `err` to "bad_signature", sniffs and runs that kind's
// probe with the caller's `work`. A container holding another codec's
// stream is probed as that stream, with `format` naming the container and
// the stream's range in `source_offset` and `source_size`. On success `err`
// is "ok".
bool probe_image(const u8* data, u64 length, ImageFormat claimed, ImageInfo* info, ProbeWork* work,
                 CodecError* err);
// Content alone, with a work record of its own (about 53 KB of stack).
bool probe_image(const u8* data, u64 length, ImageInfo* info, CodecError* err);

// A generated test image: "proc-" W "x" H, each 1 to 10 digits with a value
// from 1 to 16776960, followed by the end of the name or a ".".
bool synthetic_size(ByteSpan name, u32* width_out, u32* height_out);

// Sniffing and header probes: the first byte picks the decoder, the probe
// reads just enough to size every buffer before any pixel is decoded.
#pragma once

#include "codec/image.h"
#include "codec/png/png.h"

DecoderKind sniff_decoder(const u8* data, u64 length);

// Clears `info`, sets `err` to "bad_signature", sniffs and runs that kind's
// probe. On success `err` is "ok".
bool probe_image(const u8* data, u64 length, ImageInfo* info, CodecError* err);
// The same, handing out the PNG probe's plan for the decode job (filled only
// for a PNG).
bool probe_image(const u8* data, u64 length, ImageInfo* info, PngPlan* png_plan, CodecError* err);

// A generated test image: "proc-" W "x" H, each 1 to 10 digits with a value
// from 1 to 16776960, followed by the end of the name or a ".".
bool synthetic_size(ByteSpan name, u32* width_out, u32* height_out);

// One window for every file opened: a second start of the program with files
// hands their paths to the window already running, which opens them as tabs
// and comes to the front, and the second process ends. On Windows the paths
// travel as a WM_COPYDATA payload (below) sent to the running window, found
// by its class; on X11 as a text/uri-list appended to a property of the
// window that owns the program's selection on the display. A window in test
// mode never takes part, either way.
#pragma once

#include "base/span.h"

// WM_COPYDATA's dwData for a hand-over: "QBHO" read as a big-endian number.
static constexpr u64 HANDOVER_TAG = 0x5142484F;
// At most this many paths and this many payload bytes per hand-over.
static constexpr u32 HANDOVER_MAX_PATHS = 256;
static constexpr u64 HANDOVER_MAX_BYTES = 0x100000;
static constexpr u64 HANDOVER_MAX_PATH_UNITS = 32767;

// The payload, little-endian UTF-16 units: the path count as two units (low
// half first), then each path with a NUL unit after it, and nothing more.
// Builds it from UTF-8 paths into `out` (capacity units); the units written,
// or 0 when a path is empty, too long or does not convert, or it all does not
// fit.
u64 handover_payload(const ByteSpan* paths, u32 count, u16* out, u64 capacity);

// Reads a payload of `size` bytes as it arrived (any alignment): true when it
// is whole and well formed: an even size of at most HANDOVER_MAX_BYTES, a
// count of 1 to min(HANDOVER_MAX_PATHS, capacity), exactly that many paths,
// each of 1 to HANDOVER_MAX_PATH_UNITS units and ended by a NUL inside the
// payload, and no bytes after the last. Path i then starts at unit
// offsets[i] and has lengths[i] units (its NUL not counted).
bool read_handover_payload(const u8* data, u64 size, u64* offsets, u64* lengths, u32 capacity, u32* count_out);

// The backend's part, run by start-up before any window exists: hands
// `paths` (as given on the command line; made absolute here) to the running
// window of the class. True when that window took them, and this process
// then ends; false when there is none or it refused, and the program starts
// as usual.
bool hand_over(ByteSpan class_name, const ByteSpan* paths, u32 count);

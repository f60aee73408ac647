// The frame section's header: sixteen little-endian words that describe the
// window's DIB and the last blit, for a harness reading the window's pixels
// from another process. Shared by the Windows and the headless backends.
#pragma once

#include "base/types.h"

static constexpr u32 FRAME_MAGIC = 0x46524251;  // "QBRF"

// Words 1 to 3: width, minus the height, 32; all 0 when the DIB could not be
// placed in the section.
void frame_header_set_dib(u8* header, bool in_section, i32 width, i32 height);
// Words 4 to 11: the last blit's destination, source, raster operation and
// the number of blits so far.
void frame_header_set_blit(u8* header, i32 x, i32 y, i32 width, i32 height, i32 source_x, i32 source_y, u32 rop,
                           u32 blits);

// Frame-section header words.
#include "platform/frame_header.h"

void frame_header_set_dib(u8* header, bool in_section, i32 width, i32 height) {
    u32* h = (u32*)header;
    h[1] = in_section ? (u32)width : 0;
    h[2] = in_section ? (u32)(-height) : 0;
    h[3] = in_section ? 32 : 0;
}

void frame_header_set_blit(u8* header, i32 x, i32 y, i32 width, i32 height, i32 source_x, i32 source_y, u32 rop,
                           u32 blits) {
    u32* h = (u32*)header;
    h[4] = (u32)x;
    h[5] = (u32)y;
    h[6] = (u32)width;
    h[7] = (u32)height;
    h[8] = (u32)source_x;
    h[9] = (u32)source_y;
    h[10] = rop;
    h[11] = blits;
}

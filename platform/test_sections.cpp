// The test channel's sections for the backends that copy the frame instead
// of drawing into the section (headless, X11): the header is kept as the
// Windows program keeps it, and each blit copies the frame after it.
#include "platform/test_sections.h"

#include "platform/frame_header.h"
#include "platform/process.h"

static void section_name(TextBuffer* t, const char* prefix, u32 pid) {
    text_clear(t);
    text_append(t, prefix);
    text_append_u64(t, pid);
}

void open_sized_test_sections(WindowState* w, i64 screen_width, i64 screen_height) {
    TextBuffer name;
    section_name(&name, "QuorbelState", process_id());
    w->state_view = open_shared_section(text_span(&name), 4096);
    if (screen_width < 0) screen_width = 0;
    if (screen_height < 0) screen_height = 0;
    u64 width = (u64)(screen_width > 1040 ? screen_width : 1040) + 64;
    u64 height = (u64)(screen_height > 700 ? screen_height : 700) + 64;
    u64 size = width * height * 4 + 64;
    section_name(&name, "QuorbelFrame", process_id());
    w->frame_header = open_shared_section(text_span(&name), size);
    if (w->frame_header == nullptr) return;
    w->frame_section_size = size;
    ((u32*)w->frame_header)[0] = FRAME_MAGIC;
}

void remove_test_sections(u32 pid) {
    TextBuffer name;
    section_name(&name, "QuorbelState", pid);
    remove_shared_section(text_span(&name));
    section_name(&name, "QuorbelFrame", pid);
    remove_shared_section(text_span(&name));
}

void frame_header_dib(WindowState* w, bool in_section) {
    if (w->frame_header != nullptr) frame_header_set_dib(w->frame_header, in_section, w->dib_width, w->dib_height);
}

void frame_header_blit(WindowState* w, i32 x, i32 y, i32 width, i32 height, i32 source_x, i32 source_y, u32 rop) {
    w->blit_count++;
    if (w->frame_header == nullptr) return;
    u64 bytes = (u64)w->dib_width * (u64)w->dib_height * 4;
    bool fits = w->dib_pixels != nullptr && bytes + 64 <= w->frame_section_size;
    frame_header_dib(w, fits);
    if (fits) {
        const u8* from = (const u8*)w->dib_pixels;
        u8* to = w->frame_header + 64;
        for (u64 i = 0; i < bytes; i++) to[i] = from[i];
    }
    frame_header_set_blit(w->frame_header, x, y, width, height, source_x, source_y, rop, w->blit_count);
}

void write_state_section(WindowState* w, ByteSpan text) {
    if (w->state_view == nullptr) return;
    u64 n = text.size < 4095 ? text.size : 4095;
    for (u64 i = 0; i < n; i++) w->state_view[i] = text.data[i];
    w->state_view[n] = 0;
}

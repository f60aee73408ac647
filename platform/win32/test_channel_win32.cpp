// The test channel's two named sections, created only with --test: the
// state text after every event, and the window's pixels (the DIB lives in
// the frame section at offset 64 whenever it fits) with a header describing
// the DIB and the last blit.
#include <windows.h>

#include "platform/frame_header.h"
#include "platform/utf.h"
#include "platform/win32/win32_window.h"
static constexpr u64 STATE_BYTES = 4096;

static void section_name(const char* prefix, u16* out) {
    char text[64];
    u32 n = 0;
    while (prefix[n] != 0) {
        text[n] = prefix[n];
        n++;
    }
    DWORD pid = GetCurrentProcessId();
    char digits[10];
    u32 count = 0;
    do {
        digits[count++] = (char)('0' + pid % 10);
        pid /= 10;
    } while (pid != 0);
    while (count > 0) text[n++] = digits[--count];
    u64 units = 0;
    utf16_from_utf8(ByteSpan{(u8*)text, n}, out, 63, &units);
    out[units] = 0;
}

void open_test_sections(WindowState* w) {
    u16 name[64];
    section_name("QuorbelState", name);
    HANDLE state = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, STATE_BYTES, (LPCWSTR)name);
    if (state != nullptr) {
        w->state_view = (u8*)MapViewOfFile(state, FILE_MAP_WRITE, 0, 0, STATE_BYTES);
    }
    i64 vw = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    i64 vh = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    if (vw < 0) vw = 0;
    if (vh < 0) vh = 0;
    u64 size = (u64)((vw > 1040 ? vw : 1040) + 64) * (u64)((vh > 700 ? vh : 700) + 64) * 4 + 64;
    section_name("QuorbelFrame", name);
    HANDLE frame = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, (DWORD)(size >> 32),
                                      (DWORD)size, (LPCWSTR)name);
    if (frame == nullptr) return;
    u8* view = (u8*)MapViewOfFile(frame, FILE_MAP_WRITE, 0, 0, 64);
    if (view == nullptr) return;
    win32_of(w)->frame_section = frame;
    w->frame_header = view;
    w->frame_section_size = size;
    ((u32*)w->frame_header)[0] = FRAME_MAGIC;
}

void frame_header_dib(WindowState* w, bool in_section) {
    if (w->frame_header != nullptr) frame_header_set_dib(w->frame_header, in_section, w->dib_width, w->dib_height);
}

void frame_header_blit(WindowState* w, i32 x, i32 y, i32 width, i32 height, i32 source_x, i32 source_y, u32 rop) {
    w->blit_count++;
    if (w->frame_header == nullptr) return;
    frame_header_set_blit(w->frame_header, x, y, width, height, source_x, source_y, rop, w->blit_count);
}

void publish_state(WindowState* w, ByteSpan text) {
    if (w->state_view == nullptr) return;
    u64 n = text.size < STATE_BYTES - 1 ? text.size : STATE_BYTES - 1;
    for (u64 i = 0; i < n; i++) w->state_view[i] = text.data[i];
    w->state_view[n] = 0;
}

// The Win32 backend's own record of the window, behind WindowState's backend
// pointer: the handles, the font, the cursors, the memory DC and its DIB, the
// drop being processed, a message kept back behind a size report, and the
// test mode's drag anchor and held paints.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include "platform/window.h"

struct Win32Window {
    HWND window;
    HFONT font;
    HCURSOR cursors[6];
    HDC memory_dc;
    HBITMAP dib;
    HGDIOBJ original_bitmap;
    i32 saved_rect[4];  // left, top, right, bottom, for leaving the maximised state
    HDROP drop;
    // A hand-over from a second start: its paths (UTF-8, in the backend's
    // buffer) wait from WM_COPYDATA until the drop event that carries them
    // has been taken; meanwhile another is refused.
    u32 handover_count;
    u8 handover_pending;
    u8 handover_active;
    u8 leave_armed;
    u8 test_anchor_active;
    i32 test_anchor_x, test_anchor_y;
    // Test mode: an event was taken and the harness's sync that follows it
    // has not come yet (no paint runs meanwhile); a first sync has come.
    u8 awaiting_sync;
    u8 synced;
    // A message fetched after the window had been resized, kept back until
    // that size has been reported.
    u8 has_kept;
    MSG kept;
    HANDLE frame_section;
};

Win32Window* win32_of(const WindowState* w);

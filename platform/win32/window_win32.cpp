// The one window: borderless, self-drawn, fed by a plain GetMessageW loop
// whose window procedure is the system default. Messages become Event
// records one at a time; a top-down 32-bit DIB section is the framebuffer;
// GDI draws the frame's texts into it and one BitBlt shows it. In test mode
// no paint runs between a harness event and the sync that follows it.
#include <windows.h>
#include <dwmapi.h>
#include <shellapi.h>

#include "platform/handover.h"
#include "platform/process.h"
#include "platform/utf.h"
#include "platform/win32/win32_window.h"

static constexpr UINT MESSAGE_SYNC = 0x8001;      // WM_APP + 1: test-channel sync
static constexpr UINT MESSAGE_HANDOVER = 0x8002;  // posted to itself: a hand-over's paths are ready
static constexpr u32 SYNTHETIC_MARK = 0x1EE7;

static Win32Window g_win32;
static WindowState* g_window_state;

Win32Window* win32_of(const WindowState* w) {
    return (Win32Window*)w->backend;
}

static HWND hwnd_of(const WindowState* w) {
    return win32_of(w)->window;
}

// UTF-8 to a NUL-terminated UTF-16 string for the window system: at most
// 1000 input bytes and 2048 units; a text that does not fit becomes empty.
static bool wide_text(ByteSpan text, u16* out) {
    out[0] = 0;
    if (text.size > 1000) return false;
    u64 n = 0;
    if (!utf16_from_utf8(text, out, 2047, &n)) return false;
    out[n] = 0;
    return n != 0;
}

// ---- Hand-over --------------------------------------------------------------
//
// The window procedure is the system default for every message but
// WM_COPYDATA, a hand-over from a second start, which is sent, never queued.

// The paths of the hand-over being opened, as UTF-8: a UTF-16 unit never
// takes more than 3 bytes.
static u8 g_handover_bytes[HANDOVER_MAX_BYTES / 2 * 3];
static u64 g_handover_offsets[HANDOVER_MAX_PATHS];
static u64 g_handover_lengths[HANDOVER_MAX_PATHS];

// WM_COPYDATA: a payload checked whole (any program can send one) and made
// UTF-8 before the window says it took it; then the window comes to the
// front (the sender allowed that) and posts itself the message that becomes
// the drop event. Test mode takes none.
static bool take_handover(HWND hwnd, const COPYDATASTRUCT* data) {
    Win32Window* win = &g_win32;
    if (g_window_state == nullptr || g_window_state->test_mode || win->handover_pending || data == nullptr ||
        data->dwData != HANDOVER_TAG) {
        return false;
    }
    static u64 offsets[HANDOVER_MAX_PATHS];
    static u64 lengths[HANDOVER_MAX_PATHS];
    static u16 units[HANDOVER_MAX_PATH_UNITS];
    u32 count = 0;
    const u8* bytes = (const u8*)data->lpData;
    if (!read_handover_payload(bytes, data->cbData, offsets, lengths, HANDOVER_MAX_PATHS, &count)) return false;
    u64 used = 0;
    for (u32 i = 0; i < count; i++) {
        const u8* from = bytes + offsets[i] * 2;
        for (u64 k = 0; k < lengths[i]; k++) units[k] = (u16)(from[2 * k] | (from[2 * k + 1] << 8));
        u64 length = 0;
        if (!utf8_from_utf16(units, lengths[i], g_handover_bytes + used, sizeof g_handover_bytes - used, &length)) {
            return false;
        }
        g_handover_offsets[i] = used;
        g_handover_lengths[i] = length;
        used += length;
    }
    win->handover_count = count;
    win->handover_pending = 1;
    PostMessageW(hwnd, MESSAGE_HANDOVER, 0, 0);
    if (IsIconic(hwnd)) ShowWindow(hwnd, SW_RESTORE);
    SetForegroundWindow(hwnd);
    return true;
}

static LRESULT CALLBACK window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_COPYDATA) return take_handover(hwnd, (const COPYDATASTRUCT*)lparam) ? TRUE : FALSE;
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

// The second start: the paths made absolute, one payload, offered to each
// window of the class in turn until one takes it (a window in test mode, a
// busy one or one that does not answer within 5 seconds declines).
bool hand_over(ByteSpan class_name, const ByteSpan* paths, u32 count) {
    static u8 absolute[HANDOVER_MAX_BYTES];
    static ByteSpan spans[HANDOVER_MAX_PATHS];
    static u16 payload[HANDOVER_MAX_BYTES / 2];
    static u16 wide_class[256];
    if (count == 0 || count > HANDOVER_MAX_PATHS) return false;
    u64 used = 0;
    for (u32 i = 0; i < count; i++) {
        u64 length = full_path(paths[i], absolute + used, sizeof absolute - used);
        if (length == 0) return false;
        spans[i] = ByteSpan{absolute + used, length};
        used += length;
    }
    u64 units = handover_payload(spans, count, payload, HANDOVER_MAX_BYTES / 2);
    u64 class_units = 0;
    if (units == 0 || !utf16_from_utf8(class_name, wide_class, 255, &class_units)) return false;
    wide_class[class_units] = 0;
    COPYDATASTRUCT data = {};
    data.dwData = HANDOVER_TAG;
    data.cbData = (DWORD)(units * 2);
    data.lpData = payload;
    HWND other = nullptr;
    while ((other = FindWindowExW(nullptr, other, (LPCWSTR)wide_class, nullptr)) != nullptr) {
        DWORD pid = 0;
        GetWindowThreadProcessId(other, &pid);
        AllowSetForegroundWindow(pid);
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(other, WM_COPYDATA, 0, (LPARAM)&data, SMTO_ABORTIFHUNG | SMTO_BLOCK, 5000,
                                &result) != 0 &&
            result == TRUE) {
            return true;
        }
    }
    return false;
}

// ---- Creation ---------------------------------------------------------------

bool create_main_window(WindowState* w, ByteSpan class_name, ByteSpan title, bool test_mode) {
    Win32Window* win = &g_win32;
    *win = Win32Window{};
    w->backend = win;
    g_window_state = w;
    SetProcessDPIAware();
    HINSTANCE module = GetModuleHandleA(nullptr);
    static const WORD cursor_ids[6] = {32512, 32649, 32644, 32645, 32642, 32643};
    for (u32 i = 0; i < 6; i++) win->cursors[i] = LoadCursorA(nullptr, MAKEINTRESOURCEA(cursor_ids[i]));
    static u16 wide_class[2048];
    static u16 wide_title[2048];
    wide_text(class_name, wide_class);
    wide_text(title, wide_title);
    WNDCLASSW wc = {};
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = window_procedure;
    wc.hInstance = module;
    wc.lpszClassName = (LPCWSTR)wide_class;
    if (RegisterClassW(&wc) == 0) return false;
    HWND hwnd = CreateWindowExW(0, (LPCWSTR)wide_class, (LPCWSTR)wide_title, WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX,
                                120, 80, 1040, 700, nullptr, nullptr, module, nullptr);
    if (hwnd == nullptr) return false;
    win->window = hwnd;
    BOOL dark = TRUE;
    DWORD corners = 2;
    COLORREF border = 0x444444;
    DwmSetWindowAttribute(hwnd, 20, &dark, sizeof dark);
    DwmSetWindowAttribute(hwnd, 33, &corners, sizeof corners);
    DwmSetWindowAttribute(hwnd, 34, &border, sizeof border);
    win->font = CreateFontA(-15, 0, 0, 0, 400, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                                          CLIP_DEFAULT_PRECIS, 5, 0x22, "Segoe UI");
    DragAcceptFiles(hwnd, TRUE);
    w->test_mode = test_mode ? 1 : 0;
    if (!test_mode) {
        SetTimer(hwnd, 1, 15, nullptr);
    } else {
        open_test_sections(w);
        MoveWindow(hwnd, 120, 80, 1040, 700, TRUE);
    }
    ShowWindow(hwnd, SW_SHOWDEFAULT);
    return true;
}

// ---- Events -----------------------------------------------------------------

static bool poll_size(WindowState* w, Event* e) {
    RECT r;
    if (!GetClientRect(hwnd_of(w), &r)) return false;
    i32 width = r.right - r.left;
    i32 height = r.bottom - r.top;
    if (width == w->client_width && height == w->client_height) return false;
    w->client_width = width;
    w->client_height = height;
    *e = Event{};
    e->kind = EVENT_SIZE;
    e->x = width;
    e->y = height;
    return true;
}

static u32 key_mods() {
    u32 mods = 0;
    if (GetKeyState(VK_CONTROL) & 0x8000) mods |= MODIFIER_CTRL;
    if (GetKeyState(VK_SHIFT) & 0x8000) mods |= MODIFIER_SHIFT;
    if (GetKeyState(VK_MENU) & 0x8000) mods |= MODIFIER_ALT;
    return mods;
}

static bool is_mouse_message(UINT m) {
    return m == WM_MOUSEMOVE || m == WM_LBUTTONDOWN || m == WM_LBUTTONUP || m == WM_LBUTTONDBLCLK ||
           m == WM_MOUSEWHEEL || m == WM_MOUSELEAVE;
}

static bool translate(WindowState* w, const MSG* msg, Event* e) {
    Win32Window* win = win32_of(w);
    *e = Event{};
    e->x = (i16)(u16)(msg->lParam & 0xFFFF);
    e->y = (i16)(u16)((msg->lParam >> 16) & 0xFFFF);
    if (w->test_mode) {
        if (msg->message == MESSAGE_SYNC) {
            w->test_sync = (u32)(msg->wParam & 0xFFFFFFFF);
            e->kind = EVENT_SYNC;
            return true;
        }
        if (is_mouse_message(msg->message) && ((u64)msg->wParam >> 32) != SYNTHETIC_MARK) return false;
    }
    e->screen_x = msg->pt.x;
    e->screen_y = msg->pt.y;
    HWND hwnd = hwnd_of(w);
    if (w->test_mode && is_mouse_message(msg->message) && msg->message != WM_MOUSEWHEEL) {
        POINT origin = {0, 0};
        ClientToScreen(hwnd, &origin);
        if (msg->message == WM_LBUTTONDOWN || msg->message == WM_LBUTTONDBLCLK) {
            win->test_anchor_x = origin.x;
            win->test_anchor_y = origin.y;
            win->test_anchor_active = 1;
        }
        // A synthetic drag that moves the window keeps its coordinates
        // relative to where the window was when the button went down.
        i32 base_x = win->test_anchor_active ? win->test_anchor_x : origin.x;
        i32 base_y = win->test_anchor_active ? win->test_anchor_y : origin.y;
        e->screen_x = base_x + e->x;
        e->screen_y = base_y + e->y;
        e->x = e->screen_x - origin.x;
        e->y = e->screen_y - origin.y;
        if (msg->message == WM_LBUTTONUP) win->test_anchor_active = 0;
    }
    e->mods = key_mods();
    RECT wr;
    if (GetWindowRect(hwnd, &wr)) {
        e->window_left = wr.left;
        e->window_top = wr.top;
        e->window_right = wr.right;
        e->window_bottom = wr.bottom;
    }
    if (msg->hwnd != hwnd) return false;
    switch (msg->message) {
    case WM_PAINT: e->kind = EVENT_PAINT; return true;
    case WM_MOUSEMOVE:
        e->kind = EVENT_MOUSE_MOVE;
        if (!w->test_mode && !win->leave_armed) {
            TRACKMOUSEEVENT t = {sizeof t, TME_LEAVE, hwnd, 0};
            TrackMouseEvent(&t);
            win->leave_armed = 1;
        }
        return true;
    case WM_MOUSELEAVE:
        win->leave_armed = 0;
        e->kind = EVENT_LEAVE;
        return true;
    case WM_LBUTTONDOWN: e->kind = EVENT_BUTTON_DOWN; return true;
    case WM_LBUTTONDBLCLK: e->kind = EVENT_DOUBLE_CLICK; return true;
    case WM_LBUTTONUP: e->kind = EVENT_BUTTON_UP; return true;
    case WM_MOUSEWHEEL:
        e->kind = EVENT_WHEEL;
        e->wheel = (i16)(u16)((msg->wParam >> 16) & 0xFFFF);
        if (!w->test_mode) {
            POINT p = {e->x, e->y};
            ScreenToClient(hwnd, &p);
            e->x = p.x;
            e->y = p.y;
        }
        return true;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        e->kind = EVENT_KEY;
        e->key = (u32)msg->wParam;
        if (msg->message == WM_SYSKEYDOWN) e->mods |= MODIFIER_ALT;
        return true;
    case WM_TIMER:
        e->kind = EVENT_TIMER;
        // In test mode a tick marked like synthetic mouse input carries its
        // own time, so a harness's ticks do not depend on how soon a busy
        // machine delivers them.
        if (w->test_mode && (u64)msg->wParam >> 32 == 0x1EE7) {
            e->x = (i32)(u32)msg->lParam;
        } else {
            e->x = (i32)GetTickCount();
        }
        return true;
    case MESSAGE_HANDOVER:
        if (!win->handover_pending || win->handover_active) return false;
        win->handover_active = 1;
        e->kind = EVENT_DROP;
        e->key = win->handover_count;
        return true;
    case WM_DROPFILES:
        e->kind = EVENT_DROP;
        win->drop = (HDROP)msg->wParam;
        e->key = DragQueryFileW((HDROP)msg->wParam, 0xFFFFFFFF, nullptr, 0);
        return true;
    default: return false;
    }
}

// Test mode: the harness follows each of its events with a sync, and the
// state it reads must be the one before the paint. The system hands out a
// paint as soon as the queue is empty, which on a busy machine can fall
// between the event and its sync: from an event until the next sync, paints
// are held. A resize made from outside counts as an event once the harness
// has spoken (it follows a resize with a sync of its own); the size reported
// at start-up does not, as the harness waits for the first paint before its
// first sync.
static bool note_event(WindowState* w, const Event* e) {
    Win32Window* win = win32_of(w);
    if (!w->test_mode) return true;
    if (e->kind == EVENT_SYNC) {
        win->awaiting_sync = 0;
        win->synced = 1;
    } else if (e->kind != EVENT_PAINT && (e->kind != EVENT_SIZE || win->synced)) {
        win->awaiting_sync = 1;
    }
    return true;
}

bool next_event(WindowState* w, Event* e) {
    Win32Window* win = win32_of(w);
    if (poll_size(w, e)) return note_event(w, e);
    for (;;) {
        if (!IsWindow(hwnd_of(w))) return false;
        MSG msg;
        if (win->has_kept) {
            msg = win->kept;
            win->has_kept = 0;
        } else {
            if (GetMessageW(&msg, nullptr, 0, 0) <= 0) return false;
            // Another thread may have resized the window while the queue
            // waited (its requests run inside GetMessageW): that size is
            // reported first, then the message. A paint is not kept; it
            // comes again while the update region stays.
            if (poll_size(w, e)) {
                if (msg.message != WM_PAINT) {
                    win->kept = msg;
                    win->has_kept = 1;
                }
                return note_event(w, e);
            }
        }
        if (msg.message == WM_PAINT && win->awaiting_sync) {
            // Held: wait for anything but a paint.
            MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT & ~QS_PAINT, MWMO_INPUTAVAILABLE);
            continue;
        }
        if (translate(w, &msg, e)) return note_event(w, e);
        DispatchMessageW(&msg);
        if (poll_size(w, e)) return note_event(w, e);
    }
}

// ---- Framebuffer and painting -----------------------------------------------

Framebuffer framebuffer(WindowState* w) {
    Framebuffer fb = {nullptr, 0, 0};
    i32 width = w->client_width;
    i32 height = w->client_height;
    if (width <= 0 || height <= 0) return fb;
    Win32Window* win = win32_of(w);
    if (win->dib != nullptr && w->dib_width == width && w->dib_height == height) {
        return Framebuffer{w->dib_pixels, width, height};
    }
    HDC dc = win->memory_dc;
    if (dc == nullptr) {
        dc = CreateCompatibleDC(nullptr);
        if (dc == nullptr) return fb;
        SetBkMode(dc, TRANSPARENT);
        win->memory_dc = dc;
    }
    BITMAPINFO info = {};
    info.bmiHeader.biSize = 40;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HANDLE section = nullptr;
    DWORD offset = 0;
    u64 bytes = (u64)width * (u64)height * 4;
    bool in_section = w->test_mode && win->frame_section != nullptr && bytes + 64 <= w->frame_section_size;
    if (in_section) {
        section = win->frame_section;
        offset = 64;
    }
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, section, offset);
    if (dib == nullptr) return fb;
    HGDIOBJ previous = SelectObject(dc, dib);
    if (win->original_bitmap == nullptr) {
        win->original_bitmap = previous;
    } else {
        DeleteObject(win->dib);
    }
    win->dib = dib;
    w->dib_pixels = (u32*)bits;
    w->dib_width = width;
    w->dib_height = height;
    frame_header_dib(w, in_section);
    GdiFlush();
    return Framebuffer{w->dib_pixels, width, height};
}

void present(WindowState* w, const DrawList* list) {
    HWND hwnd = hwnd_of(w);
    PAINTSTRUCT ps;
    HDC target = BeginPaint(hwnd, &ps);
    if (target == nullptr) return;
    HDC dc = win32_of(w)->memory_dc;
    SelectObject(dc, win32_of(w)->font);
    static u16 wide[2048];
    for (u32 i = 0; i < list->text_count; i++) {
        const DrawTextItem& t = list->texts[i];
        if (!wide_text(ByteSpan{(u8*)list->pool + t.offset, t.length}, wide)) continue;
        int units = 0;
        while (wide[units] != 0) units++;
        SIZE size;
        if (!GetTextExtentPoint32W(dc, (LPCWSTR)wide, units, &size)) continue;
        i32 x = t.x0;
        if (t.align == ALIGN_CENTRE) x = t.x0 + ((t.x1 - t.x0) - size.cx) / 2;
        if (t.align == ALIGN_RIGHT) x = t.x1 - size.cx;
        i32 y = t.y0 + ((t.y1 - t.y0) - size.cy) / 2;
        SetTextColor(dc, RGB((t.colour >> 16) & 0xFF, (t.colour >> 8) & 0xFF, t.colour & 0xFF));
        RECT clip = {t.x0, t.y0, t.x1, t.y1};
        ExtTextOutW(dc, x, y, ETO_CLIPPED, &clip, (LPCWSTR)wide, (UINT)units, nullptr);
    }
    GdiFlush();
    // The blit goes through the window's own DC, not the paint DC: a paint
    // cycle presents more than once (the frame after a JPEG second stage),
    // and after the first EndPaint the update region is empty, so a later
    // pass drawn through BeginPaint's DC would be clipped to nothing.
    HDC window_dc = GetDC(hwnd);
    if (window_dc != nullptr) {
        BitBlt(window_dc, 0, 0, w->client_width, w->client_height, dc, 0, 0, SRCCOPY);
        ReleaseDC(hwnd, window_dc);
        frame_header_blit(w, 0, 0, w->client_width, w->client_height, 0, 0, SRCCOPY);
    }
    EndPaint(hwnd, &ps);
}

void skip_paint(WindowState* w) {
    ValidateRect(hwnd_of(w), nullptr);
}

// ---- Drops ------------------------------------------------------------------

bool drop_path(WindowState* w, u32 index, u8* buffer, u64 capacity, u64* length_out) {
    static u16 wide[32768];
    Win32Window* win = win32_of(w);
    if (win->handover_active) {
        if (index >= win->handover_count || g_handover_lengths[index] > capacity) return false;
        for (u64 i = 0; i < g_handover_lengths[index]; i++) buffer[i] = g_handover_bytes[g_handover_offsets[index] + i];
        *length_out = g_handover_lengths[index];
        return true;
    }
    HDROP drop = win->drop;
    UINT n = DragQueryFileW(drop, index, nullptr, 0);
    if (n > 32767) return false;
    if (DragQueryFileW(drop, index, (LPWSTR)wide, 32768) != n) return false;
    return utf8_from_utf16(wide, n, buffer, capacity, length_out);
}

void finish_drop(WindowState* w) {
    Win32Window* win = win32_of(w);
    if (win->handover_active) {
        win->handover_active = 0;
        win->handover_pending = 0;
        return;
    }
    if (win->drop != nullptr) DragFinish(win->drop);
    win->drop = nullptr;
}

// ---- Requests ---------------------------------------------------------------

void invalidate(WindowState* w) {
    InvalidateRect(hwnd_of(w), nullptr, FALSE);
}

void minimise(WindowState* w) {
    ShowWindow(hwnd_of(w), SW_MINIMIZE);
}

void set_maximised(WindowState* w, bool maximised) {
    HWND hwnd = hwnd_of(w);
    i32* saved = win32_of(w)->saved_rect;
    if (maximised) {
        RECT r;
        if (GetWindowRect(hwnd, &r)) {
            saved[0] = r.left;
            saved[1] = r.top;
            saved[2] = r.right;
            saved[3] = r.bottom;
        }
        HMONITOR monitor = MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST);
        MONITORINFO info = {};
        info.cbSize = 40;
        if (GetMonitorInfoA(monitor, &info)) {
            const RECT& a = info.rcWork;
            MoveWindow(hwnd, a.left, a.top, a.right - a.left, a.bottom - a.top, TRUE);
        }
    } else {
        MoveWindow(hwnd, saved[0], saved[1], saved[2] - saved[0], saved[3] - saved[1], TRUE);
    }
}

void destroy(WindowState* w) {
    DestroyWindow(hwnd_of(w));
}

void move_window(WindowState* w, i32 left, i32 top, i32 right, i32 bottom) {
    MoveWindow(hwnd_of(w), left, top, right - left, bottom - top, TRUE);
}

void set_capture(WindowState* w, bool on) {
    if (on) {
        SetCapture(hwnd_of(w));
    } else {
        ReleaseCapture();
    }
}

void set_title(WindowState* w, ByteSpan title) {
    static u16 wide[2048];
    wide_text(title, wide);
    SetWindowTextW(hwnd_of(w), (LPCWSTR)wide);
}

void set_cursor(WindowState* w, u32 cursor) {
    if (cursor < 6) SetCursor(win32_of(w)->cursors[cursor]);
}

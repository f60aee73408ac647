// qbdrive.exe: the Windows harness. Starts quorbel.exe --test with the
// script's arguments, finds its window, sends each script event as the
// matching window message (mouse messages carry the synthetic marker, keys go
// with their modifiers set in the shared keyboard state), posts a sync with a
// fresh number after each event, waits until the state section carries that
// number and prints the state text: the same lines qbdrive prints natively.
// Usage: qbdrive.exe SCRIPT QUORBEL_EXE
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/headless/headless.h"
#include "platform/quote.h"
#include "platform/utf.h"
#include "tools/qbdrive/harness_shared.h"

static constexpr UINT MESSAGE_SYNC = 0x8001;
static constexpr u64 MARK = (u64)0x1EE7 << 32;

static std::wstring wide(const std::string& s) {
    std::vector<u16> out(s.size() * 2 + 2);
    u64 n = 0;
    utf16_from_utf8(ByteSpan{(u8*)s.data(), s.size()}, out.data(), out.size() - 1, &n);
    return std::wstring(out.begin(), out.begin() + n);
}

struct Target {
    PROCESS_INFORMATION process;
    HWND window;
    const char* state;
    const u32* frame;
    u32 sync;
    DWORD thread;
};

static BOOL CALLBACK find_window(HWND hwnd, LPARAM param) {
    Target* t = (Target*)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t name[64];
    if (pid == t->process.dwProcessId && GetClassNameW(hwnd, name, 64) && std::wstring(name) == L"Quorbel") {
        t->window = hwnd;
        return FALSE;
    }
    return TRUE;
}

static bool open_sections(Target* t) {
    std::wstring pid = std::to_wstring(t->process.dwProcessId);
    for (int i = 0; i < 400; i++) {
        HANDLE state = OpenFileMappingW(FILE_MAP_READ, FALSE, (L"QuorbelState" + pid).c_str());
        HANDLE frame = OpenFileMappingW(FILE_MAP_READ, FALSE, (L"QuorbelFrame" + pid).c_str());
        if (state != nullptr && frame != nullptr) {
            t->state = (const char*)MapViewOfFile(state, FILE_MAP_READ, 0, 0, 4096);
            t->frame = (const u32*)MapViewOfFile(frame, FILE_MAP_READ, 0, 0, 0);
            EnumWindows(find_window, (LPARAM)t);
            if (t->state != nullptr && t->frame != nullptr && t->window != nullptr) return true;
        }
        Sleep(50);
    }
    return false;
}

// QB_SYNC_DELAY_MS holds every sync back that long after its event, as a
// starved machine might: the state read must still be the one the event
// left before any paint. The preliminary sync of a resize is not held.
static void post_sync(Target* t, u32 number) {
    static const char* delay = getenv("QB_SYNC_DELAY_MS");
    if (delay != nullptr && number != 0xFFFFFFFFu) Sleep((DWORD)strtoul(delay, nullptr, 10));
    PostMessageW(t->window, MESSAGE_SYNC, number, 0);
}

// The paint that follows an answered sync comes when the program's queue is
// empty; the next event waits until it is over, as the native run paints
// before it too: until the window has nothing left to paint and the program,
// back at its queue, has answered a message that changes nothing (a sent
// message is taken only there, never in the middle of a paint).
static void wait_paint_done(Target* t) {
    for (int k = 0; k < 2000; k++) {
        if (!GetUpdateRect(t->window, nullptr, FALSE)) {
            DWORD_PTR result = 0;
            SendMessageTimeoutW(t->window, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result);
            if (!GetUpdateRect(t->window, nullptr, FALSE)) return;
        }
        Sleep(1);
    }
}

enum WaitResult { ANSWERED, ENDED, SILENT };

// Waits until the state text ends with " sync=" and the number, then for the
// paint that follows to end, and returns the text. A program that
// does not answer within 20 seconds fails the run rather than hang it.
static WaitResult wait_state(Target* t, u32 number, std::string* out) {
    char want[32];
    std::snprintf(want, sizeof want, " sync=%08x", number);
    for (int i = 0; i < 4000; i++) {
        std::string text(t->state, strnlen(t->state, 4096));
        if (text.size() >= 14 && text.compare(text.size() - 14, 14, want) == 0) {
            wait_paint_done(t);
            *out = text;
            return ANSWERED;
        }
        if (WaitForSingleObject(t->process.hProcess, 0) == WAIT_OBJECT_0) return ENDED;
        Sleep(5);
    }
    return SILENT;
}

static void set_modifiers(u32 mods) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = (mods & MODIFIER_CTRL) ? 0x80 : 0;
    keys[VK_SHIFT] = (mods & MODIFIER_SHIFT) ? 0x80 : 0;
    keys[VK_MENU] = (mods & MODIFIER_ALT) ? 0x80 : 0;
    SetKeyboardState(keys);
}

static LPARAM point(i32 x, i32 y) {
    return (LPARAM)(((u32)(u16)y << 16) | (u16)x);
}


// A drop as the shell makes one: a DROPFILES block with wide, NUL-separated
// full paths, placed in the program's own memory (a fixed global block is its
// own handle there).
static bool post_drop(Target* t, const std::vector<std::string>& paths) {
    std::vector<u16> block(10, 0);  // DROPFILES: 20 bytes
    block[0] = 20;                  // pFiles
    block[8] = 1;                   // fWide
    for (const std::string& p : paths) {
        // The shell drops full paths: a relative one is taken from the
        // harness's current folder, which the program shares.
        std::wstring w = wide(p);
        static wchar_t full[32768];
        DWORD n = GetFullPathNameW(w.c_str(), 32768, full, nullptr);
        if (n > 0 && n < 32768) w.assign(full, n);
        block.insert(block.end(), w.begin(), w.end());
        block.push_back(0);
    }
    block.push_back(0);
    SIZE_T bytes = block.size() * 2;
    void* remote = VirtualAllocEx(t->process.hProcess, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (remote == nullptr || !WriteProcessMemory(t->process.hProcess, remote, block.data(), bytes, nullptr)) return false;
    PostMessageW(t->window, WM_DROPFILES, (WPARAM)remote, 0);
    return true;
}

// Sends one script event. False for events this harness cannot produce.
static bool send(Target* t, const Event& e, bool unmarked, const std::string& line) {
    HWND w = t->window;
    set_modifiers(e.mods);
    u64 mark = unmarked ? 0 : MARK;
    switch (e.kind) {
    case EVENT_SIZE: {
        RECT r;
        GetWindowRect(w, &r);
        MoveWindow(w, r.left, r.top, e.x, e.y, TRUE);
        return true;
    }
    case EVENT_KEY:
        PostMessageW(w, (e.mods & MODIFIER_ALT) ? WM_SYSKEYDOWN : WM_KEYDOWN, e.key, 1);
        return true;
    case EVENT_MOUSE_MOVE: PostMessageW(w, WM_MOUSEMOVE, (WPARAM)mark, point(e.x, e.y)); return true;
    case EVENT_BUTTON_DOWN: PostMessageW(w, WM_LBUTTONDOWN, (WPARAM)(mark | MK_LBUTTON), point(e.x, e.y)); return true;
    case EVENT_DOUBLE_CLICK:
        PostMessageW(w, WM_LBUTTONDBLCLK, (WPARAM)(mark | MK_LBUTTON), point(e.x, e.y));
        return true;
    case EVENT_BUTTON_UP: PostMessageW(w, WM_LBUTTONUP, (WPARAM)mark, point(e.x, e.y)); return true;
    case EVENT_WHEEL:
        PostMessageW(w, WM_MOUSEWHEEL, (WPARAM)(mark | ((u64)(u16)e.wheel << 16)), point(e.x, e.y));
        return true;
    case EVENT_LEAVE: PostMessageW(w, WM_MOUSELEAVE, (WPARAM)mark, 0); return true;
    case EVENT_TIMER:
        // The tick carries the script's time, as the native run takes it.
        PostMessageW(w, WM_TIMER, (WPARAM)(mark | 1), (LPARAM)(u32)e.x);
        return true;
    case EVENT_DROP: return post_drop(t, drop_paths(line));
    case EVENT_SYNC: return true;
    default: return false;
    }
}

static bool screen_matches_frame(HWND window, const u32* frame, i32 w, i32 h) {
    HDC window_dc = GetDC(window);
    if (window_dc == nullptr) return false;
    HDC memory = CreateCompatibleDC(window_dc);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool same = false;
    if (memory != nullptr && bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, w, h, window_dc, 0, 0, SRCCOPY)) {
            GdiFlush();
            const u32* shown = (const u32*)bits;
            same = true;
            for (i64 i = 0; i < (i64)w * h && same; i++) same = ((shown[i] ^ frame[i]) & 0xFFFFFF) == 0;
        }
        SelectObject(memory, previous);
    }
    if (bitmap != nullptr) DeleteObject(bitmap);
    if (memory != nullptr) DeleteDC(memory);
    ReleaseDC(window, window_dc);
    return same;
}

// "frame": the frame section's header must describe the window's DIB and a
// blit of the whole window, and the screen must show those pixels. "frame
// save FILE" also writes its pixels as PAM.
static std::string check_frame(Target* t, const std::string& save) {
    const u32* h = t->frame;
    RECT r;
    GetClientRect(t->window, &r);
    i32 w = r.right - r.left, hgt = r.bottom - r.top;
    char line[160];
    bool ok = h[0] == 0x46524251 && h[1] == (u32)w && h[2] == (u32)-hgt && h[3] == 32 && h[4] == 0 && h[5] == 0 &&
              h[6] == (u32)w && h[7] == (u32)hgt && h[8] == 0 && h[9] == 0 && h[10] == 0xCC0020;
    // The screen must show what the last blit sent: read the client area
    // back through the window's DC and compare it with the frame's pixels.
    // A paint may still be under way (the frame drawn, its blit not yet
    // made): give it up to two seconds.
    if (ok && w > 0 && hgt > 0) {
        bool same = false;
        for (int i = 0; i < 200 && !same; i++) {
            same = screen_matches_frame(t->window, (const u32*)(h + 16), w, hgt);
            if (!same) Sleep(10);
        }
        ok = same;
    }
    std::snprintf(line, sizeof line, "frame %s %dx%d", ok ? "ok" : "bad", w, hgt);
    if (ok && !save.empty()) save_frame_pam(save, (const u32*)(h + 16), w, hgt);
    return line;
}

static void print_line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int main(int argc, char** argv) {
    // Lines end with a bare newline, as the native qbdrive prints them.
    _setmode(_fileno(stdout), 0x8000 /* _O_BINARY */);
    if (argc != 3) {
        std::fprintf(stderr, "usage: qbdrive.exe SCRIPT QUORBEL_EXE\n");
        return 64;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "qbdrive: cannot read %s\n", argv[1]);
        return 66;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string script = buffer.str();
    std::vector<std::string> lines;
    std::istringstream split(script);
    std::string text;
    std::string command = "quorbel.exe --test";
    while (std::getline(split, text)) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        lines.push_back(text);
        if (text.rfind("arg ", 0) != 0) continue;
        std::string arg = text.substr(4), quoted(arg.size() * 2 + 3, '\0');
        u64 n = quote_argument(ByteSpan{(u8*)arg.data(), arg.size()}, false, (u8*)quoted.data(), quoted.size());
        command += " " + quoted.substr(0, n);
    }

    Target t = {};
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    std::wstring exe = wide(argv[2]), line = wide(command);
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &t.process)) {
        std::fprintf(stderr, "qbdrive: cannot start %s\n", argv[2]);
        return 69;
    }
    WaitForInputIdle(t.process.hProcess, 10000);
    if (!open_sections(&t)) {
        std::fprintf(stderr, "qbdrive: no test channel\n");
        TerminateProcess(t.process.hProcess, 1);
        return 70;
    }
    t.thread = GetWindowThreadProcessId(t.window, nullptr);
    AttachThreadInput(GetCurrentThreadId(), t.thread, TRUE);

    // The first state: start-up, the first size report and the first paint,
    // which the native run also makes before its first state (a JPEG from
    // the command line shows its second stage there). A posted sync would
    // otherwise overtake the paint.
    wait_paint_done(&t);
    u32 next_sync = 1;
    std::string state;
    post_sync(&t, next_sync);
    if (wait_state(&t, next_sync++, &state) != ANSWERED) {
        std::fprintf(stderr, "qbdrive: the program did not answer its first sync\n");
        TerminateProcess(t.process.hProcess, 1);
        return 71;
    }
    print_line(state);
    int status = 0;
    bool ended = false;
    for (size_t n = 0; n < lines.size() && !ended; n++) {
        const std::string& l = lines[n];
        if (l.rfind("frame", 0) == 0) {
            std::string save = l.size() > 11 && l.compare(0, 11, "frame save ") == 0 ? l.substr(11) : "";
            print_line(check_frame(&t, save));
            continue;
        }
        Event e;
        bool bad = false;
        bool unmarked = false;
        if (!headless_parse_event(ByteSpan{(u8*)l.data(), l.size()}, &e, &bad, &unmarked)) {
            if (bad) {
                std::fprintf(stderr, "qbdrive: %s:%zu: cannot read this line\n", argv[1], n + 1);
                status = 65;
                break;
            }
            continue;
        }
        if (!send(&t, e, unmarked, l)) {
            std::fprintf(stderr, "qbdrive: %s:%zu: cannot send this event\n", argv[1], n + 1);
            status = 65;
            break;
        }
        if (e.kind == EVENT_SIZE) {
            // The program polls its size before it takes the next message, so
            // a sync posted at once may overtake the resize. A preliminary
            // sync, not printed, lets the program see the new size first.
            post_sync(&t, 0xFFFFFFFFu);
            if (wait_state(&t, 0xFFFFFFFFu, &state) != ANSWERED) {
                std::fprintf(stderr, "qbdrive: %s:%zu: the program stopped answering\n", argv[1], n + 1);
                TerminateProcess(t.process.hProcess, 1);
                return 72;
            }
        }
        u32 number = e.kind == EVENT_SYNC ? e.key : next_sync++;
        post_sync(&t, number);
        // The modifiers stay down until the program has handled the event.
        WaitResult r = wait_state(&t, number, &state);
        set_modifiers(0);
        if (r == SILENT) {
            std::fprintf(stderr, "qbdrive: %s:%zu: the program stopped answering\n", argv[1], n + 1);
            TerminateProcess(t.process.hProcess, 1);
            return 72;
        }
        if (r == ENDED) {
            // The program ended by itself (Quit): report its exit code.
            DWORD code = 0;
            GetExitCodeProcess(t.process.hProcess, &code);
            char text[32];
            std::snprintf(text, sizeof text, "exit=%lu", (unsigned long)code);
            print_line(text);
            ended = true;
            break;
        }
        print_line(state);
    }
    if (WaitForSingleObject(t.process.hProcess, 0) != WAIT_OBJECT_0) {
        PostMessageW(t.window, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(t.process.hProcess, 5000) != WAIT_OBJECT_0) TerminateProcess(t.process.hProcess, 0);
    }
    return status;
}

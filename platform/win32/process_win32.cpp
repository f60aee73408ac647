// Process calls on Windows: console detaching, the wide command line turned
// into UTF-8, the current folder, absolute paths and the tick count.
#include <windows.h>

#include "platform/process.h"
#include "platform/utf.h"

void detach_console() {
    DWORD ids[2];
    if (GetConsoleProcessList(ids, 2) == 1) FreeConsole();
}

ByteSpan command_line() {
    // 32767 units at most; a surrogate pair (two units) takes four bytes and
    // any other unit at most three.
    static u8 line[32768 * 3];
    const wchar_t* wide = GetCommandLineW();
    if (wide == nullptr) return ByteSpan{nullptr, 0};
    u64 units = 0;
    while (units < 32767 && wide[units] != 0) units++;
    u64 length = 0;
    if (utf8_from_utf16((const u16*)wide, units, line, sizeof line, &length)) return ByteSpan{line, length};
    // An unpaired surrogate: keep ASCII and turn every other unit into a
    // byte that names no file, so the other arguments still open.
    for (u64 i = 0; i < units; i++) line[i] = wide[i] < 0x80 ? (u8)wide[i] : 0xFF;
    return ByteSpan{line, units};
}

u64 current_folder(u8* out, u64 capacity) {
    static u16 wide[32768];
    DWORD n = GetCurrentDirectoryW(32768, (LPWSTR)wide);
    if (n == 0 || n > 32767) return 0;
    u64 length = 0;
    if (capacity < 1 || !utf8_from_utf16(wide, n, out, capacity - 1, &length)) return 0;
    if (length == 0 || out[length - 1] != '\\') out[length++] = '\\';
    return length;
}

u64 full_path(ByteSpan path, u8* out, u64 capacity) {
    static u16 wide[32768];
    static u16 full[32768];
    u64 units = 0;
    if (path.size == 0 || !utf16_from_utf8(path, wide, 32767, &units)) return 0;
    wide[units] = 0;
    DWORD n = GetFullPathNameW((LPCWSTR)wide, 32768, (LPWSTR)full, nullptr);
    if (n == 0 || n > 32767) return 0;
    u64 length = 0;
    if (!utf8_from_utf16(full, n, out, capacity, &length)) return 0;
    return length;
}

u32 tick_count() {
    return GetTickCount();
}

u8 path_separator() {
    return '\\';
}

u8* open_shared_section(ByteSpan name, u64 size) {
    u16 wide[128];
    u64 units = 0;
    if (!utf16_from_utf8(name, wide, 127, &units)) return nullptr;
    wide[units] = 0;
    HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, (DWORD)(size >> 32), (DWORD)size,
                                  (LPCWSTR)wide);
    if (h == nullptr) return nullptr;
    return (u8*)MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, (SIZE_T)size);
}

u32 process_id() {
    return GetCurrentProcessId();
}

void remove_shared_section(ByteSpan) {}

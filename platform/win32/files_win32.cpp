// Files on Windows, through `\\?\` wide paths so that paths of up to 32767
// units work. Saving writes a temporary file beside the target and moves it
// over the target with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH.
#include <windows.h>

#include "platform/files.h"
#include "platform/utf.h"

static u16 g_wide_a[WIDE_PATH_UNITS];
static u16 g_wide_b[WIDE_PATH_UNITS];

static HANDLE handle_of(FileHandle file) {
    return (HANDLE)(uintptr_t)file.value;
}

FileHandle open_for_reading(ByteSpan path) {
    if (!wide_path(path, "", g_wide_a)) return FileHandle{0};
    HANDLE h = CreateFileW((LPCWSTR)g_wide_a, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return FileHandle{0};
    return FileHandle{(u64)(uintptr_t)h};
}

bool file_size(FileHandle file, u64* size_out) {
    LARGE_INTEGER size;
    if (file.value == 0 || !GetFileSizeEx(handle_of(file), &size) || size.QuadPart < 0) return false;
    *size_out = (u64)size.QuadPart;
    return true;
}

u64 read_file(FileHandle file, u8* out, u64 size) {
    u64 done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!ReadFile(handle_of(file), out + done, (DWORD)io_call_size(size - done), &got, nullptr)) break;
        if (got == 0) break;
        done += got;
    }
    return done;
}

void close_file(FileHandle file) {
    if (file.value != 0) CloseHandle(handle_of(file));
}

// The view keeps the mapping, and with it the file, for as long as it lives.
u8* map_file(FileHandle file, u64 size) {
    if (file.value == 0 || size == 0) return nullptr;
    HANDLE mapping = CreateFileMappingW(handle_of(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) return nullptr;
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, (SIZE_T)size);
    CloseHandle(mapping);
    return (u8*)view;
}

void unmap_file(u8* base, u64) {
    if (base != nullptr) UnmapViewOfFile(base);
}

PathKind path_kind(ByteSpan path) {
    if (path.size == 0 || !wide_path(path, "", g_wide_a)) return PATH_MISSING;
    DWORD attributes = GetFileAttributesW((LPCWSTR)g_wide_a);
    if (attributes == INVALID_FILE_ATTRIBUTES) return PATH_MISSING;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PATH_FOLDER : PATH_FILE;
}

void list_folder(ByteSpan folder, FolderListing* listing) {
    listing->entry_count = 0;
    listing->pool_used = 0;
    listing->not_listed = 0;
    listing->unreadable = false;
    if (folder.size == 0) {
        DWORD drives = GetLogicalDrives();
        for (u32 bit = 0; bit < 26; bit++) {
            if ((drives & (1u << bit)) == 0) continue;
            u8 name[2] = {(u8)('A' + bit), ':'};
            listing_add(listing, ByteSpan{name, 2}, true, 0);
        }
        return;
    }
    listing_add(listing, lit(".."), true, 0);
    listing->unreadable = true;
    if (!wide_path(folder, "*", g_wide_a)) return;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((LPCWSTR)g_wide_a, &found);
    if (find == nullptr || find == INVALID_HANDLE_VALUE) return;
    listing->unreadable = false;
    do {
        u64 units = 0;
        while (units < 260 && found.cFileName[units] != 0) units++;
        u8 name[1024];
        u64 length = 0;
        if (!utf8_from_utf16((const u16*)found.cFileName, units, name, sizeof name, &length)) continue;
        if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.')) continue;
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) continue;
        bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        u64 size = ((u64)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        listing_add(listing, ByteSpan{name, length}, is_folder, size);
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

static bool write_all(HANDLE h, ByteSpan bytes) {
    u64 done = 0;
    while (done < bytes.size) {
        u64 want = io_call_size(bytes.size - done);
        if (g_file_faults != nullptr && g_file_faults->write_budget >= 0) {
            u64 budget = (u64)g_file_faults->write_budget;
            if (done >= budget) return false;
            if (want > budget - done) want = budget - done;
        }
        DWORD put = 0;
        if (!WriteFile(h, bytes.data + done, (DWORD)want, &put, nullptr) || put == 0) return false;
        done += put;
    }
    return true;
}

bool write_file_safely(ByteSpan path, ByteSpan bytes) {
    if (path.size == 0) return false;
    u16* final_path = g_wide_a;
    u16* temp_path = g_wide_b;
    if (!wide_path(path, "", final_path) || !wide_path(path, SAVE_TEMP_SUFFIX, temp_path)) return false;
    const FileFaults* faults = g_file_faults;
    if (faults != nullptr && faults->fail_create) return false;
    HANDLE h = CreateFileW((LPCWSTR)temp_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
    bool ok = write_all(h, bytes);
    if (ok) ok = (faults == nullptr || !faults->fail_flush) && FlushFileBuffers(h);
    if (!CloseHandle(h)) ok = false;
    if (ok) {
        ok = (faults == nullptr || !faults->fail_move) &&
             MoveFileExW((LPCWSTR)temp_path, (LPCWSTR)final_path,
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    if (!ok) {
        DeleteFileW((LPCWSTR)temp_path);
        return false;
    }
    return true;
}

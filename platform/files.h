// Files, folders and the safe replacement of a file. Paths are UTF-8 spans;
// the Windows backend turns them into `\\?\` wide paths (wide_path), the POSIX
// backend passes them through unchanged.
#pragma once

#include "base/span.h"

// ---- Paths ------------------------------------------------------------------

static constexpr u64 WIDE_PATH_UNITS = 32768;  // buffer size, NUL included
static constexpr u64 PATH_MAX_BYTES = 32767;

// The wide form of a UTF-8 path: `\\?\` + path, or `\\?\UNC\` + the path
// without its two leading backslashes for a network path, then `suffix`
// (ASCII) and a NUL. The path is used as given (not made absolute, "." and
// ".." not resolved). Fails when prefix, path, suffix and NUL do not fit in
// 32767 units. `out` holds WIDE_PATH_UNITS units.
bool wide_path(ByteSpan path, const char* suffix, u16* out);

// ---- Reading ----------------------------------------------------------------

struct FileHandle {
    u64 value;  // 0: no file
};

FileHandle open_for_reading(ByteSpan path);
bool file_size(FileHandle file, u64* size_out);
// Reads up to `size` bytes in calls of at most 256 MiB, stopping at a failed
// call or one that returns nothing; returns the bytes read.
u64 read_file(FileHandle file, u8* out, u64 size);
void close_file(FileHandle file);
// The whole file (size bytes, at least one), mapped read-only: its pages
// come from the file as they are read and go back to the system's cache,
// not counted as this program's memory. The mapping outlives the handle.
// Null where the system cannot map it.
u8* map_file(FileHandle file, u64 size);
void unmap_file(u8* base, u64 size);

static constexpr u64 FILE_IO_CALL_MAX = 0x10000000;  // 256 MiB per call

// ---- Looking up -------------------------------------------------------------

enum PathKind : u32 {
    PATH_MISSING = 0,  // nothing there, or nothing the system lets us see
    PATH_FILE = 1,     // something that is not a folder: a write replaces it
    PATH_FOLDER = 2,
};

// What `path` names now, asked of the file system itself: unlike a listing,
// this sees hidden items and items made since. A link counts as what it
// leads to, except that one leading nowhere still exists (as a file).
PathKind path_kind(ByteSpan path);

// ---- Listing ----------------------------------------------------------------

// One listed item, 16 bytes: size, then the name's offset in the name pool,
// then its length in the low 31 bits with the folder flag in bit 31.
struct FolderEntry {
    u64 size;
    u32 name_offset;
    u32 name_length_and_flag;
};
static_assert(sizeof(FolderEntry) == 16, "browser entries are 16 bytes");

static constexpr u32 ENTRY_FOLDER = 0x80000000u;

inline bool entry_is_folder(const FolderEntry* e) {
    return (e->name_length_and_flag & ENTRY_FOLDER) != 0;
}
inline u32 entry_name_length(const FolderEntry* e) {
    return e->name_length_and_flag & ~ENTRY_FOLDER;
}

// The entry table and name pool a listing fills, with its counters. Files are
// kept only when `keep_file` accepts their name (the image-extension filter);
// folders always. Items beyond the entry capacity or the pool are counted in
// `not_listed`.
struct FolderListing {
    FolderEntry* entries;
    u32 entry_capacity;
    u8* name_pool;
    u32 pool_capacity;
    bool (*keep_file)(ByteSpan name);
    u32 entry_count;
    u32 pool_used;
    u32 not_listed;
    bool unreadable;  // the folder itself could not be opened for listing
};

// An empty folder lists the roots (Windows: the drive letters "C:" and so on;
// POSIX: "/"). Any other folder (ending with its separator) lists ".." first,
// then its items, skipping "." and "..", hidden and system items. A folder
// that cannot be read leaves only ".." and sets `unreadable`.
void list_folder(ByteSpan folder, FolderListing* listing);

// Adds an item through the filter and the limits; used by both backends.
void listing_add(FolderListing* listing, ByteSpan name, bool is_folder, u64 size);

// ---- Safe saving ------------------------------------------------------------

// Writes `bytes` to `path` + ".quorbel-tmp", flushes and closes it, then
// replaces `path` with it atomically. On any failure the temporary file is
// removed and an existing target is left untouched. On POSIX the new file
// takes the permission bits of the file it replaces.
bool write_file_safely(ByteSpan path, ByteSpan bytes);

static constexpr char SAVE_TEMP_SUFFIX[] = ".quorbel-tmp";

// ---- Fault injection (tests only) -------------------------------------------

// While set, the file layer behaves as if the system failed at the chosen
// points. `write_budget` bytes may be written in all before writes start to
// fail (-1: no limit); `max_call_bytes` caps each read or write call (0: the
// usual 256 MiB); `fail_create` refuses to create the temporary file, as a
// read-only folder would; `fail_flush` and `fail_move` fail those steps.
struct FileFaults {
    i64 write_budget;
    u64 max_call_bytes;
    bool fail_create;
    bool fail_flush;
    bool fail_move;
};

void set_file_faults(const FileFaults* faults);  // null: behave normally
extern const FileFaults* g_file_faults;

// Size of the next read or write call for `remaining` bytes under the faults.
u64 io_call_size(u64 remaining);

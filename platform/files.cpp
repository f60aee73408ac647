// The portable half of the file layer: the wide-path builder, the listing
// filter with its limits, and the fault hook the tests drive.
#include "platform/files.h"

#include "platform/utf.h"

const FileFaults* g_file_faults = nullptr;

void set_file_faults(const FileFaults* faults) {
    g_file_faults = faults;
}

u64 io_call_size(u64 remaining) {
    u64 cap = FILE_IO_CALL_MAX;
    if (g_file_faults != nullptr && g_file_faults->max_call_bytes != 0 &&
        g_file_faults->max_call_bytes < cap) {
        cap = g_file_faults->max_call_bytes;
    }
    return remaining < cap ? remaining : cap;
}

bool wide_path(ByteSpan path, const char* suffix, u16* out) {
    static const char plain[] = "\\\\?\\";
    static const char unc[] = "\\\\?\\UNC\\";
    const char* prefix = plain;
    if (path.size >= 2 && path.data[0] == '\\' && path.data[1] == '\\') {
        prefix = unc;
        path.data += 2;
        path.size -= 2;
    }
    u64 suffix_length = 0;
    while (suffix[suffix_length] != 0) suffix_length++;
    u64 n = 0;
    for (; prefix[n] != 0; n++) out[n] = (u16)prefix[n];
    // Room for the path: 32767 units in all, less the prefix, suffix and NUL.
    u64 limit = WIDE_PATH_UNITS - 1;
    if (n + suffix_length + 1 > limit) return false;
    u64 room = limit - n - suffix_length - 1;
    u64 converted = 0;
    if (!utf16_from_utf8(path, out + n, room, &converted)) return false;
    n += converted;
    for (u64 i = 0; i < suffix_length; i++) out[n++] = (u16)(u8)suffix[i];
    out[n] = 0;
    return true;
}

void listing_add(FolderListing* listing, ByteSpan name, bool is_folder, u64 size) {
    if (!is_folder && listing->keep_file != nullptr && !listing->keep_file(name)) return;
    if (listing->entry_count >= listing->entry_capacity ||
        name.size > listing->pool_capacity - listing->pool_used) {
        listing->not_listed++;
        return;
    }
    FolderEntry* e = &listing->entries[listing->entry_count++];
    e->size = size;
    e->name_offset = listing->pool_used;
    e->name_length_and_flag = (u32)name.size | (is_folder ? ENTRY_FOLDER : 0);
    for (u64 i = 0; i < name.size; i++) listing->name_pool[listing->pool_used + i] = name.data[i];
    listing->pool_used += (u32)name.size;
}

// Files on POSIX. Paths pass through unchanged (copied only to add the
// terminator the system calls want); the roots are the single folder "/";
// hidden items are those whose name starts with "."; items that are neither
// files nor folders (devices, sockets, pipes) count as system items.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <errno.h>
#include <stdio.h>

#include "platform/files.h"

// A NUL-terminated copy of `path` followed by `suffix`, or false when it does
// not fit in PATH_MAX_BYTES.
static bool c_path(ByteSpan path, const char* suffix, char* out) {
    u64 suffix_length = 0;
    while (suffix[suffix_length] != 0) suffix_length++;
    if (path.size + suffix_length > PATH_MAX_BYTES) return false;
    for (u64 i = 0; i < path.size; i++) {
        if (path.data[i] == 0) return false;  // would silently shorten the path
        out[i] = (char)path.data[i];
    }
    for (u64 i = 0; i < suffix_length; i++) out[path.size + i] = suffix[i];
    out[path.size + suffix_length] = 0;
    return true;
}

FileHandle open_for_reading(ByteSpan path) {
    static char name[PATH_MAX_BYTES + 1];
    if (!c_path(path, "", name)) return FileHandle{0};
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FileHandle{0};
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return FileHandle{0};
    }
    return FileHandle{(u64)fd + 1};
}

bool file_size(FileHandle file, u64* size_out) {
    struct stat st;
    if (file.value == 0 || fstat((int)(file.value - 1), &st) != 0) return false;
    *size_out = (u64)st.st_size;
    return true;
}

u64 read_file(FileHandle file, u8* out, u64 size) {
    u64 done = 0;
    while (done < size) {
        ssize_t got = read((int)(file.value - 1), out + done, io_call_size(size - done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += (u64)got;
    }
    return done;
}

void close_file(FileHandle file) {
    if (file.value != 0) close((int)(file.value - 1));
}

u8* map_file(FileHandle file, u64 size) {
    if (file.value == 0 || size == 0) return nullptr;
    void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, (int)(file.value - 1), 0);
    return p == MAP_FAILED ? nullptr : (u8*)p;
}

void unmap_file(u8* base, u64 size) {
    if (base != nullptr) munmap(base, size);
}

PathKind path_kind(ByteSpan path) {
    static char name[PATH_MAX_BYTES + 1];
    if (path.size == 0 || !c_path(path, "", name)) return PATH_MISSING;
    struct stat st;
    if (stat(name, &st) == 0) return S_ISDIR(st.st_mode) ? PATH_FOLDER : PATH_FILE;
    return lstat(name, &st) == 0 ? PATH_FILE : PATH_MISSING;
}

void list_folder(ByteSpan folder, FolderListing* listing) {
    static char name[PATH_MAX_BYTES + 1];
    listing->entry_count = 0;
    listing->pool_used = 0;
    listing->not_listed = 0;
    listing->unreadable = false;
    if (folder.size == 0) {
        listing_add(listing, lit("/"), true, 0);
        return;
    }
    listing_add(listing, lit(".."), true, 0);
    listing->unreadable = true;
    if (!c_path(folder, "", name)) return;
    DIR* dir = opendir(name);
    if (dir == nullptr) return;
    listing->unreadable = false;
    int dir_fd = dirfd(dir);
    for (struct dirent* item = readdir(dir); item != nullptr; item = readdir(dir)) {
        u64 length = 0;
        while (item->d_name[length] != 0) length++;
        if (length == 0 || item->d_name[0] == '.') continue;
        struct stat st;
        if (fstatat(dir_fd, item->d_name, &st, 0) != 0) continue;
        bool is_folder = S_ISDIR(st.st_mode);
        if (!is_folder && !S_ISREG(st.st_mode)) continue;
        listing_add(listing, ByteSpan{(u8*)item->d_name, length}, is_folder,
                    is_folder ? 0 : (u64)st.st_size);
    }
    closedir(dir);
}

static bool write_all(int fd, ByteSpan bytes) {
    u64 done = 0;
    while (done < bytes.size) {
        u64 want = io_call_size(bytes.size - done);
        if (g_file_faults != nullptr && g_file_faults->write_budget >= 0) {
            u64 budget = (u64)g_file_faults->write_budget;
            if (done >= budget) return false;
            if (want > budget - done) want = budget - done;
        }
        ssize_t put = write(fd, bytes.data + done, want);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += (u64)put;
    }
    return true;
}

// Makes the rename itself durable. The replacement has already happened when
// this runs, so a failure here is not reported: the new file is in place.
static void sync_parent_folder(const char* path) {
    static char parent[PATH_MAX_BYTES + 1];
    u64 cut = 0;
    u64 n = 0;
    for (; path[n] != 0; n++) {
        parent[n] = path[n];
        if (path[n] == '/') cut = n + 1;
    }
    if (cut == 0) {
        parent[0] = '.';
        cut = 1;
    }
    parent[cut] = 0;
    int fd = open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

bool write_file_safely(ByteSpan path, ByteSpan bytes) {
    static char final_name[PATH_MAX_BYTES + 1];
    static char temp_name[PATH_MAX_BYTES + 1];
    if (path.size == 0) return false;
    if (!c_path(path, "", final_name) || !c_path(path, SAVE_TEMP_SUFFIX, temp_name)) return false;
    const FileFaults* faults = g_file_faults;
    if (faults != nullptr && faults->fail_create) return false;
    // A replaced file lends its permission bits to the new one, so that a
    // private file stays private; they are set before any byte is written.
    // A new file gets the usual bits. A temporary file left by an earlier
    // crash goes first: reusing it would keep its bits and its owner.
    struct stat old;
    bool replacing = stat(final_name, &old) == 0 && S_ISREG(old.st_mode);
    mode_t mode = replacing ? (old.st_mode & 0777) : 0666;
    unlink(temp_name);
    int fd = open(temp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) return false;
    bool ok = !replacing || fchmod(fd, mode) == 0;
    ok = ok && write_all(fd, bytes);
    if (ok) ok = (faults == nullptr || !faults->fail_flush) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok) ok = (faults == nullptr || !faults->fail_move) && rename(temp_name, final_name) == 0;
    if (!ok) {
        unlink(temp_name);
        return false;
    }
    sync_parent_folder(final_name);
    return true;
}

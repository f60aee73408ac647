// Process calls on POSIX. There is no single command line here, so one is
// rebuilt from the arguments with the quoting rules the tokenizer reads.
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "platform/process.h"
#include "platform/quote.h"

void detach_console() {}

static u8 g_line[0x40000];

ByteSpan command_line() {
    static u8 raw[0x40000];
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ByteSpan{nullptr, 0};
    u64 n = 0;
    for (;;) {
        ssize_t got = read(fd, raw + n, sizeof raw - n);
        if (got <= 0) break;
        n += (u64)got;
    }
    close(fd);
    u64 out = 0;
    u64 start = 0;
    for (u64 i = 0; i < n; i++) {
        if (raw[i] != 0) continue;
        if (start != 0) {
            if (out >= sizeof g_line) return ByteSpan{nullptr, 0};
            g_line[out++] = ' ';
        }
        u64 put = quote_argument(ByteSpan{raw + start, i - start}, start == 0, g_line + out, sizeof g_line - out);
        if (put == 0 && !(start == 0 && i == 0)) return ByteSpan{nullptr, 0};
        out += put;
        start = i + 1;
    }
    if (out >= sizeof g_line) return ByteSpan{nullptr, 0};
    return ByteSpan{g_line, out};
}

u64 current_folder(u8* out, u64 capacity) {
    if (capacity < 2 || getcwd((char*)out, capacity - 1) == nullptr) return 0;
    u64 n = 0;
    while (out[n] != 0) n++;
    if (n == 0 || out[n - 1] != '/') out[n++] = '/';
    return n;
}

u64 full_path(ByteSpan path, u8* out, u64 capacity) {
    if (path.size == 0) return 0;
    u64 n = 0;
    if (path.data[0] != '/') {
        n = current_folder(out, capacity);
        if (n == 0) return 0;
    }
    if (path.size > capacity - n) return 0;
    for (u64 i = 0; i < path.size; i++) out[n + i] = path.data[i];
    return n + path.size;
}

u32 tick_count() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (u32)((u64)t.tv_sec * 1000 + (u64)t.tv_nsec / 1000000);
}

u8 path_separator() {
    return '/';
}

u8* open_shared_section(ByteSpan name, u64 size) {
    char path[256];
    if (name.size + 2 > sizeof path) return nullptr;
    path[0] = '/';
    for (u64 i = 0; i < name.size; i++) path[1 + i] = (char)name.data[i];
    path[1 + name.size] = 0;
    int fd = shm_open(path, O_RDWR | O_CREAT, 0600);
    if (fd < 0) return nullptr;
    if (ftruncate(fd, (off_t)size) != 0) {
        close(fd);
        return nullptr;
    }
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return view == MAP_FAILED ? nullptr : (u8*)view;
}

u32 process_id() {
    return (u32)getpid();
}

void remove_shared_section(ByteSpan name) {
    char path[256];
    if (name.size + 2 > sizeof path) return;
    path[0] = '/';
    for (u64 i = 0; i < name.size; i++) path[1 + i] = (char)name.data[i];
    path[1 + name.size] = 0;
    shm_unlink(path);
}

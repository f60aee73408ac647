// Process entry. Until the window exists, the program sets up its arena,
// takes its arguments and reports what it would open.
#include <stdio.h>

#include "base/arena.h"
#include "codec/sniff.h"

static constexpr u64 ARENA_SIZE = 0x4000000;  // 64 MiB, committed at once

int main(int argc, char** argv) {
    static Arena arena;
    if (!arena_init(&arena, ARENA_SIZE)) return 2;
    bool test_mode = false;
    for (int i = 1; i < argc; i++) {
        u64 length = 0;
        while (argv[i][length] != 0) length++;
        ByteSpan arg = {(u8*)argv[i], length};
        if (span_equal(arg, lit("--test"))) {
            test_mode = true;
            continue;
        }
        ImageFormat format = format_from_name(arg.data, arg.size);
        if (format == FORMAT_NONE) {
            printf("not an image file: %s\n", argv[i]);
        } else {
            ByteSpan name = image_format_name(format);
            printf("would open %.*s: %s\n", (int)name.size, (const char*)name.data, argv[i]);
        }
    }
    if (test_mode) printf("test mode\n");
    return 0;
}

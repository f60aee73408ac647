// libFuzzer target for the reader of dropped URI lists, the one piece of the
// X11 window that parses bytes from another program. The list is decoded in
// place in a buffer that ends flush against a guard page; every path must
// lie inside it, start with "/", hold no NUL byte, and equal what reading
// its line alone (into separate memory) gives, so decoding in place never
// tramples a line not yet read.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/guarded.h"
#include "platform/x11/uri_list.h"

namespace {

Guarded g_list;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char host_text[] = "box";
    ByteSpan host = {(u8*)host_text, 3};
    // The paths each line gives on its own.
    std::vector<std::string> expected;
    size_t pos = 0;
    while (pos < size && expected.size() < 64) {
        size_t end = pos;
        while (end < size && data[end] != '\n') end++;
        size_t next = end < size ? end + 1 : end;
        if (end > pos && data[end - 1] == '\r') end--;
        std::string line((const char*)data + pos, end - pos);
        pos = next;
        if (line.empty() || line[0] == '#') continue;
        std::string out(line.size(), '\0');
        u64 n = 0;
        if (file_uri_path(ByteSpan{(u8*)line.data(), line.size()}, host, (u8*)out.data(), &n)) {
            fuzz_check(n <= line.size());
            expected.push_back(out.substr(0, n));
        }
    }
    u8* list = g_list.tail(size, 1);
    if (size != 0) memcpy(list, data, size);
    u64 offsets[64];
    u64 lengths[64];
    u32 count = read_uri_list(list, size, host, offsets, lengths, 64);
    fuzz_check(count == expected.size());
    u64 last_end = 0;
    for (u32 i = 0; i < count; i++) {
        fuzz_check(offsets[i] >= last_end && offsets[i] <= size && lengths[i] <= size - offsets[i] && lengths[i] >= 1);
        fuzz_check(list[offsets[i]] == '/' && memchr(list + offsets[i], 0, lengths[i]) == nullptr);
        fuzz_check(std::string((const char*)list + offsets[i], lengths[i]) == expected[i]);
        last_end = offsets[i] + lengths[i];
    }
    return 0;
}

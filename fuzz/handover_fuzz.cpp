// libFuzzer target for the reader of hand-over payloads (WM_COPYDATA from
// any program). The payload lies flush against a guard page, at an odd
// address when the hash says so (a message may hand it over unaligned). A
// payload taken must hold exactly its paths, each inside it, not empty and
// without a NUL; a taken payload whose paths convert to UTF-8 is written
// again, byte for byte, by the second start's writer.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "fuzz/guarded.h"
#include "platform/handover.h"
#include "platform/utf.h"

namespace {

Guarded g_payload;

u16 unit_at(const u8* p, u64 i) {
    return (u16)(p[2 * i] | (p[2 * i + 1] << 8));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u64 hash = fuzz_hash(data, size);
    u8* payload = (hash & 1) ? g_payload.tail(size + 1) + 1 : g_payload.tail(size);
    if (size != 0) memcpy(payload, data, size);
    u32 capacity = 1 + (u32)((hash >> 1) % HANDOVER_MAX_PATHS);
    std::vector<u64> offsets(capacity), lengths(capacity);
    u32 count = 0;
    bool taken = read_handover_payload(payload, size, offsets.data(), lengths.data(), capacity, &count);
    if (!taken) {
        fuzz_check(count == 0);
        return 0;
    }
    fuzz_check(count >= 1 && count <= capacity && size % 2 == 0 && size <= HANDOVER_MAX_BYTES);
    fuzz_check(unit_at(payload, 0) == (count & 0xFFFF) && unit_at(payload, 1) == (count >> 16));
    u64 units = size / 2;
    u64 expected_start = 2;
    std::vector<std::vector<u8>> utf8(count);
    bool all_convert = true;
    for (u32 i = 0; i < count; i++) {
        fuzz_check(offsets[i] == expected_start && lengths[i] >= 1 && lengths[i] <= HANDOVER_MAX_PATH_UNITS);
        fuzz_check(offsets[i] + lengths[i] < units && unit_at(payload, offsets[i] + lengths[i]) == 0);
        std::vector<u16> path(lengths[i]);
        for (u64 k = 0; k < lengths[i]; k++) {
            path[k] = unit_at(payload, offsets[i] + k);
            fuzz_check(path[k] != 0);
        }
        utf8[i].resize(lengths[i] * 3);
        u64 length = 0;
        if (utf8_from_utf16(path.data(), path.size(), utf8[i].data(), utf8[i].size(), &length)) {
            utf8[i].resize(length);
        } else {
            all_convert = false;
        }
        expected_start = offsets[i] + lengths[i] + 1;
    }
    fuzz_check(expected_start == units);
    if (all_convert) {
        std::vector<ByteSpan> spans;
        for (auto& p : utf8) spans.push_back(ByteSpan{p.data(), p.size()});
        std::vector<u16> again(units);
        fuzz_check(handover_payload(spans.data(), count, again.data(), again.size()) == units);
        for (u64 i = 0; i < units; i++) fuzz_check(again[i] == unit_at(payload, i));
    }
    return 0;
}

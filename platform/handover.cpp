// The hand-over payload of WM_COPYDATA: written by the second start, checked
// whole by the window before anything of it is used, since any program can
// send it.
#include "platform/handover.h"

#include "platform/utf.h"

u64 handover_payload(const ByteSpan* paths, u32 count, u16* out, u64 capacity) {
    if (count == 0 || count > HANDOVER_MAX_PATHS || capacity < 2) return 0;
    out[0] = (u16)(count & 0xFFFF);
    out[1] = (u16)(count >> 16);
    u64 n = 2;
    for (u32 i = 0; i < count; i++) {
        if (paths[i].size == 0 || n >= capacity) return 0;
        u64 room = capacity - n - 1;
        if (room > HANDOVER_MAX_PATH_UNITS) room = HANDOVER_MAX_PATH_UNITS;
        u64 units = 0;
        if (!utf16_from_utf8(paths[i], out + n, room, &units) || units == 0) return 0;
        for (u64 k = 0; k < units; k++) {
            if (out[n + k] == 0) return 0;  // a NUL would end the path early
        }
        n += units;
        out[n++] = 0;
    }
    if (n * 2 > HANDOVER_MAX_BYTES) return 0;
    return n;
}

static u16 unit_at(const u8* data, u64 index) {
    return (u16)(data[2 * index] | (data[2 * index + 1] << 8));
}

bool read_handover_payload(const u8* data, u64 size, u64* offsets, u64* lengths, u32 capacity, u32* count_out) {
    *count_out = 0;
    if (data == nullptr || size < 8 || size % 2 != 0 || size > HANDOVER_MAX_BYTES) return false;
    u64 units = size / 2;
    u32 count = (u32)unit_at(data, 0) | ((u32)unit_at(data, 1) << 16);
    u32 limit = capacity < HANDOVER_MAX_PATHS ? capacity : HANDOVER_MAX_PATHS;
    if (count == 0 || count > limit) return false;
    u64 pos = 2;
    for (u32 i = 0; i < count; i++) {
        u64 start = pos;
        while (pos < units && unit_at(data, pos) != 0) pos++;
        if (pos == units) return false;  // no terminator inside the payload
        u64 length = pos - start;
        if (length == 0 || length > HANDOVER_MAX_PATH_UNITS) return false;
        offsets[i] = start;
        lengths[i] = length;
        pos++;
    }
    if (pos != units) return false;  // bytes after the last path
    *count_out = count;
    return true;
}

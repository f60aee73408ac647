// libFuzzer target for inflate. Each input is decoded the way a hash of its
// bytes chooses: plain or windowed (0x8400 or 128 KiB window), input cut into
// pieces at pseudo-random points, output room given in random steps, and any
// of the fast-loop variants. Every piece of input and the output buffer sit
// flush against a PROT_NONE guard page, so a read or write one byte past them
// faults even where AddressSanitizer's redzones would not reach. The result
// is checked against zlib: where zlib decodes the stream, we must produce the
// same bytes and consume the same input; where it fails, so must we.
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <vector>

#include "codec/png/inflate.h"
#include "fuzz/guarded.h"

namespace {

struct Rng {
    u64 s;
    u32 next() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return (u32)(s >> 33);
    }
};

const size_t kOutCap = 1 << 20;

Guarded g_in, g_out;
InflateState g_state;

// zlib's verdict: true and the bytes when it decodes the whole stream within
// kOutCap; `room` says it ran out of output instead.
// The buffer is kept between runs; only what zlib writes is touched.
bool zlib_decode(const u8* data, size_t size, std::vector<u8>* out, size_t* out_size, size_t* used_in, bool* room) {
    z_stream zs = {};
    inflateInit(&zs);
    if (out->size() < kOutCap) out->resize(kOutCap);
    zs.next_in = (Bytef*)data;
    zs.avail_in = (uInt)size;
    zs.next_out = out->data();
    zs.avail_out = (uInt)kOutCap;
    int r = inflate(&zs, Z_FINISH);
    *out_size = zs.total_out;
    *used_in = zs.total_in;
    *room = r == Z_BUF_ERROR && zs.avail_out == 0;
    inflateEnd(&zs);
    return r == Z_STREAM_END;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Rng rng{fuzz_hash(data, size) | 1};
    u32 mode = rng.next() % 3;  // 0 plain, 1 windowed 0x8400, 2 windowed 128 KiB
    u32 variant = rng.next() % INFLATE_VARIANT_COUNT;
    u32 split_style = rng.next() % 4;  // 0 whole, 1 few cuts, 2 small pieces, 3 single bytes
    inflate_force_variant(variant);

    static std::vector<u8> ours;
    ours.clear();
    size_t window = mode == 1 ? 0x8400 : mode == 2 ? 128 * 1024 : kOutCap;
    u8* out = g_out.tail(window);
    if (mode == 0) {
        inflate_init(&g_state);
    } else {
        inflate_init_windowed(&g_state, out, window);
    }
    size_t pos = 0, avail = 0;
    auto grow_input = [&] {
        size_t step = split_style == 0 ? size : split_style == 1 ? 1 + rng.next() % (size / 3 + 1)
                                               : split_style == 2 ? 1 + rng.next() % 64
                                                                  : 1;
        avail = avail + step > size ? size : avail + step;
    };
    grow_input();
    size_t limit = mode == 0 ? (rng.next() % 2 ? window : rng.next() % 4096) : window;
    size_t read = 0;
    InflateResult r = INFLATE_ERROR;
    for (u32 calls = 0;; calls++) {
        fuzz_check(calls < 4 * size + 100000);
        if (mode != 0) {
            inflate_slide(&g_state, out);
            read = inflate_out_pos(&g_state);
        }
        size_t n = avail - pos;
        u8* in = g_in.tail(n ? n : 1) + (n ? 0 : 1);
        if (n) memcpy(in, data + pos, n);
        r = inflate_run(&g_state, in, n, out, limit, avail == size);
        fuzz_check(inflate_consumed(&g_state) <= n);
        fuzz_check(inflate_out_pos(&g_state) <= limit);
        pos += inflate_consumed(&g_state);
        if (mode != 0) {
            ours.insert(ours.end(), out + read, out + inflate_out_pos(&g_state));
            read = inflate_out_pos(&g_state);
        }
        if (r == INFLATE_NEED_INPUT) {
            fuzz_check(avail < size);
            grow_input();
            continue;
        }
        if (r == INFLATE_OUTPUT_FULL) {
            if (mode == 0) {
                if (limit == window) break;
                size_t step = 1 + rng.next() % 8192;
                limit = limit + step > window ? window : limit + step;
            }
            if (mode != 0 && inflate_total_out(&g_state) >= kOutCap) break;
            continue;
        }
        break;
    }
    if (mode == 0) ours.assign(out, out + inflate_out_pos(&g_state));
    fuzz_check(r == INFLATE_DONE || r == INFLATE_ERROR || r == INFLATE_OUTPUT_FULL);
    if (r == INFLATE_ERROR) {
        InflateError e = inflate_error(&g_state);
        fuzz_check(e >= 1 && e <= 24 && inflate_error_name(e).size > 0);
        fuzz_check(inflate_error_offset(&g_state) <= size);
    }

    static std::vector<u8> ref;
    size_t ref_size = 0, ref_in = 0;
    bool room = false;
    bool ref_ok = zlib_decode(data, size, &ref, &ref_size, &ref_in, &room);
    // Up to the first fault, or until one of the two ran out of room, both
    // decode the same bytes.
    size_t common = ours.size() < ref_size ? ours.size() : ref_size;
    fuzz_check(common == 0 || memcmp(ours.data(), ref.data(), common) == 0);
    if (r == INFLATE_OUTPUT_FULL || room) return 0;
    fuzz_check(ref_ok == (r == INFLATE_DONE));
    if (ref_ok) {
        fuzz_check(ours.size() == ref_size);
        fuzz_check(pos == ref_in);
    }
    return 0;
}

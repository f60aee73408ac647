// Shared by the WebP tests: files, decoding a whole image through the three
// stages exactly as the decode job lays out its memory, and small RIFF
// builders for hand-made files.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/webp/webp.h"

namespace webp_test {

namespace fs = std::filesystem;

// The format's boolean encoder. flush writes 32 more bools, so that the
// last real ones are whole in the data.
struct PlainEncoder {
    std::vector<u8> out;
    u32 range = 255;
    u32 bottom = 0;
    int bit_count = 24;

    void add_one_to_output() {
        size_t i = out.size();
        while (i > 0 && out[i - 1] == 255) out[--i] = 0;
        if (i > 0) out[i - 1]++;
    }
    void write(u32 bit, u32 prob) {
        u32 split = 1 + (((range - 1) * prob) >> 8);
        if (bit) {
            bottom += split;
            range -= split;
        } else {
            range = split;
        }
        while (range < 128) {
            range <<= 1;
            if (bottom & (1u << 31)) add_one_to_output();
            bottom <<= 1;
            if (!--bit_count) {
                out.push_back((u8)(bottom >> 24));
                bottom &= (1 << 24) - 1;
                bit_count = 8;
            }
        }
    }
    void flush() {
        for (int i = 0; i < 32; i++) write(0, 128);
    }
    // n bits, the most significant first, at even odds.
    void literal(u32 v, u32 n) {
        while (n-- > 0) write((v >> n) & 1, 128);
    }
};

inline std::vector<u8> read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline fs::path corpus_dir() {
    return fs::path(QB_SHARED_DIR) / "corpus" / "webp";
}

// 64-byte aligned memory that starts filled with a pattern, not zeros.
struct Aligned {
    std::vector<u8> bytes;
    u8* data = nullptr;
    explicit Aligned(u64 size, u8 fill = 0xA5) : bytes(size + 64, fill) {
        data = (u8*)(((uintptr_t)bytes.data() + 63) & ~(uintptr_t)63);
    }
};

struct Decoded {
    bool ok = false;
    CodecError err{};
    u32 width = 0, height = 0;
    std::vector<u8> rgba;  // tightly packed rows
};

// Probe-sized scratch, stages 0 and 1, then stage 2 band by band over the
// whole image into a buffer with a 16-byte multiple stride.
inline Decoded decode_whole(const std::vector<u8>& file) {
    Decoded out;
    ImageInfo info;
    if (!webp_probe(file.data(), file.size(), &info, &out.err)) return out;
    Aligned scratch(info.scratch_bytes);
    WebpRequest whole = {0, 0, 0, 0, 0};
    u64 stride = ((u64)info.width * 4 + 15) & ~(u64)15;
    Aligned pixels(stride * info.height + 64);
    PixelBuffer target = {pixels.data, stride, info.width, info.height};
    for (u32 stage = 0; stage < 2; stage++) {
        if (!vp8l_decode_stage(file.data(), file.size(), &whole, &target, scratch.data, info.scratch_bytes, stage, 0,
                               &out.err)) {
            return out;
        }
    }
    for (u32 band = 0; band < vp8l_band_count(info.height); band++) {
        if (!vp8l_decode_stage(file.data(), file.size(), &whole, &target, scratch.data, info.scratch_bytes, 2, band,
                               &out.err)) {
            return out;
        }
    }
    out.width = info.width;
    out.height = info.height;
    out.rgba.resize((size_t)info.width * info.height * 4);
    for (u32 y = 0; y < info.height; y++) {
        memcpy(out.rgba.data() + (size_t)y * info.width * 4, pixels.data + y * stride, (size_t)info.width * 4);
    }
    out.ok = true;
    return out;
}

// A lossy file through the probe and one call into a pixel buffer with a
// 32-byte multiple stride, as the decode job lays it out.
inline Decoded decode_lossy(const std::vector<u8>& file) {
    Decoded out;
    ImageInfo info;
    if (!webp_probe(file.data(), file.size(), &info, &out.err)) return out;
    WebpPrepared prep;
    if (!webp_prepare_lossy(file.data(), file.size(), 0, &prep, &out.err)) return out;
    Aligned scratch(info.scratch_bytes);
    u64 stride = ((u64)info.width * 4 + 31) & ~(u64)31;
    Aligned pixels(stride * info.height + 64);
    PixelBuffer target = {pixels.data, stride, info.width, info.height};
    if (!webp_decode_lossy(file.data(), &prep, scratch.data, info.scratch_bytes, &target, &out.err)) {
        return out;
    }
    out.width = info.width;
    out.height = info.height;
    out.rgba.resize((size_t)info.width * info.height * 4);
    for (u32 y = 0; y < info.height; y++) {
        memcpy(out.rgba.data() + (size_t)y * info.width * 4, pixels.data + y * stride, (size_t)info.width * 4);
    }
    out.ok = true;
    return out;
}

inline void put_le32(std::vector<u8>* v, u32 x) {
    for (int i = 0; i < 4; i++) v->push_back((u8)(x >> (8 * i)));
}
inline void put_le24(std::vector<u8>* v, u32 x) {
    for (int i = 0; i < 3; i++) v->push_back((u8)(x >> (8 * i)));
}
inline void put_tag(std::vector<u8>* v, const char* tag) {
    v->insert(v->end(), tag, tag + 4);
}

inline std::vector<u8> chunk(const char* tag, const std::vector<u8>& payload) {
    std::vector<u8> c;
    put_tag(&c, tag);
    put_le32(&c, (u32)payload.size());
    c.insert(c.end(), payload.begin(), payload.end());
    if (payload.size() & 1) c.push_back(0);
    return c;
}

// "RIFF", size, "WEBP" and the chunks.
inline std::vector<u8> riff(const std::vector<std::vector<u8>>& chunks) {
    std::vector<u8> body;
    put_tag(&body, "WEBP");
    for (const auto& c : chunks) body.insert(body.end(), c.begin(), c.end());
    std::vector<u8> f;
    put_tag(&f, "RIFF");
    put_le32(&f, (u32)body.size());
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

// Least-significant-bit-first writer for hand-made lossless streams.
struct BitWriter {
    std::vector<u8> bytes;
    u32 bit = 0;
    void put(u32 value, u32 n) {
        for (u32 i = 0; i < n; i++) {
            if (bit == 0) bytes.push_back(0);
            if (i < 32 && ((value >> i) & 1)) bytes.back() |= (u8)(1u << bit);
            bit = (bit + 1) & 7;
        }
    }
};

// A VP8L payload: signature, size header, then the stream bits.
inline std::vector<u8> vp8l_payload(u32 w, u32 h, bool alpha, const std::vector<u8>& stream) {
    std::vector<u8> p = {0x2F};
    put_le32(&p, (w - 1) | ((h - 1) << 14) | ((alpha ? 1u : 0u) << 28));
    p.insert(p.end(), stream.begin(), stream.end());
    return p;
}

inline std::vector<u8> vp8x_payload(u32 flags, u32 w, u32 h) {
    std::vector<u8> p = {(u8)flags, 0, 0, 0};
    put_le24(&p, w - 1);
    put_le24(&p, h - 1);
    return p;
}

// A minimal "VP8 " key frame header of w x h with a first partition of 0.
inline std::vector<u8> vp8_payload(u32 w, u32 h) {
    std::vector<u8> p;
    put_le24(&p, 0x10);  // key frame, version 0, shown, partition size 0
    p.push_back(0x9D);
    p.push_back(0x01);
    p.push_back(0x2A);
    p.push_back((u8)w);
    p.push_back((u8)(w >> 8));
    p.push_back((u8)h);
    p.push_back((u8)(h >> 8));
    return p;
}

}  // namespace webp_test

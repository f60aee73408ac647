// Test helpers: the decoder's whole road (probe, preview, second stage,
// every tile assembled into one image) in memory the test owns, and a small
// writer for hand-made JPEG streams.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "codec/jpeg/jpeg.h"

struct Aligned {
    std::vector<u8> storage;
    u8* data = nullptr;
    void resize(u64 size, u8 fill = 0) {
        storage.assign(size + 64, fill);
        data = storage.data() + ((64 - ((uintptr_t)storage.data() & 63)) & 63);
    }
};

struct DecodeResult {
    CodecError error{};
    std::string stage;  // where it failed: "probe", "preview", "full", "tile"
    ImageInfo info{};
    u32 preview_width = 0, preview_height = 0;
    std::vector<u8> preview;  // RGBA, tightly packed
    std::vector<u8> full;     // RGBA, tightly packed
};

struct DecoderMemory {
    JpegDecoder state{};
    Aligned scratch, pixels, extra;
    u8 fill = 0;  // what the buffers hold before the decoder runs
};

inline bool run_decoder(const std::vector<u8>& file, DecodeResult* out, bool full, DecoderMemory* mem) {
    const u8* data = file.data();
    u64 length = file.size();
    if (!jpeg_probe(data, length, &out->info, &mem->state, &out->error)) {
        out->stage = "probe";
        return false;
    }
    mem->scratch.resize(out->info.scratch_bytes, mem->fill);
    mem->pixels.resize(out->info.pixel_bytes, mem->fill);
    PixelBuffer pb{mem->pixels.data, 0, 0, 0};
    if (!jpeg_decode_preview(data, length, mem->scratch.data, out->info.scratch_bytes, &pb, out->info.pixel_bytes,
                             &out->error)) {
        out->stage = "preview";
        return false;
    }
    out->preview_width = pb.width;
    out->preview_height = pb.height;
    out->preview.resize((size_t)pb.width * pb.height * 4);
    for (u32 y = 0; y < pb.height; y++) memcpy(&out->preview[(size_t)y * pb.width * 4], pb.pixels + y * pb.stride, pb.width * 4);
    if (!full) return true;
    mem->extra.resize(out->info.extra_bytes, mem->fill);
    if (!jpeg_finish_full_resolution(data, length, mem->scratch.data, out->info.scratch_bytes, mem->extra.data,
                                     out->info.extra_bytes, &out->error)) {
        out->stage = "full";
        return false;
    }
    u32 w = out->info.width, h = out->info.height;
    out->full.assign((size_t)w * h * 4, 0);
    std::vector<u8> tile(1024 * 256 + 64);
    for (u32 row = 0; row * 256 < h; row++) {
        for (u32 col = 0; col * 256 < w; col++) {
            PixelBuffer t{tile.data(), 1024, 256, 256};
            if (!jpeg_render_full_tile(mem->scratch.data, mem->extra.data, col, row, &t, &out->error)) {
                out->stage = "tile";
                return false;
            }
            u32 cw = std::min(256u, w - col * 256), ch = std::min(256u, h - row * 256);
            for (u32 i = 0; i < ch; i++) {
                memcpy(&out->full[((size_t)(row * 256 + i) * w + col * 256) * 4], &tile[(size_t)i * 1024], cw * 4);
            }
        }
    }
    return true;
}

inline bool run_decoder(const std::vector<u8>& file, DecodeResult* out, bool full) {
    DecoderMemory mem;
    return run_decoder(file, out, full, &mem);
}

// ---- A writer for hand-made streams ------------------------------------------------

struct StreamWriter {
    std::vector<u8> bytes;
    u32 acc = 0, nbits = 0;

    void byte(u8 b) { bytes.push_back(b); }
    void be16(u32 v) { byte((u8)(v >> 8)); byte((u8)v); }
    void marker(u8 code) { byte(0xFF); byte(code); }
    void segment(u8 code, const std::vector<u8>& payload) {
        marker(code);
        be16((u32)payload.size() + 2);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
    }
    // Entropy-coded bits, most significant first, with 0xFF stuffing.
    void bits(u32 value, u32 count) {
        for (u32 i = count; i-- > 0;) {
            acc = (acc << 1) | ((value >> i) & 1);
            if (++nbits == 8) {
                byte((u8)acc);
                if ((u8)acc == 0xFF) byte(0);
                acc = 0;
                nbits = 0;
            }
        }
    }
    void flush_ones() {
        while (nbits) bits(1, 1);
    }
};

// SOI, DQT (all ones, or `q0` for the DC entry), SOF0 for `components`
// components of sampling `sampling` (h * 16 + v each), DHT with a DC and an
// AC table (DC: "0" size 0, "10" size 1; AC: "0" end of block), and
// optionally DRI. A block then costs "00" (DC unchanged) or "1010" / "1000"
// (DC + 1 / - 1).
inline StreamWriter minimal_header(u32 width, u32 height, u32 components, const u32* sampling, u32 restart, u8 sof,
                                   u8 q0) {
    StreamWriter w;
    w.marker(0xD8);
    std::vector<u8> dqt(65, 1);
    dqt[0] = 0;
    dqt[1] = q0;
    w.segment(0xDB, dqt);
    std::vector<u8> f = {8, (u8)(height >> 8), (u8)height, (u8)(width >> 8), (u8)width, (u8)components};
    for (u32 c = 0; c < components; c++) {
        f.push_back((u8)(c + 1));
        f.push_back((u8)sampling[c]);
        f.push_back(0);
    }
    w.segment(sof, f);
    std::vector<u8> dht = {0x00, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01,
                           0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00};
    w.segment(0xC4, dht);
    if (restart) w.segment(0xDD, {(u8)(restart >> 8), (u8)restart});
    return w;
}

inline void sos_all(StreamWriter* w, u32 components) {
    std::vector<u8> s = {(u8)components};
    for (u32 c = 0; c < components; c++) {
        s.push_back((u8)(c + 1));
        s.push_back(0x00);
    }
    s.push_back(0);
    s.push_back(63);
    s.push_back(0);
    w->segment(0xDA, s);
}

// A whole grey file of `blocks_across` x `blocks_down` blocks whose DC steps
// by `step` (-1, 0 or 1) each block, with an optional restart interval.
inline std::vector<u8> grey_file(u32 width, u32 height, int step, u32 restart, u8 q0) {
    u32 s = 0x11;
    StreamWriter w = minimal_header(width, height, 1, &s, restart, 0xC0, q0);
    sos_all(&w, 1);
    u32 blocks = ((width + 7) / 8) * ((height + 7) / 8);
    for (u32 b = 0; b < blocks; b++) {
        if (restart && b && b % restart == 0) {
            w.flush_ones();
            w.marker((u8)(0xD0 + ((b / restart - 1) & 7)));
        }
        bool first = !restart ? b == 0 : b % restart == 0;
        int diff = first ? (step ? step : 0) : step;
        if (diff == 0) w.bits(0, 1);
        else w.bits(diff > 0 ? 0x5 : 0x4, 3);
        w.bits(0, 1);
    }
    w.flush_ones();
    w.marker(0xD9);
    return w.bytes;
}

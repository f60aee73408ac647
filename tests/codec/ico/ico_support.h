// An ICO/CUR writer for the tests: a directory over any list of entry
// payloads (DIBs from the BMP test writer, or PNG-looking streams with a real
// IHDR), with the directory's fields open to tampering.
#pragma once

#include "../bmp/bmp_support.h"
#include "codec/ico/ico.h"

namespace icotest {

using bmptest::Bytes;

struct Entry {
    Bytes payload;
    u32 dir_width = 0, dir_height = 0, dir_bits = 32;  // what the directory claims
    bool override_size = false, override_offset = false;
    u32 size = 0, offset = 0;
};

inline Bytes ico_file(const std::vector<Entry>& entries, u32 type = 1) {
    Bytes b = {0, 0, (u8)type, 0};
    bmptest::put16(b, (u32)entries.size());
    u32 offset = 6 + 16 * (u32)entries.size();
    for (const Entry& e : entries) {
        b.push_back((u8)e.dir_width), b.push_back((u8)e.dir_height), b.push_back(0), b.push_back(0);
        bmptest::put16(b, 1), bmptest::put16(b, e.dir_bits);
        bmptest::put32(b, e.override_size ? e.size : (u32)e.payload.size());
        bmptest::put32(b, e.override_offset ? e.offset : offset);
        offset += (u32)e.payload.size();
    }
    for (const Entry& e : entries) b.insert(b.end(), e.payload.begin(), e.payload.end());
    return b;
}

// The signature and an IHDR; the rest is filler (the icon decoder only hands
// PNG entries on).
inline Bytes png_stub(u32 w, u32 h, u32 depth, u32 colour_type) {
    Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (u32 v : {w, h}) {
        b.push_back((u8)(v >> 24)), b.push_back((u8)(v >> 16)), b.push_back((u8)(v >> 8)), b.push_back((u8)v);
    }
    b.push_back((u8)depth), b.push_back((u8)colour_type), b.push_back(0), b.push_back(0), b.push_back(0);
    for (int i = 0; i < 16; i++) b.push_back((u8)i);
    return b;
}

inline bmptest::Decoded decode_ico(const Bytes& f) {
    return bmptest::decode_with(f, ico_probe, ico_decode);
}

}  // namespace icotest

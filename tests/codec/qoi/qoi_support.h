// A QOI writer for the tests: the published encoder's choices (run, index,
// diff, luma, RGB, RGBA in that order of preference), so generated files
// hold every op.
#pragma once

#include "../decode_support.h"

namespace qoitest {

using decodetest::Bytes;

inline void put_be32(Bytes& f, u32 v) {
    for (int s = 24; s >= 0; s -= 8) f.push_back((u8)(v >> s));
}

inline Bytes qoi_header(u32 w, u32 h, u32 channels, u32 colorspace) {
    Bytes f = {'q', 'o', 'i', 'f'};
    put_be32(f, w);
    put_be32(f, h);
    f.push_back((u8)channels);
    f.push_back((u8)colorspace);
    return f;
}

inline void qoi_end(Bytes& f) {
    for (int i = 0; i < 7; i++) f.push_back(0);
    f.push_back(1);
}

// `rgba` holds w * h pixels of 4 bytes; with 3 channels alpha is taken as 255.
inline Bytes qoi_write(const Bytes& rgba, u32 w, u32 h, u32 channels, u32 colorspace = 0) {
    Bytes f = qoi_header(w, h, channels, colorspace);
    u8 index[64][4] = {};
    u8 prev[4] = {0, 0, 0, 255};
    u32 run = 0;
    size_t n = (size_t)w * h;
    for (size_t i = 0; i < n; i++) {
        u8 px[4] = {rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2], channels == 4 ? rgba[4 * i + 3] : (u8)255};
        if (memcmp(px, prev, 4) == 0) {
            run++;
            if (run == 62 || i + 1 == n) {
                f.push_back((u8)(0xC0 | (run - 1)));
                run = 0;
            }
            continue;
        }
        if (run) {
            f.push_back((u8)(0xC0 | (run - 1)));
            run = 0;
        }
        u32 h6 = (px[0] * 3 + px[1] * 5 + px[2] * 7 + px[3] * 11) % 64;
        if (memcmp(index[h6], px, 4) == 0) {
            f.push_back((u8)h6);
        } else {
            memcpy(index[h6], px, 4);
            if (px[3] == prev[3]) {
                int dr = (i8)(px[0] - prev[0]), dg = (i8)(px[1] - prev[1]), db = (i8)(px[2] - prev[2]);
                int dr_dg = dr - dg, db_dg = db - dg;
                if (dr >= -2 && dr <= 1 && dg >= -2 && dg <= 1 && db >= -2 && db <= 1) {
                    f.push_back((u8)(0x40 | (dr + 2) << 4 | (dg + 2) << 2 | (db + 2)));
                } else if (dg >= -32 && dg <= 31 && dr_dg >= -8 && dr_dg <= 7 && db_dg >= -8 && db_dg <= 7) {
                    f.push_back((u8)(0x80 | (dg + 32)));
                    f.push_back((u8)((dr_dg + 8) << 4 | (db_dg + 8)));
                } else {
                    f.insert(f.end(), {0xFE, px[0], px[1], px[2]});
                }
            } else {
                f.insert(f.end(), {0xFF, px[0], px[1], px[2], px[3]});
            }
        }
        memcpy(prev, px, 4);
    }
    qoi_end(f);
    return f;
}

}  // namespace qoitest

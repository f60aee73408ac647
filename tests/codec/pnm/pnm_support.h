// A PNM and PAM writer for the tests: samples given as numbers, written as
// plain text or raw bytes (16-bit big-endian above maxval 255), with an
// optional comment between every pair of header tokens.
#pragma once

#include <string>

#include "../decode_support.h"

namespace pnmtest {

using decodetest::Bytes;

inline void put_text(Bytes& f, const std::string& s) {
    f.insert(f.end(), s.begin(), s.end());
}

// P1 to P6. `samples` holds w * h * channels numbers (channels 3 for P3 and
// P6, else 1; for P1 and P4 a 1 is black).
inline Bytes pnm_write(u32 magic, u32 w, u32 h, u32 maxval, const std::vector<u32>& samples, bool comments = false) {
    Bytes f;
    std::string sep = comments ? " # a comment\n\t" : "\n";
    put_text(f, "P" + std::to_string(magic) + sep + std::to_string(w) + sep + std::to_string(h));
    if (magic != 1 && magic != 4) put_text(f, sep + std::to_string(maxval));
    f.push_back('\n');
    size_t i = 0;
    u32 channels = (magic == 3 || magic == 6) ? 3 : 1;
    if (magic <= 3) {
        for (u32 y = 0; y < h; y++) {
            for (u32 x = 0; x < w * channels; x++) put_text(f, std::to_string(samples[i++]) + " ");
            put_text(f, comments && y == 0 ? "# in the raster\n" : "\n");
        }
    } else if (magic == 4) {
        for (u32 y = 0; y < h; y++) {
            for (u32 x = 0; x < w; x += 8) {
                u8 b = 0;
                for (u32 k = 0; k < 8 && x + k < w; k++) b |= (u8)(samples[(size_t)y * w + x + k] << (7 - k));
                f.push_back(b);
            }
        }
    } else {
        for (u32 v : samples) {
            if (maxval > 255) f.push_back((u8)(v >> 8));
            f.push_back((u8)v);
        }
    }
    return f;
}

// P7 with `depth` samples a pixel; `tupltype` empty for none.
inline Bytes pam_write(u32 w, u32 h, u32 depth, u32 maxval, const std::string& tupltype,
                       const std::vector<u32>& samples) {
    Bytes f;
    put_text(f, "P7\n# made by the test\nWIDTH " + std::to_string(w) + "\nHEIGHT " + std::to_string(h) +
                    "\nDEPTH " + std::to_string(depth) + "\nMAXVAL " + std::to_string(maxval) + "\n");
    if (!tupltype.empty()) put_text(f, "TUPLTYPE " + tupltype + "\n");
    put_text(f, "ENDHDR\n");
    for (u32 v : samples) {
        if (maxval > 255) f.push_back((u8)(v >> 8));
        f.push_back((u8)v);
    }
    return f;
}

inline std::vector<u32> random_samples(size_t count, u32 maxval, u32 seed) {
    std::vector<u32> s(count);
    u32 r = seed;
    for (size_t i = 0; i < count; i++) {
        r = r * 1103515245 + 12345;
        s[i] = (r >> 8) % (maxval + 1);
    }
    // The extremes always occur.
    if (count > 1) s[0] = 0, s[1] = maxval;
    return s;
}

inline u8 scaled(u32 v, u32 maxval) {
    return (u8)((v * 255 + maxval / 2) / maxval);
}

// The RGBA a decoder must give for `samples` of `depth` per pixel.
inline Bytes expected_rgba(const std::vector<u32>& samples, u32 depth, u32 maxval, bool one_is_black) {
    Bytes out;
    for (size_t i = 0; i < samples.size(); i += depth) {
        u8 s[4];
        for (u32 c = 0; c < depth; c++)
            s[c] = one_is_black ? (samples[i + c] ? 0 : 255) : scaled(samples[i + c], maxval);
        switch (depth) {
        case 1: out.insert(out.end(), {s[0], s[0], s[0], 255}); break;
        case 2: out.insert(out.end(), {s[0], s[0], s[0], s[1]}); break;
        case 3: out.insert(out.end(), {s[0], s[1], s[2], 255}); break;
        default: out.insert(out.end(), {s[0], s[1], s[2], s[3]}); break;
        }
    }
    return out;
}

}  // namespace pnmtest

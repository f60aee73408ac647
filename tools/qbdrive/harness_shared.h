// What the Windows and X11 harnesses share: reading a script's drop line
// and writing the frame section's pixels for "frame save FILE".
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "base/types.h"

inline void save_frame_pam(const std::string& path, const u32* pixels, i32 w, i32 h) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fprintf(f, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", w, h);
    const u8* px = (const u8*)pixels;
    for (i64 i = 0; i < (i64)w * h; i++) {
        u8 rgba[4] = {px[4 * i + 2], px[4 * i + 1], px[4 * i], 255};
        std::fwrite(rgba, 1, 4, f);
    }
    std::fclose(f);
}

// The paths of a "drop" line: what follows the word, split at " | ", each
// trimmed of spaces and tabs; empty parts are dropped.
inline std::vector<std::string> drop_paths(const std::string& line) {
    std::vector<std::string> out;
    std::string rest = line.substr(4);
    size_t start = 0;
    for (;;) {
        size_t bar = rest.find(" | ", start);
        std::string part = rest.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
        size_t a = part.find_first_not_of(" \t"), b = part.find_last_not_of(" \t");
        if (a != std::string::npos) out.push_back(part.substr(a, b - a + 1));
        if (bar == std::string::npos) break;
        start = bar + 3;
    }
    return out;
}

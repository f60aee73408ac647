// Writing the frame section's pixels (0x00RRGGBB words) as an RGB_ALPHA PAM
// file, for the harnesses' "frame save FILE" line.
#pragma once

#include <cstdio>
#include <string>

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

// libFuzzer target for colour profiles. A hash of the input picks how it is
// read: as a profile on its own (parsed, its transform built and run over a
// few pixels), or as a JPEG, PNG or WebP file whose embedded profile is
// found and read into memory of exactly the size its finder asked for. The
// input, the profile memory and the transform each end flush against a
// PROT_NONE guard page.
#include <stdint.h>
#include <string.h>

#include "codec/icc/icc.h"
#include "fuzz/guarded.h"

namespace {

Guarded g_file, g_memory, g_transform, g_pixels;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u8* file = g_file.tail(size);
    if (size != 0) memcpy(file, data, size);
    u64 h = fuzz_hash(data, size);
    u8* pixels = g_pixels.tail(64 * 4);
    for (u32 i = 0; i < 64 * 4; i++) pixels[i] = (u8)(h >> (i % 56)) ^ (u8)(i * 29);
    const IccTransform* t = nullptr;
    u32 how = (u32)(h % 4);
    if (how == 0) {
        IccProfile parsed;
        IccTransform* out = (IccTransform*)g_transform.tail(sizeof(IccTransform), 64);
        if (icc_parse(file, size, &parsed) && icc_build(&parsed, out)) t = out;
    } else {
        static void (*const finders[3])(const u8*, u64, IccFind*) = {jpeg_find_profile, png_find_profile,
                                                                      webp_find_profile};
        IccFind find;
        finders[how - 1](file, size, &find);
        fuzz_check(find.state == COLOUR_NONE || find.state == COLOUR_PENDING || find.state == COLOUR_IGNORED);
        u64 need = icc_memory_bytes(&find);
        fuzz_check((need != 0) == (find.state == COLOUR_PENDING) && find.size <= ICC_MAX_PROFILE);
        u8* memory = need != 0 ? g_memory.tail(need, 64) : nullptr;
        u32 state = icc_prepare(file, size, &find, memory, need, &t);
        fuzz_check((state == COLOUR_CONVERT) == (t != nullptr));
    }
    if (t != nullptr) {
        u8 scalar[64 * 4];
        icc_row_scalar(t, pixels, scalar, 64);
        icc_row_sse2(t, pixels, pixels, 64);
        fuzz_check(memcmp(scalar, pixels, sizeof scalar) == 0);
    }
    return 0;
}

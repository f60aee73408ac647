// qbcodec: the codecs from the command line.
//   qbcodec probe FILE                       what the header probe learns
//   qbcodec decode FILE OUT.pam [--frame N]  the RGBA result as a PAM file
// PNG files go straight to the PNG decoder for now; the file is read whole
// with standard C I/O so the tool builds for Windows as well.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "codec/png/png.h"

static bool read_file(const char* path, std::vector<u8>* out) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    u8 buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out->insert(out->end(), buf, buf + n);
    fclose(f);
    return true;
}

static std::string error_text(const CodecError& err) {
    ByteSpan name = codec_error_name(err.code);
    return std::string((const char*)name.data, name.size) + " at " + std::to_string(err.offset);
}

static int usage() {
    fprintf(stderr, "usage: qbcodec probe FILE\n       qbcodec decode FILE OUT.pam [--frame N]\n");
    return 2;
}

// Memory 64-byte aligned, as the job's reserved region would be.
struct Aligned {
    std::vector<u8> bytes;
    u8* at(u64 size) {
        bytes.assign(size + 64, 0);
        return (u8*)(((uintptr_t)bytes.data() + 63) & ~(uintptr_t)63);
    }
};

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string cmd = argv[1];
    std::vector<u8> file;
    if (!read_file(argv[2], &file)) {
        fprintf(stderr, "qbcodec: cannot read %s\n", argv[2]);
        return 1;
    }
    ImageInfo info;
    PngPlan plan;
    CodecError err;
    if (file.empty() || file[0] != 0x89) {
        printf("error bad_signature at 0\n");
        return 1;
    }
    if (!png_probe(file.data(), file.size(), &info, &plan, &err)) {
        printf("error %s\n", error_text(err).c_str());
        return 1;
    }
    if (cmd == "probe") {
        ByteSpan fmt = pixel_format_name(plan.pixel_format);
        printf("size %u x %u\nframes %u\nplays %u\nnative %.*s\nscratch_bytes %llu\npixel_bytes %llu\nextra_bytes %llu\n",
               info.width, info.height, info.frame_count, info.play_count, (int)fmt.size, (const char*)fmt.data,
               (unsigned long long)info.scratch_bytes, (unsigned long long)info.pixel_bytes,
               (unsigned long long)info.extra_bytes);
        return 0;
    }
    if (cmd != "decode" || argc < 4) return usage();
    u32 frame = 0;
    for (int i = 4; i < argc; i++) {
        if (strcmp(argv[i], "--frame") == 0 && i + 1 < argc) frame = (u32)strtoul(argv[++i], nullptr, 10);
        else return usage();
    }
    if (frame >= info.frame_count) {
        printf("error bad_target at 0\n");
        return 1;
    }
    Aligned scratch_mem, pixel_mem;
    u8* scratch = scratch_mem.at(info.scratch_bytes);
    u8* pixels = pixel_mem.at(info.pixel_bytes);
    PixelBuffer canvas = png_canvas_in_scratch(&plan, scratch);
    PixelBuffer display = {pixels, row_stride(info.width), info.width, info.height};
    bool ok = plan.animated
                  ? png_decode_frames(file.data(), file.size(), &plan, scratch, info.scratch_bytes, 0, frame, &canvas,
                                      &display, &err)
                  : png_decode_still(file.data(), file.size(), &plan, scratch, info.scratch_bytes, &canvas, &display,
                                     &err);
    if (!ok) {
        printf("error %s\n", error_text(err).c_str());
        return 1;
    }
    FILE* out = fopen(argv[3], "wb");
    if (!out) {
        fprintf(stderr, "qbcodec: cannot write %s\n", argv[3]);
        return 1;
    }
    fprintf(out, "P7\nWIDTH %u\nHEIGHT %u\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", info.width, info.height);
    for (u32 y = 0; y < info.height; y++) fwrite(pixels + y * display.stride, 4, info.width, out);
    bool written = fclose(out) == 0;
    return written ? 0 : 1;
}

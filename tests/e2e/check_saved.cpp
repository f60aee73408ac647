// Checks the files a save scenario wrote: each decodes with libjpeg-turbo to
// the pixels the viewer showed, within the encoder's loss.
// Usage: qb_check_saved FOLDER SAVED=SOURCE[@FRAME] ...
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/job.h"
#include "codec/probe.h"

// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>
#include <setjmp.h>

namespace {

std::vector<u8> read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct ErrorJump {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

void error_exit(j_common_ptr c) {
    longjmp(((ErrorJump*)c->err)->jump, 1);
}

// RGB pixels of a JPEG file by libjpeg-turbo.
bool reference_decode(const std::vector<u8>& file, u32* w, u32* h, std::vector<u8>* rgb) {
    jpeg_decompress_struct d;
    ErrorJump err;
    d.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = error_exit;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        return false;
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, file.data(), (unsigned long)file.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    *w = d.output_width;
    *h = d.output_height;
    rgb->resize((size_t)*w * *h * 3);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = &(*rgb)[(size_t)d.output_scanline * *w * 3];
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return true;
}

// The frame the viewer showed, at full resolution, as RGBA.
bool shown_pixels(const std::vector<u8>& file, u32 frame, u32* w, u32* h, std::vector<u8>* rgba) {
    ImageInfo info;
    CodecError err;
    if (!probe_image(file.data(), file.size(), &info, &err)) return false;
    std::vector<u8> memory(align64(info.scratch_bytes) + align64(info.pixel_bytes) + info.extra_bytes + 128);
    u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
    DecodeJob job;
    if (!start_job(&job, ByteSpan{(u8*)file.data(), file.size()}, &info, base, info.scratch_bytes,
                   base + align64(info.scratch_bytes), &err)) {
        return false;
    }
    job.requested_frame = frame;
    if (!decode_step(&job, &err) || !finish_full_resolution(&job, &err)) return false;
    std::vector<u8> whole(full_resolution_bytes(&job) + 64);
    PixelBuffer pb;
    if (!full_resolution_pixels(&job, whole.data(), &pb, &err)) return false;
    *w = pb.width;
    *h = pb.height;
    rgba->resize((size_t)pb.width * pb.height * 4);
    for (u32 y = 0; y < pb.height; y++) memcpy(&(*rgba)[(size_t)y * pb.width * 4], pb.pixels + y * pb.stride, pb.width * 4);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: qb_check_saved FOLDER SAVED=SOURCE[@FRAME] ...\n");
        return 64;
    }
    std::string folder = std::string(argv[1]) + "/";
    int failed = 0;
    for (int i = 2; i < argc; i++) {
        std::string pair = argv[i];
        size_t eq = pair.find('=');
        std::string saved = pair.substr(0, eq), source = pair.substr(eq + 1);
        u32 frame = 0;
        size_t at = source.find('@');
        if (at != std::string::npos) {
            frame = (u32)std::stoul(source.substr(at + 1));
            source = source.substr(0, at);
        }
        u32 w = 0, h = 0, sw = 0, sh = 0;
        std::vector<u8> rgb, rgba;
        if (!reference_decode(read_all(folder + saved), &w, &h, &rgb) ||
            !shown_pixels(read_all(folder + source), frame, &sw, &sh, &rgba) || w != sw || h != sh) {
            std::printf("FAIL %s: does not decode to the size of %s\n", saved.c_str(), source.c_str());
            failed++;
            continue;
        }
        double sum = 0;
        for (size_t p = 0; p < (size_t)w * h; p++) {
            for (int c = 0; c < 3; c++) {
                double d = (double)rgb[p * 3 + c] - rgba[p * 4 + c];
                sum += d * d;
            }
        }
        double psnr = sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * 3.0 * w * h / sum);
        bool ok = psnr >= 28;
        std::printf("%s %s from %s: %ux%u, PSNR %.1f dB\n", ok ? "ok  " : "FAIL", saved.c_str(), source.c_str(), w, h,
                    psnr);
        if (!ok) failed++;
    }
    return failed == 0 ? 0 : 1;
}

// qbcodec: the codecs from the command line, through exactly the path the
// viewer takes (probe, one region laid out as the viewer lays it out, the
// decode job, its steps and its tiles), so what it writes is what the viewer
// shows.
//   qbcodec probe FILE                              what the header probe learns
//   qbcodec decode FILE OUT.pam [--frame N] [--preview]
//                                                   the RGBA image as a PAM file
//   qbcodec tiles FILE DIR --level L [--frame N]    every tile of a level, as
//                                                   DIR/tile-L-COLUMN-ROW.pam
// The file is read whole with standard C I/O, so the tool builds for Windows
// as well.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "codec/job.h"
#include "codec/probe.h"

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
    fprintf(stderr,
            "usage: qbcodec probe FILE\n"
            "       qbcodec decode FILE OUT.pam [--frame N] [--preview]\n"
            "       qbcodec tiles FILE DIR --level L [--frame N]\n");
    return 2;
}

// RGBA rows (red first) as a PAM file; with `swapped` the pixels are BGRA.
static bool write_pam(const std::string& path, const PixelBuffer& p, bool swapped) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    fprintf(f, "P7\nWIDTH %u\nHEIGHT %u\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", p.width, p.height);
    std::vector<u8> row((size_t)p.width * 4);
    for (u32 y = 0; y < p.height; y++) {
        const u8* src = p.pixels + (u64)y * p.stride;
        for (u32 x = 0; x < p.width; x++) {
            row[4 * x] = src[4 * x + (swapped ? 2 : 0)];
            row[4 * x + 1] = src[4 * x + 1];
            row[4 * x + 2] = src[4 * x + (swapped ? 0 : 2)];
            row[4 * x + 3] = src[4 * x + 3];
        }
        fwrite(row.data(), 1, row.size(), f);
    }
    return fclose(f) == 0;
}

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string cmd = argv[1];
    u32 frame = 0;
    i64 level = -1;
    bool preview = false;
    for (int i = 3; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--frame" && i + 1 < argc) {
            frame = (u32)strtoul(argv[++i], nullptr, 10);
        } else if (a == "--level" && i + 1 < argc) {
            level = strtol(argv[++i], nullptr, 10);
        } else if (a == "--preview") {
            preview = true;
        } else if (i != 3) {
            return usage();
        }
    }
    std::vector<u8> file;
    if (!read_file(argv[2], &file)) {
        fprintf(stderr, "qbcodec: cannot read %s\n", argv[2]);
        return 1;
    }
    ImageInfo info;
    CodecError err;
    if (!probe_image(file.data(), file.size(), &info, &err)) {
        printf("error %s\n", error_text(err).c_str());
        return 1;
    }
    if (cmd == "probe") {
        ByteSpan format = image_format_name(decoder_to_format(info.decoder));
        printf("format %.*s\nsize %u x %u\nframes %u\nplays %u\npreview_level %u\n", (int)format.size,
               (const char*)format.data, info.width, info.height, info.frame_count, info.play_count,
               info.preview_level);
        printf("scratch_bytes %llu\npixel_bytes %llu\nextra_bytes %llu\n", (unsigned long long)info.scratch_bytes,
               (unsigned long long)info.pixel_bytes, (unsigned long long)info.extra_bytes);
        return 0;
    }
    if (argc < 4 || (cmd != "decode" && cmd != "tiles") || (cmd == "tiles" && level < 0)) return usage();

    // The document's region: scratch, pixel buffer, then the extra memory.
    u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes);
    std::vector<u8> region(scratch + pixels + info.extra_bytes + 64, 0);
    u8* base = (u8*)(((uintptr_t)region.data() + 63) & ~(uintptr_t)63);
    DecodeJob job;
    if (!start_job(&job, ByteSpan{file.data(), file.size()}, &info, base, info.scratch_bytes, base + scratch, &err)) {
        printf("error %s\n", error_text(err).c_str());
        return 1;
    }
    job.requested_frame = frame;
    if (!decode_step(&job, &err) || (!preview && !finish_full_resolution(&job, &err))) {
        printf("error %s\n", error_text(err).c_str());
        return 1;
    }
    if (cmd == "decode") {
        PixelBuffer out;
        // A preview exists only where the decoder makes one (JPEG); WebP keeps
        // no image in the job's buffer. The decoders want 16-byte aligned rows.
        std::vector<u8> memory(full_resolution_bytes(&job) + 64);
        u8* aligned = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
        bool ok = preview && info.preview_level != 0 ? (out = job.pixels, true)
                                                     : full_resolution_pixels(&job, aligned, &out, &err);
        if (!ok) {
            printf("error %s\n", error_text(err).c_str());
            return 1;
        }
        if (!write_pam(argv[3], out, false)) {
            fprintf(stderr, "qbcodec: cannot write %s\n", argv[3]);
            return 1;
        }
        printf("wrote %u x %u\n", out.width, out.height);
        return 0;
    }
    // Tiles as the tile cache asks for them: BGRA, edge-filled to 256 x 256.
    job.swap_red_blue = true;
    std::vector<u8> tile(256 * 1024);
    PixelBuffer t = {tile.data(), 1024, 256, 256};
    u64 lw = ceil_shift(info.width, (u32)level), lh = ceil_shift(info.height, (u32)level);
    u32 count = 0;
    for (u32 row = 0; (u64)row * 256 < lh; row++) {
        for (u32 column = 0; (u64)column * 256 < lw; column++) {
            if (!render_tile(&job, (u32)level, column, row, &t, &err)) {
                printf("error %s (tile %u, %u)\n", error_text(err).c_str(), column, row);
                return 1;
            }
            std::string name = std::string(argv[3]) + "/tile-" + std::to_string(level) + "-" + std::to_string(column) +
                               "-" + std::to_string(row) + ".pam";
            if (!write_pam(name, t, true)) {
                fprintf(stderr, "qbcodec: cannot write %s\n", name.c_str());
                return 1;
            }
            count++;
        }
    }
    printf("wrote %u tiles\n", count);
    return 0;
}

// qbcodec: the codecs from the command line, through exactly the path the
// viewer takes (probe, one region laid out as the viewer lays it out, the
// decode job, its steps and its tiles), so what it writes is what the viewer
// shows.
//   qbcodec probe FILE                              what the header probe learns
//   qbcodec decode FILE OUT.pam [--frame N] [--preview] [--display]
//                                                   the RGBA image as a PAM file: as
//                                                   stored, or with --display as the
//                                                   viewer shows it (turned as the
//                                                   file's orientation says, converted
//                                                   to sRGB as its profile says)
//   qbcodec tiles FILE DIR --level L [--frame N] [--display]
//                                                   every tile of a level, as
//                                                   DIR/tile-L-COLUMN-ROW.pam
//   qbcodec encode IN.pam OUT.jpg [--quality Q] [--444] [--progressive]
//                                                   a PAM image (RGB or RGB_ALPHA)
//                                                   as a JPEG file, memory sized as
//                                                   the save flow sizes it
// Memory is taken as the viewer takes it: the file is read whole into a
// reserved region of its size, the document's region is reserved for
// scratch, pixels and extra memory and committed only as far as each stage
// needs, and the whole-image buffer of a full-resolution JPEG gets a region
// of its own only when it is asked for. Freshly committed pages come zeroed
// from the system and are not cleared again, so timing this tool times the
// viewer's open path.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/region.h"
#include "codec/job.h"
#include "codec/jpeg/encode.h"
#include "codec/probe.h"
#include "codec/sniff.h"
#include "view/tile_cache.h"
#include "platform/files.h"

// The whole file in `region`, as the viewer loads a document (files of
// 4 GiB and more are refused there too).
static bool read_whole(const char* path, ReservedRegion* region, ByteSpan* out) {
    FileHandle file = open_for_reading(ByteSpan{(u8*)path, strlen(path)});
    if (file.value == 0) return false;
    u64 size = 0;
    bool ok = file_size(file, &size) && size < ((u64)1 << 32) && read_into_region(file, size, region);
    close_file(file);
    *out = ByteSpan{region->base, size};
    return ok;
}

static std::string error_text(const CodecError& err) {
    ByteSpan name = codec_error_name(err.code);
    return std::string((const char*)name.data, name.size) + " at " + std::to_string(err.offset);
}

static int usage() {
    fprintf(stderr,
            "usage: qbcodec probe FILE\n"
            "       qbcodec decode FILE OUT.pam [--frame N] [--preview]\n"
            "       qbcodec tiles FILE DIR --level L [--frame N]\n"
            "       qbcodec encode IN.pam OUT.jpg [--quality Q] [--444] [--progressive]\n");
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
        if (!swapped) {
            // RGBA rows go out as they are.
            fwrite(src, 1, row.size(), f);
            continue;
        }
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

// ---- encode ---------------------------------------------------------------------

// A PAM file with 8-bit RGB or RGB_ALPHA tuples, as RGBA rows.
static bool read_pam(const std::vector<u8>& file, std::vector<u8>* rgba, u32* width, u32* height) {
    size_t at = 0;
    auto line = [&](std::string* out) {
        out->clear();
        while (at < file.size() && file[at] != '\n') out->push_back((char)file[at++]);
        if (at >= file.size()) return false;
        at++;
        return true;
    };
    std::string l, tupltype;
    u64 w = 0, h = 0, depth = 0, maxval = 0;
    if (!line(&l) || l != "P7") return false;
    for (;;) {
        if (!line(&l)) return false;
        if (l == "ENDHDR") break;
        if (l.empty() || l[0] == '#') continue;
        size_t space = l.find(' ');
        std::string key = l.substr(0, space), value = space == std::string::npos ? "" : l.substr(space + 1);
        if (key == "WIDTH") w = strtoull(value.c_str(), nullptr, 10);
        if (key == "HEIGHT") h = strtoull(value.c_str(), nullptr, 10);
        if (key == "DEPTH") depth = strtoull(value.c_str(), nullptr, 10);
        if (key == "MAXVAL") maxval = strtoull(value.c_str(), nullptr, 10);
        if (key == "TUPLTYPE") tupltype = value;
    }
    bool rgba_tuples = tupltype == "RGB_ALPHA" && depth == 4;
    bool rgb_tuples = tupltype == "RGB" && depth == 3;
    if (!(rgba_tuples || rgb_tuples) || maxval != 255 || w == 0 || h == 0 || w > 65535 || h > 65535) return false;
    if (file.size() - at < w * h * depth) return false;
    rgba->resize(w * h * 4);
    for (u64 i = 0; i < w * h; i++) {
        const u8* p = &file[at + i * depth];
        u8* q = &(*rgba)[i * 4];
        q[0] = p[0];
        q[1] = p[1];
        q[2] = p[2];
        q[3] = rgba_tuples ? p[3] : 255;
    }
    *width = (u32)w;
    *height = (u32)h;
    return true;
}

static int encode_command(int argc, char** argv) {
    if (argc < 4) return usage();
    JpegEncodeSettings settings{75, 0, 0};
    for (int i = 4; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--quality" && i + 1 < argc) {
            settings.quality = (u32)strtoul(argv[++i], nullptr, 10);
        } else if (a == "--444") {
            settings.subsampling = 1;
        } else if (a == "--progressive") {
            settings.progressive = 1;
        } else {
            return usage();
        }
    }
    ReservedRegion source = {};
    ByteSpan bytes = {};
    std::vector<u8> rgba;
    u32 w = 0, h = 0;
    bool read = read_whole(argv[2], &source, &bytes);
    std::vector<u8> file(bytes.data, bytes.data + (read ? bytes.size : 0));
    release(&source);
    if (!read || !read_pam(file, &rgba, &w, &h)) {
        fprintf(stderr, "qbcodec: %s is not an 8-bit RGB or RGB_ALPHA PAM file\n", argv[2]);
        return 1;
    }
    u64 ws = jpeg_encode_workspace_bytes(&settings, w, h);
    u64 cap = jpeg_encode_output_bound(&settings, w, h);
    std::vector<u8> workspace(ws + 64), output(cap);
    JpegEncodeResult result;
    if (!jpeg_encode(ByteSpan{rgba.data(), rgba.size()}, 4 * (u64)w, w, h, &settings, workspace.data(), ws,
                     output.data(), cap, &result)) {
        ByteSpan m = jpeg_encode_message(result.code);
        printf("error %u: %.*s\n", result.code, (int)m.size, (const char*)m.data);
        return 1;
    }
    FILE* f = fopen(argv[3], "wb");
    if (!f || fwrite(output.data(), 1, result.bytes, f) != result.bytes || fclose(f) != 0) {
        fprintf(stderr, "qbcodec: cannot write %s\n", argv[3]);
        return 1;
    }
    printf("wrote %llu bytes\n", (unsigned long long)result.bytes);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    if (strcmp(argv[1], "encode") == 0) return encode_command(argc, argv);
    std::string cmd = argv[1];
    u32 frame = 0;
    i64 level = -1;
    bool preview = false;
    bool display = false;
    for (int i = 3; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--frame" && i + 1 < argc) {
            frame = (u32)strtoul(argv[++i], nullptr, 10);
        } else if (a == "--level" && i + 1 < argc) {
            level = strtol(argv[++i], nullptr, 10);
        } else if (a == "--preview") {
            preview = true;
        } else if (a == "--display") {
            display = true;
        } else if (i != 3) {
            return usage();
        }
    }
    ReservedRegion source_region;
    ByteSpan file;
    if (!read_whole(argv[2], &source_region, &file)) {
        fprintf(stderr, "qbcodec: cannot read %s\n", argv[2]);
        return 1;
    }
    ImageInfo info;
    CodecError err;
    static ProbeWork work;
    ByteSpan name = {(u8*)argv[2], strlen(argv[2])};
    if (!probe_image(file.data, file.size, format_from_name(name.data, name.size), &info, &work, &err)) {
        printf("error %s\n", error_text(err).c_str());
        return 1;
    }
    if (cmd == "probe") {
        ByteSpan format = image_format_name(info.format);
        printf("format %.*s\nsize %u x %u\nframes %u\nplays %u\npreview_level %u\n", (int)format.size,
               (const char*)format.data, info.width, info.height, info.frame_count, info.play_count,
               info.preview_level);
        printf("scratch_bytes %llu\npixel_bytes %llu\nextra_bytes %llu\n", (unsigned long long)info.scratch_bytes,
               (unsigned long long)info.pixel_bytes, (unsigned long long)info.extra_bytes);
        printf("orientation %u\n", info.orientation);
        static const char* const colour_names[4] = {"none", "pending", "convert", "ignored"};
        printf("profile %s\ncolour_bytes %llu\n", colour_names[info.colour & 3],
               (unsigned long long)info.colour_bytes);
        return 0;
    }
    if (argc < 4 || (cmd != "decode" && cmd != "tiles") || (cmd == "tiles" && level < 0)) return usage();

    // The document's region: scratch, pixel buffer, then the extra memory,
    // reserved whole and committed up to the pixel buffer's end; the extra
    // memory only when the second stage runs.
    // The colour profile's memory sits between the pixel buffer and the
    // extra memory, committed with the buffer.
    u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes), extra = align64(info.extra_bytes);
    u64 colour = align64(info.colour_bytes);
    u64 limit = (u64)1 << 56;
    ReservedRegion region;
    if (info.scratch_bytes > limit || info.pixel_bytes > limit || info.extra_bytes > limit ||
        info.orient_bytes > limit || info.colour_bytes > limit ||
        !reserve(&region, scratch + pixels + colour + extra + info.orient_bytes) ||
        !commit_to(&region, scratch + pixels + colour + (info.extra_bytes == 0 ? info.orient_bytes : 0))) {
        printf("error too_large at 0\n");
        return 1;
    }
    DecodeJob job;
    if (!start_job(&job, file, &info, &work, region.base, info.scratch_bytes, region.base + scratch, &err)) {
        printf("error %s\n", error_text(err).c_str());
        return 1;
    }
    if (info.orient_bytes != 0) job.orient_cache = region.base + scratch + pixels + colour + extra;
    // The stored image unless the image as shown (turned, converted to sRGB)
    // is asked for.
    if (!display) job_set_orientation(&job, 1);
    if (display && job_prepare_colour(&job) == COLOUR_IGNORED) printf("profile ignored\n");
    job.requested_frame = frame;
    bool ok = decode_step(&job, &err);
    if (ok && !preview) {
        if (!commit_to(&region, scratch + pixels + colour + extra + info.orient_bytes)) {
            printf("error too_large at 0\n");
            return 1;
        }
        ok = finish_full_resolution(&job, &err);
    }
    if (!ok) {
        printf("error %s\n", error_text(err).c_str());
        return 1;
    }
    if (cmd == "decode") {
        PixelBuffer out;
        ReservedRegion whole = {};
        // A preview exists only where the decoder makes one (JPEG); WebP keeps
        // no image in the job's buffer.
        bool own_preview = preview && info.preview_level != 0;
        u64 whole_bytes = own_preview ? 0 : full_resolution_bytes(&job);
        if (whole_bytes != 0 && (!reserve(&whole, whole_bytes) || !commit_to(&whole, whole_bytes))) {
            printf("error too_large at 0\n");
            return 1;
        }
        ok = own_preview ? (out = job.pixels, true) : full_resolution_pixels(&job, whole.base, &out, &err);
        if (!ok) {
            printf("error %s\n", error_text(err).c_str());
            return 1;
        }
        // The preview as shown goes through the transform the tiles use.
        if (own_preview && job.colour != nullptr) icc_convert_rect(job.colour, out.pixels, out.stride, out.width, out.height);
        if (!write_pam(argv[3], out, false)) {
            fprintf(stderr, "qbcodec: cannot write %s\n", argv[3]);
            return 1;
        }
        printf("wrote %u x %u\n", out.width, out.height);
        release(&whole);
        release(&region);
        release(&source_region);
        return 0;
    }
    // Tiles as the tile cache asks for them: BGRA, edge-filled to 256 x 256.
    // A level the job does not serve itself (between a TIFF's reduced
    // images, or a JPEG's after its second stage) is averaged from finer
    // tiles, as the viewer's pyramid does.
    job.swap_red_blue = true;
    TileCache cache;
    if (!create(&cache, 64)) {
        printf("error too_large at 0\n");
        return 1;
    }
    std::vector<u8> tile(256 * 1024);
    PixelBuffer t = {tile.data(), 1024, 256, 256};
    u64 lw = ceil_shift(job.info.width, (u32)level), lh = ceil_shift(job.info.height, (u32)level);
    u32 count = 0;
    for (u32 row = 0; (u64)row * 256 < lh; row++) {
        for (u32 column = 0; (u64)column * 256 < lw; column++) {
            if (!render_any_level(&cache, job_source(&job), 0, (u32)level, column, row, &t, &err)) {
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
    release(&cache);
    return 0;
}

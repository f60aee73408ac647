// GIF decode against giflib on the same files: a large photo-like still (a
// mosaic of Kodak photos quantised to 240 colours with ordered dithering)
// and a 50-frame animation of moving, partly transparent rectangles cut from
// it with every disposal. Both files are written by giflib's encoder. Ours
// reads the header and composes every frame to RGBA; giflib only decodes
// every frame's indices (DGifGetLine), with no composition. Prints the best
// times and ratios (giflib / ours: above 1 means we are faster), then each
// kernel variant on its own.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <png.h>

#include "bench/bench_support.h"
#include "../tests/codec/gif/giflib_support.h"

using namespace giftest;
namespace fs = std::filesystem;

// A 6 x 8 x 5 colour cube and a 4 x 4 ordered dither.
static std::vector<u32> cube_palette() {
    std::vector<u32> p(256, 0);
    for (u32 r = 0; r < 6; r++)
        for (u32 g = 0; g < 8; g++)
            for (u32 b = 0; b < 5; b++) p[(r * 8 + g) * 5 + b] = (r * 51) << 16 | (g * 255 / 7) << 8 | (b * 255 / 4);
    return p;
}

static u8 quantise(u32 r, u32 g, u32 b, u32 x, u32 y) {
    static const u32 bayer[16] = {0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5};
    u32 t = bayer[(y & 3) * 4 + (x & 3)];
    auto level = [t](u32 v, u32 levels) { return std::min(levels - 1, (v * (levels - 1) * 16 + t * 255) / (255 * 16)); };
    return (u8)((level(r, 6) * 8 + level(g, 8)) * 5 + level(b, 5));
}

struct Photo {
    u32 w = 0, h = 0;
    Bytes indices;
};

// 3 x 2 Kodak photos (768 x 512 each), or a synthetic gradient with noise
// when the corpus is absent.
static Photo make_photo() {
    Photo p;
    fs::path kodak = fs::path(QB_SHARED_DIR) / "corpus" / "kodak";
    const char* names[6] = {"kodim01.png", "kodim02.png", "kodim03.png", "kodim05.png", "kodim06.png", "kodim07.png"};
    p.w = 2304, p.h = 1024;
    p.indices.assign((size_t)p.w * p.h, 0);
    bool real = true;
    for (u32 k = 0; k < 6 && real; k++) {
        std::vector<u8> rgb;
        u32 w, h;
        if (!load_png(kodak / names[k], PNG_FORMAT_RGB, &rgb, &w, &h) || w != 768 || h != 512) {
            real = false;
            break;
        }
        u32 ox = (k % 3) * 768, oy = (k / 3) * 512;
        for (u32 y = 0; y < 512; y++)
            for (u32 x = 0; x < 768; x++) {
                const u8* s = &rgb[((size_t)y * 768 + x) * 3];
                p.indices[(size_t)(oy + y) * p.w + ox + x] = quantise(s[0], s[1], s[2], ox + x, oy + y);
            }
    }
    if (!real) {
        printf("no Kodak photos at %s; using a synthetic picture\n", kodak.string().c_str());
        u32 seed = 1;
        for (u32 y = 0; y < p.h; y++)
            for (u32 x = 0; x < p.w; x++) {
                seed = seed * 1103515245 + 12345;
                u32 n = (seed >> 16) & 31;
                p.indices[(size_t)y * p.w + x] =
                    quantise((x * 255 / p.w + n) & 255, (y * 255 / p.h + n) & 255, ((x + y) / 13 + n) & 255, x, y);
            }
    }
    return p;
}

static Bytes photo_gif(const Photo& p) {
    GenFrame g;
    g.ref.w = p.w, g.ref.h = p.h;
    g.ref.indices = p.indices;
    return giflib_write(p.w, p.h, cube_palette(), false, -1, {g});
}

// 50 frames on a 480 x 360 screen: a full first frame, then rectangles of
// 120 to 360 pixels a side moving across, every fourth one interlaced, with
// transparency on half of them and disposals 0 to 3 in turn.
static Bytes animation_gif(const Photo& p) {
    const u32 W = 480, H = 360;
    std::vector<GenFrame> frames;
    for (u32 k = 0; k < 50; k++) {
        GenFrame g;
        RefFrame& f = g.ref;
        if (k == 0) {
            f.w = W, f.h = H;
        } else {
            f.w = 120 + (k * 37) % 240;
            f.h = 120 + (k * 53) % 240;
            f.x = (k * 41) % (W - f.w + 1);
            f.y = (k * 29) % (H - f.h + 1);
        }
        f.interlaced = k % 4 == 3;
        f.disposal = k % 4;
        f.delay = 4;
        f.transparent = k % 2 ? (i32)(k * 7 % 240) : 256;
        g.control = true;
        f.indices.resize((size_t)f.w * f.h);
        u32 sx = (k * 31) % (p.w - f.w), sy = (k * 17) % (p.h - f.h);
        for (u32 y = 0; y < f.h; y++)
            memcpy(&f.indices[(size_t)y * f.w], &p.indices[(size_t)(sy + y) * p.w + sx], f.w);
        frames.push_back(g);
    }
    return giflib_write(W, H, cube_palette(), true, 0, frames);
}

// Ours: header, then every frame composed into the canvas.
struct Ours {
    const Bytes& file;
    GifInfo info{};
    std::vector<u8> ws, mem;
    PixelBuffer canvas{};
    explicit Ours(const Bytes& f) : file(f) {
        ImageHeader header;
        CodecError err;
        if (!gif_read_header(file.data(), file.size(), &header, &info, &err)) return;
        ws.resize(info.workspace_bytes + 64);
        mem.resize(row_stride(info.width) * info.height + 64);
        canvas = {align(mem.data()), row_stride(info.width), info.width, info.height};
    }
    static u8* align(u8* p) { return (u8*)(((uintptr_t)p + 63) & ~(uintptr_t)63); }
    bool run() {
        ImageHeader header;
        CodecError err;
        if (!gif_read_header(file.data(), file.size(), &header, &info, &err)) return false;
        for (u32 n = 0; n < info.frame_count; n++) {
            if (!gif_decode_frame(file.data(), file.size(), &info, align(ws.data()), info.workspace_bytes, n, &canvas,
                                  &err))
                return false;
        }
        return true;
    }
};

// giflib: every frame's indices, row by row, into one buffer.
static bool giflib_run(const Bytes& file, std::vector<u8>& rows) {
    MemoryReader reader = {&file, 0};
    int error;
    GifFileType* gif = DGifOpen(&reader, read_memory, &error);
    if (!gif) return false;
    bool ok = false;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) break;
        if (type == TERMINATE_RECORD_TYPE) {
            ok = true;
            break;
        }
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType* ext;
            if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) break;
            while (ext && DGifGetExtensionNext(gif, &ext) != GIF_ERROR) {
            }
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE || DGifGetImageDesc(gif) == GIF_ERROR) break;
        size_t w = gif->Image.Width, h = gif->Image.Height;
        if (rows.size() < w * h) rows.resize(w * h);
        bool failed = false;
        for (size_t r = 0; r < h && !failed; r++) failed = DGifGetLine(gif, rows.data() + r * w, (int)w) == GIF_ERROR;
        if (failed) break;
    }
    DGifCloseFile(gif, &error);
    return ok;
}

int main() {
    Photo photo = make_photo();
    struct Input {
        const char* name;
        Bytes file;
        double pixels;  // composed canvas pixels over all frames
    } inputs[2] = {{"photo 2304x1024", photo_gif(photo), 0}, {"animation 480x360 x50", animation_gif(photo), 0}};
    printf("%-24s %9s %10s %10s %9s\n", "file", "KiB", "ours MP/s", "giflib", "x giflib");
    for (Input& in : inputs) {
        if (in.file.empty()) {
            printf("%s: giflib could not write it\n", in.name);
            return 1;
        }
        Ours ours(in.file);
        std::vector<u8> rows;
        if (!ours.run() || !giflib_run(in.file, rows)) {
            printf("%s: decode failed\n", in.name);
            return 1;
        }
        in.pixels = (double)ours.info.width * ours.info.height * ours.info.frame_count;
        int runs = 15;
        double t_ours = best_of(runs, [&] { ours.run(); });
        double t_gif = best_of(runs, [&] { giflib_run(in.file, rows); });
        printf("%-24s %9.0f %10.1f %10.1f %9.2f\n", in.name, in.file.size() / 1024.0, in.pixels / 1e6 / t_ours,
               in.pixels / 1e6 / t_gif, t_gif / t_ours);
    }
    const char* names[3] = {"scalar", "sse2", "avx2"};
    for (Input& in : inputs) {
        Ours ours(in.file);
        for (u32 v = 0; v < 3; v++) {
            if (!gif_kernels_force(v)) continue;
            double t = best_of(10, [&] { ours.run(); });
            printf("%-24s %-7s %10.1f MP/s\n", in.name, names[v], in.pixels / 1e6 / t);
        }
        gif_kernels_select();
    }
    return 0;
}

// Writes the WebP sample files of the scenario tests with libwebp's encoder
// and muxer: lossy-alpha-80x60.webp (lossy colour with a compressed,
// filtered alpha plane) and four-frames.webp (a 48 x 32 animation looping
// twice: a full lossy frame, a translucent lossless square blended over it,
// a lossy frame with alpha cleared to the background afterwards, and a
// small lossless frame without blending; 40, 100, 60 and 250 ms), and
// lossy-2000x1400.webp (large enough for the viewer to decode it a band of
// rows per paint, small on disk: smooth, at a low quality). Build
// and run from the repository root:
//   g++ -std=c++20 tests/data/make_webp_samples.cpp -o /tmp/mkwebp \
//       $(pkg-config --cflags --libs libwebp libwebpmux) && /tmp/mkwebp tests/data
#include <stdio.h>
#include <string.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <string>
#include <vector>

typedef unsigned char u8;

static std::vector<u8> picture(int w, int h, int seed, bool alpha) {
    std::vector<u8> p((size_t)w * h * 4);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            u8* px = &p[((size_t)y * w + x) * 4];
            px[0] = (u8)((x * 255) / (w - 1) ^ (seed * 60));
            px[1] = (u8)((y * 255) / (h - 1));
            px[2] = (u8)(((x / 8 + y / 8 + seed) % 2) * 200 + 30);
            px[3] = !alpha ? 255 : (x < w / 2 ? 255 : (u8)(32 + (y * 200) / (h - 1)));
            if (alpha && (x / 6 + y / 6) % 5 == 0) px[3] = 0;
        }
    }
    return p;
}

static std::vector<u8> encode(const std::vector<u8>& rgba, int w, int h, bool lossless, float quality = 80) {
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = lossless;
    config.quality = quality;
    config.alpha_filtering = 2;
    WebPPicture pic;
    WebPPictureInit(&pic);
    pic.use_argb = lossless;
    pic.width = w;
    pic.height = h;
    WebPPictureImportRGBA(&pic, rgba.data(), w * 4);
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    pic.writer = WebPMemoryWrite;
    pic.custom_ptr = &writer;
    std::vector<u8> out;
    if (WebPEncode(&config, &pic)) out.assign(writer.mem, writer.mem + writer.size);
    WebPMemoryWriterClear(&writer);
    WebPPictureFree(&pic);
    return out;
}

static bool save(const std::string& path, const u8* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : ".";
    std::vector<u8> still = encode(picture(80, 60, 0, true), 80, 60, false);
    if (still.empty() || !save(dir + "/lossy-alpha-80x60.webp", still.data(), still.size())) return 1;
    const int lw = 2000, lh = 1400;
    std::vector<u8> smooth((size_t)lw * lh * 4);
    for (int y = 0; y < lh; y++) {
        for (int x = 0; x < lw; x++) {
            u8* px = &smooth[((size_t)y * lw + x) * 4];
            px[0] = (u8)(x * 255 / (lw - 1));
            px[1] = (u8)(y * 255 / (lh - 1));
            px[2] = (u8)(((x - lw / 2) * (x - lw / 2) + (y - lh / 2) * (y - lh / 2)) / 4000);
            px[3] = 255;
        }
    }
    std::vector<u8> large = encode(smooth, lw, lh, false, 20);
    if (large.empty() || !save(dir + "/lossy-2000x1400.webp", large.data(), large.size())) return 1;

    struct Frame {
        int x, y, w, h;
        bool lossless, alpha, blend, dispose;
        int ms;
    };
    const Frame frames[] = {{0, 0, 48, 32, false, false, true, false, 40},
                            {8, 8, 24, 16, true, true, true, false, 100},
                            {16, 0, 32, 32, false, true, true, true, 60},
                            {2, 20, 12, 12, true, false, false, false, 250}};
    WebPMux* mux = WebPMuxNew();
    std::vector<std::vector<u8>> images;
    int seed = 0;
    for (const Frame& f : frames) {
        images.push_back(encode(picture(f.w, f.h, ++seed, f.alpha), f.w, f.h, f.lossless));
        WebPMuxFrameInfo info;
        memset(&info, 0, sizeof info);
        info.bitstream.bytes = images.back().data();
        info.bitstream.size = images.back().size();
        info.x_offset = f.x;
        info.y_offset = f.y;
        info.duration = f.ms;
        info.id = WEBP_CHUNK_ANMF;
        info.dispose_method = f.dispose ? WEBP_MUX_DISPOSE_BACKGROUND : WEBP_MUX_DISPOSE_NONE;
        info.blend_method = f.blend ? WEBP_MUX_BLEND : WEBP_MUX_NO_BLEND;
        if (WebPMuxPushFrame(mux, &info, 1) != WEBP_MUX_OK) return 1;
    }
    WebPMuxAnimParams params = {0xFFFFFFFFu, 2};
    WebPMuxSetAnimationParams(mux, &params);
    WebPMuxSetCanvasSize(mux, 48, 32);
    WebPData data;
    WebPDataInit(&data);
    if (WebPMuxAssemble(mux, &data) != WEBP_MUX_OK) return 1;
    bool ok = save(dir + "/four-frames.webp", data.bytes, data.size);
    WebPDataClear(&data);
    WebPMuxDelete(mux);
    return ok ? 0 : 1;
}

// mksamples: writes the viewer's sample images into a folder: an RGB
// gradient, an RGBA disc with soft edges (to show the checkerboard through
// it) and a grey 16-bit ramp. The PNG writer here is the simplest valid one:
// filter 0 rows in stored (uncompressed) deflate blocks, so it needs nothing
// but a CRC-32 and an Adler-32. Usage: mksamples FOLDER
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

static uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0 - (crc & 1)));
    }
    return ~crc;
}

static void be32(Bytes& v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8) v.push_back((uint8_t)(x >> s));
}

static void chunk(Bytes& png, const char* type, const Bytes& data) {
    be32(png, (uint32_t)data.size());
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    be32(png, crc32(body.data(), body.size()));
}

static Bytes zlib_stored(const Bytes& raw) {
    Bytes z = {0x78, 0x01};
    size_t pos = 0;
    do {
        size_t n = raw.size() - pos < 65535 ? raw.size() - pos : 65535;
        z.push_back(pos + n == raw.size() ? 1 : 0);
        z.push_back(n & 0xFF);
        z.push_back(n >> 8);
        z.push_back(~n & 0xFF);
        z.push_back((~n >> 8) & 0xFF);
        z.insert(z.end(), raw.begin() + pos, raw.begin() + pos + n);
        pos += n;
    } while (pos < raw.size());
    uint32_t a = 1, b = 0;
    for (uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    be32(z, (b << 16) | a);
    return z;
}

static bool write_png(const std::string& path, uint32_t w, uint32_t h, int depth, int colour_type,
                      const Bytes& rows, int interlace);

static bool write_png(const std::string& path, uint32_t w, uint32_t h, int depth, int colour_type,
                      const Bytes& rows) {
    return write_png(path, w, h, depth, colour_type, rows, 0);
}

// The Adam7 passes of an 8-bit RGB image given as plain pixels: each pass's
// rows (filter 0), empty passes left out.
static Bytes adam7_rows(const Bytes& rgb, uint32_t w, uint32_t h) {
    static const uint32_t pass[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                        {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    Bytes out;
    for (const auto& p : pass) {
        if (p[0] >= w || p[1] >= h) continue;
        for (uint32_t y = p[1]; y < h; y += p[3]) {
            out.push_back(0);
            for (uint32_t x = p[0]; x < w; x += p[2]) {
                out.insert(out.end(), rgb.begin() + 3 * (y * w + x), rgb.begin() + 3 * (y * w + x) + 3);
            }
        }
    }
    return out;
}

static bool write_png(const std::string& path, uint32_t w, uint32_t h, int depth, int colour_type,
                      const Bytes& rows, int interlace) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    be32(ihdr, w);
    be32(ihdr, h);
    ihdr.insert(ihdr.end(), {(uint8_t)depth, (uint8_t)colour_type, 0, 0, (uint8_t)interlace});
    chunk(png, "IHDR", ihdr);
    chunk(png, "IDAT", zlib_stored(rows));
    chunk(png, "IEND", {});
    FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(png.data(), 1, png.size(), f) == png.size();
    if (f != nullptr && std::fclose(f) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "mksamples: cannot write %s\n", path.c_str());
    return ok;
}

// An animation of three frames over a 48 x 32 canvas: a red frame, a green
// square blended over it, and a blue bar that replaces its area, with the
// delays 1/0 (one hundredth), 1/3 and 10/100 of a second.
static bool write_apng(const std::string& path) {
    const uint32_t w = 48, h = 32;
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    be32(ihdr, w);
    be32(ihdr, h);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    chunk(png, "IHDR", ihdr);
    Bytes actl;
    be32(actl, 3);
    be32(actl, 0);
    chunk(png, "acTL", actl);
    struct Frame {
        uint32_t x, y, fw, fh;
        uint16_t num, den;
        uint8_t blend;
        uint8_t r, g, b, a;
    };
    const Frame frames[3] = {{0, 0, w, h, 1, 0, 0, 220, 40, 40, 255},
                             {8, 8, 16, 16, 1, 3, 1, 40, 200, 40, 160},
                             {24, 4, 20, 24, 10, 100, 0, 40, 40, 220, 255}};
    uint32_t sequence = 0;
    for (int f = 0; f < 3; f++) {
        const Frame& fr = frames[f];
        Bytes fctl;
        be32(fctl, sequence++);
        be32(fctl, fr.fw);
        be32(fctl, fr.fh);
        be32(fctl, fr.x);
        be32(fctl, fr.y);
        fctl.insert(fctl.end(), {(uint8_t)(fr.num >> 8), (uint8_t)fr.num, (uint8_t)(fr.den >> 8), (uint8_t)fr.den, 0,
                                 fr.blend});
        chunk(png, "fcTL", fctl);
        Bytes rows;
        for (uint32_t y = 0; y < fr.fh; y++) {
            rows.push_back(0);
            for (uint32_t x = 0; x < fr.fw; x++) rows.insert(rows.end(), {fr.r, fr.g, fr.b, fr.a});
        }
        Bytes z = zlib_stored(rows);
        if (f == 0) {
            chunk(png, "IDAT", z);
        } else {
            Bytes fdat;
            be32(fdat, sequence++);
            fdat.insert(fdat.end(), z.begin(), z.end());
            chunk(png, "fdAT", fdat);
        }
    }
    chunk(png, "IEND", {});
    FILE* file = std::fopen(path.c_str(), "wb");
    bool ok = file != nullptr && std::fwrite(png.data(), 1, png.size(), file) == png.size();
    if (file != nullptr && std::fclose(file) != 0) ok = false;
    return ok;
}

int main(int argc, char** argv) {
    // --test-data writes the small images the scenario tests open.
    bool test_data = argc == 3 && std::string(argv[1]) == "--test-data";
    if (argc != 2 && !test_data) {
        std::fprintf(stderr, "usage: mksamples [--test-data] FOLDER\n");
        return 64;
    }
    std::string dir = argv[argc - 1];
    bool ok = true;
    if (test_data) {
        Bytes rows;
        for (uint32_t y = 0; y < 30; y++) {
            rows.push_back(0);
            for (uint32_t x = 0; x < 40; x++) rows.insert(rows.end(), {(uint8_t)(x * 6), (uint8_t)(y * 8), 128});
        }
        ok &= write_png(dir + "/small-rgb.png", 40, 30, 8, 2, rows);
        rows.clear();
        for (uint32_t y = 0; y < 64; y++) {
            rows.push_back(0);
            for (uint32_t x = 0; x < 64; x++) {
                rows.insert(rows.end(), {250, 200, 30, (uint8_t)(x < 21 ? 0 : x < 42 ? 128 : 255)});
            }
        }
        ok &= write_png(dir + "/alpha-steps.png", 64, 64, 8, 6, rows);
        ok &= write_apng(dir + "/three-frames.png");
        Bytes rgb;
        for (uint32_t y = 0; y < 21; y++) {
            for (uint32_t x = 0; x < 33; x++) rgb.insert(rgb.end(), {(uint8_t)(x * 7), (uint8_t)((x ^ y) * 9), (uint8_t)(y * 12)});
        }
        ok &= write_png(dir + "/interlaced.png", 33, 21, 8, 2, adam7_rows(rgb, 33, 21), 1);
        return ok ? 0 : 1;
    }
    {
        const uint32_t w = 480, h = 300;
        Bytes rows;
        for (uint32_t y = 0; y < h; y++) {
            rows.push_back(0);
            for (uint32_t x = 0; x < w; x++) {
                rows.push_back((uint8_t)(x * 255 / (w - 1)));
                rows.push_back((uint8_t)(y * 255 / (h - 1)));
                rows.push_back((uint8_t)(255 - x * 255 / (w - 1)));
            }
        }
        ok &= write_png(dir + "/gradient.png", w, h, 8, 2, rows);
    }
    {
        const uint32_t n = 256;
        Bytes rows;
        for (uint32_t y = 0; y < n; y++) {
            rows.push_back(0);
            for (uint32_t x = 0; x < n; x++) {
                double d = std::hypot((double)x - 128, (double)y - 128);
                long a = std::lround((110 - d) * 8);
                rows.insert(rows.end(), {255, (uint8_t)(200 * y / 255), 40, (uint8_t)(a < 0 ? 0 : a > 255 ? 255 : a)});
            }
        }
        ok &= write_png(dir + "/disc-alpha.png", n, n, 8, 6, rows);
    }
    {
        const uint32_t w = 320, h = 200;
        Bytes rows;
        for (uint32_t y = 0; y < h; y++) {
            rows.push_back(0);
            for (uint32_t x = 0; x < w; x++) {
                uint32_t v = (x * 65535 / (w - 1) + y * 97) & 0xFFFF;
                rows.push_back((uint8_t)(v >> 8));
                rows.push_back((uint8_t)v);
            }
        }
        ok &= write_png(dir + "/grey16.png", w, h, 16, 0, rows);
    }
    return ok ? 0 : 1;
}

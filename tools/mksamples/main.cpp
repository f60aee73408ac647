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
                      const Bytes& rows) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    be32(ihdr, w);
    be32(ihdr, h);
    ihdr.insert(ihdr.end(), {(uint8_t)depth, (uint8_t)colour_type, 0, 0, 0});
    chunk(png, "IHDR", ihdr);
    chunk(png, "IDAT", zlib_stored(rows));
    chunk(png, "IEND", {});
    FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(png.data(), 1, png.size(), f) == png.size();
    if (f != nullptr && std::fclose(f) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "mksamples: cannot write %s\n", path.c_str());
    return ok;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mksamples FOLDER\n");
        return 64;
    }
    std::string dir = argv[1];
    bool ok = true;
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

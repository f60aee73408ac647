// mkicon: draws the application icon (a magnifier over a rounded tile) at
// twelve sizes from 16 to 256 pixels and writes them as one .ico file of
// 32-bit images. Each pixel is the average of 8 x 8 samples, so the small
// sizes stay smooth. Usage: mkicon OUT.ico
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

struct Rgba {
    double r, g, b, a;
};

// Colour of the icon at (x, y) in a unit square, premultiplied.
static Rgba sample(double x, double y) {
    // Rounded tile.
    double m = 0.06, radius = 0.2;
    double dx = std::fmax(std::fabs(x - 0.5) - (0.5 - m - radius), 0.0);
    double dy = std::fmax(std::fabs(y - 0.5) - (0.5 - m - radius), 0.0);
    if (std::hypot(dx, dy) > radius) return {0, 0, 0, 0};
    double t = y;  // vertical gradient
    Rgba c = {0.13 + 0.10 * (1 - t), 0.36 + 0.20 * (1 - t), 0.70 + 0.18 * (1 - t), 1};
    // Lens ring and glass.
    double cx = 0.44, cy = 0.42, d = std::hypot(x - cx, y - cy);
    if (d < 0.19) c = {0.78, 0.88, 0.97, 1};
    if (d >= 0.19 && d < 0.25) c = {0.97, 0.97, 0.97, 1};
    // Handle.
    double hx = x - 0.62, hy = y - 0.60;
    double along = (hx + hy) / std::sqrt(2.0), across = (hx - hy) / std::sqrt(2.0);
    if (along > 0 && along < 0.26 && std::fabs(across) < 0.055) c = {0.97, 0.97, 0.97, 1};
    return c;
}

static void put16(std::vector<uint8_t>& v, unsigned x) {
    v.push_back(x & 0xFF);
    v.push_back((x >> 8) & 0xFF);
}
static void put32(std::vector<uint8_t>& v, unsigned x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkicon OUT.ico\n");
        return 64;
    }
    const int sizes[12] = {16, 20, 24, 32, 40, 48, 64, 72, 96, 128, 192, 256};
    std::vector<std::vector<uint8_t>> images;
    for (int n : sizes) {
        std::vector<uint8_t> dib;
        put32(dib, 40);
        put32(dib, n);
        put32(dib, 2 * n);  // colour rows, then the mask rows
        put16(dib, 1);
        put16(dib, 32);
        for (int i = 0; i < 6; i++) put32(dib, 0);
        for (int row = n - 1; row >= 0; row--) {  // bottom-up
            for (int col = 0; col < n; col++) {
                Rgba s = {0, 0, 0, 0};
                for (int j = 0; j < 8; j++) {
                    for (int i = 0; i < 8; i++) {
                        Rgba p = sample((col + (i + 0.5) / 8) / n, (row + (j + 0.5) / 8) / n);
                        s.r += p.r * p.a;
                        s.g += p.g * p.a;
                        s.b += p.b * p.a;
                        s.a += p.a;
                    }
                }
                double a = s.a / 64;
                auto channel = [&](double premultiplied) {
                    return (uint8_t)std::lround(a > 0 ? 255 * premultiplied / s.a : 0);
                };
                dib.push_back(channel(s.b));
                dib.push_back(channel(s.g));
                dib.push_back(channel(s.r));
                dib.push_back((uint8_t)std::lround(255 * a));
            }
        }
        int mask_row = ((n + 31) / 32) * 4;
        dib.insert(dib.end(), (size_t)mask_row * n, 0);  // alpha decides; mask all opaque
        images.push_back(dib);
    }
    std::vector<uint8_t> out;
    put16(out, 0);
    put16(out, 1);
    put16(out, 12);
    unsigned offset = 6 + 16 * 12;
    for (int k = 0; k < 12; k++) {
        out.push_back(sizes[k] == 256 ? 0 : sizes[k]);
        out.push_back(sizes[k] == 256 ? 0 : sizes[k]);
        out.push_back(0);
        out.push_back(0);
        put16(out, 1);
        put16(out, 32);
        put32(out, (unsigned)images[k].size());
        put32(out, offset);
        offset += (unsigned)images[k].size();
    }
    for (const auto& img : images) out.insert(out.end(), img.begin(), img.end());
    FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "mkicon: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}

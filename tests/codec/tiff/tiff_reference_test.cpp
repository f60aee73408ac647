// Our TIFF decoder against libtiff on files libtiff writes here: every
// compression (none, PackBits, LZW, both Deflate codes, JPEG), the
// horizontal predictor at 8 and 16 bits, every photometric interpretation,
// depths 1 to 16, both planar configurations, strips and tiles, classic TIFF
// and BigTIFF in both byte orders, fill order 2 and extra samples. Colour
// images are compared with TIFFReadRGBAImage, exactly (JPEG included: our
// JPEG decoder matches libjpeg-turbo). Images with alpha are compared with
// the samples written, since TIFFReadRGBAImage premultiplies where we keep
// unassociated alpha as stored.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "codec/icc/icc.h"
#include "codec/orientation.h"
#include "tiff_support.h"

using namespace tifftest;

namespace {

struct Case {
    u32 width = 37;
    u32 height = 23;
    u32 samples = 1;
    u32 bits = 8;
    u32 photometric = PHOTOMETRIC_MINISBLACK;
    u32 compression = COMPRESSION_NONE;
    u32 predictor = 1;
    u32 planar = PLANARCONFIG_CONTIG;
    u32 tile_w = 0;  // 0: strips
    u32 tile_h = 0;
    u32 rows_per_strip = 5;
    bool bigtiff = false;
    bool big_endian = false;
    u32 extra = 0;  // the first extra sample's kind, when samples exceed the colour ones
    u32 fill_order = FILLORDER_MSB2LSB;
    u32 jpeg_h = 2;  // YCbCr subsampling of a JPEG file
    u32 jpeg_v = 2;
};

std::string describe(const Case& c) {
    char text[256];
    snprintf(text, sizeof text, "%ux%u spp=%u bits=%u photo=%u comp=%u pred=%u planar=%u tile=%ux%u rps=%u big=%d be=%d "
             "extra=%u fill=%u",
             c.width, c.height, c.samples, c.bits, c.photometric, c.compression, c.predictor, c.planar, c.tile_w,
             c.tile_h, c.rows_per_strip, c.bigtiff, c.big_endian, c.extra, c.fill_order);
    return text;
}

u32 color_samples(u32 photometric) {
    switch (photometric) {
    case PHOTOMETRIC_RGB:
    case PHOTOMETRIC_YCBCR: return 3;
    case PHOTOMETRIC_SEPARATED: return 4;
    default: return 1;
    }
}

// Every sample value of the image, pixel-interleaved.
std::vector<u32> make_values(const Case& c) {
    std::mt19937 rng(c.width * 31 + c.bits * 7 + c.samples);
    u32 max = (1u << c.bits) - 1;
    std::vector<u32> v((size_t)c.width * c.height * c.samples);
    for (u32 y = 0; y < c.height; y++)
        for (u32 x = 0; x < c.width; x++)
            for (u32 s = 0; s < c.samples; s++) {
                u32 value = photo_value(x, y, s, max, rng);
                // Associated alpha never below the colour it scales.
                if (c.extra == EXTRASAMPLE_ASSOCALPHA) {
                    if (s == c.samples - 1) value = max - (x % 3) * (max / 4);
                }
                v[((size_t)y * c.width + x) * c.samples + s] = value;
            }
    if (c.extra == EXTRASAMPLE_ASSOCALPHA) {
        for (size_t p = 0; p < (size_t)c.width * c.height; p++) {
            u32 a = v[p * c.samples + c.samples - 1];
            for (u32 s = 0; s + 1 < c.samples; s++) v[p * c.samples + s] = v[p * c.samples + s] * a / max;
        }
    }
    return v;
}

// Packs samples [first, first + per) of pixels x0..x0+n-1 of row y (zeros
// past the image) at c.bits each, most significant bit first; 16-bit values
// in host order, as libtiff takes them.
void pack_row(const Case& c, const std::vector<u32>& v, u32 y, u32 x0, u32 n, u32 first, u32 per, u8* out) {
    u64 bit = 0;
    for (u32 i = 0; i < n; i++) {
        for (u32 s = first; s < first + per; s++) {
            u32 x = x0 + i;
            u32 value = x < c.width && y < c.height ? v[((size_t)y * c.width + x) * c.samples + s] : 0;
            if (c.bits == 16) {
                memcpy(out + bit / 8, &value, 2);
            } else if (c.bits == 8) {
                out[bit / 8] = (u8)value;
            } else {
                out[bit / 8] |= (u8)(value << (8 - c.bits - bit % 8));
            }
            bit += c.bits;
        }
    }
}

struct TempFile {
    std::string path;
    TempFile() {
        char name[] = "/tmp/qb-tiff-XXXXXX";
        int fd = mkstemp(name);
        close(fd);
        path = name;
    }
    ~TempFile() { unlink(path.c_str()); }
};

Bytes read_all(const std::string& path) {
    Bytes b;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return b;
    u8 buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    fclose(f);
    return b;
}

u16 palette_entry(u32 i, u32 k) {
    return (u16)(((i * (53 + 40 * k) + 7 * k) & 255) * 257 + (i & 1) * 100);
}

bool write_tiff(const Case& c, const std::vector<u32>& v, const std::string& path) {
    std::string mode = "w";
    mode += c.bigtiff ? "8" : "";
    mode += c.big_endian ? "b" : "l";
    TIFF* t = TIFFOpen(path.c_str(), mode.c_str());
    if (!t) return false;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, c.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, c.height);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, c.samples);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, c.bits);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, c.photometric);
    TIFFSetField(t, TIFFTAG_COMPRESSION, c.compression);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, c.planar);
    TIFFSetField(t, TIFFTAG_FILLORDER, c.fill_order);
    if (c.predictor != 1) TIFFSetField(t, TIFFTAG_PREDICTOR, c.predictor);
    u32 colors = color_samples(c.photometric);
    if (c.samples > colors) {
        std::vector<u16> kinds(c.samples - colors, EXTRASAMPLE_UNSPECIFIED);
        kinds[0] = (u16)c.extra;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, (u16)kinds.size(), kinds.data());
    }
    std::vector<u16> map[3];
    if (c.photometric == PHOTOMETRIC_PALETTE) {
        u32 n = 1u << c.bits;
        for (u32 k = 0; k < 3; k++) {
            map[k].resize(n);
            for (u32 i = 0; i < n; i++) map[k][i] = palette_entry(i, k);
        }
        TIFFSetField(t, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
    }
    if (c.compression == COMPRESSION_JPEG) {
        TIFFSetField(t, TIFFTAG_JPEGQUALITY, 90);
        if (c.photometric == PHOTOMETRIC_YCBCR) {
            TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, c.jpeg_h, c.jpeg_v);
            TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        }
    }
    u32 per = c.planar == PLANARCONFIG_SEPARATE ? 1 : c.samples;
    u32 planes = c.planar == PLANARCONFIG_SEPARATE ? c.samples : 1;
    bool ok = true;
    if (c.tile_w != 0) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, c.tile_w);
        TIFFSetField(t, TIFFTAG_TILELENGTH, c.tile_h);
        u64 row_bytes = ((u64)c.tile_w * per * c.bits + 7) / 8;
        std::vector<u8> tile(row_bytes * c.tile_h);
        for (u32 p = 0; p < planes; p++)
            for (u32 ty = 0; ty < c.height; ty += c.tile_h)
                for (u32 tx = 0; tx < c.width; tx += c.tile_w) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (u32 r = 0; r < c.tile_h; r++) pack_row(c, v, ty + r, tx, c.tile_w, p * per, per, &tile[r * row_bytes]);
                    ok &= TIFFWriteTile(t, tile.data(), tx, ty, 0, (u16)p) >= 0;
                }
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, c.rows_per_strip);
        u64 row_bytes = ((u64)c.width * per * c.bits + 7) / 8;
        std::vector<u8> strip;
        for (u32 p = 0; p < planes; p++)
            for (u32 y = 0; y < c.height; y += c.rows_per_strip) {
                u32 rows = c.height - y < c.rows_per_strip ? c.height - y : c.rows_per_strip;
                strip.assign(row_bytes * rows, 0);
                for (u32 r = 0; r < rows; r++) pack_row(c, v, y + r, 0, c.width, p * per, per, &strip[r * row_bytes]);
                u32 index = TIFFComputeStrip(t, y, (u16)p);
                ok &= TIFFWriteEncodedStrip(t, index, strip.data(), (tmsize_t)strip.size()) >= 0;
            }
    }
    TIFFClose(t);
    return ok;
}

// libtiff's RGBA image, top row first, as RGBA words.
std::vector<u32> libtiff_rgba(const std::string& path, u32 w, u32 h) {
    std::vector<u32> raster((size_t)w * h);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t) return {};
    bool ok = TIFFReadRGBAImageOriented(t, w, h, raster.data(), ORIENTATION_TOPLEFT, 0) != 0;
    TIFFClose(t);
    if (!ok) return {};
    return raster;
}

u32 to8(u32 v, u32 bits) {
    if (bits == 16) return (v + 128) / 257;
    return v * 255 / ((1u << bits) - 1);
}

// The expected RGBA of a losslessly stored image, from the samples written:
// 16-bit samples rounded, alpha as stored (divided out when associated),
// inks to light as (255 - C)(255 - K) / 255, 16-bit palettes by high byte.
std::vector<u32> model_rgba(const Case& c, const std::vector<u32>& v) {
    std::vector<u32> out((size_t)c.width * c.height);
    u32 colors = color_samples(c.photometric);
    bool alpha = c.samples > colors && (c.extra == EXTRASAMPLE_ASSOCALPHA || c.extra == EXTRASAMPLE_UNASSALPHA);
    for (size_t p = 0; p < out.size(); p++) {
        const u32* s = &v[p * c.samples];
        u32 a = alpha ? to8(s[colors], c.bits) : 255;
        u32 ch[3];
        for (u32 k = 0; k < 3; k++) ch[k] = to8(s[colors == 1 ? 0 : k], c.bits);
        if (c.photometric == PHOTOMETRIC_MINISWHITE) {
            for (u32 k = 0; k < 3; k++) ch[k] = 255 - ch[k];
        }
        if (c.photometric == PHOTOMETRIC_PALETTE) {
            for (u32 k = 0; k < 3; k++) ch[k] = palette_entry(s[0], k) >> 8;
        }
        if (c.photometric == PHOTOMETRIC_SEPARATED) {
            u32 black = 255 - to8(s[3], c.bits);
            for (u32 k = 0; k < 3; k++) ch[k] = black * (255 - to8(s[k], c.bits)) / 255;
        }
        if (c.extra == EXTRASAMPLE_ASSOCALPHA && alpha) {
            for (u32 k = 0; k < 3; k++) {
                u32 u = a == 0 ? 0 : (ch[k] * 255 + a / 2) / a;
                ch[k] = u > 255 ? 255 : u;
            }
        }
        out[p] = ch[0] | ch[1] << 8 | ch[2] << 16 | a << 24;
    }
    return out;
}

size_t first_difference(const std::vector<u32>& a, const std::vector<u32>& b) {
    if (a.size() != b.size()) return 0;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i] != b[i]) return i;
    return a.size();
}

void check_case(const Case& c, u32 render_tile = 0) {
    SCOPED_TRACE(describe(c));
    TempFile file;
    std::vector<u32> values = make_values(c);
    ASSERT_TRUE(write_tiff(c, values, file.path));
    Bytes bytes = read_all(file.path);
    Decoded ours = decode(bytes, render_tile);
    ASSERT_TRUE(ours.ok) << "error " << ours.err.code << " at " << ours.err.offset;
    ASSERT_EQ(ours.width, c.width);
    ASSERT_EQ(ours.height, c.height);
    bool alpha = c.samples > color_samples(c.photometric) &&
                 (c.extra == EXTRASAMPLE_ASSOCALPHA || c.extra == EXTRASAMPLE_UNASSALPHA);
    bool lossless = c.compression != COMPRESSION_JPEG;
    std::vector<u32> reference = libtiff_rgba(file.path, c.width, c.height);
    // libtiff reads what it can: not 4-bit RGB nor inks with extra samples.
    bool readable = !reference.empty();
    // libtiff 4.5's RGBA reader garbles the right-hand partial tiles of
    // 16-bit grey images; the model check below still covers them.
    bool grey16_tiles = c.bits == 16 && c.tile_w != 0 && color_samples(c.photometric) == 1;
    if (lossless && readable && !alpha && !grey16_tiles) {
        // libtiff truncates 16-bit samples where we round, and shows an
        // unspecified extra sample as alpha where we leave it out.
        for (size_t i = 0; i < reference.size(); i++) {
            for (u32 k = 0; k < 24; k += 8) {
                int d = (int)(ours.pixels[i] >> k & 255) - (int)(reference[i] >> k & 255);
                ASSERT_TRUE(d == 0 || (c.bits == 16 && d == 1)) << "libtiff differs at " << i << std::hex << " ours " << ours.pixels[i] << " libtiff " << reference[i];
            }
            ASSERT_EQ(ours.pixels[i] >> 24, c.samples > color_samples(c.photometric) ? 255u : reference[i] >> 24);
        }
    }
    std::vector<u32> expected = lossless ? model_rgba(c, values) : reference;
    ASSERT_EQ(expected.size(), ours.pixels.size());
    size_t at = first_difference(ours.pixels, expected);
    if (at != expected.size()) {
        size_t count = 0;
        int worst = 0;
        for (size_t i = 0; i < expected.size(); i++) {
            if (ours.pixels[i] == expected[i]) continue;
            count++;
            for (int k = 0; k < 32; k += 8) worst = std::max(worst, std::abs((int)(ours.pixels[i] >> k & 255) - (int)(expected[i] >> k & 255)));
        }
        printf("%zu pixels differ, by %d at most\n", count, worst);
    }
    EXPECT_EQ(at, expected.size()) << "pixel (" << at % c.width << ", " << at / c.width << ") ours " << std::hex
                                   << ours.pixels[at] << " expected " << expected[at];
}

struct Format {
    u32 samples, bits, photometric, extra;
};

const Format k_formats[] = {
    {1, 1, PHOTOMETRIC_MINISBLACK, 0},  {1, 1, PHOTOMETRIC_MINISWHITE, 0},   {1, 2, PHOTOMETRIC_MINISBLACK, 0},
    {1, 4, PHOTOMETRIC_MINISWHITE, 0},  {1, 8, PHOTOMETRIC_MINISBLACK, 0},   {1, 8, PHOTOMETRIC_MINISWHITE, 0},
    {1, 16, PHOTOMETRIC_MINISBLACK, 0}, {3, 8, PHOTOMETRIC_RGB, 0},          {3, 16, PHOTOMETRIC_RGB, 0},
    {1, 1, PHOTOMETRIC_PALETTE, 0},     {1, 2, PHOTOMETRIC_PALETTE, 0},      {1, 4, PHOTOMETRIC_PALETTE, 0},
    {1, 8, PHOTOMETRIC_PALETTE, 0},     {4, 8, PHOTOMETRIC_SEPARATED, 0},    {4, 8, PHOTOMETRIC_RGB, EXTRASAMPLE_UNASSALPHA},
    {4, 8, PHOTOMETRIC_RGB, EXTRASAMPLE_ASSOCALPHA}, {4, 16, PHOTOMETRIC_RGB, EXTRASAMPLE_UNASSALPHA},
    {2, 8, PHOTOMETRIC_MINISBLACK, EXTRASAMPLE_UNASSALPHA}, {2, 16, PHOTOMETRIC_MINISBLACK, EXTRASAMPLE_ASSOCALPHA},
    {4, 8, PHOTOMETRIC_RGB, EXTRASAMPLE_UNSPECIFIED}, {3, 4, PHOTOMETRIC_RGB, 0}, {5, 8, PHOTOMETRIC_SEPARATED, 0},
};

const u32 k_lossless[] = {COMPRESSION_NONE, COMPRESSION_PACKBITS, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE,
                          COMPRESSION_DEFLATE};

}  // namespace

// Every lossless compression with every sample format, in strips, tiles and
// one strip; the predictor, planes, BigTIFF, byte order and fill order vary
// from file to file so that each meets every compression.
TEST(TiffReference, LosslessEveryFormat) {
    u32 n = 0;
    for (u32 comp : k_lossless)
        for (const Format& f : k_formats)
            for (u32 layout = 0; layout < 3; layout++, n++) {
                Case c;
                c.samples = f.samples;
                c.bits = f.bits;
                c.photometric = f.photometric;
                c.extra = f.extra;
                c.compression = comp;
                if (layout == 0) c.rows_per_strip = 5;
                if (layout == 1) c.tile_w = 16, c.tile_h = 32;
                if (layout == 2) c.rows_per_strip = c.height;
                c.planar = f.samples > 1 && n % 2 == 1 ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG;
                bool predictable = (comp == COMPRESSION_LZW || comp == COMPRESSION_ADOBE_DEFLATE ||
                                    comp == COMPRESSION_DEFLATE) && (f.bits == 8 || f.bits == 16);
                if (predictable && n % 3 != 1) c.predictor = PREDICTOR_HORIZONTAL;
                c.bigtiff = n % 3 == 0;
                c.big_endian = n % 4 >= 2;
                if (n % 7 == 3) c.fill_order = FILLORDER_LSB2MSB;
                tiff_kernels_force(n % 2 ? TIFF_KERNELS_SCALAR : TIFF_KERNELS_SSE2);
                check_case(c, n % 5 == 0 ? 7 : 0);
            }
    tiff_kernels_force(TIFF_KERNELS_SSE2);
}

// JPEG: grey, RGB and YCbCr with each subsampling, in strips and tiles,
// BigTIFF and both byte orders; the image spans several 256 x 256 pieces of
// a block.
TEST(TiffReference, JpegBlocks) {
    struct JpegCase {
        u32 samples, photometric, h, v, tile, rows;
    };
    const JpegCase cases[] = {
        {1, PHOTOMETRIC_MINISBLACK, 1, 1, 0, 16}, {3, PHOTOMETRIC_RGB, 1, 1, 0, 8},
        {3, PHOTOMETRIC_YCBCR, 2, 2, 0, 16},      {3, PHOTOMETRIC_YCBCR, 2, 1, 0, 48},
        {3, PHOTOMETRIC_YCBCR, 1, 1, 64, 0},      {3, PHOTOMETRIC_YCBCR, 2, 2, 512, 0},
        {1, PHOTOMETRIC_MINISBLACK, 1, 1, 128, 0}, {3, PHOTOMETRIC_YCBCR, 2, 2, 0, 300},
    };
    u32 n = 0;
    for (const JpegCase& j : cases) {
        Case c;
        c.width = 301;
        c.height = 277;
        c.samples = j.samples;
        c.photometric = j.photometric;
        c.compression = COMPRESSION_JPEG;
        c.jpeg_h = j.h;
        c.jpeg_v = j.v;
        c.tile_w = c.tile_h = j.tile;
        c.rows_per_strip = j.rows;
        c.bigtiff = n % 2 == 1;
        c.big_endian = n % 4 >= 2;
        check_case(c, n % 3 == 0 ? 256 : 0);
        n++;
    }
}

// Uncompressed and LZW YCbCr in sampling units (h x v luma samples, then Cb
// and Cr), written as stored data, in strips and in 16 x 16 tiles that pass
// the image's right and bottom edges, against libtiff's conversion. The
// samples are a function of their place alone, so the tiled file holds the
// strips' samples and must decode to the same pixels. That is the check for
// 4 x 4 units in tiles, where libtiff's RGBA reader misplaces the units of a
// tile that passes the right edge (a unit of one luma and one chroma comes
// out in several colours).
TEST(TiffReference, SubsampledYCbCrWithoutJpeg) {
    const u32 sampling[][2] = {{1, 1}, {2, 1}, {2, 2}, {4, 2}, {4, 4}};
    const u32 width = 37, height = 23;
    u32 n = 0;
    for (const auto& s : sampling)
        for (u32 comp : {COMPRESSION_NONE, COMPRESSION_LZW}) {
            u32 h = s[0], v = s[1], rows = 4 * v;
            // Smooth ramps with noise from a hash of the place.
            auto sample = [](u32 x, u32 y, u32 channel) {
                u32 k = (x * 73856093u) ^ (y * 19349663u) ^ (channel * 83492791u);
                k ^= k >> 13;
                k *= 0x5bd1e995u;
                u32 v = (x * 7 + y * 3 + channel * 50) % 256 + (k >> 29);
                return (u8)(v > 255 ? 255 : v);
            };
            // The units of the block at (x, y), `cols` by `rows_in` pixels.
            auto units = [&](u32 x, u32 y, u32 cols, u32 rows_in) {
                Bytes block;
                for (u32 uy = 0; uy < (rows_in + v - 1) / v; uy++)
                    for (u32 ux = 0; ux < (cols + h - 1) / h; ux++) {
                        for (u32 k = 0; k < h * v; k++) block.push_back(sample(x + ux * h + k % h, y + uy * v + k / h, 0));
                        block.push_back(sample(x / h + ux, y / v + uy, 1));
                        block.push_back((u8)(255 - sample(y / v + uy, x / h + ux, 2)));
                    }
                return block;
            };
            std::vector<u32> strips;
            for (bool tiled : {false, true}) {
                SCOPED_TRACE(testing::Message() << h << "x" << v << " comp " << comp << " tiled " << tiled);
                TempFile file;
                TIFF* t = TIFFOpen(file.path.c_str(), n % 2 ? "wb" : "wl");
                ASSERT_NE(t, nullptr);
                TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
                TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
                TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
                TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
                TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
                TIFFSetField(t, TIFFTAG_COMPRESSION, comp);
                TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
                TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, h, v);
                if (tiled) {
                    TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
                    TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
                    for (u32 y = 0; y < height; y += 16)
                        for (u32 x = 0; x < width; x += 16) {
                            Bytes tile = units(x, y, 16, 16);
                            ASSERT_GE(TIFFWriteEncodedTile(t, TIFFComputeTile(t, x, y, 0, 0), tile.data(), (tmsize_t)tile.size()), 0);
                        }
                } else {
                    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows);
                    for (u32 y = 0; y < height; y += rows) {
                        Bytes strip = units(0, y, width, height - y < rows ? height - y : rows);
                        ASSERT_GE(TIFFWriteEncodedStrip(t, TIFFComputeStrip(t, y, 0), strip.data(), (tmsize_t)strip.size()), 0);
                    }
                }
                TIFFClose(t);
                Bytes bytes = read_all(file.path);
                Decoded ours = decode(bytes, n % 3 == 0 ? 16 : 0);
                ASSERT_TRUE(ours.ok) << "error " << ours.err.code << " at " << ours.err.offset;
                if (!tiled || v != 4) {
                    std::vector<u32> expected = libtiff_rgba(file.path, width, height);
                    ASSERT_EQ(expected.size(), ours.pixels.size());
                    size_t at = first_difference(ours.pixels, expected);
                    EXPECT_EQ(at, expected.size()) << "pixel (" << at % width << ", " << at / width << ") ours "
                                                   << std::hex << ours.pixels[at] << " libtiff " << expected[at];
                }
                if (!tiled) {
                    strips = ours.pixels;
                } else {
                    ASSERT_EQ(strips.size(), ours.pixels.size());
                    size_t at = first_difference(ours.pixels, strips);
                    EXPECT_EQ(at, strips.size()) << "pixel (" << at % width << ", " << at / width << ") tiles "
                                                 << std::hex << ours.pixels[at] << " strips " << strips[at];
                }
                n++;
            }
        }
}

namespace {

// Writes one directory of an RGB image, tiled 32 x 32 and LZW-compressed,
// with pixel values a function of (x, y) scaled to the full image.
void write_rgb_dir(TIFF* t, u32 w, u32 h, u32 scale, bool reduced) {
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, reduced ? FILETYPE_REDUCEDIMAGE : 0);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_TILEWIDTH, 32);
    TIFFSetField(t, TIFFTAG_TILELENGTH, 32);
    std::vector<u8> tile(32 * 32 * 3);
    for (u32 ty = 0; ty < h; ty += 32)
        for (u32 tx = 0; tx < w; tx += 32) {
            for (u32 j = 0; j < 32; j++)
                for (u32 i = 0; i < 32; i++) {
                    u8* p = &tile[(j * 32 + i) * 3];
                    p[0] = (u8)((tx + i) * scale);
                    p[1] = (u8)((ty + j) * scale);
                    p[2] = (u8)(scale * 40);
                }
            TIFFWriteTile(t, tile.data(), tx, ty, 0, 0);
        }
}

}  // namespace

// A pyramid in the IFD chain (marked reduced or not) and one in SubIFDs: the probe's preview level
// is the coarsest reduced image's, each reduced level renders that image
// (one whose size was rounded down included), and a level between or
// beyond them is left to the tile cache ("bad_target").
TEST(TiffReference, ReducedResolutionLevels) {
    // 0: reduced images in the chain; 1: in SubIFDs; 2: in the chain, each
    // marked as a page of its own, as slide scanners write them.
    for (int sub = 0; sub < 3; sub++) {
        SCOPED_TRACE(sub == 1 ? "SubIFDs" : sub == 2 ? "pages" : "chain");
        TempFile file;
        TIFF* t = TIFFOpen(file.path.c_str(), "w");
        ASSERT_NE(t, nullptr);
        // 301 x 203: level 1 is 151 x 102 (stored rounded down, 150 x 101),
        // level 2 is 76 x 51; level 3 has no image, level 4 (19 x 13) has.
        const u32 sizes[][3] = {{301, 203, 1}, {150, 101, 2}, {76, 51, 4}, {19, 13, 16}};
        if (sub == 1) {
            uint64_t offsets[3] = {0, 0, 0};
            TIFFSetField(t, TIFFTAG_SUBIFD, 3, offsets);
        }
        for (const auto& s : sizes) {
            write_rgb_dir(t, s[0], s[1], s[2], sub != 2 && s[2] != 1);
            TIFFWriteDirectory(t);
        }
        TIFFClose(t);
        Bytes bytes = read_all(file.path);
        auto jpeg = std::make_unique<JpegDecoder>();
        ImageInfo info;
        CodecError err;
        ASSERT_TRUE(tiff_probe(bytes.data(), bytes.size(), &info, jpeg.get(), &err));
        EXPECT_EQ(info.width, 301u);
        EXPECT_EQ(info.preview_level, 4u);
        Scratch scratch(info.scratch_bytes);
        ASSERT_TRUE(tiff_begin(bytes.data(), bytes.size(), scratch.p, info.scratch_bytes, &err));
        std::vector<u32> out(256 * 256);
        PixelBuffer o = {(u8*)out.data(), 1024, 256, 256};
        const u32 levels[][2] = {{1, 2}, {2, 4}, {4, 16}};
        for (const auto& l : levels) {
            u32 lw = (301 + (1u << l[0]) - 1) >> l[0];
            u32 lh = (203 + (1u << l[0]) - 1) >> l[0];
            ASSERT_TRUE(tiff_render(bytes.data(), bytes.size(), scratch.p, l[0], 0, 0, lw, lh, &o, &err))
                << "level " << l[0] << " error " << err.code;
            for (u32 y = 0; y < lh; y++)
                for (u32 x = 0; x < lw; x++) {
                    // The reduced image of level 1 is a pixel short each way.
                    u32 sx = l[0] == 1 ? std::min(x, 149u) : x;
                    u32 sy = l[0] == 1 ? std::min(y, 100u) : y;
                    u32 want = (u8)(sx * l[1]) | (u32)(u8)(sy * l[1]) << 8 | (u32)(u8)(l[1] * 40) << 16 | 0xFF000000u;
                    ASSERT_EQ(out[y * 256 + x], want) << "level " << l[0] << " at " << x << "," << y;
                }
        }
        EXPECT_FALSE(tiff_render(bytes.data(), bytes.size(), scratch.p, 3, 0, 0, 10, 10, &o, &err));
        EXPECT_EQ(err.code, ERR_BAD_TARGET);
        EXPECT_FALSE(tiff_render(bytes.data(), bytes.size(), scratch.p, 5, 0, 0, 5, 5, &o, &err));
    }
}

// Pages of a document in strips are never taken for levels, even one
// exactly half the size of the first.
TEST(TiffReference, StripPagesAreNotLevels) {
    TempFile file;
    TIFF* t = TIFFOpen(file.path.c_str(), "w");
    ASSERT_NE(t, nullptr);
    for (u32 w : {64u, 32u}) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, w / 2);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 8);
        std::vector<u8> row(w * 3, 77);
        for (u32 y = 0; y < w / 2; y++) TIFFWriteScanline(t, row.data(), y, 0);
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
    Bytes bytes = read_all(file.path);
    auto jpeg = std::make_unique<JpegDecoder>();
    ImageInfo info;
    CodecError err;
    ASSERT_TRUE(tiff_probe(bytes.data(), bytes.size(), &info, jpeg.get(), &err));
    EXPECT_EQ(info.width, 64u);
    EXPECT_EQ(info.preview_level, 0u);
}

// The Orientation tag and the colour profile are found in classic TIFF and
// BigTIFF alike, in both byte orders.
TEST(TiffReference, OrientationAndProfileInEveryContainer) {
    Bytes profile(300);
    for (size_t i = 0; i < profile.size(); i++) profile[i] = (u8)(i * 7);
    for (int big = 0; big < 2; big++)
        for (int be = 0; be < 2; be++) {
            SCOPED_TRACE(std::string(big ? "BigTIFF" : "classic") + (be ? " big-endian" : " little-endian"));
            TempFile file;
            TIFF* t = TIFFOpen(file.path.c_str(), big ? (be ? "w8b" : "w8l") : (be ? "wb" : "wl"));
            ASSERT_NE(t, nullptr);
            TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 8);
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, 4);
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
            TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_RIGHTTOP);
            TIFFSetField(t, TIFFTAG_ICCPROFILE, (u32)profile.size(), profile.data());
            std::vector<u8> row(8 * 3, 10);
            for (u32 y = 0; y < 4; y++) TIFFWriteScanline(t, row.data(), y, 0);
            TIFFClose(t);
            Bytes bytes = read_all(file.path);
            EXPECT_EQ(exif_orientation(bytes.data(), bytes.size()), 6u);
            IccFind find;
            tiff_find_profile(bytes.data(), bytes.size(), &find);
            EXPECT_EQ(find.container, (u32)ICC_IN_TIFF);
            EXPECT_EQ(find.state, (u32)COLOUR_PENDING);
            EXPECT_EQ(find.size, profile.size());
            // Cut inside the profile: the offset no longer fits, and the
            // profile is ignored rather than read past the end.
            tiff_find_profile(bytes.data(), bytes.size() - 400, &find);
            EXPECT_NE(find.state, (u32)COLOUR_PENDING);
        }
}

// Blocks large enough for the fast loops (LZW with a full table and long
// strings, PackBits runs, long predicted rows), noisy and flat content.
TEST(TiffReference, LargeBlocks) {
    u32 n = 0;
    for (u32 comp : k_lossless)
        for (const Format& f : {Format{3, 8, PHOTOMETRIC_RGB, 0}, Format{1, 16, PHOTOMETRIC_MINISBLACK, 0},
                                Format{4, 8, PHOTOMETRIC_RGB, EXTRASAMPLE_UNASSALPHA}, Format{1, 1, PHOTOMETRIC_MINISBLACK, 0}}) {
            Case c;
            c.width = 523;
            c.height = 300;
            c.samples = f.samples;
            c.bits = f.bits;
            c.photometric = f.photometric;
            c.extra = f.extra;
            c.compression = comp;
            c.rows_per_strip = 100;
            if (n % 2) c.tile_w = c.tile_h = 128;
            if ((comp == COMPRESSION_LZW || comp == COMPRESSION_ADOBE_DEFLATE || comp == COMPRESSION_DEFLATE) &&
                f.bits >= 8) {
                c.predictor = PREDICTOR_HORIZONTAL;
            }
            c.big_endian = n % 3 == 1;
            check_case(c, n % 4 == 0 ? 256 : 0);
            n++;
        }
}

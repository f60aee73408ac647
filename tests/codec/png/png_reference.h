// libpng as the reference: decodes a file into RGBA samples (8 or 16 bits,
// every expansion done by libpng, no gamma), and from those builds the two
// results our decoder must match: the native canvas and the 8-bit RGBA
// display. A pixel whose tRNS colour key matched has alpha 0 from libpng and
// is all zero in ours. Also writes PNG files with a chosen filter per row.
#pragma once

#include <png.h>
#include <setjmp.h>

#include "png_support.h"

namespace pngtest {

struct RefImage {
    bool ok = false;
    u32 width = 0, height = 0, colour_type = 0, depth = 0;
    bool trns = false;
    std::vector<u16> rgba;  // 4 samples a pixel at the file's depth (8 or 16)
};

struct MemReader {
    const Bytes* file;
    size_t pos;
};

static void mem_read(png_structp png, png_bytep out, png_size_t n) {
    MemReader* r = (MemReader*)png_get_io_ptr(png);
    if (r->pos + n > r->file->size()) png_error(png, "read past end");
    memcpy(out, r->file->data() + r->pos, n);
    r->pos += n;
}
static void quiet_warning(png_structp, png_const_charp) {}
static void hard_error(png_structp png, png_const_charp) {
    longjmp(png_jmpbuf(png), 1);
}

inline RefImage ref_decode(const Bytes& file) {
    RefImage img;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, hard_error, quiet_warning);
    png_infop info = png_create_info_struct(png);
    MemReader reader = {&file, 0};
    std::vector<png_bytep> rows;
    std::vector<u8> pixels;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        img.ok = false;
        return img;
    }
    png_set_read_fn(png, &reader, mem_read);
    png_set_user_limits(png, 1 << 20, 1 << 20);
    // Text chunks are never looked at by our decoder; skipping them keeps
    // libpng from inflating the decompression bombs of the corpus.
    static const png_byte text_chunks[] = "zTXt\0iTXt\0tEXt\0iCCP\0";
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, text_chunks, 4);
    png_read_info(png, info);
    img.width = png_get_image_width(png, info);
    img.height = png_get_image_height(png, info);
    img.colour_type = png_get_color_type(png, info);
    img.depth = png_get_bit_depth(png, info);
    img.trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFFFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    size_t rb = png_get_rowbytes(png, info);
    pixels.resize(rb * img.height);
    for (u32 y = 0; y < img.height; y++) rows.push_back(pixels.data() + y * rb);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    size_t n = (size_t)img.width * img.height * 4;
    img.rgba.resize(n);
    bool wide = img.depth == 16;
    for (size_t i = 0; i < n; i++) img.rgba[i] = wide ? (u16)(pixels[2 * i] << 8 | pixels[2 * i + 1]) : pixels[i];
    // Colour-key transparency clears the whole pixel in our formats.
    if (img.trns && (img.colour_type == 0 || img.colour_type == 2)) {
        for (size_t i = 0; i < n; i += 4) {
            if (img.rgba[i + 3] == 0) img.rgba[i] = img.rgba[i + 1] = img.rgba[i + 2] = 0;
        }
    }
    img.ok = true;
    return img;
}

// The native canvas the decoder should produce for `format`.
inline Bytes ref_canvas(const RefImage& r, PixelFormat format) {
    Bytes out;
    size_t n = (size_t)r.width * r.height;
    for (size_t i = 0; i < n; i++) {
        const u16* p = &r.rgba[4 * i];
        switch (format) {
        case Mono8: out.push_back((u8)p[0]); break;
        case MonoA8:
            out.push_back((u8)p[0]);
            out.push_back((u8)p[3]);
            break;
        case Rgba16:
            for (int c = 0; c < 4; c++) {
                out.push_back((u8)p[c]);
                out.push_back((u8)(p[c] >> 8));
            }
            break;
        default:
            for (int c = 0; c < 4; c++) out.push_back((u8)p[c]);
            break;
        }
    }
    return out;
}

inline Bytes ref_display(const RefImage& r) {
    Bytes out;
    for (u16 v : r.rgba) out.push_back(r.depth == 16 ? (u8)(v >> 8) : (u8)v);
    return out;
}

// ---- Writer --------------------------------------------------------------------------

struct WriteOptions {
    u32 width = 1, height = 1, type = 0, depth = 8, interlace = 0;
    int level = 6;
    u32 filter_seed = 0;      // row r uses filter (r + seed) % 5 ...
    bool filter_random = false;  // ... or a pseudo-random one
    std::vector<u8> palette;  // RGB triples
    std::vector<u8> trns;     // raw tRNS chunk data
};

static void mem_write(png_structp png, png_bytep data, png_size_t n) {
    Bytes* out = (Bytes*)png_get_io_ptr(png);
    out->insert(out->end(), data, data + n);
}
static void mem_flush(png_structp) {}

// `rows`: height rows of packed samples in file layout (16-bit big-endian).
inline Bytes ref_write(const WriteOptions& o, const std::vector<Bytes>& rows) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, hard_error, quiet_warning);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return Bytes();
    }
    png_set_write_fn(png, &out, mem_write, mem_flush);
    png_set_IHDR(png, info, o.width, o.height, o.depth, o.type, o.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, o.level);
    std::vector<png_color> pal;
    for (size_t i = 0; i + 2 < o.palette.size(); i += 3) pal.push_back({o.palette[i], o.palette[i + 1], o.palette[i + 2]});
    if (!pal.empty()) png_set_PLTE(png, info, pal.data(), (int)pal.size());
    if (!o.trns.empty()) {
        if (o.type == 3) {
            png_set_tRNS(png, info, o.trns.data(), (int)o.trns.size(), nullptr);
        } else {
            png_color_16 key = {};
            auto v = [&](size_t i) { return (png_uint_16)(o.trns[i] << 8 | o.trns[i + 1]); };
            if (o.type == 0) key.gray = v(0);
            else {
                key.red = v(0);
                key.green = v(2);
                key.blue = v(4);
            }
            png_set_tRNS(png, info, nullptr, 0, &key);
        }
    }
    png_write_info(png, info);
    int passes = o.interlace ? png_set_interlace_handling(png) : 1;
    static const int filters[5] = {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG, PNG_FILTER_PAETH};
    u32 x = o.filter_seed * 7919 + 3;
    u32 n = 0;
    for (int pass = 0; pass < passes; pass++) {
        for (u32 y = 0; y < o.height; y++, n++) {
            x = x * 1103515245u + 12345u;
            u32 f = o.filter_random ? (x >> 16) % 5 : (n + o.filter_seed) % 5;
            png_set_filter(png, 0, filters[f]);
            png_write_row(png, rows[y].data());
        }
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// The file with its IDAT data re-cut into chunks of `size` bytes.
inline Bytes rechunk_idat(const Bytes& file, size_t size) {
    Bytes z, before, after;
    size_t pos = 8;
    bool seen = false;
    while (pos + 12 <= file.size()) {
        u32 len = (u32)file[pos] << 24 | (u32)file[pos + 1] << 16 | (u32)file[pos + 2] << 8 | file[pos + 3];
        std::string type((const char*)&file[pos + 4], 4);
        Bytes whole(file.begin() + pos, file.begin() + pos + 12 + len);
        if (type == "IDAT") {
            z.insert(z.end(), file.begin() + pos + 8, file.begin() + pos + 8 + len);
            seen = true;
        } else if (type != "IHDR") {
            (seen ? after : before).insert((seen ? after : before).end(), whole.begin(), whole.end());
        }
        pos += 12 + len;
    }
    Bytes ihdr(file.begin() + 16, file.begin() + 29);
    Bytes out = signature();
    chunk(out, "IHDR", ihdr);
    out.insert(out.end(), before.begin(), before.end());
    for (size_t p = 0; p < z.size(); p += size) chunk(out, "IDAT", Bytes(z.begin() + p, z.begin() + std::min(z.size(), p + size)));
    out.insert(out.end(), after.begin(), after.end());
    return out;
}

}  // namespace pngtest

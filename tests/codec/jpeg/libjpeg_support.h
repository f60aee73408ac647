// libjpeg-turbo as the reference: encoding test images in memory, decoding
// them (scaled or full, with or without fancy upsampling) and reading their
// quantised coefficients. Errors jump back with longjmp; no exception ever
// crosses the C library.
#pragma once

#include <csetjmp>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

#include "base/types.h"

struct RefError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

inline void ref_error_exit(j_common_ptr cinfo) {
    longjmp(((RefError*)cinfo->err)->jump, 1);
}
inline void ref_silent(j_common_ptr, int) {}

struct EncodeOptions {
    u32 width = 64, height = 64;
    u32 components = 3;
    u32 h0 = 2, v0 = 2;  // first component's sampling; the others are 1 x 1
    bool progressive = false;
    bool separate_scans = false;  // sequential, one scan per component
    u32 restart = 0;  // interval in MCUs
    int quality = 85;
    bool force_baseline = true;
    bool optimize = false;
    bool rgb = false;     // RGB colour space: ids 'R','G','B'
    bool adobe = false;   // write an Adobe segment
    bool jfif = true;     // write a JFIF segment (YCbCr and grey only)
    u32 seed = 1;
};

// A picture with smooth gradients, edges and noise, so every coefficient
// band carries data.
inline std::vector<u8> test_picture(u32 w, u32 h, u32 comps, u32 seed) {
    std::vector<u8> p((size_t)w * h * comps);
    u32 s = seed * 2654435761u + 1;
    for (u32 y = 0; y < h; y++) {
        for (u32 x = 0; x < w; x++) {
            for (u32 c = 0; c < comps; c++) {
                s = s * 1664525u + 1013904223u;
                int v = (int)((x * (3 + c) + y * (5 - c)) & 255);
                if (((x / 13) + (y / 11) + c) & 1) v = 255 - v;
                v += (int)((s >> 24) & 31) - 16;
                p[((size_t)y * w + x) * comps + c] = (u8)(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return p;
}

// libjpeg-turbo's compressor over `rows` rows of pixels `stride` bytes
// apart, set up by `configure` (which sets the size, colour space and
// parameters); the file in memory, empty when the compressor fails.
template <class Configure>
std::vector<u8> ref_compress(const u8* pixels, size_t stride, u32 rows, Configure configure) {
    jpeg_compress_struct c;
    RefError err;
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = ref_error_exit;
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&c);
        free(out);
        return {};
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &out, &out_size);
    configure(&c);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < rows) {
        JSAMPROW row = (JSAMPROW)&pixels[(size_t)c.next_scanline * stride];
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<u8> file(out, out + out_size);
    free(out);
    return file;
}

// Packed RGB pixels at the given quality, 4:2:0 or 4:4:4, baseline or
// progressive.
inline std::vector<u8> ref_encode_rgb(const std::vector<u8>& rgb, u32 w, u32 h, int quality, bool s420,
                                      bool progressive) {
    return ref_compress(rgb.data(), (size_t)w * 3, h, [&](jpeg_compress_struct* c) {
        c->image_width = w;
        c->image_height = h;
        c->input_components = 3;
        c->in_color_space = JCS_RGB;
        jpeg_set_defaults(c);
        jpeg_set_quality(c, quality, TRUE);
        c->comp_info[0].h_samp_factor = c->comp_info[0].v_samp_factor = s420 ? 2 : 1;
        if (progressive) jpeg_simple_progression(c);
    });
}

inline std::vector<u8> ref_encode(const EncodeOptions& o) {
    std::vector<u8> picture = test_picture(o.width, o.height, o.components, o.seed);
    return ref_compress(picture.data(), (size_t)o.width * o.components, o.height, [&](jpeg_compress_struct* c) {
        c->image_width = o.width;
        c->image_height = o.height;
        c->input_components = (int)o.components;
        c->in_color_space = o.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
        jpeg_set_defaults(c);
        if (o.rgb) jpeg_set_colorspace(c, JCS_RGB);
        jpeg_set_quality(c, o.quality, o.force_baseline ? TRUE : FALSE);
        c->comp_info[0].h_samp_factor = (int)o.h0;
        c->comp_info[0].v_samp_factor = (int)o.v0;
        for (u32 i = 1; i < o.components; i++) c->comp_info[i].h_samp_factor = c->comp_info[i].v_samp_factor = 1;
        if (o.rgb) {
            for (u32 i = 0; i < o.components; i++) c->comp_info[i].h_samp_factor = c->comp_info[i].v_samp_factor = 1;
        }
        c->write_Adobe_marker = o.adobe ? TRUE : FALSE;
        c->write_JFIF_header = o.jfif && !o.rgb ? TRUE : FALSE;
        c->optimize_coding = o.optimize ? TRUE : FALSE;
        c->restart_interval = o.restart;
        if (o.progressive) jpeg_simple_progression(c);
        static jpeg_scan_info separate[4];
        if (o.separate_scans && !o.progressive) {
            for (int i = 0; i < c->num_components; i++) {
                separate[i] = jpeg_scan_info{1, {i, 0, 0, 0}, 0, 63, 0, 0};
            }
            c->scan_info = separate;
            c->num_scans = c->num_components;
        }
    });
}

struct RefImage {
    bool ok = false;
    u32 width = 0, height = 0, channels = 0;
    std::vector<u8> pixels;
};

// libjpeg-turbo's decode into `out`, which only grows (a caller that keeps
// it reuses its memory); false on an error.
inline bool ref_decode_into(const std::vector<u8>& file, u32 scale_denom, bool fancy, J_COLOR_SPACE space,
                            std::vector<u8>* out, u32* width, u32* height, u32* channels) {
    jpeg_decompress_struct d;
    RefError err;
    d.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = ref_error_exit;
    err.mgr.emit_message = ref_silent;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        return false;
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, file.data(), (unsigned long)file.size());
    jpeg_read_header(&d, TRUE);
    d.scale_num = 1;
    d.scale_denom = scale_denom;
    d.do_fancy_upsampling = fancy ? TRUE : FALSE;
    d.dct_method = JDCT_ISLOW;
    d.out_color_space = space;
    jpeg_start_decompress(&d);
    *width = d.output_width;
    *height = d.output_height;
    *channels = (u32)d.output_components;
    size_t need = (size_t)*width * *height * *channels;
    if (out->size() < need) out->resize(need);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = out->data() + (size_t)d.output_scanline * *width * *channels;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return true;
}

inline RefImage ref_decode(const std::vector<u8>& file, u32 scale_denom, bool fancy, J_COLOR_SPACE space) {
    RefImage img;
    img.ok = ref_decode_into(file, scale_denom, fancy, space, &img.pixels, &img.width, &img.height, &img.channels);
    if (img.ok) img.pixels.resize((size_t)img.width * img.height * img.channels);
    return img;
}

struct RefCoefficients {
    bool ok = false;
    u32 components = 0;
    u32 blocks_wide[4] = {}, blocks_high[4] = {};
    std::vector<i16> coef[4];  // natural order, blocks row-major
    u16 quant[4][64] = {};
};

inline RefCoefficients ref_coefficients(const std::vector<u8>& file) {
    RefCoefficients r;
    jpeg_decompress_struct d;
    RefError err;
    d.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = ref_error_exit;
    err.mgr.emit_message = ref_silent;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        r.ok = false;
        return r;
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, file.data(), (unsigned long)file.size());
    jpeg_read_header(&d, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&d);
    r.components = (u32)d.num_components;
    for (u32 c = 0; c < r.components; c++) {
        jpeg_component_info* ci = &d.comp_info[c];
        r.blocks_wide[c] = ci->width_in_blocks;
        r.blocks_high[c] = ci->height_in_blocks;
        for (u32 k = 0; k < 64; k++) r.quant[c][k] = ci->quant_table->quantval[k];
        r.coef[c].resize((size_t)ci->width_in_blocks * ci->height_in_blocks * 64);
        for (u32 by = 0; by < ci->height_in_blocks; by++) {
            JBLOCKARRAY rows = d.mem->access_virt_barray((j_common_ptr)&d, arrays[c], by, 1, FALSE);
            for (u32 bx = 0; bx < ci->width_in_blocks; bx++) {
                memcpy(&r.coef[c][((size_t)by * ci->width_in_blocks + bx) * 64], rows[0][bx], 128);
            }
        }
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    r.ok = true;
    return r;
}

// libjpeg-turbo's compressor set up to make the files our encoder makes:
// RGBA in, standard tables scaled by the quality with every entry kept to
// 8 bits, the accurate integer transform, 2 x 2 or 1 x 1 luma sampling, and
// for progressive files the simple ten-scan script (which optimises its
// tables). Shared by the byte-identity tests and the encode benchmark.
#pragma once

#include "jpeg_encode_support.h"
#include "libjpeg_support.h"

inline void configure_like_ours(jpeg_compress_struct* c, const RgbaImage& img, int quality, bool s444,
                                bool progressive) {
    c->image_width = img.width;
    c->image_height = img.height;
    c->input_components = 4;
    c->in_color_space = JCS_EXT_RGBA;
    jpeg_set_defaults(c);
    jpeg_set_quality(c, quality, TRUE);
    c->dct_method = JDCT_ISLOW;
    c->comp_info[0].h_samp_factor = c->comp_info[0].v_samp_factor = s444 ? 1 : 2;
    if (progressive) jpeg_simple_progression(c);
}

// What the WebP benchmarks share: libwebp's encoder writing a picture into
// memory with the settings a benchmark chooses, and PNG photos read as RGBA.
#pragma once

#include <png.h>
#include <string.h>
#include <webp/encode.h>

#include <filesystem>
#include <vector>

#include "base/types.h"

// `config` as the caller set it; `use_argb` keeps the picture in ARGB, as
// the lossless encoder wants it.
inline std::vector<u8> webp_encode_rgba(const WebPConfig& config, const std::vector<u8>& rgba, u32 w, u32 h,
                                        bool use_argb) {
    WebPPicture pic;
    WebPPictureInit(&pic);
    pic.use_argb = use_argb ? 1 : 0;
    pic.width = (int)w;
    pic.height = (int)h;
    WebPPictureImportRGBA(&pic, rgba.data(), (int)w * 4);
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

inline bool read_png_rgba(const std::filesystem::path& p, std::vector<u8>* rgba, u32* w, u32* h) {
    png_image img;
    memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, p.string().c_str())) return false;
    img.format = PNG_FORMAT_RGBA;
    rgba->resize(PNG_IMAGE_SIZE(img));
    bool ok = png_image_finish_read(&img, nullptr, rgba->data(), 0, nullptr) != 0;
    *w = img.width;
    *h = img.height;
    return ok;
}

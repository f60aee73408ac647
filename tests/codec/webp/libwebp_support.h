// libwebp as the reference: lossless encoding of generated pictures with any
// method, quality and exact mode, animated encoding, and decoding to RGBA
// (for an animation, of its first frame's own bitstream).
#pragma once

#include <cstring>
#include <vector>

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include "base/types.h"

namespace webp_test {

struct LosslessOptions {
    int method = 4;
    float quality = 75;
    bool exact = false;
};

inline std::vector<u8> ref_encode_lossless(const std::vector<u8>& rgba, u32 w, u32 h, const LosslessOptions& o) {
    std::vector<u8> out;
    WebPConfig config;
    if (!WebPConfigInit(&config)) return out;
    config.lossless = 1;
    config.method = o.method;
    config.quality = o.quality;
    config.exact = o.exact ? 1 : 0;
    WebPPicture pic;
    if (!WebPPictureInit(&pic)) return out;
    pic.use_argb = 1;
    pic.width = (int)w;
    pic.height = (int)h;
    if (!WebPPictureImportRGBA(&pic, rgba.data(), (int)w * 4)) return out;
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    pic.writer = WebPMemoryWrite;
    pic.custom_ptr = &writer;
    if (WebPEncode(&config, &pic)) out.assign(writer.mem, writer.mem + writer.size);
    WebPMemoryWriterClear(&writer);
    WebPPictureFree(&pic);
    return out;
}

// Frames of w x h RGBA, lossless, 100 ms each.
inline std::vector<u8> ref_encode_animation(const std::vector<std::vector<u8>>& frames, u32 w, u32 h) {
    std::vector<u8> out;
    WebPAnimEncoderOptions ao;
    if (!WebPAnimEncoderOptionsInit(&ao)) return out;
    WebPAnimEncoder* enc = WebPAnimEncoderNew((int)w, (int)h, &ao);
    if (!enc) return out;
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = 1;
    int timestamp = 0;
    for (const auto& f : frames) {
        WebPPicture pic;
        WebPPictureInit(&pic);
        pic.use_argb = 1;
        pic.width = (int)w;
        pic.height = (int)h;
        WebPPictureImportRGBA(&pic, f.data(), (int)w * 4);
        WebPAnimEncoderAdd(enc, &pic, timestamp, &config);
        WebPPictureFree(&pic);
        timestamp += 100;
    }
    WebPAnimEncoderAdd(enc, nullptr, timestamp, nullptr);
    WebPData data;
    WebPDataInit(&data);
    if (WebPAnimEncoderAssemble(enc, &data)) out.assign(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    WebPAnimEncoderDelete(enc);
    return out;
}

// Lossy encoder settings; -1 keeps libwebp's default for the quality.
struct LossyOptions {
    float quality = 75;
    int method = 4;
    int segments = 4;
    int sns_strength = -1;
    int filter_strength = -1;
    int filter_sharpness = 0;
    int filter_type = 1;  // 0 simple, 1 normal
    int autofilter = 0;
    int partitions = 0;   // log2 of the token partitions (needs low_memory)
    bool low_memory = false;
    int alpha_compression = 1;
    int alpha_filtering = 1;
    int alpha_quality = 100;
    bool exact = false;
};

inline std::vector<u8> ref_encode_lossy(const std::vector<u8>& rgba, u32 w, u32 h, const LossyOptions& o) {
    std::vector<u8> out;
    WebPConfig config;
    if (!WebPConfigInit(&config)) return out;
    config.lossless = 0;
    config.quality = o.quality;
    config.method = o.method;
    config.segments = o.segments;
    if (o.sns_strength >= 0) config.sns_strength = o.sns_strength;
    if (o.filter_strength >= 0) config.filter_strength = o.filter_strength;
    config.filter_sharpness = o.filter_sharpness;
    config.filter_type = o.filter_type;
    config.autofilter = o.autofilter;
    config.partitions = o.partitions;
    // Without it the encoder keeps its tokens and writes one partition.
    config.low_memory = o.low_memory ? 1 : 0;
    config.alpha_compression = o.alpha_compression;
    config.alpha_filtering = o.alpha_filtering;
    config.alpha_quality = o.alpha_quality;
    config.exact = o.exact ? 1 : 0;
    if (!WebPValidateConfig(&config)) return out;
    WebPPicture pic;
    if (!WebPPictureInit(&pic)) return out;
    pic.width = (int)w;
    pic.height = (int)h;
    if (!WebPPictureImportRGBA(&pic, rgba.data(), (int)w * 4)) return out;
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    pic.writer = WebPMemoryWrite;
    pic.custom_ptr = &writer;
    if (WebPEncode(&config, &pic)) out.assign(writer.mem, writer.mem + writer.size);
    WebPMemoryWriterClear(&writer);
    WebPPictureFree(&pic);
    return out;
}

struct RefImage {
    bool ok = false;
    int width = 0, height = 0;
    std::vector<u8> rgba;
};

// The still image, or the first frame's own image of an animation.
inline RefImage ref_decode(const std::vector<u8>& file) {
    RefImage r;
    WebPData whole = {file.data(), file.size()};
    WebPDemuxer* demux = WebPDemux(&whole);
    if (!demux) return r;
    WebPIterator it;
    if (WebPDemuxGetFrame(demux, 1, &it)) {
        u8* px = WebPDecodeRGBA(it.fragment.bytes, it.fragment.size, &r.width, &r.height);
        if (px) {
            r.rgba.assign(px, px + (size_t)r.width * r.height * 4);
            WebPFree(px);
            r.ok = true;
        }
        WebPDemuxReleaseIterator(&it);
    }
    WebPDemuxDelete(demux);
    return r;
}

// The whole file as WebPDecodeRGBA decodes it.
inline RefImage ref_decode_file(const std::vector<u8>& file) {
    RefImage r;
    u8* px = WebPDecodeRGBA(file.data(), file.size(), &r.width, &r.height);
    if (px) {
        r.rgba.assign(px, px + (size_t)r.width * r.height * 4);
        WebPFree(px);
        r.ok = true;
    }
    return r;
}

}  // namespace webp_test

// What the colour tests share: hand-made ICC profiles (matrix/TRC RGB and
// grey, with any curve type and room for damage), and a decode through the
// viewer's own path (probe, one memory block laid out as the viewer lays
// it out, the job with or without its colour transform, the whole image
// assembled from its tiles).
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "codec/codecs.h"
#include "codec/icc/icc.h"
#include "codec/job.h"
#include "codec/probe.h"

namespace icctest {

typedef std::vector<u8> Bytes;

inline void put_be32(Bytes& b, u32 v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back((u8)(v >> s));
}
inline void put_be16(Bytes& b, u32 v) {
    b.push_back((u8)(v >> 8));
    b.push_back((u8)v);
}
inline void set_be32(Bytes& b, size_t at, u32 v) {
    for (int i = 0; i < 4; i++) b[at + i] = (u8)(v >> (24 - 8 * i));
}
inline u32 tag_sig(const char* s) {
    return ((u32)(u8)s[0] << 24) | ((u32)(u8)s[1] << 16) | ((u32)(u8)s[2] << 8) | (u32)(u8)s[3];
}
inline u32 s15(double v) {
    return (u32)(i32)(v * 65536 + (v < 0 ? -0.5 : 0.5));
}

// One tag's data, type signature first.
struct Tag {
    std::string name;
    Bytes data;
};

inline Tag xyz_tag(const char* name, double x, double y, double z) {
    Tag t{name, {}};
    put_be32(t.data, tag_sig("XYZ "));
    put_be32(t.data, 0);
    put_be32(t.data, s15(x));
    put_be32(t.data, s15(y));
    put_be32(t.data, s15(z));
    return t;
}

// curv with the given 16-bit entries (none: identity; one: u8Fixed8 gamma).
inline Tag curv_tag(const char* name, const std::vector<u16>& entries) {
    Tag t{name, {}};
    put_be32(t.data, tag_sig("curv"));
    put_be32(t.data, 0);
    put_be32(t.data, (u32)entries.size());
    for (u16 e : entries) put_be16(t.data, e);
    if (t.data.size() & 2) put_be16(t.data, 0);
    return t;
}

// para of function type 0 to 4 with its parameters.
inline Tag para_tag(const char* name, u32 type, const std::vector<double>& params) {
    Tag t{name, {}};
    put_be32(t.data, tag_sig("para"));
    put_be32(t.data, 0);
    put_be16(t.data, type);
    put_be16(t.data, 0);
    for (double p : params) put_be32(t.data, s15(p));
    return t;
}

// A profile of the given colour space ("RGB " or "GRAY") with these tags,
// laid out one after another after the tag table, 4-byte aligned.
inline Bytes make_profile(const char* space, const std::vector<Tag>& tags, u32 version = 0x04300000,
                          const char* pcs = "XYZ ") {
    Bytes p(128, 0);
    set_be32(p, 8, version);
    set_be32(p, 12, tag_sig("mntr"));
    set_be32(p, 16, tag_sig(space));
    set_be32(p, 20, tag_sig(pcs));
    set_be32(p, 36, tag_sig("acsp"));
    set_be32(p, 68, s15(0.9642));
    set_be32(p, 72, s15(1.0));
    set_be32(p, 76, s15(0.8249));
    put_be32(p, (u32)tags.size());
    size_t table = p.size();
    p.resize(table + 12 * tags.size());
    for (size_t i = 0; i < tags.size(); i++) {
        while (p.size() & 3) p.push_back(0);
        set_be32(p, table + 12 * i, tag_sig(tags[i].name.c_str()));
        set_be32(p, table + 12 * i + 4, (u32)p.size());
        set_be32(p, table + 12 * i + 8, (u32)tags[i].data.size());
        p.insert(p.end(), tags[i].data.begin(), tags[i].data.end());
    }
    set_be32(p, 0, (u32)p.size());
    return p;
}

// Adobe RGB (1998) primaries adapted to D50, with one curve per channel.
inline Bytes rgb_profile(const Tag& r, const Tag& g, const Tag& b) {
    std::vector<Tag> tags = {xyz_tag("wtpt", 0.9642, 1.0, 0.8249),
                             xyz_tag("rXYZ", 0.60974, 0.31111, 0.01947),
                             xyz_tag("gXYZ", 0.20528, 0.62567, 0.06087),
                             xyz_tag("bXYZ", 0.14919, 0.06322, 0.74457),
                             r, g, b};
    tags[4].name = "rTRC";
    tags[5].name = "gTRC";
    tags[6].name = "bTRC";
    return make_profile("RGB ", tags);
}

// A file decoded as the viewer decodes it: the stored pixels, or (with
// `convert`) the pixels as shown after the colour transform.
struct Decoded {
    bool ok = false;
    ImageInfo info{};
    u32 colour = COLOUR_NONE;  // the job's state after preparing the transform
    u32 w = 0, h = 0;
    Bytes rgba;  // rows packed
};

inline Decoded decode_file(const Bytes& file, bool convert) {
    Decoded d;
    static ProbeWork work;
    CodecError err;
    if (!probe_image(file.data(), file.size(), FORMAT_NONE, &d.info, &work, &err)) return d;
    const ImageInfo& info = d.info;
    u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes);
    u64 colour = align64(info.colour_bytes), extra = align64(info.extra_bytes);
    std::vector<u8> memory(scratch + pixels + colour + extra + info.orient_bytes + 64, 0);
    u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
    DecodeJob job;
    if (!start_job(&job, ByteSpan{(u8*)file.data(), file.size()}, &info, &work, base, info.scratch_bytes,
                   base + scratch, &err)) {
        return d;
    }
    if (info.orient_bytes != 0) job.orient_cache = base + scratch + pixels + colour + extra;
    EXPECT_EQ(job.colour_memory, info.colour_bytes != 0 ? base + scratch + pixels : nullptr);
    EXPECT_EQ(job.extra, base + scratch + pixels + colour);
    d.colour = convert ? job_prepare_colour(&job) : info.colour;
    if (!decode_step(&job, &err) || !finish_full_resolution(&job, &err)) return d;
    std::vector<u8> whole(full_resolution_bytes(&job) + 64);
    PixelBuffer out;
    if (!full_resolution_pixels(&job, whole.data(), &out, &err)) return d;
    d.w = out.width;
    d.h = out.height;
    d.rgba.resize((size_t)d.w * d.h * 4);
    for (u32 y = 0; y < d.h; y++) memcpy(&d.rgba[(size_t)y * d.w * 4], out.pixels + y * out.stride, (size_t)d.w * 4);
    d.ok = true;
    return d;
}

}  // namespace icctest

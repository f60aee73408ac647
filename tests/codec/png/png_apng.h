// A straightforward APNG compositor for the tests, written from the APNG
// rules and independent of the decoder: the file is split into its frames,
// each frame's data is wrapped into a standalone PNG and decoded by libpng,
// and the frames are composed on a canvas in the decoder's native format
// (dispose none, background or previous; blend source or over). Also an
// APNG writer that builds files from frames compressed with zlib.
#pragma once

#include <zlib.h>

#include "png_reference.h"

namespace pngtest {

inline u32 be32_at(const Bytes& b, size_t p) {
    return (u32)b[p] << 24 | (u32)b[p + 1] << 16 | (u32)b[p + 2] << 8 | b[p + 3];
}

struct RefFrame {
    u32 w, h, x, y, dispose, blend;
    Bytes data;  // the zlib stream
};

struct RefAnimation {
    bool ok = false;
    Bytes ihdr, plte, trns;
    u32 width = 0, height = 0;
    std::vector<RefFrame> frames;
};

inline RefAnimation ref_split(const Bytes& f) {
    RefAnimation a;
    size_t pos = 8;
    bool in_idat_frame = false;
    while (pos + 12 <= f.size()) {
        u32 len = be32_at(f, pos);
        std::string type((const char*)&f[pos + 4], 4);
        if (pos + 12 + len > f.size()) return a;
        Bytes data(f.begin() + pos + 8, f.begin() + pos + 8 + len);
        if (type == "IHDR") {
            a.ihdr = data;
            a.width = be32_at(data, 0);
            a.height = be32_at(data, 4);
        } else if (type == "PLTE") {
            a.plte = data;
        } else if (type == "tRNS") {
            a.trns = data;
        } else if (type == "fcTL") {
            RefFrame fr = {be32_at(data, 4), be32_at(data, 8), be32_at(data, 12), be32_at(data, 16), data[24], data[25], {}};
            a.frames.push_back(fr);
            in_idat_frame = false;
        } else if (type == "IDAT") {
            if (!a.frames.empty() && (a.frames.size() == 1 || in_idat_frame)) {
                a.frames.back().data.insert(a.frames.back().data.end(), data.begin(), data.end());
                in_idat_frame = true;
            }
        } else if (type == "fdAT") {
            a.frames.back().data.insert(a.frames.back().data.end(), data.begin() + 4, data.end());
        } else if (type == "IEND") {
            a.ok = true;
            break;
        }
        pos += 12 + len;
    }
    return a;
}

// Composes frames 0..n-1; returns the canvas (native format) after each.
inline std::vector<Bytes> ref_compose(const RefAnimation& a, PixelFormat format, u32 ps) {
    std::vector<Bytes> states;
    Bytes canvas((size_t)a.width * a.height * ps, 0);
    for (size_t i = 0; i < a.frames.size(); i++) {
        const RefFrame& fr = a.frames[i];
        Bytes ihdr = a.ihdr;
        ihdr[0] = (u8)(fr.w >> 24), ihdr[1] = (u8)(fr.w >> 16), ihdr[2] = (u8)(fr.w >> 8), ihdr[3] = (u8)fr.w;
        ihdr[4] = (u8)(fr.h >> 24), ihdr[5] = (u8)(fr.h >> 16), ihdr[6] = (u8)(fr.h >> 8), ihdr[7] = (u8)fr.h;
        Bytes extra;
        if (!a.plte.empty()) chunk(extra, "PLTE", a.plte);
        if (!a.trns.empty()) chunk(extra, "tRNS", a.trns);
        RefImage img = ref_decode(make_png(ihdr, extra, fr.data));
        if (!img.ok) return {};
        Bytes pix = ref_canvas(img, format);
        u32 dispose = fr.dispose == 2 && i == 0 ? 1 : fr.dispose;
        Bytes saved = canvas;
        for (u32 y = 0; y < fr.h; y++) {
            for (u32 x = 0; x < fr.w; x++) {
                u8* d = &canvas[((size_t)(fr.y + y) * a.width + fr.x + x) * ps];
                const u8* s = &pix[((size_t)y * fr.w + x) * ps];
                if (fr.blend == 0 || format == Mono8) {
                    memcpy(d, s, ps);
                    continue;
                }
                // Over, straight alpha: colours weighted by alpha, rounded.
                u32 colours = format == MonoA8 ? 1 : 3;
                bool wide = format == Rgba16;
                u64 m = wide ? 65535 : 255;
                auto get = [&](const u8* p, u32 c) -> u64 { return wide ? (u64)(p[2 * c] | p[2 * c + 1] << 8) : p[c]; };
                auto set = [&](u8* p, u32 c, u64 v) {
                    if (wide) p[2 * c] = (u8)v, p[2 * c + 1] = (u8)(v >> 8);
                    else p[c] = (u8)v;
                };
                u64 sa = get(s, colours), da = get(d, colours);
                u64 f = sa * m + da * (m - sa);
                u64 out[4] = {};
                for (u32 c = 0; c < colours; c++)
                    out[c] = f ? (get(s, c) * sa * m + get(d, c) * da * (m - sa) + f / 2) / f : 0;
                out[colours] = (f + (m - 1) / 2) / m;
                for (u32 c = 0; c <= colours; c++) set(d, c, out[c]);
            }
        }
        states.push_back(canvas);
        if (dispose == 1) {
            for (u32 y = 0; y < fr.h; y++) memset(&canvas[((size_t)(fr.y + y) * a.width + fr.x) * ps], 0, (size_t)fr.w * ps);
        } else if (dispose == 2) {
            canvas = saved;
        }
    }
    return states;
}

// RGBA display of a native canvas.
inline Bytes ref_to_display(const Bytes& c, PixelFormat format) {
    Bytes out;
    u32 ps = format == Rgba16 ? 8 : format == Mono8 ? 1 : format == MonoA8 ? 2 : 4;
    for (size_t i = 0; i < c.size(); i += ps) {
        if (format == Mono8) out.insert(out.end(), {c[i], c[i], c[i], 255});
        else if (format == MonoA8) out.insert(out.end(), {c[i], c[i], c[i], c[i + 1]});
        else if (format == Rgba16) out.insert(out.end(), {c[i + 1], c[i + 3], c[i + 5], c[i + 7]});
        else out.insert(out.end(), c.begin() + i, c.begin() + i + 4);
    }
    return out;
}

// Decodes every frame in turn through the step interface; the canvas and
// display after each.
struct FrameStates {
    bool ok = false;
    CodecError err = {};
    PngPlan plan = {};
    std::vector<Bytes> canvas, display;
};

inline FrameStates decode_each_frame(const Bytes& file) {
    FrameStates r;
    ImageInfo info;
    if (!png_probe(file.data(), file.size(), &info, &r.plan, &r.err)) return r;
    const PngPlan& p = r.plan;
    Block ws(p.workspace_bytes);
    u64 stride = png_canvas_stride(&p);
    Block cv(stride * p.height, 16);
    Block dp(row_stride(p.width) * p.height + 32, 16);
    PixelBuffer canvas = {cv.p, stride, p.width, p.height};
    PixelBuffer display = {dp.p, row_stride(p.width), p.width, p.height};
    u32 n = p.animated ? p.frame_count : 1;
    for (u32 f = 0; f < n; f++) {
        bool ok = p.animated ? png_decode_step(file.data(), file.size(), &p, ws.p, p.workspace_bytes, PngStep{0, f},
                                               &canvas, &display, &r.err)
                             : png_decode_still(file.data(), file.size(), &p, ws.p, p.workspace_bytes, &canvas, &display, &r.err);
        if (!ok) return r;
        Bytes c, d;
        for (u32 y = 0; y < p.height; y++) {
            c.insert(c.end(), cv.p + y * stride, cv.p + y * stride + (u64)p.width * p.pixel_size);
            d.insert(d.end(), dp.p + y * display.stride, dp.p + y * display.stride + 4 * (u64)p.width);
        }
        r.canvas.push_back(c);
        r.display.push_back(d);
    }
    r.ok = true;
    return r;
}

// ---- Writer ---------------------------------------------------------------------------

inline Bytes zlib_compress(const Bytes& raw, int level = 6) {
    uLongf n = compressBound(raw.size());
    Bytes z(n);
    compress2(z.data(), &n, raw.data(), raw.size(), level);
    z.resize(n);
    return z;
}

struct ApngFrame {
    u32 w, h, x, y;
    u8 dispose, blend;
    u16 num = 1, den = 10;
    Bytes raw;  // filtered scanlines (filter byte first on every row)
};

// IHDR, PLTE/tRNS, acTL, then the frames. With `default_is_frame` frame 0
// is the IDAT image; otherwise `default_raw` is an IDAT image outside the
// animation. `split` cuts every frame's data into chunks of that size.
inline Bytes make_apng(const Bytes& ihdr, const Bytes& extra, const std::vector<ApngFrame>& frames, bool default_is_frame,
                       const Bytes& default_raw, u32 plays = 0, size_t split = 0) {
    Bytes f = signature();
    chunk(f, "IHDR", ihdr);
    f.insert(f.end(), extra.begin(), extra.end());
    Bytes actl;
    put_be32(actl, (u32)frames.size());
    put_be32(actl, plays);
    chunk(f, "acTL", actl);
    u32 seq = 0;
    auto fctl = [&](const ApngFrame& fr) {
        Bytes d;
        put_be32(d, seq++);
        put_be32(d, fr.w);
        put_be32(d, fr.h);
        put_be32(d, fr.x);
        put_be32(d, fr.y);
        put_be16(d, fr.num);
        put_be16(d, fr.den);
        d.push_back(fr.dispose);
        d.push_back(fr.blend);
        chunk(f, "fcTL", d);
    };
    auto data = [&](const Bytes& z, bool idat) {
        size_t step = split ? split : z.size();
        for (size_t p = 0; p < z.size(); p += step) {
            Bytes piece(z.begin() + p, z.begin() + std::min(z.size(), p + step));
            if (idat) {
                chunk(f, "IDAT", piece);
            } else {
                Bytes d;
                put_be32(d, seq++);
                d.insert(d.end(), piece.begin(), piece.end());
                chunk(f, "fdAT", d);
            }
        }
    };
    size_t i = 0;
    if (default_is_frame) {
        fctl(frames[0]);
        data(zlib_compress(frames[0].raw), true);
        i = 1;
    } else {
        data(zlib_compress(default_raw), true);
    }
    for (; i < frames.size(); i++) {
        fctl(frames[i]);
        data(zlib_compress(frames[i].raw), false);
    }
    chunk(f, "IEND", {});
    return f;
}

}  // namespace pngtest

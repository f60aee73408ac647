// giflib as the oracle for blocks and LZW: its low-level reader gives each
// frame's descriptor, colour table in force, graphic control values and
// indices in coded row order, which the reference compositor then composes.
// Its encoder writes the generated test files. Native tests only.
#pragma once

#include <gif_lib.h>

#include "gif_support.h"

namespace giftest {

struct GiflibFile {
    bool ok = false;
    int error = 0;
    u32 width = 0, height = 0;
    bool loop_present = false;
    u32 loop_count = 0;
    std::vector<RefFrame> frames;
};

struct MemoryReader {
    const Bytes* data;
    size_t pos;
};

inline int read_memory(GifFileType* gif, GifByteType* out, int n) {
    MemoryReader* r = (MemoryReader*)gif->UserData;
    size_t left = r->data->size() - r->pos;
    size_t k = (size_t)n < left ? (size_t)n : left;
    memcpy(out, r->data->data() + r->pos, k);
    r->pos += k;
    return (int)k;
}

inline std::vector<u32> palette_of(const ColorMapObject* map) {
    std::vector<u32> p;
    if (!map) return p;
    for (int i = 0; i < map->ColorCount; i++) {
        const GifColorType& c = map->Colors[i];
        p.push_back((u32)c.Red << 16 | (u32)c.Green << 8 | c.Blue);
    }
    return p;
}

inline GiflibFile giflib_read(const Bytes& file) {
    GiflibFile out;
    MemoryReader reader = {&file, 0};
    GifFileType* gif = DGifOpen(&reader, read_memory, &out.error);
    if (!gif) return out;
    out.width = (u32)gif->SWidth;
    out.height = (u32)gif->SHeight;
    std::vector<u32> global = palette_of(gif->SColorMap);
    u32 disposal = 0, delay = 0;
    i32 transparent = 256;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) break;
        if (type == TERMINATE_RECORD_TYPE) {
            out.ok = true;
            break;
        }
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType* ext;
            if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) break;
            bool first = true, app_loop = false;
            bool failed = false;
            while (ext) {
                if (code == GRAPHICS_EXT_FUNC_CODE && first && ext[0] >= 4) {
                    disposal = (ext[1] >> 2) & 7;
                    delay = ext[2] | ext[3] << 8;
                    transparent = (ext[1] & 1) ? ext[4] : 256;
                }
                if (code == APPLICATION_EXT_FUNC_CODE && first && ext[0] == 11 &&
                    (!memcmp(ext + 1, "NETSCAPE2.0", 11) || !memcmp(ext + 1, "ANIMEXTS1.0", 11))) {
                    app_loop = true;
                } else if (app_loop && ext[0] == 3 && ext[1] == 1) {
                    out.loop_present = true;
                    out.loop_count = ext[2] | ext[3] << 8;
                    app_loop = false;
                } else if (!first) {
                    app_loop = false;
                }
                first = false;
                if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) {
                    failed = true;
                    break;
                }
            }
            if (failed) break;
            continue;
        }
        if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif) == GIF_ERROR) break;
            RefFrame f;
            f.x = (u32)gif->Image.Left;
            f.y = (u32)gif->Image.Top;
            f.w = (u32)gif->Image.Width;
            f.h = (u32)gif->Image.Height;
            f.interlaced = gif->Image.Interlace;
            f.disposal = disposal;
            f.delay = delay;
            f.transparent = transparent;
            f.palette = gif->Image.ColorMap ? palette_of(gif->Image.ColorMap) : global;
            disposal = 0, delay = 0, transparent = 256;
            f.indices.resize((size_t)f.w * f.h);
            bool failed = f.w == 0 || f.h == 0;
            for (u32 r = 0; r < f.h && !failed; r++) {
                if (DGifGetLine(gif, f.indices.data() + (size_t)r * f.w, (int)f.w) == GIF_ERROR) failed = true;
            }
            if (failed) break;
            out.frames.push_back(std::move(f));
            continue;
        }
        break;
    }
    if (!out.ok) out.error = gif->Error;
    int close_error;
    DGifCloseFile(gif, &close_error);
    return out;
}

// ---- Writing ------------------------------------------------------------------------

inline int write_memory(GifFileType* gif, const GifByteType* data, int n) {
    Bytes* out = (Bytes*)gif->UserData;
    out->insert(out->end(), data, data + n);
    return n;
}

struct GenFrame {
    RefFrame ref;
    bool local = false;  // the palette goes in a local table
    bool control = false;  // a graphic control extension precedes it
};

// A file written by giflib's encoder. `palette_bits` 0 leaves the global
// table out. Frames carry their indices in coded row order.
inline Bytes giflib_write(u32 w, u32 h, const std::vector<u32>& global, bool gif89, int loop,
                          const std::vector<GenFrame>& frames) {
    Bytes out;
    int error;
    GifFileType* gif = EGifOpen(&out, write_memory, &error);
    if (!gif) return {};
    auto make_map = [](const std::vector<u32>& p) -> ColorMapObject* {
        if (p.empty()) return nullptr;
        std::vector<GifColorType> colours(p.size());
        for (size_t i = 0; i < p.size(); i++) {
            colours[i].Red = (GifByteType)(p[i] >> 16);
            colours[i].Green = (GifByteType)(p[i] >> 8);
            colours[i].Blue = (GifByteType)p[i];
        }
        return GifMakeMapObject((int)p.size(), colours.data());
    };
    EGifSetGifVersion(gif, gif89);
    ColorMapObject* gmap = make_map(global);
    bool ok = EGifPutScreenDesc(gif, (int)w, (int)h, 8, 0, gmap) != GIF_ERROR;
    if (loop >= 0 && ok) {
        const GifByteType id[] = "NETSCAPE2.0";
        GifByteType sub[3] = {1, (GifByteType)(loop & 0xFF), (GifByteType)(loop >> 8)};
        ok = EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) != GIF_ERROR &&
             EGifPutExtensionBlock(gif, 11, id) != GIF_ERROR && EGifPutExtensionBlock(gif, 3, sub) != GIF_ERROR &&
             EGifPutExtensionTrailer(gif) != GIF_ERROR;
    }
    for (const GenFrame& g : frames) {
        if (!ok) break;
        const RefFrame& f = g.ref;
        if (g.control) {
            GraphicsControlBlock gcb = {};
            gcb.DisposalMode = (int)f.disposal;
            gcb.DelayTime = (int)f.delay;
            gcb.TransparentColor = f.transparent < 256 ? f.transparent : NO_TRANSPARENT_COLOR;
            GifByteType ext[4];
            size_t n = EGifGCBToExtension(&gcb, ext);
            ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, (int)n, ext) != GIF_ERROR;
        }
        ColorMapObject* lmap = g.local ? make_map(f.palette) : nullptr;
        // giflib drops, without freeing, the previous frame's copy of its
        // local table when the next frame has none.
        if (!lmap && gif->Image.ColorMap) {
            GifFreeMapObject(gif->Image.ColorMap);
            gif->Image.ColorMap = nullptr;
        }
        ok = ok && EGifPutImageDesc(gif, (int)f.x, (int)f.y, (int)f.w, (int)f.h, f.interlaced, lmap) != GIF_ERROR;
        for (u32 r = 0; ok && r < f.h; r++) {
            ok = EGifPutLine(gif, (GifPixelType*)f.indices.data() + (size_t)r * f.w, (int)f.w) != GIF_ERROR;
        }
        if (lmap) GifFreeMapObject(lmap);
    }
    if (gmap) GifFreeMapObject(gmap);
    int close_error;
    if (EGifCloseFile(gif, &close_error) == GIF_ERROR) ok = false;
    return ok ? out : Bytes{};
}

}  // namespace giftest

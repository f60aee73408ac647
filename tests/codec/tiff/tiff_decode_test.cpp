// TIFF decoder tests on files built here byte by byte: what libtiff does not
// write (IFD loops and overlaps, offsets past the end, counts that overflow,
// short tile tables, LZW codes past the table, refused codings), a damaged
// block that fails only the rectangles needing it, both byte orders and
// BigTIFF from the same fields, the job's tile path through the codec
// table, and a 60000 x 40000 tiled file opened in bounded scratch.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "codec/codecs.h"
#include "codec/job.h"
#include "codec/jpeg/encode.h"
#include "codec/probe.h"
#include "tiff_support.h"

using namespace tifftest;

namespace {

enum : u16 { SHORT = 3, LONG = 4, LONG8 = 16 };

struct Field {
    u16 tag;
    u16 type;
    std::vector<u64> values;
    u64 count_override = 0;  // a count other than values.size()
    bool data_past_end = false;
};

// Writes a file: header, the chunks, out-of-line field data, then IFD 0.
// Fields named 273/324 (offsets) get the chunk positions when their values
// are empty.
struct Builder {
    bool be = false;
    bool big = false;
    std::vector<Field> fields;
    std::vector<Bytes> chunks;
    u64 next_ifd = 0;  // next-IFD link of IFD 0 (absolute), 0: none
    Bytes out;
    u64 ifd_pos = 0;
    std::map<u16, u64> entry_pos;

    void put(u64 v, u32 size) {
        for (u32 i = 0; i < size; i++) out.push_back((u8)(be ? v >> (8 * (size - 1 - i)) : v >> (8 * i)));
    }
    void put_at(u64 at, u64 v, u32 size) {
        for (u32 i = 0; i < size; i++) out[at + i] = (u8)(be ? v >> (8 * (size - 1 - i)) : v >> (8 * i));
    }
    static u32 type_size(u16 t) { return t == SHORT ? 2 : t == LONG ? 4 : t == LONG8 ? 8 : 1; }

    Bytes build() {
        out.clear();
        out.push_back(be ? 'M' : 'I');
        out.push_back(be ? 'M' : 'I');
        put(big ? 43 : 42, 2);
        if (big) {
            put(8, 2);
            put(0, 2);
            put(0, 8);
        } else {
            put(0, 4);
        }
        std::vector<u64> chunk_pos;
        for (const Bytes& c : chunks) {
            chunk_pos.push_back(out.size());
            out.insert(out.end(), c.begin(), c.end());
        }
        u32 inline_size = big ? 8 : 4;
        std::vector<u64> data_pos(fields.size(), 0);
        for (size_t i = 0; i < fields.size(); i++) {
            Field& f = fields[i];
            if ((f.tag == 273 || f.tag == 324) && f.values.empty()) f.values = chunk_pos;
            u64 bytes = f.values.size() * type_size(f.type);
            if (bytes > inline_size) {
                while (out.size() % 2) out.push_back(0);
                data_pos[i] = out.size();
                for (u64 v : f.values) put(v, type_size(f.type));
            }
        }
        while (out.size() % 2) out.push_back(0);
        ifd_pos = out.size();
        put_at(big ? 8 : 4, ifd_pos, big ? 8 : 4);
        put(fields.size(), big ? 8 : 2);
        for (size_t i = 0; i < fields.size(); i++) {
            const Field& f = fields[i];
            entry_pos[f.tag] = out.size();
            put(f.tag, 2);
            put(f.type, 2);
            put(f.count_override ? f.count_override : f.values.size(), big ? 8 : 4);
            u64 bytes = f.values.size() * type_size(f.type);
            if (f.data_past_end) {
                put(1u << 30, inline_size);
            } else if (bytes > inline_size) {
                put(data_pos[i], inline_size);
            } else {
                u64 start = out.size();
                for (u64 v : f.values) put(v, type_size(f.type));
                while (out.size() < start + inline_size) out.push_back(0);
            }
        }
        put(next_ifd, big ? 8 : 4);
        return out;
    }
};

// An RGB image of w x h, 8 bits, uncompressed strips of `rows` rows, pixel
// (x, y) = (x * 40, y * 50, x + y).
Builder rgb_file(u32 w, u32 h, u32 rows) {
    Builder b;
    std::vector<u64> counts;
    for (u32 y = 0; y < h; y += rows) {
        Bytes c;
        for (u32 r = y; r < y + rows && r < h; r++)
            for (u32 x = 0; x < w; x++) {
                c.push_back((u8)(x * 40));
                c.push_back((u8)(r * 50));
                c.push_back((u8)(x + r));
            }
        counts.push_back(c.size());
        b.chunks.push_back(c);
    }
    b.fields = {{256, SHORT, {w}},       {257, SHORT, {h}}, {258, SHORT, {8, 8, 8}}, {259, SHORT, {1}},
                {262, SHORT, {2}},       {273, LONG, {}},   {277, SHORT, {3}},       {278, SHORT, {rows}},
                {279, LONG, counts}};
    return b;
}

Field* field(Builder& b, u16 tag) {
    for (Field& f : b.fields)
        if (f.tag == tag) return &f;
    return nullptr;
}

CodecError probe_error(const Bytes& file) {
    auto jpeg = std::make_unique<JpegDecoder>();
    ImageInfo info;
    CodecError err{};
    EXPECT_FALSE(tiff_probe(file.data(), file.size(), &info, jpeg.get(), &err));
    return err;
}

// One LZW stream from 9-bit codes, most significant bit first.
Bytes lzw_codes(const std::vector<u32>& codes) {
    Bytes out;
    u64 bits = 0;
    u32 count = 0;
    for (u32 c : codes) {
        bits = bits << 9 | c;
        count += 9;
        while (count >= 8) {
            out.push_back((u8)(bits >> (count - 8)));
            count -= 8;
        }
    }
    if (count) out.push_back((u8)(bits << (8 - count)));
    return out;
}

}  // namespace

TEST(TiffSniff, BothOrdersAndBigTiff) {
    EXPECT_TRUE(tiff_sniff((const u8*)"II*\0", 4));
    EXPECT_TRUE(tiff_sniff((const u8*)"MM\0*", 4));
    EXPECT_TRUE(tiff_sniff((const u8*)"II+\0", 4));
    EXPECT_TRUE(tiff_sniff((const u8*)"MM\0+", 4));
    EXPECT_FALSE(tiff_sniff((const u8*)"MM*\0", 4));
    EXPECT_FALSE(tiff_sniff((const u8*)"II*", 3));
}

TEST(TiffContainer, SameFieldsInEveryOrderAndSize) {
    for (u32 v = 0; v < 4; v++) {
        Builder b = rgb_file(5, 7, 3);
        b.be = v & 1;
        b.big = v & 2;
        Decoded d = decode(b.build(), 2);
        ASSERT_TRUE(d.ok) << v << " error " << d.err.code << " at " << d.err.offset;
        for (u32 y = 0; y < 7; y++)
            for (u32 x = 0; x < 5; x++) {
                u32 want = (x * 40 & 255) | (y * 50 & 255) << 8 | (x + y) << 16 | 0xFF000000u;
                ASSERT_EQ(d.pixels[y * 5 + x], want) << v << " at " << x << "," << y;
            }
    }
}

// Offset and byte count tables may be of any integer type.
TEST(TiffContainer, ChunkTablesOfBytesShortsAndLong8s) {
    const u16 types[][2] = {{SHORT, 1}, {LONG8, SHORT}, {LONG, LONG8}};
    for (const auto& t : types) {
        Builder b = rgb_file(3, 4, 1);
        b.big = t[0] == LONG8 || t[1] == LONG8;
        field(b, 273)->type = t[0];
        field(b, 279)->type = t[1];
        Decoded d = decode(b.build());
        ASSERT_TRUE(d.ok) << t[0] << "/" << t[1] << " error " << d.err.code;
        EXPECT_EQ(d.pixels[3 * 3 + 2], 0xFF000000u | 5u << 16 | (150u << 8) | 80u);
    }
}

TEST(TiffContainer, LoopsAndOverlapsInTheChain) {
    Builder b = rgb_file(4, 4, 4);
    Bytes file = b.build();
    // IFD 0 linking to itself.
    b.next_ifd = b.ifd_pos;
    file = b.build();
    u64 link = file.size() - 4;
    CodecError err = probe_error(file);
    EXPECT_EQ(err.code, ERR_BAD_HEADER);
    EXPECT_EQ(err.offset, link);
    // IFD 0 linking into its own entries.
    b.next_ifd = b.ifd_pos + 14;
    file = b.build();
    err = probe_error(file);
    EXPECT_EQ(err.code, ERR_BAD_HEADER);
    EXPECT_EQ(err.offset, link);
    // A link past the end.
    b.next_ifd = 1u << 20;
    err = probe_error(b.build());
    EXPECT_EQ(err.code, ERR_BAD_HEADER);
    EXPECT_EQ(err.offset, link);
}

TEST(TiffContainer, EntriesThatPromiseMoreThanTheFileHolds) {
    {
        // Field data past the end: refused at that entry.
        Builder b = rgb_file(4, 4, 2);
        field(b, 258)->data_past_end = true;
        Bytes file = b.build();
        CodecError err = probe_error(file);
        EXPECT_EQ(err.code, ERR_BAD_HEADER);
        EXPECT_EQ(err.offset, b.entry_pos[258]);
    }
    {
        // A count whose size overflows 64 bits.
        Builder b = rgb_file(4, 4, 2);
        b.big = true;
        field(b, 279)->count_override = 1ull << 62;
        Bytes file = b.build();
        CodecError err = probe_error(file);
        EXPECT_EQ(err.code, ERR_BAD_HEADER);
        EXPECT_EQ(err.offset, b.entry_pos[279]);
    }
    {
        // A strip past the end: refused at its offset's element.
        Builder b = rgb_file(4, 4, 4);
        Bytes file = b.build();
        u64 element = b.entry_pos[273] + 8;  // one strip: the offset is inline
        b.put_at(element, file.size() - 10, 4);
        CodecError err = probe_error(b.out);
        EXPECT_EQ(err.code, ERR_BAD_HEADER);
        EXPECT_EQ(err.offset, element);
    }
    {
        // A tile table shorter than the tiles: 2 x 2 tiles, 3 entries.
        Builder b;
        Bytes tile(16 * 16, 7);
        for (int i = 0; i < 3; i++) b.chunks.push_back(tile);
        b.fields = {{256, SHORT, {20}}, {257, SHORT, {20}}, {258, SHORT, {8}},  {259, SHORT, {1}},
                    {262, SHORT, {1}},  {322, SHORT, {16}}, {323, SHORT, {16}}, {324, LONG, {}},
                    {325, LONG, {256, 256, 256}}};
        Bytes file = b.build();
        CodecError err = probe_error(file);
        EXPECT_EQ(err.code, ERR_BAD_HEADER);
        EXPECT_EQ(err.offset, b.entry_pos[324]);
    }
    {
        // Headers cut short.
        Builder b = rgb_file(4, 4, 2);
        Bytes file = b.build();
        for (u64 n : std::vector<u64>{0, 5, b.ifd_pos + 5}) {
            Bytes cut(file.begin(), file.begin() + n);
            EXPECT_EQ(probe_error(cut).code, ERR_TRUNCATED) << n;
        }
    }
}

TEST(TiffContainer, RefusedCodings) {
    struct Refusal {
        u16 tag;
        u64 value;
    };
    // Old-style JPEG, an unknown compression, the floating-point predictor,
    // a CIE Lab image, floating-point samples.
    const Refusal cases[] = {{259, 6}, {259, 99}, {317, 3}, {262, 8}, {339, 3}};
    for (const Refusal& r : cases) {
        Builder b = rgb_file(4, 4, 2);
        if (field(b, 259)->values[0] == 1 && r.tag == 317) field(b, 259)->values[0] = 5;
        if (Field* f = field(b, r.tag)) {
            f->values = {r.value};
        } else {
            b.fields.push_back({r.tag, SHORT, {r.value}});
        }
        Bytes file = b.build();
        CodecError err = probe_error(file);
        EXPECT_EQ(err.code, ERR_UNSUPPORTED) << r.tag << "=" << r.value;
        u64 entry = b.entry_pos[r.tag];
        EXPECT_TRUE(err.offset == entry || err.offset == entry + 8) << r.tag << " at " << err.offset;
    }
}

// An LZW code past the table fails that strip alone; the other still shows.
TEST(TiffBlocks, DamagedStripFailsOnlyItsRectangles) {
    Builder b;
    // Strip 0: 'A' x 4 through the table; strip 1: code 300 when 259 is next.
    b.chunks.push_back(lzw_codes({256, 65, 258, 65, 257}));
    b.chunks.push_back(lzw_codes({256, 65, 300, 257}));
    b.fields = {{256, SHORT, {4}}, {257, SHORT, {2}}, {258, SHORT, {8}}, {259, SHORT, {5}},   {262, SHORT, {1}},
                {273, LONG, {}},   {277, SHORT, {1}}, {278, SHORT, {1}}, {279, LONG, {b.chunks[0].size(), b.chunks[1].size()}}};
    Bytes file = b.build();
    auto jpeg = std::make_unique<JpegDecoder>();
    ImageInfo info;
    CodecError err;
    ASSERT_TRUE(tiff_probe(file.data(), file.size(), &info, jpeg.get(), &err));
    Scratch scratch(info.scratch_bytes);
    ASSERT_TRUE(tiff_begin(file.data(), file.size(), scratch.p, info.scratch_bytes, &err));
    u32 px[8];
    PixelBuffer out = {(u8*)px, 16, 4, 2};
    ASSERT_TRUE(tiff_render(file.data(), file.size(), scratch.p, 0, 0, 0, 4, 1, &out, &err));
    for (u32 x = 0; x < 4; x++) EXPECT_EQ(px[x], 0xFF414141u);
    EXPECT_FALSE(tiff_render(file.data(), file.size(), scratch.p, 0, 0, 0, 4, 2, &out, &err));
    EXPECT_EQ(err.code, ERR_BAD_HEADER);
    u64 strip1 = 8 + b.chunks[0].size();
    EXPECT_GE(err.offset, strip1);
    EXPECT_LT(err.offset, strip1 + b.chunks[1].size());
    // Strip 0 is still served after the failure.
    ASSERT_TRUE(tiff_render(file.data(), file.size(), scratch.p, 0, 1, 0, 2, 1, &out, &err));
    EXPECT_EQ(px[0], 0xFF414141u);
}

// Through the job, a damaged block does not fail the document: its tiles
// show dark red and the job keeps the first fault for the message line.
TEST(TiffJob, DamagedBlockShowsInItsPlace) {
    Builder b;
    b.chunks.push_back(lzw_codes({256, 65, 258, 65, 257}));
    b.chunks.push_back(lzw_codes({256, 65, 300, 257}));
    b.fields = {{256, SHORT, {4}}, {257, SHORT, {2}}, {258, SHORT, {8}}, {259, SHORT, {5}},   {262, SHORT, {1}},
                {273, LONG, {}},   {277, SHORT, {1}}, {278, SHORT, {1}}, {279, LONG, {b.chunks[0].size(), b.chunks[1].size()}}};
    Bytes file = b.build();
    ImageInfo info;
    ProbeWork* work = new ProbeWork;
    CodecError err;
    ASSERT_TRUE(probe_image(file.data(), file.size(), FORMAT_NONE, &info, work, &err));
    Scratch scratch(info.scratch_bytes);
    std::vector<u8> pixels(info.pixel_bytes + 64);
    DecodeJob job;
    ASSERT_TRUE(start_job(&job, span_of(file.data(), file.size()), &info, work, scratch.p, info.scratch_bytes,
                          pixels.data(), &err));
    delete work;
    std::vector<u32> tile(256 * 256);
    PixelBuffer t = {(u8*)tile.data(), 1024, 256, 256};
    ASSERT_TRUE(render_tile(&job, 0, 0, 0, &t, &err));
    EXPECT_EQ(err.code, ERR_OK);
    EXPECT_EQ(tile[0], 0xFF202080u);
    EXPECT_TRUE(job.tile_error_new);
    EXPECT_EQ(job.tile_error.code, ERR_BAD_HEADER);
    u64 strip1 = 8 + b.chunks[0].size();
    EXPECT_GE(job.tile_error.offset, strip1);
    // Only the first fault is kept.
    job.tile_error_new = false;
    ASSERT_TRUE(render_tile(&job, 0, 0, 0, &t, &err));
    EXPECT_FALSE(job.tile_error_new);
}

TEST(TiffBlocks, CompressedStreamsThatEndEarly) {
    // PackBits: a literal run of 3 for 4 bytes; LZW: no end code and short.
    const std::pair<u64, Bytes> streams[] = {{32773, Bytes{2, 1, 2, 3}}, {5, lzw_codes({256, 65})}};
    for (const auto& [comp, stream] : streams) {
        Builder b;
        b.chunks.push_back(stream);
        b.fields = {{256, SHORT, {4}},  {257, SHORT, {1}}, {258, SHORT, {8}}, {259, SHORT, {comp}}, {262, SHORT, {1}},
                    {273, LONG, {}},    {277, SHORT, {1}}, {278, SHORT, {1}}, {279, LONG, {stream.size()}}};
        Decoded d = decode(b.build());
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.err.code, ERR_TRUNCATED) << comp;
        EXPECT_EQ(d.err.offset, 8 + stream.size()) << comp;
    }
}

// Through the codec table: probe, job, base step and 256 x 256 tiles with
// edge fill, which match the rectangles tiff_render gives.
TEST(TiffJob, TilesThroughTheCodecTable) {
    Builder b = rgb_file(300, 270, 16);
    Bytes file = b.build();
    ImageInfo info;
    ProbeWork* work = new ProbeWork;
    CodecError err;
    ASSERT_TRUE(probe_image(file.data(), file.size(), FORMAT_NONE, &info, work, &err));
    EXPECT_EQ(info.decoder, DECODER_TIFF);
    EXPECT_EQ(info.format, FORMAT_TIFF);
    EXPECT_EQ(info.preview_level, 0u);
    Scratch scratch(info.scratch_bytes);
    std::vector<u8> pixels(info.pixel_bytes + 64);
    DecodeJob job;
    ASSERT_TRUE(start_job(&job, span_of(file.data(), file.size()), &info, work, scratch.p, info.scratch_bytes,
                          pixels.data(), &err));
    delete work;
    Decoded whole = decode(file);
    ASSERT_TRUE(whole.ok);
    std::vector<u32> tile(256 * 256);
    PixelBuffer t = {(u8*)tile.data(), 1024, 256, 256};
    for (u32 row = 0; row < 2; row++)
        for (u32 column = 0; column < 2; column++) {
            ASSERT_TRUE(render_tile(&job, 0, column, row, &t, &err)) << err.code;
            for (u32 y = 0; y < 256; y++)
                for (u32 x = 0; x < 256; x++) {
                    u32 ix = std::min(column * 256 + x, 299u);
                    u32 iy = std::min(row * 256 + y, 269u);
                    ASSERT_EQ(tile[y * 256 + x], whole.pixels[iy * 300 + ix]) << column << "," << row;
                }
        }
    EXPECT_FALSE(render_tile(&job, 1, 0, 0, &t, &err));
    EXPECT_EQ(err.code, ERR_BAD_TARGET);
}

// 60000 x 40000 in 256 x 256 tiles, every tile sharing one chunk: the probe
// asks for a small fixed scratch, and any tile decodes from it.
TEST(TiffJob, HugeTiledFileInBoundedScratch) {
    const u32 w = 60000, h = 40000;
    u64 tiles = (u64)((w + 255) / 256) * ((h + 255) / 256);
    Builder b;
    Bytes tile(256 * 256);
    for (u32 i = 0; i < tile.size(); i++) tile[i] = (u8)(i % 256 ^ i / 256);
    b.chunks.push_back(tile);
    b.fields = {{256, LONG, {w}},   {257, LONG, {h}},   {258, SHORT, {8}}, {259, SHORT, {1}},
                {262, SHORT, {1}},  {322, SHORT, {256}}, {323, SHORT, {256}},
                {324, LONG, std::vector<u64>(tiles, 8)}, {325, LONG, std::vector<u64>(tiles, tile.size())}};
    Bytes file = b.build();
    auto jpeg = std::make_unique<JpegDecoder>();
    ImageInfo info;
    CodecError err;
    ASSERT_TRUE(tiff_probe(file.data(), file.size(), &info, jpeg.get(), &err)) << err.code << " " << err.offset;
    EXPECT_EQ(info.width, w);
    EXPECT_EQ(info.height, h);
    EXPECT_LT(info.scratch_bytes, 32ull << 20);
    EXPECT_EQ(info.pixel_bytes, 64u);
    Scratch scratch(info.scratch_bytes);
    ASSERT_TRUE(tiff_begin(file.data(), file.size(), scratch.p, info.scratch_bytes, &err));
    std::vector<u32> out(256 * 256);
    PixelBuffer o = {(u8*)out.data(), 1024, 256, 256};
    // A rectangle straddling four tiles deep inside, and the bottom-right corner.
    ASSERT_TRUE(tiff_render(file.data(), file.size(), scratch.p, 0, 30000 + 128, 20000 + 100, 256, 256, &o, &err));
    u32 g = tile[(20100 % 256) * 256 + 30128 % 256];
    EXPECT_EQ(out[0], 0xFF000000u | g * 0x10101u);
    ASSERT_TRUE(tiff_render(file.data(), file.size(), scratch.p, 0, w - 10, h - 10, 10, 10, &o, &err));
}

// The SSE2 predictor against its scalar twin: every stride it handles, row
// lengths around its 15 and 16-byte steps, random bytes.
TEST(TiffKernels, PredictorMatchesScalar) {
    std::mt19937 rng(5);
    for (u32 stride = 1; stride <= 6; stride++)
        for (u64 n = 0; n < 140; n++) {
            Bytes row(n + 16);
            for (u8& b : row) b = (u8)rng();
            Bytes a = row, b = row;
            tiff_predict8_scalar(a.data(), n, stride);
            tiff_predict8_sse2(b.data(), n, stride);
            ASSERT_EQ(a, b) << "stride " << stride << " n " << n;
        }
}

// Strips one row high and 2 million pixels wide: a screen tile touches 257
// of them, more than the cache's memory limit holds, so the cache keeps
// fewer and the probe's scratch stays bounded.
TEST(TiffJob, VeryWideStripsKeepTheCacheBounded) {
    const u32 w = 2000000, h = 300;
    Builder b;
    Bytes row(w, 9);
    b.chunks.push_back(row);
    b.fields = {{256, LONG, {w}},  {257, SHORT, {h}}, {258, SHORT, {8}}, {259, SHORT, {1}},
                {262, SHORT, {1}}, {273, LONG, std::vector<u64>(h, 8)}, {277, SHORT, {1}}, {278, SHORT, {1}},
                {279, LONG, std::vector<u64>(h, w)}};
    Bytes file = b.build();
    auto jpeg = std::make_unique<JpegDecoder>();
    ImageInfo info;
    CodecError err;
    ASSERT_TRUE(tiff_probe(file.data(), file.size(), &info, jpeg.get(), &err)) << err.code;
    EXPECT_LT(info.scratch_bytes, (u64)TIFF_CACHE_LIMIT + (64u << 20));
    Scratch scratch(info.scratch_bytes);
    ASSERT_TRUE(tiff_begin(file.data(), file.size(), scratch.p, info.scratch_bytes, &err));
    std::vector<u32> out(256 * 256);
    PixelBuffer o = {(u8*)out.data(), 1024, 256, 256};
    ASSERT_TRUE(tiff_render(file.data(), file.size(), scratch.p, 0, 1000000, 280, 256, 16, &o, &err));
    EXPECT_EQ(out[15 * 256 + 255], 0xFF090909u);
}

// JPEG strips that are whole streams (no JPEGTables), the last one coded at
// the full strip height of which only its first rows belong to the image:
// rows 32 to 39 come from its top half (one colour), not its bottom half.
TEST(TiffBlocks, JpegLastStripCodedAtFullHeight) {
    const u32 w = 48, h = 40, rps = 16;
    const u32 colours[3][2] = {{0x204080, 0x204080}, {0x806040, 0x806040}, {0x30C050, 0xF01010}};
    Builder b;
    std::vector<u64> counts;
    JpegEncodeSettings settings = {95, 1, 0};
    for (u32 s = 0; s < 3; s++) {
        std::vector<u32> rgba(w * rps);
        for (u32 y = 0; y < rps; y++)
            for (u32 x = 0; x < w; x++) {
                u32 c = colours[s][y < 8 ? 0 : 1];
                rgba[y * w + x] = (c >> 16) | (c & 0xFF00) | (c & 255) << 16 | 0xFF000000u;
            }
        std::vector<u8> work(jpeg_encode_workspace_bytes(&settings, w, rps));
        Bytes out(jpeg_encode_output_bound(&settings, w, rps));
        JpegEncodeResult r;
        ASSERT_TRUE(jpeg_encode(span_of(rgba.data(), rgba.size() * 4), w * 4, w, rps, &settings, work.data(),
                                work.size(), out.data(), out.size(), &r));
        out.resize(r.bytes);
        counts.push_back(out.size());
        b.chunks.push_back(out);
    }
    b.fields = {{256, SHORT, {w}}, {257, SHORT, {h}}, {258, SHORT, {8, 8, 8}}, {259, SHORT, {7}}, {262, SHORT, {6}},
                {273, LONG, {}},   {277, SHORT, {3}}, {278, SHORT, {rps}},     {279, LONG, counts},
                {530, SHORT, {1, 1}}};
    Decoded d = decode(b.build());
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    for (u32 y = 0; y < h; y++) {
        u32 want = colours[y / rps][0];
        for (u32 x = 0; x < w; x += 7) {
            u32 got = d.pixels[y * w + x];
            // RGBA words against 0xRRGGBB: within 2 per channel.
            for (u32 k = 0; k < 3; k++) {
                int g = (int)(got >> (8 * k) & 255), e = (int)(want >> (16 - 8 * k) & 255);
                ASSERT_LE(std::abs(g - e), 2) << x << "," << y << " channel " << k;
            }
        }
    }
}

// A stream cut into a table specification (its quantisation and Huffman
// tables between start and end markers) and the abbreviated image (the
// rest, without the tables), as a TIFF file keeps them in JPEGTables and
// its strips.
void split_tables(const Bytes& s, Bytes* tables, Bytes* image) {
    *tables = {0xFF, 0xD8};
    *image = {0xFF, 0xD8};
    u64 pos = 2;
    while (pos + 4 <= s.size() && s[pos + 1] != 0xDA) {
        u64 end = pos + 2 + (s[pos + 2] << 8 | s[pos + 3]);
        Bytes* to = s[pos + 1] == 0xDB || s[pos + 1] == 0xC4 ? tables : s[pos + 1] >= 0xE0 ? nullptr : image;
        if (to) to->insert(to->end(), s.begin() + (long)pos, s.begin() + (long)end);
        pos = end;
    }
    image->insert(image->end(), s.begin() + (long)pos, s.end());
    tables->push_back(0xFF);
    tables->push_back(0xD9);
}

// Damaged JPEG strips (cut short, a restart marker in the data, a broken
// code) fail with the code our JPEG decoder's full path gives the stream,
// at the strip's offset, whichever path the strip was first tried by; the
// good strips around them still decode, the same as without JPEGTables.
TEST(TiffBlocks, DamagedJpegStripsReportTheDecodersFault) {
    const u32 w = 40, rps = 16;
    JpegEncodeSettings settings = {90, 0, 0};
    std::vector<u32> rgba(w * rps);
    for (u32 i = 0; i < w * rps; i++) rgba[i] = 0xFF000000u | (i * 2654435761u >> 8);
    std::vector<u8> work(jpeg_encode_workspace_bytes(&settings, w, rps));
    Bytes good(jpeg_encode_output_bound(&settings, w, rps));
    JpegEncodeResult r;
    ASSERT_TRUE(jpeg_encode(span_of(rgba.data(), rgba.size() * 4), w * 4, w, rps, &settings, work.data(), work.size(),
                            good.data(), good.size(), &r));
    good.resize(r.bytes);
    u64 sos = 0;
    for (u64 i = 0; i + 1 < good.size(); i++) {
        if (good[i] == 0xFF && good[i + 1] == 0xDA) sos = i;
    }
    u64 data = sos + 2 + (good[sos + 2] << 8 | good[sos + 3]);
    std::vector<Bytes> damaged;
    Bytes cut(good.begin(), good.begin() + (long)(data + (good.size() - data) / 2));
    cut.push_back(0xFF);
    cut.push_back(0xD9);
    damaged.push_back(cut);
    Bytes restart = good;
    restart[data + 20] = 0xFF;
    restart[data + 21] = 0xD0;
    damaged.push_back(restart);
    // Stuffed 0xFF bytes: runs of one bits, which no code of a table is.
    Bytes broken = good;
    for (u64 i = data; i < data + 12; i += 2) {
        broken[i] = 0xFF;
        broken[i + 1] = 0x00;
    }
    damaged.push_back(broken);
    std::vector<u32> want_pixels;
    for (const Bytes& bad : damaged) {
        // What the full path says of the stream on its own.
        auto jpeg = std::make_unique<JpegDecoder>();
        JpegQuickHeader quick;
        JpegStatus st;
        ASSERT_TRUE(read_quick_header(bad.data(), bad.size(), jpeg.get(), &quick, &st));
        JpegLayout layout;
        ASSERT_TRUE(jpeg_working_layout(jpeg.get(), &layout));
        Scratch scratch(layout.total);
        memcpy(scratch.p, jpeg.get(), sizeof(JpegDecoder));
        JpegPlanes planes;
        JpegRestartIndex index;
        jpeg_planes_from_layout(scratch.p, &layout, &planes, &index);
        ASSERT_FALSE(decode_scans(bad.data(), bad.size(), (JpegDecoder*)scratch.p, &planes, &index, false, &st));
        u32 want = jpeg_status_to_codec_error(st.code);

        for (bool abbreviated : {false, true}) {
            Builder b;
            Bytes tables, good_image, bad_image;
            split_tables(good, &tables, &good_image);
            split_tables(bad, &tables, &bad_image);
            const Bytes& g = abbreviated ? good_image : good;
            b.chunks = {g, abbreviated ? bad_image : bad, g, g};
            b.fields = {{256, SHORT, {w}}, {257, SHORT, {4 * rps}}, {258, SHORT, {8, 8, 8}}, {259, SHORT, {7}},
                        {262, SHORT, {6}}, {273, LONG, {}},         {277, SHORT, {3}},       {278, SHORT, {rps}},
                        {279, LONG, {b.chunks[0].size(), b.chunks[1].size(), g.size(), g.size()}}};
            if (abbreviated) b.fields.push_back({347, 7, std::vector<u64>(tables.begin(), tables.end())});
            Bytes file = b.build();
            ImageInfo info;
            CodecError err;
            ASSERT_TRUE(tiff_probe(file.data(), file.size(), &info, jpeg.get(), &err));
            Scratch job(info.scratch_bytes);
            ASSERT_TRUE(tiff_begin(file.data(), file.size(), job.p, info.scratch_bytes, &err));
            std::vector<u32> px(w * rps);
            PixelBuffer out = {(u8*)px.data(), w * 4, w, rps};
            // Strip by strip: the tables read for strip 0 are lost to the
            // full path at strip 1 and read again for strip 2.
            for (u32 strip = 0; strip < 4; strip++) {
                bool ok = tiff_render(file.data(), file.size(), job.p, 0, 0, strip * rps, w, rps, &out, &err);
                EXPECT_EQ(ok, strip != 1) << strip;
                if (strip == 1) {
                    EXPECT_EQ(err.code, want);
                    EXPECT_EQ(err.offset, 8 + b.chunks[0].size());
                } else if (want_pixels.empty()) {
                    want_pixels = px;
                } else {
                    EXPECT_EQ(px, want_pixels) << strip << (abbreviated ? " with JPEGTables" : "");
                }
            }
        }
    }
}

// Every prefix of a valid file (strips of LZW, then an uncompressed BigTIFF
// in big-endian order) is refused cleanly or, when it still holds what the
// image needs, decoded: never a read past the bytes given.
TEST(TiffContainer, EveryPrefix) {
    Builder lzw;
    lzw.chunks.push_back(lzw_codes({256, 65, 258, 65, 66, 257}));
    lzw.chunks.push_back(lzw_codes({256, 66, 258, 67, 68, 257}));
    lzw.fields = {{256, SHORT, {5}}, {257, SHORT, {2}}, {258, SHORT, {8}}, {259, SHORT, {5}}, {262, SHORT, {1}},
                  {273, LONG, {}},   {277, SHORT, {1}}, {278, SHORT, {1}},
                  {279, LONG, {lzw.chunks[0].size(), lzw.chunks[1].size()}}};
    Builder raw = rgb_file(6, 5, 2);
    raw.be = raw.big = true;
    for (Builder* b : {&lzw, &raw}) {
        Bytes file = b->build();
        for (u64 n = 0; n <= file.size(); n++) {
            Bytes cut(file.begin(), file.begin() + n);
            Decoded d = decode(cut);
            if (!d.ok) {
                EXPECT_LE(d.err.offset, n) << n;
            }
            if (n == file.size()) {
                EXPECT_TRUE(d.ok);
            }
        }
    }
}

// Long LZW streams, so that most codes go through the decoder's fast loop:
// random valid codes (bytes, known strings, the string being defined,
// clears, a full table) against a plain decoder that keeps every string,
// then the same streams with one code past the table, which must fail at
// the byte holding that code's last bit.
TEST(TiffLzw, LongStreamsMatchAPlainDecoder) {
    struct Writer {
        Bytes out;
        u64 acc = 0;
        u32 count = 0;
        u64 bits = 0;
        void put(u32 code, u32 width) {
            acc = acc << width | code;
            count += width;
            bits += width;
            while (count >= 8) {
                out.push_back((u8)(acc >> (count - 8)));
                count -= 8;
            }
        }
        void finish() {
            if (count) out.push_back((u8)(acc << (8 - count)));
        }
    };
    std::mt19937 rng(29);
    std::vector<u8> work(TIFF_LZW_WORK_BYTES);
    for (u32 trial = 0; trial < 24; trial++) {
        SCOPED_TRACE(trial);
        Writer w;
        std::vector<Bytes> table(258);
        Bytes expected;
        u32 width = 9;
        bool have_prev = false;
        Bytes prev;
        u64 bad_at = ~(u64)0;
        u32 codes = 3000 + rng() % 6000;
        u32 bad_code = trial % 2 ? codes / 2 + rng() % (codes / 3) : ~0u;
        // Fewer clears in some trials, so that the table fills up.
        u32 clear_every = trial % 3 == 0 ? 5000 : 300 + rng() % 1500;
        w.put(256, 9);
        for (u32 i = 0; i < codes; i++) {
            if (i > 0 && i % clear_every == 0) {
                w.put(256, width);
                table.resize(258);
                width = 9;
                have_prev = false;
                continue;
            }
            u32 next = (u32)table.size();
            if (i == bad_code) {
                if (!have_prev || next < 4095) {
                    w.put(have_prev ? next + 1 : 300, width);
                    bad_at = (w.bits - 1) / 8;
                    break;
                }
                // No 12-bit code lies past a full table: this trial stays valid.
                bad_code = ~0u;
            }
            u32 kind = rng() % 8;
            u32 code;
            if (!have_prev || kind < 3 || next == 258) {
                code = (u8)(kind < 2 ? 'a' + rng() % 3 : rng());
            } else if (kind == 3 && next < 4096) {
                code = next;  // the string being defined
            } else {
                code = 258 + rng() % (next - 258);
            }
            Bytes s = code < 256 ? Bytes{(u8)code} : code < next ? table[code] : prev;
            if (code == next) s.push_back(prev[0]);
            w.put(code, width);
            if (have_prev && table.size() < 4096) {
                Bytes e = prev;
                e.push_back(s[0]);
                table.push_back(e);
                if (table.size() >= (1u << width) - 1 && width < 12) width++;
            }
            expected.insert(expected.end(), s.begin(), s.end());
            prev = s;
            have_prev = true;
        }
        if (bad_at == ~(u64)0) w.put(257, width);
        w.finish();
        // Output of the expected size, and 8 bytes beyond the stream's end
        // are not part of it.
        u64 size = bad_at == ~(u64)0 ? expected.size() : expected.size() + 5000;
        Bytes out(size + 16, 0xEE);
        CodecError err;
        bool ok = tiff_lzw(w.out.data(), w.out.size(), 1000, work.data(), out.data(), size, &err);
        if (bad_at == ~(u64)0) {
            ASSERT_TRUE(ok) << err.code << " at " << err.offset;
            auto m = std::mismatch(expected.begin(), expected.end(), out.begin());
            ASSERT_TRUE(m.first == expected.end()) << "first difference at " << (m.first - expected.begin()) << " of " << expected.size();
        } else {
            ASSERT_FALSE(ok);
            EXPECT_EQ(err.code, ERR_BAD_HEADER);
            EXPECT_EQ(err.offset, 1000 + bad_at);
        }
        for (u64 i = size; i < out.size(); i++) ASSERT_EQ(out[i], 0xEE) << "wrote past the output";
    }
}

// The codec table and what the framework does with it: every kind has a
// complete entry, sniffing picks kinds by content (and a TGA only by its
// name), and a container holding another codec's stream (a BMP with a PNG
// inside, an icon whose entry is a PNG) is probed and decoded as that
// stream, under the container's name, with the same pixels.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/codecs.h"
#include "codec/job.h"
#include "codec/probe.h"

namespace fs = std::filesystem;
using Bytes = std::vector<u8>;

static Bytes read_all(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

static void put16(Bytes& b, u32 v) {
    b.push_back((u8)v);
    b.push_back((u8)(v >> 8));
}
static void put32(Bytes& b, u32 v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

TEST(CodecTable, EveryKindHasACompleteEntry) {
    for (DecoderKind k = 1; k < DECODER_KIND_COUNT; k++) {
        const CodecEntry* e = codec_entry(k);
        ASSERT_NE(e, nullptr) << k;
        EXPECT_EQ(e->kind, k);
        EXPECT_NE(e->format, FORMAT_NONE) << k;
        EXPECT_EQ(decoder_to_format(k), e->format);
        EXPECT_TRUE(e->sniff && e->probe && e->base) << k;
        // A still decoded whole goes through the shared base step.
        if (e->decode_still != nullptr) {
            EXPECT_EQ(e->base, codec_still_base) << k;
        }
        // Tiles for the whole image need a tile producer.
        if (e->whole_ready != nullptr) {
            EXPECT_NE(e->tile, nullptr) << k;
        }
    }
    EXPECT_EQ(codec_entry(DECODER_NONE), nullptr);
    EXPECT_EQ(codec_entry(DECODER_KIND_COUNT), nullptr);
}

static DecoderKind sniff(const std::string& bytes, ImageFormat claimed = FORMAT_NONE) {
    return sniff_decoder((const u8*)bytes.data(), bytes.size(), claimed);
}

TEST(CodecTable, SniffingByContent) {
    EXPECT_EQ(sniff(std::string("RIFF\0\0\0\0WEBP", 12)), DECODER_WEBP);
    EXPECT_EQ(sniff("R"), DECODER_WEBP);  // the first byte decides for the original four
    EXPECT_EQ(sniff("\xFF\xD8\xFF"), DECODER_JPEG);
    EXPECT_EQ(sniff("GIF89a"), DECODER_GIF);
    EXPECT_EQ(sniff("\x89PNG"), DECODER_PNG);
    EXPECT_EQ(sniff("BM\x10\x00"), DECODER_BMP);
    EXPECT_EQ(sniff(std::string("\0\0\1\0\1\0", 6)), DECODER_ICO);
    EXPECT_EQ(sniff(std::string("\0\0\2\0\1\0", 6)), DECODER_ICO);
    EXPECT_EQ(sniff("hello"), DECODER_NONE);
    EXPECT_EQ(sniff(""), DECODER_NONE);
    EXPECT_EQ(sniff("P6 1 1 255\n"), DECODER_PNM);
    EXPECT_EQ(sniff("P7\nWIDTH 1"), DECODER_PNM);
    EXPECT_EQ(sniff("qoif"), DECODER_QOI);
    // A name that claims nothing special changes nothing.
    EXPECT_EQ(sniff("BM\x10\x00", FORMAT_PNG), DECODER_BMP);
}

// TGA has no signature: its header is taken for one only when the name says
// so, and never over another format's full signature.
TEST(CodecTable, TgaOnlyByName) {
    // Uncompressed true colour, 2 x 2, 24 bits, top-left origin.
    std::string tga("\0\0\x02\0\0\0\0\0\0\0\0\0\x02\0\x02\0\x18\x20", 18);
    tga += std::string(12, '\x40');
    EXPECT_EQ(sniff(tga, FORMAT_TGA), DECODER_TGA);
    EXPECT_EQ(sniff(tga), DECODER_NONE);
    EXPECT_EQ(sniff(tga, FORMAT_PNG), DECODER_NONE);
    std::string png = "\x89PNG\r\n\x1a\n" + tga.substr(8);
    EXPECT_EQ(sniff(png, FORMAT_TGA), DECODER_PNG);
    ImageInfo info;
    ProbeWork work;
    CodecError err;
    ASSERT_TRUE(probe_image((const u8*)tga.data(), tga.size(), FORMAT_TGA, &info, &work, &err));
    EXPECT_EQ(info.decoder, DECODER_TGA);
    EXPECT_EQ(info.format, FORMAT_TGA);
    EXPECT_EQ(info.width, 2u);
    EXPECT_FALSE(probe_image((const u8*)tga.data(), tga.size(), FORMAT_NONE, &info, &work, &err));
    EXPECT_EQ(err.code, ERR_BAD_SIGNATURE);
}

// A BMP file header and a 40-byte info header with compression BI_PNG (5),
// followed by the stream.
static Bytes bmp_around(const Bytes& stream, u32 w, u32 h) {
    Bytes f = {'B', 'M'};
    put32(f, 54 + (u32)stream.size());
    put32(f, 0);
    put32(f, 54);
    put32(f, 40);
    put32(f, w);
    put32(f, h);
    put16(f, 1);
    put16(f, 0);
    put32(f, 5);
    put32(f, (u32)stream.size());
    for (int i = 0; i < 4; i++) put32(f, 0);
    f.insert(f.end(), stream.begin(), stream.end());
    return f;
}

// An icon of one PNG entry.
static Bytes ico_around(const Bytes& png, u32 w, u32 h) {
    Bytes f;
    put16(f, 0);
    put16(f, 1);
    put16(f, 1);
    f.push_back((u8)w);
    f.push_back((u8)h);
    f.push_back(0);
    f.push_back(0);
    put16(f, 1);
    put16(f, 32);
    put32(f, (u32)png.size());
    put32(f, 22);
    f.insert(f.end(), png.begin(), png.end());
    return f;
}

struct Opened {
    Bytes bytes;
    ImageInfo info{};
    CodecError err{};
    std::vector<u8> memory;
    DecodeJob job{};
    bool ok = false;

    explicit Opened(Bytes file) : bytes(std::move(file)) {
        static ProbeWork work;
        if (!probe_image(bytes.data(), bytes.size(), FORMAT_NONE, &info, &work, &err)) return;
        u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes);
        memory.assign(scratch + pixels + info.extra_bytes + 64, 0);
        u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
        ok = start_job(&job, ByteSpan{bytes.data(), bytes.size()}, &info, &work, base, info.scratch_bytes,
                       base + scratch, &err) &&
             decode_step(&job, &err);
    }
    std::vector<u32> picture() const {
        std::vector<u32> out;
        for (u32 y = 0; y < job.pixels.height; y++) {
            const u32* row = (const u32*)(job.pixels.pixels + y * job.pixels.stride);
            out.insert(out.end(), row, row + job.pixels.width);
        }
        return out;
    }
};

TEST(CodecTable, ContainersHoldingAnotherCodecsStream) {
    Bytes png = read_all(fs::path(QB_SOURCE_DIR) / "tests" / "data" / "small-rgb.png");
    ASSERT_FALSE(png.empty());
    Opened plain(png);
    ASSERT_TRUE(plain.ok) << plain.err.code;
    EXPECT_EQ(plain.info.format, FORMAT_PNG);
    EXPECT_EQ(plain.info.source_size, 0u);
    for (const Bytes& file : {bmp_around(png, 40, 30), ico_around(png, 40, 30)}) {
        Opened wrapped(file);
        ASSERT_TRUE(wrapped.ok) << wrapped.err.code << " at " << wrapped.err.offset;
        EXPECT_EQ(wrapped.info.decoder, DECODER_PNG);
        EXPECT_EQ(wrapped.info.format, file[0] == 'B' ? FORMAT_BMP : FORMAT_ICO);
        EXPECT_EQ(wrapped.info.source_offset, file.size() - png.size());
        EXPECT_EQ(wrapped.info.source_size, png.size());
        EXPECT_EQ(wrapped.job.source.data, wrapped.bytes.data() + wrapped.info.source_offset);
        EXPECT_EQ(wrapped.picture(), plain.picture());
    }
    // A fault in the inner stream is reported at its offset in the file.
    Bytes cut(png.begin(), png.begin() + 20);
    Opened broken(bmp_around(cut, 40, 30));
    EXPECT_FALSE(broken.ok);
    EXPECT_EQ(broken.err.code, ERR_TRUNCATED);
    EXPECT_EQ(broken.err.offset, 54u + 20u);
}

// JPEG encoder: writes a JFIF file (baseline with the standard Huffman
// tables, or progressive with tables optimised per scan) from 8-bit RGBA
// pixels into a caller's output buffer, using a caller's workspace and no
// other memory. Pixels are converted, transformed and quantised into a
// coefficient store (zigzag order, one non-zero mask a block). A baseline
// file needs one MCU row of it: its single scan, whose tables are fixed, is
// coded straight to the output 128 pixels across at a time, right after the
// transform. A progressive file stores the whole image; its scans are then
// coded one after another, each through a small buffer of symbols that is
// either counted (to optimise the scan's tables) or emitted.
#pragma once

#include "codec/image.h"
#include "codec/jpeg/tables.h"

// ---- Settings, parameters and codes --------------------------------------------

// What the save flow hands over: three u32 values in this order.
struct JpegEncodeSettings {
    u32 quality;      // 1..100
    u32 subsampling;  // 0 "4:2:0", 1 "4:4:4"
    u32 progressive;  // 0 "Baseline", 1 "Progressive"
};

enum : u32 { JPEG_SAMPLING_444 = 0, JPEG_SAMPLING_420 = 2 };

// The encoder's own view of one call, derived from the settings record.
struct JpegEncodeParams {
    u32 width;
    u32 height;
    u32 bytes_per_pixel;  // 4: R, G, B, A (A ignored)
    u32 quality;
    u32 sampling_mode;  // JPEG_SAMPLING_444 or JPEG_SAMPLING_420
    u8 progressive;
};

// Encoder codes (the encoder's own numbering, not CodecError's).
enum : u32 {
    JPEG_ENCODE_OK = 0,
    JPEG_ENCODE_BAD_WIDTH = 1,
    JPEG_ENCODE_BAD_HEIGHT = 2,
    JPEG_ENCODE_BAD_QUALITY = 4,
    JPEG_ENCODE_SMALL_WORKSPACE = 7,
    JPEG_ENCODE_BAD_STRIDE = 8,
    JPEG_ENCODE_SHORT_PIXELS = 9,
    JPEG_ENCODE_OUTPUT_FULL = 10,
    JPEG_ENCODE_HUFFMAN = 11,
};

struct JpegEncodeResult {
    u32 code;   // JPEG_ENCODE_OK on success
    u64 bytes;  // bytes written on success
};

constexpr u32 JPEG_ENCODE_MAX_SIDE = 65535;

// ---- Interface -----------------------------------------------------------------

JpegEncodeParams jpeg_encode_params(const JpegEncodeSettings* settings, u32 width, u32 height);

// Workspace bytes `jpeg_encode` needs; 0 for a size it refuses.
u64 jpeg_encode_workspace_bytes(const JpegEncodeSettings* settings, u32 width, u32 height);

// Worst-case output bytes: with B the 8 x 8 blocks of all components
// (MCU-padded), baseline B * 640 + 4096, progressive B * 7680 + 49152.
u64 jpeg_encode_output_bound(const JpegEncodeSettings* settings, u32 width, u32 height);

// Encodes `pixels` (4-byte RGBA rows `stride` bytes apart; at least
// stride * (height - 1) + width * 4 bytes). Bad sizes, quality, workspace or
// stride are refused before a byte is written. On failure `result->code`
// says why and whatever reached `output` must not be used.
bool jpeg_encode(ByteSpan pixels, u64 stride, u32 width, u32 height, const JpegEncodeSettings* settings,
                 u8* workspace, u64 workspace_size, u8* output, u64 output_capacity, JpegEncodeResult* result);

// The text the save flow shows for an encoder code.
ByteSpan jpeg_encode_message(u32 code);

// ---- Pieces shared by the encoder's files and its tests -------------------------

// One quantisation table as the quantiser uses it, natural order. The
// divisor is 8 * value (the transform's output is 8 times the coefficient);
// a magnitude m becomes ((m + correction) * reciprocal) >> shift, and
// scale = 2^(32 - shift) lets the vector kernel do that shift as a second
// high multiply. `lanes` repeats reciprocal, correction and scale across
// eight 16-bit lanes for the SSE2 kernel; `pairs[4 * v + u]` (u < 4) holds
// position 8v + u in its low eight lanes and 8v + u + 4 in its high eight
// for the AVX2 kernel.
struct JpegQuantDivisors {
    u8 value[64];
    u16 reciprocal[64];
    u16 correction[64];
    u16 scale[64];
    u8 shift[64];
    alignas(16) u16 lanes[64][3][8];
    alignas(32) u16 pairs[32][3][16];
};

// Table entries for a quality: (base * scale + 50) / 100 within 1..255.
void jpeg_quant_table(u32 quality, u32 table, u8 out[64]);
void jpeg_quant_divisors(const u8 table[64], JpegQuantDivisors* out);

// Huffman table construction by the standard's Annex K.2 procedure from 256
// symbol frequencies (a reserved symbol 256 of frequency 1 is added). Writes
// the DHT form (16 counts, then the symbols) into `dht` (16 + 256 bytes).
// False when a code grows longer than 32 bits while merging.
bool jpeg_optimal_huffman(const u64 freq[256], u8 dht[16 + 256]);

// ---- Kernels (encode_kernels.cpp, encode_kernels_sse2.cpp) -------------------------

// RGBA to Y, Cb and Cr samples. Converts `count` rounded up to a multiple
// of 8 pixels: source and targets carry the slack.
typedef void (*JpegRgbaToYccFn)(const u8* rgba, u8* y, u8* cb, u8* cr, u32 count);
// 2 x 2 average of two rows with the bias 1, 2, 1, 2, ... along the row:
// out[i] = (a[2i] + a[2i+1] + b[2i] + b[2i+1] + 1 + (i & 1)) >> 2. Writes
// `count` rounded up to a multiple of 16 outputs.
typedef void (*JpegDownsampleFn)(const u8* a, const u8* b, u8* out, u32 count);
// Forward DCT and quantisation of eight horizontally adjacent 8 x 8 blocks
// (64 columns, 8 rows `stride` bytes apart): 8 x 64 coefficients in zigzag
// order into `out` and one non-zero mask a block (bit k: zigzag k).
typedef void (*JpegFdctFn)(const u8* samples, u64 stride, const JpegQuantDivisors* q, i16* out, u64* masks);
struct JpegScanFrame;
struct JpegBaselineCodes;
struct JpegBaselineState;
struct JpegWriter;
// The sequential scan's coder (encode_entropy.cpp), see jpeg_baseline_rows.
typedef void (*JpegBaselineRowsFn)(const JpegScanFrame* frame, const JpegBaselineCodes (*codes)[2],
                                   JpegBaselineState* st, JpegWriter* w);

struct JpegEncodeKernels {
    JpegRgbaToYccFn rgba_to_ycc;
    JpegDownsampleFn downsample;
    JpegFdctFn fdct;
    JpegBaselineRowsFn baseline_rows;
};

enum : u32 { JPEG_ENCODE_SCALAR = 0, JPEG_ENCODE_SSE2 = 1, JPEG_ENCODE_AVX2 = 2, JPEG_ENCODE_BEST = 3 };

// The variant in use, chosen on first use from a CPU check.
const JpegEncodeKernels* jpeg_encode_kernels();
// Test hook: selects a variant; false (and no change) when the machine
// lacks it.
bool jpeg_encode_force_kernels(u32 variant);

void jpeg_rgba_to_ycc_scalar(const u8* rgba, u8* y, u8* cb, u8* cr, u32 count);
void jpeg_rgba_to_ycc_sse2(const u8* rgba, u8* y, u8* cb, u8* cr, u32 count);
void jpeg_rgba_to_ycc_avx2(const u8* rgba, u8* y, u8* cb, u8* cr, u32 count);
void jpeg_downsample_scalar(const u8* a, const u8* b, u8* out, u32 count);
void jpeg_downsample_sse2(const u8* a, const u8* b, u8* out, u32 count);
void jpeg_fdct_scalar(const u8* samples, u64 stride, const JpegQuantDivisors* q, i16* out, u64* masks);
void jpeg_fdct_sse2(const u8* samples, u64 stride, const JpegQuantDivisors* q, i16* out, u64* masks);
void jpeg_fdct_avx2(const u8* samples, u64 stride, const JpegQuantDivisors* q, i16* out, u64* masks);

// ---- Entropy coding (encode_entropy.cpp) -------------------------------------------

// The output: marker bytes go one at a time, entropy data a word at a time
// while a margin remains (16 bytes for the progressive scans' 32-bit words,
// one MCU's worst case for the baseline scan's 64-bit words) and byte by
// byte, or through a scratch copy, in the last stretch. A byte that does not
// fit sets `overflow`; the output is then unusable.
struct JpegWriter {
    u8* data;
    u64 capacity;
    u64 size;
    bool overflow;
};

inline void jpeg_put_byte(JpegWriter* w, u32 byte) {
    if (w->size >= w->capacity) {
        w->overflow = true;
        return;
    }
    w->data[w->size++] = (u8)byte;
}

// One component as the scans see it.
struct JpegScanComponent {
    const i16* coefficients;  // blocks of 64, zigzag order, `store_across` blocks a row
    const u64* masks;
    u32 store_across;
    u32 h, v;                 // sampling factors (MCU blocks across and down)
    u32 real_across;          // blocks of the component's own size
    u32 real_down;
    u32 table;                // 0 luminance, 1 chrominance
};

struct JpegScanSpec {
    u32 count;  // components in the scan
    u32 component[3];
    u32 ss, se, ah, al;
};

struct JpegScanFrame {
    JpegScanComponent comp[3];
    u32 mcus_across;
    u32 mcus_down;
};

// Canonical codes of a DHT-form table: code in the low 16 bits, length above.
void jpeg_huffman_codes(const u8* dht, u32 codes[256]);

// Counts the symbols of one scan per table slot (2 * table + class), adding
// to `freq`.
void jpeg_scan_count(const JpegScanFrame* frame, const JpegScanSpec* scan, u64 freq[4][256]);
// Codes one scan's entropy data with the codes of each slot, then pads the
// last byte with 1 bits.
void jpeg_scan_emit(const JpegScanFrame* frame, const JpegScanSpec* scan, const u32 (*codes)[256], JpegWriter* w);

// The sequential scan of all three components, coded a band of MCU rows at
// a time (while the band's coefficients are still in cache): the frame
// describes the band; the state carries the DC predictions and the pending
// bits from band to band.
struct JpegBaselineState {
    i32 last_dc[3];
    u64 acc;   // pending bits: the low 64 - free
    i32 free;  // starts at 64
};
// A table's codes as the sequential coder uses them, indexed by symbol
// (run << 4 | size), plus 256 when the value is negative: `shifted` is the
// code shifted above the value's size bits (plus 1 << size when negative,
// so that adding v - 1 leaves the code followed by the extra bits) and
// `length` the code's length plus the size.
struct JpegBaselineCodes {
    u32 shifted[512];
    u8 length[512];
};
void jpeg_baseline_codes(const u32 codes[256], JpegBaselineCodes* out);
// `codes[table][class]`: class 0 DC, 1 AC.
void jpeg_baseline_rows(const JpegScanFrame* frame, const JpegBaselineCodes (*codes)[2], JpegBaselineState* st,
                        JpegWriter* w);
// The same, built for BMI1 and BMI2 (the AVX2 variant's coder).
void jpeg_baseline_rows_bmi2(const JpegScanFrame* frame, const JpegBaselineCodes (*codes)[2], JpegBaselineState* st,
                             JpegWriter* w);
void jpeg_baseline_finish(const JpegBaselineState* st, JpegWriter* w);

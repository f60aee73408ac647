// The decoder is chosen by the content through the codec table; each probe
// checks its own signature and reads just enough to size every buffer of
// the decode job.
#include "codec/probe.h"

#include "codec/job.h"
#include "codec/orientation.h"

// Full signatures that outrank a TGA header for a file named .tga.
static bool strong_signature(const u8* data, u64 length) {
    static const u8 png[4] = {0x89, 'P', 'N', 'G'};
    static const u8 gif[4] = {'G', 'I', 'F', '8'};
    static const u8 riff[4] = {'R', 'I', 'F', 'F'};
    static const u8 jpeg[3] = {0xFF, 0xD8, 0xFF};
    static const u8 qoi[4] = {'q', 'o', 'i', 'f'};
    return match_at(data, length, 0, png, 4) || match_at(data, length, 0, gif, 4) ||
           match_at(data, length, 0, riff, 4) || match_at(data, length, 0, jpeg, 3) ||
           match_at(data, length, 0, qoi, 4);
}

DecoderKind sniff_decoder(const u8* data, u64 length, ImageFormat claimed) {
    u32 count;
    const CodecEntry* table = codec_table(&count);
    if (length == 0) return DECODER_NONE;
    if (claimed != FORMAT_NONE && !strong_signature(data, length)) {
        for (u32 i = 0; i < count; i++) {
            if (table[i].needs_name && table[i].format == claimed && table[i].sniff(data, length)) return table[i].kind;
        }
    }
    for (u32 i = 0; i < count; i++) {
        if (!table[i].needs_name && table[i].sniff(data, length)) return table[i].kind;
    }
    return DECODER_NONE;
}

DecoderKind sniff_decoder(const u8* data, u64 length) {
    return sniff_decoder(data, length, FORMAT_NONE);
}

// Runs one kind's probe and fills the fields every probe shares.
static bool probe_kind(const CodecEntry* entry, const u8* data, u64 length, ImageInfo* info, ProbeWork* work,
                       CodecError* err) {
    if (!entry->probe(data, length, info, work, err)) return false;
    info->decoder = entry->kind;
    if (info->format == FORMAT_NONE) info->format = entry->format;
    // The size as shown: a file that asks to be turned a quarter shows its
    // height across.
    info->orientation = entry->orientation != nullptr ? entry->orientation(data, length) : 1;
    if (orientation_swaps(info->orientation)) {
        u32 w = info->width;
        info->width = info->height;
        info->height = w;
    }
    // A decoder that makes its own tiles needs a few stored ones at hand to
    // show them turned (the user may turn any image).
    info->orient_bytes = entry->tile != nullptr ? job_orient_bytes(info->width, info->height) : 0;
    // The profile is read and its transform built when the job starts, in
    // memory sized here.
    if (entry->profile != nullptr) {
        IccFind find;
        entry->profile(data, length, &find);
        info->colour = find.state;
        info->colour_bytes = icc_memory_bytes(&find);
    }
    return true;
}

bool probe_image(const u8* data, u64 length, ImageFormat claimed, ImageInfo* info, ProbeWork* work,
                 CodecError* err) {
    *info = ImageInfo{};
    error_set(err, ERR_BAD_SIGNATURE, 0);
    const CodecEntry* entry = codec_entry(sniff_decoder(data, length, claimed));
    if (entry == nullptr) return false;
    if (entry->embedded != nullptr) {
        ByteSpan inner = {nullptr, 0};
        if (!entry->embedded(data, length, &inner, err)) return false;
        if (inner.size != 0) {
            // Only a stream of a decoder that is not itself a container.
            const CodecEntry* wrapped = codec_entry(sniff_decoder(inner.data, inner.size));
            if (wrapped == nullptr || wrapped->embedded != nullptr) {
                return fail(err, ERR_UNSUPPORTED, (u64)(inner.data - data));
            }
            u64 offset = (u64)(inner.data - data);
            if (!probe_kind(wrapped, inner.data, inner.size, info, work, err)) {
                err->offset += offset;
                return false;
            }
            info->format = entry->format;
            info->source_offset = offset;
            info->source_size = inner.size;
            error_clear(err);
            return true;
        }
    }
    if (!probe_kind(entry, data, length, info, work, err)) return false;
    error_clear(err);
    return true;
}

bool probe_image(const u8* data, u64 length, ImageInfo* info, CodecError* err) {
    ProbeWork work;
    return probe_image(data, length, FORMAT_NONE, info, &work, err);
}

static bool parse_side(const u8* p, u64 n, u64* pos, u32* value_out) {
    u64 start = *pos;
    u64 value = 0;
    while (*pos < n && *pos - start < 10 && p[*pos] >= '0' && p[*pos] <= '9') {
        value = value * 10 + (p[*pos] - '0');
        (*pos)++;
    }
    if (*pos == start || value < 1 || value > 0xFFFF00) return false;
    *value_out = (u32)value;
    return true;
}

bool synthetic_size(ByteSpan name, u32* width_out, u32* height_out) {
    static const u8 prefix[5] = {'p', 'r', 'o', 'c', '-'};
    if (!match_at(name.data, name.size, 0, prefix, 5)) return false;
    u64 pos = 5;
    u32 w = 0;
    u32 h = 0;
    if (!parse_side(name.data, name.size, &pos, &w)) return false;
    if (pos >= name.size || name.data[pos] != 'x') return false;
    pos++;
    if (!parse_side(name.data, name.size, &pos, &h)) return false;
    if (pos != name.size && name.data[pos] != '.') return false;
    *width_out = w;
    *height_out = h;
    return true;
}

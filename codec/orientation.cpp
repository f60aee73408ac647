// EXIF orientation and the algebra of the eight orientations. Metadata is
// read defensively: any fault means "no orientation" (1), never an error,
// since a damaged EXIF block must not keep an image from opening.
#include "codec/orientation.h"

// ---- EXIF -------------------------------------------------------------------

bool tiff_ifd0(const u8* t, u64 n, TiffIfd0* out) {
    *out = TiffIfd0{};
    if (n < 8) return false;
    bool le;
    if (t[0] == 'I' && t[1] == 'I') {
        le = true;
    } else if (t[0] == 'M' && t[1] == 'M') {
        le = false;
    } else {
        return false;
    }
    u32 version = le ? load_le16(t, n, 2) : load_be16(t, n, 2);
    u64 ifd, count, room;
    if (version == 42) {
        ifd = le ? load_le32(t, n, 4) : load_be32(t, n, 4);
        if (ifd < 8 || ifd > n || n - ifd < 2) return false;
        count = le ? load_le16(t, n, ifd) : load_be16(t, n, ifd);
        room = (n - ifd - 2) / 12;
        out->first = ifd + 2;
    } else if (version == 43) {
        // BigTIFF: offsets of 8 bytes, after the offset size (8) and a zero.
        if (n < 16) return false;
        u32 bytesize = le ? load_le16(t, n, 4) : load_be16(t, n, 4);
        if (bytesize != 8) return false;
        ifd = le ? load_le64(t, n, 8) : load_be64(t, n, 8);
        if (ifd < 16 || ifd > n || n - ifd < 8) return false;
        count = le ? load_le64(t, n, ifd) : load_be64(t, n, ifd);
        room = (n - ifd - 8) / 20;
        out->first = ifd + 8;
    } else {
        return false;
    }
    out->data = t;
    out->size = n;
    out->le = le;
    out->big = version == 43;
    // Entries that do not fit are never read, whatever the count says.
    out->count = count < room ? count : room;
    return true;
}

TiffIfdEntry tiff_ifd0_entry(const TiffIfd0* d, u64 i) {
    const u8* t = d->data;
    u64 n = d->size;
    u64 e = d->first + (d->big ? 20 : 12) * i;
    TiffIfdEntry r;
    r.tag = d->le ? load_le16(t, n, e) : load_be16(t, n, e);
    r.type = d->le ? load_le16(t, n, e + 2) : load_be16(t, n, e + 2);
    if (d->big) {
        r.count = d->le ? load_le64(t, n, e + 4) : load_be64(t, n, e + 4);
        r.field = e + 12;
    } else {
        r.count = d->le ? load_le32(t, n, e + 4) : load_be32(t, n, e + 4);
        r.field = e + 8;
    }
    return r;
}

u64 tiff_ifd0_number(const TiffIfd0* d, u64 at, u32 type) {
    const u8* t = d->data;
    u64 n = d->size;
    switch (type) {
    case 3: return at <= n && n - at >= 2 ? (d->le ? load_le16(t, n, at) : load_be16(t, n, at)) : 0;
    case 4: return at <= n && n - at >= 4 ? (d->le ? load_le32(t, n, at) : load_be32(t, n, at)) : 0;
    case 16: return at <= n && n - at >= 8 ? (d->le ? load_le64(t, n, at) : load_be64(t, n, at)) : 0;
    default: return 0;
    }
}

u32 exif_orientation(const u8* t, u64 n) {
    TiffIfd0 ifd;
    if (!tiff_ifd0(t, n, &ifd)) return 1;
    for (u64 i = 0; i < ifd.count; i++) {
        TiffIfdEntry e = tiff_ifd0_entry(&ifd, i);
        if (e.tag != 0x0112) continue;
        if (e.count != 1) return 1;
        u64 v = e.type == 3 || e.type == 4 ? tiff_ifd0_number(&ifd, e.field, e.type) : 0;
        return v >= 1 && v <= 8 ? (u32)v : 1;
    }
    return 1;
}

// ---- Containers ---------------------------------------------------------------

u32 jpeg_file_orientation(const u8* p, u64 n) {
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return 1;
    u64 pos = 2;
    while (pos + 4 <= n) {
        if (p[pos] != 0xFF) return 1;
        u32 m = p[pos + 1];
        if (m == 0xFF) {  // fill byte
            pos++;
            continue;
        }
        if (m == 0xD9 || m == 0xDA) return 1;  // the image data begins: no EXIF before it
        if ((m >= 0xD0 && m <= 0xD7) || m == 0x01) {
            pos += 2;
            continue;
        }
        u64 len = load_be16(p, n, pos + 2);
        if (len < 2 || len > n - pos - 2) return 1;
        static const u8 exif[6] = {'E', 'x', 'i', 'f', 0, 0};
        if (m == 0xE1 && len >= 2 + 6 && match_at(p, n, pos + 4, exif, 6)) {
            return exif_orientation(p + pos + 10, len - 8);
        }
        pos += 2 + len;
    }
    return 1;
}

u32 png_file_orientation(const u8* p, u64 n) {
    static const u8 sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (!match_at(p, n, 0, sig, 8)) return 1;
    static const u8 exif[4] = {'e', 'X', 'I', 'f'};
    static const u8 idat[4] = {'I', 'D', 'A', 'T'};
    static const u8 iend[4] = {'I', 'E', 'N', 'D'};
    u64 pos = 8;
    while (n - pos >= 12) {
        u64 len = load_be32(p, n, pos);
        if (len > n - pos - 12) return 1;
        if (match_at(p, n, pos + 4, exif, 4)) return exif_orientation(p + pos + 8, len);
        if (match_at(p, n, pos + 4, idat, 4) || match_at(p, n, pos + 4, iend, 4)) return 1;
        pos += 12 + len;
    }
    return 1;
}

u32 webp_file_orientation(const u8* p, u64 n) {
    static const u8 riff[4] = {'R', 'I', 'F', 'F'};
    static const u8 webp[4] = {'W', 'E', 'B', 'P'};
    static const u8 exif[4] = {'E', 'X', 'I', 'F'};
    if (!match_at(p, n, 0, riff, 4) || !match_at(p, n, 8, webp, 4)) return 1;
    u64 pos = 12;
    while (n - pos >= 8) {
        u64 size = load_le32(p, n, pos + 4);
        if (size > n - pos - 8) return 1;
        if (match_at(p, n, pos, exif, 4)) {
            // Some writers keep the JPEG segment's "Exif\0\0" in front.
            static const u8 prefix[6] = {'E', 'x', 'i', 'f', 0, 0};
            u64 skip = match_at(p, n, pos + 8, prefix, 6) ? 6 : 0;
            return exif_orientation(p + pos + 8 + skip, size - skip);
        }
        pos += 8 + size + (size & 1);
        if (pos > n) return 1;
    }
    return 1;
}

// ---- Composition ----------------------------------------------------------------

// Each orientation as the matrix of its map from stored to displayed
// coordinates about the image centre: (a, b; c, d) with entries -1, 0, 1.
struct OrientMatrix {
    i32 a, b, c, d;
};

static const OrientMatrix k_matrix[9] = {
    {1, 0, 0, 1},                                                   // (unused)
    {1, 0, 0, 1},   {-1, 0, 0, 1},  {-1, 0, 0, -1}, {1, 0, 0, -1},  // 1 to 4
    {0, 1, 1, 0},   {0, -1, 1, 0},  {0, -1, -1, 0}, {0, 1, -1, 0},  // 5 to 8
};

u32 orientation_then(u32 first, u32 then) {
    if (first < 1 || first > 8) first = 1;
    if (then < 1 || then > 8) then = 1;
    const OrientMatrix& f = k_matrix[first];
    const OrientMatrix& t = k_matrix[then];
    OrientMatrix m = {t.a * f.a + t.b * f.c, t.a * f.b + t.b * f.d, t.c * f.a + t.d * f.c, t.c * f.b + t.d * f.d};
    for (u32 o = 1; o <= 8; o++) {
        const OrientMatrix& k = k_matrix[o];
        if (k.a == m.a && k.b == m.b && k.c == m.c && k.d == m.d) return o;
    }
    return 1;
}

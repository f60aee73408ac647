// Reading matrix/TRC profiles and building their transform to sRGB. The
// profile is read defensively: every tag's offset and size is checked
// against the profile before it is used, and anything we do not convert
// exactly (LUT-based A2B tags, other colour spaces, other tag types) makes
// the whole profile one we ignore. Curves and matrices are evaluated in
// double precision once, when the tables are built.
#include <math.h>
#include <string.h>

#include "codec/icc/icc.h"

// ---- Profile structure ---------------------------------------------------------

static constexpr u64 HEADER = 128;
// No real profile has more than a few dozen tags; the pairwise overlap
// check stays cheap under this bound.
static constexpr u64 MAX_TAGS = 1024;

static u32 sig(const char* s) {
    return ((u32)(u8)s[0] << 24) | ((u32)(u8)s[1] << 16) | ((u32)(u8)s[2] << 8) | (u32)(u8)s[3];
}

static double s15f16(const u8* p, u64 n, u64 pos) {
    return (double)(i32)load_be32(p, n, pos) / 65536.0;
}

struct TagTable {
    const u8* p;
    u64 n;
    u64 count;
};

// The tag's data (offset and size inside the profile), or false when absent.
static bool find_tag(const TagTable* t, u32 name, u64* offset_out, u64* size_out) {
    for (u64 i = 0; i < t->count; i++) {
        u64 e = HEADER + 4 + 12 * i;
        if (load_be32(t->p, t->n, e) != name) continue;
        *offset_out = load_be32(t->p, t->n, e + 4);
        *size_out = load_be32(t->p, t->n, e + 8);
        return true;
    }
    return false;
}

// Every tag inside the profile, after the tag table, and no two tags
// overlapping unless they are the same data (profiles share one curve
// between channels that way).
static bool tag_table_sound(const TagTable* t) {
    u64 table_end = HEADER + 4 + 12 * t->count;
    for (u64 i = 0; i < t->count; i++) {
        u64 e = HEADER + 4 + 12 * i;
        u64 off = load_be32(t->p, t->n, e + 4);
        u64 size = load_be32(t->p, t->n, e + 8);
        if (off < table_end || size < 8 || off > t->n || size > t->n - off) return false;
        for (u64 j = 0; j < i; j++) {
            u64 f = HEADER + 4 + 12 * j;
            u64 off2 = load_be32(t->p, t->n, f + 4);
            u64 size2 = load_be32(t->p, t->n, f + 8);
            if (off2 == off && size2 == size) continue;
            if (off < off2 + size2 && off2 < off + size) return false;
        }
    }
    return true;
}

static bool read_xyz(const TagTable* t, u32 name, double xyz[3]) {
    u64 off, size;
    if (!find_tag(t, name, &off, &size) || size < 20 || load_be32(t->p, t->n, off) != sig("XYZ ")) return false;
    for (u32 i = 0; i < 3; i++) xyz[i] = s15f16(t->p, t->n, off + 8 + 4 * i);
    return true;
}

// Parameter counts of para function types 0 to 4.
static const u32 k_para_count[5] = {1, 3, 4, 5, 7};

// A curv or para tag, as a type-4 parametric function where it is one:
//   type 0: g                 -> a = 1, the rest 0
//   type 1: g a b             -> d = -b / a, c = 0: 0 below d
//   type 2: g a b c           -> as 1, e = f = c
//   type 3: g a b c d         -> e = f = 0
//   type 4: g a b c d e f
static bool read_curve(const TagTable* t, u32 name, IccCurve* c) {
    u64 off, size;
    if (!find_tag(t, name, &off, &size)) return false;
    const u8* p = t->p;
    u64 n = t->n;
    *c = IccCurve{};
    u32 type = load_be32(p, n, off);
    if (type == sig("curv")) {
        if (size < 12) return false;
        u64 count = load_be32(p, n, off + 8);
        if (count > (size - 12) / 2) return false;
        if (count == 0) {
            c->kind = ICC_CURVE_IDENTITY;
        } else if (count == 1) {
            // u8Fixed8 gamma.
            c->kind = ICC_CURVE_PARA;
            c->p[0] = load_be16(p, n, off + 12) / 256.0;
            c->p[1] = 1;
        } else {
            c->kind = ICC_CURVE_SAMPLED;
            c->count = (u32)count;
            c->table = p + off + 12;
        }
        return true;
    }
    if (type != sig("para") || size < 12) return false;
    u32 fn = load_be16(p, n, off + 8);
    if (fn > 4 || size < 12 + 4 * (u64)k_para_count[fn]) return false;
    double v[7] = {0, 0, 0, 0, 0, 0, 0};
    for (u32 i = 0; i < k_para_count[fn]; i++) v[i] = s15f16(p, n, off + 12 + 4 * i);
    c->kind = ICC_CURVE_PARA;
    double g = v[0], a = v[1], b = v[2];
    c->p[0] = g;
    switch (fn) {
    case 0: c->p[1] = 1; break;
    case 1:
    case 2:
        if (a == 0) return false;
        c->p[1] = a;
        c->p[2] = b;
        c->p[4] = -b / a;
        if (fn == 2) c->p[5] = c->p[6] = v[3];
        break;
    case 3:
        c->p[1] = a; c->p[2] = b; c->p[3] = v[3]; c->p[4] = v[4];
        break;
    default:
        for (u32 i = 1; i < 7; i++) c->p[i] = v[i];
        break;
    }
    return true;
}

double icc_curve_eval(const IccCurve* c, double x) {
    if (x < 0) x = 0;
    if (x > 1) x = 1;
    if (c->kind == ICC_CURVE_IDENTITY) return x;
    if (c->kind == ICC_CURVE_SAMPLED) {
        // Big-endian entries read straight from the profile.
        double at = x * (c->count - 1);
        u32 i = (u32)at;
        if (i >= c->count - 1) i = c->count - 2;
        double f = at - i;
        const u8* e = c->table + 2 * (u64)i;
        double lo = ((u32)e[0] << 8 | e[1]) / 65535.0;
        double hi = ((u32)e[2] << 8 | e[3]) / 65535.0;
        return lo + (hi - lo) * f;
    }
    const double* q = c->p;  // g a b c d e f
    if (x >= q[4]) {
        double base = q[1] * x + q[2];
        return (base > 0 ? pow(base, q[0]) : 0) + q[5];
    }
    return q[3] * x + q[6];
}

bool icc_parse(const u8* p, u64 n, IccProfile* out) {
    *out = IccProfile{};
    if (n < HEADER + 4) return false;
    u64 declared = load_be32(p, n, 0);
    if (declared < HEADER + 4 || declared > n) return false;
    n = declared;
    if (load_be32(p, n, 36) != sig("acsp")) return false;
    u32 major = p[8];
    if (major < 2 || major > 4) return false;
    u32 space = load_be32(p, n, 16);
    u32 pcs = load_be32(p, n, 20);
    u32 cls = load_be32(p, n, 12);
    // Device links, abstract and named-colour profiles describe no image.
    if (cls == sig("link") || cls == sig("abst") || cls == sig("nmcl")) return false;
    TagTable t = {p, n, load_be32(p, n, HEADER)};
    if (t.count > MAX_TAGS || t.count > (n - HEADER - 4) / 12 || !tag_table_sound(&t)) return false;
    // Where a profile has A2B tables, colour-managed readers take them
    // before the matrix: converting through the matrix would disagree.
    u64 off, size;
    if (find_tag(&t, sig("A2B0"), &off, &size) || find_tag(&t, sig("A2B1"), &off, &size) ||
        find_tag(&t, sig("A2B2"), &off, &size)) {
        return false;
    }
    // The colorant tags are relative to the D50 connection space already
    // (a chad tag records how they were adapted, which only absolute
    // rendering needs); it must still be a well-formed 3 x 3 matrix.
    if (find_tag(&t, sig("chad"), &off, &size) && (size < 44 || load_be32(p, n, off) != sig("sf32"))) return false;
    if (space == sig("GRAY")) {
        if (pcs != sig("XYZ ") && pcs != sig("Lab ")) return false;
        out->grey = true;
        out->lab_pcs = pcs == sig("Lab ");
        return read_curve(&t, sig("kTRC"), &out->curve[0]);
    }
    if (space != sig("RGB ") || pcs != sig("XYZ ")) return false;
    static const char* const xyz_tags[3] = {"rXYZ", "gXYZ", "bXYZ"};
    static const char* const trc_tags[3] = {"rTRC", "gTRC", "bTRC"};
    for (u32 c = 0; c < 3; c++) {
        double xyz[3];
        if (!read_xyz(&t, sig(xyz_tags[c]), xyz) || !read_curve(&t, sig(trc_tags[c]), &out->curve[c])) return false;
        for (u32 r = 0; r < 3; r++) out->matrix[r][c] = xyz[r];
    }
    return true;
}

// ---- Transform -----------------------------------------------------------------

// XYZ (D50) to linear sRGB: the inverse of sRGB's primaries and D65 white
// adapted to D50 by the Bradford transform, the way colour-managed readers
// build their sRGB profile (tools: the matrix from the primaries
// (0.64, 0.33), (0.30, 0.60), (0.15, 0.06) and white (0.3127, 0.3290)).
static const double k_xyz_to_srgb[3][3] = {
    {3.1341863642, -1.6172089590, -0.4906940640},
    {-0.9787485042, 1.9161300968, 0.0334333992},
    {0.0719639278, -0.2289938735, 1.4057537329},
};

static double srgb_encode(double v) {
    if (v <= 0.0031308) return 12.92 * v;
    return 1.055 * pow(v, 1 / 2.4) - 0.055;
}

// Y from L* / 100 (CIE 1976).
static double y_from_lstar(double l) {
    double lstar = l * 100;
    double fy = (lstar + 16) / 116;
    return fy > 6.0 / 29 ? fy * fy * fy : (lstar / 903.2962962962963);
}

static i32 fixed_round(double v) {
    double s = v * (double)(u32)ICC_ONE;
    if (s > 1e6) s = 1e6;
    if (s < -1e6) s = -1e6;
    return (i32)(s < 0 ? s - 0.5 : s + 0.5);
}

bool icc_build(const IccProfile* profile, IccTransform* out) {
    // The matrix from the profile's linear channels to linear sRGB.
    double m[3][3];
    for (u32 r = 0; r < 3; r++) {
        for (u32 c = 0; c < 3; c++) {
            double s = 0;
            for (u32 k = 0; k < 3; k++) s += k_xyz_to_srgb[r][k] * profile->matrix[k][c];
            m[r][c] = profile->grey ? (c == 0 ? 1 : 0) : s;
        }
    }
    // The same within rounding as sRGB: nothing to do. A grey profile's
    // single channel feeds all three, so only its curve counts.
    bool same = true;
    for (u32 r = 0; r < 3 && !profile->grey; r++) {
        for (u32 c = 0; c < 3; c++) same = same && fabs(m[r][c] - (r == c ? 1 : 0)) < 0.003;
    }
    u32 channels = profile->grey ? 1 : 3;
    for (u32 c = 0; c < channels; c++) {
        for (u32 v = 0; v < 256; v++) {
            double lin = icc_curve_eval(&profile->curve[c], v / 255.0);
            if (profile->lab_pcs) lin = y_from_lstar(lin);
            same = same && fabs(srgb_encode(lin) * 255 - v) < 0.5;
            for (u32 r = 0; r < 3; r++) out->rows[c][v][r] = fixed_round(m[r][c] * lin);
            out->rows[c][v][3] = 0;
        }
    }
    for (u32 c = channels; c < 3; c++) memset(out->rows[c], 0, sizeof out->rows[c]);
    if (same) return false;
    for (u32 i = 0; i < ICC_ONE + 16; i++) {
        double v = i >= ICC_ONE ? 1.0 : (double)i / (double)(u32)ICC_ONE;
        out->encode[i] = (u8)(srgb_encode(v) * 255 + 0.5);
    }
    return true;
}

// The decode steps. A still image is cut into strips of rows: phase 0 of a
// strip inflates and unfilters its rows into the workspace, phase 1 converts
// them into the canvas and the display buffer. An animation is decoded one
// frame per step, with the disposal of the previous frame applied first and
// the frame blended onto the canvas. Compressed bytes are inflated straight
// from a long data chunk, else copied from the file's consecutive data chunks
// into a 64 KiB staging buffer, into a 128 KiB window from which whole rows
// are taken, straight from the
// window when a row lies in it whole, else through the row assembly buffer.
// The window slides only when its room runs low, so a row that a run leaves
// unfinished is usually finished in place by the next run.
// All progress is in PngState at the start of the workspace.
#include <string.h>

#include "codec/png/inflate.h"
#include "codec/png/png_rows.h"

enum : u32 {
    T_IDAT = 0x49444154,
    T_FDAT = 0x66644154,
    T_FCTL = 0x6663544C,
};

struct PngWork {
    const u8* bytes;
    u64 length;
    const PngPlan* plan;
    PngState* s;
    InflateState* inflate;
    PngTables* tables;
    u8* window;
    u8* staging;
    u8* row;
    u8* zero;
    u8* raw;
    u8* restore;
    CodecError* err;
};

// ---- Chunks ---------------------------------------------------------------------------

// The chunk at pos, framed within the file: its length and type.
static bool chunk_at(const PngWork* w, u64 pos, u32* len, u32* type) {
    if (pos > w->length || w->length - pos < 12) return fail(w->err, ERR_TRUNCATED, w->length);
    *len = load_be32(w->bytes, w->length, pos);
    if (w->length - pos - 12 < *len) return fail(w->err, ERR_TRUNCATED, w->length);
    *type = load_be32(w->bytes, w->length, pos + 4);
    return true;
}

// Makes the data chunk at pos current (an fdAT's data starts after its
// sequence number).
static bool enter_chunk(const PngWork* w, u64 pos, u32 len, u32 type) {
    PngState* s = w->s;
    u64 skip = type == T_FDAT ? 4 : 0;
    if (len < skip) return fail(w->err, ERR_BAD_HEADER, pos);
    s->chunk_pos = pos;
    s->data_type = type;
    s->data_start = pos + 8 + skip;
    s->read_pos = s->data_start;
    s->data_end = pos + 8 + len;
    return true;
}

// ---- Passes ----------------------------------------------------------------------------

static void setup_pass(const PngWork* w) {
    PngState* s = w->s;
    const PngPlan* p = w->plan;
    s->pass_row = 0;
    if (s->pass >= 8) return;
    s->pass_rows = png_pass_rows(s->pass, s->frame_height);
    s->pass_row_bytes = png_row_bytes(png_pass_width(s->pass, s->frame_width), p->pixel_bits);
    s->pass_stride = packed_raw_row(s->pass_row_bytes);
    s->pass_offset = png_pass_offset(s->pass, s->frame_width, s->frame_height, p->pixel_bits);
}

static u32 total_rows(u32 width, u32 height, u32 interlace) {
    u32 rows = 0;
    for (u32 pass = png_first_pass(width, height, interlace); pass < 8;
         pass = png_next_pass(pass, width, height, interlace))
        rows += png_pass_rows(pass, height);
    return rows;
}

static bool start_decode(const PngWork* w, u64 start, u32 fw, u32 fh) {
    PngState* s = w->s;
    const PngPlan* p = w->plan;
    s->partial = 0;
    s->take_pos = 0;
    s->rows_done = 0;
    s->stream_end = 0;
    s->frame_width = fw;
    s->frame_height = fh;
    s->pass = png_first_pass(fw, fh, p->interlace);
    setup_pass(w);
    memset(w->zero, 0, packed_raw_row(p->row_bytes));
    inflate_init_windowed(w->inflate, w->window, PNG_WINDOW_SIZE);
    s->staging_read = 0;
    s->staging_fill = 0;
    for (u64 pos = start;;) {
        u32 len, type;
        if (!chunk_at(w, pos, &len, &type)) return false;
        if (type == T_IDAT || type == T_FDAT) return enter_chunk(w, pos, len, type);
        pos += 12 + (u64)len;
    }
}

// ---- Input -------------------------------------------------------------------------------

static bool refill(const PngWork* w) {
    PngState* s = w->s;
    u64 unread = s->staging_fill - s->staging_read;
    memmove(w->staging, w->staging + s->staging_read, unread);
    s->staging_read = 0;
    s->staging_fill = unread;
    u64 copied = 0;
    while (copied == 0 && s->staging_fill < PNG_STAGING_SIZE) {
        if (s->read_pos < s->data_end) {
            u64 n = s->data_end - s->read_pos;
            u64 room = PNG_STAGING_SIZE - s->staging_fill;
            if (n > room) n = room;
            memcpy(w->staging + s->staging_fill, w->bytes + s->read_pos, n);
            s->staging_fill += n;
            s->read_pos += n;
            copied += n;
            continue;
        }
        u64 next = s->data_end + 4;
        if (next > w->length || w->length - next < 12) return fail(w->err, ERR_TRUNCATED, s->data_end);
        u32 len = load_be32(w->bytes, w->length, next);
        u32 type = load_be32(w->bytes, w->length, next + 4);
        if (type != s->data_type || w->length - next - 12 < len) return fail(w->err, ERR_TRUNCATED, s->data_end);
        if (!enter_chunk(w, next, len, type)) return false;
    }
    return true;
}

// A slide moves 32 KiB, and the data chunks of most files hold 8 KiB or so,
// each inflating to little more than that: sliding before every run would
// move more bytes than the stream makes. The window slides only once less
// than this much room is left, so most runs append to what is there.
enum : u64 { PNG_SLIDE_ROOM = PNG_WINDOW_SIZE / 4 };

// Chunks with at least this much data left are inflated in place rather than
// copied into the staging buffer first (most encoders write IDAT chunks of
// 8 KiB or far more).
enum : u64 { PNG_DIRECT_MIN = 4096 };

static bool window_needs_slide(const PngWork* w) {
    return PNG_WINDOW_SIZE - inflate_out_pos(w->inflate) < PNG_SLIDE_ROOM;
}

static bool inflate_more(const PngWork* w) {
    PngState* s = w->s;
    // Everything before the output position has been taken, except a row
    // left in the window to be completed by this run (see take_rows).
    if (window_needs_slide(w)) {
        QB_ASSERT(s->take_pos == inflate_out_pos(w->inflate));
        inflate_slide(w->inflate, w->window);
        s->take_pos = inflate_out_pos(w->inflate);
    }
    InflateResult r;
    if (s->staging_read == s->staging_fill && s->data_end - s->read_pos >= PNG_DIRECT_MIN) {
        // A long chunk is inflated where it lies. A run stops short of its end
        // only for want of output room or with less than a step's input
        // left (a dynamic block header is under 600 bytes), which the
        // staging buffer then joins to the next chunk.
        r = inflate_run(w->inflate, w->bytes + s->read_pos, s->data_end - s->read_pos, w->window, PNG_WINDOW_SIZE,
                        false);
        s->read_pos += inflate_consumed(w->inflate);
    } else {
        if (s->staging_read == s->staging_fill && !refill(w)) return false;
        r = inflate_run(w->inflate, w->staging + s->staging_read, s->staging_fill - s->staging_read, w->window,
                        PNG_WINDOW_SIZE, false);
        s->staging_read += inflate_consumed(w->inflate);
    }
    switch (r) {
    case INFLATE_NEED_INPUT: return refill(w);
    case INFLATE_DONE: s->stream_end = 1; return true;
    case INFLATE_ERROR: return fail(w->err, ERR_BAD_HEADER, s->data_start);
    default: return true;
    }
}

// ---- Rows ---------------------------------------------------------------------------------

static bool finish_row(const PngWork* w, const u8* filtered) {
    PngState* s = w->s;
    if (filtered[0] > 4) return fail(w->err, ERR_BAD_HEADER, s->chunk_pos);
    u32 ring = s->ring_rows;
    u8* rows = w->raw + s->pass_offset;
    u8* dst = rows + (u64)(ring ? s->pass_row % ring : s->pass_row) * s->pass_stride;
    const u8* prev = s->pass_row == 0 ? w->zero : rows + (u64)(ring ? (s->pass_row - 1) % ring : s->pass_row - 1) * s->pass_stride;
    unfilter_row(filtered[0], filtered + 1, dst, prev, s->pass_row_bytes, w->plan->filter_bytes);
    s->pass_row++;
    s->rows_done++;
    if (s->pass_row == s->pass_rows) {
        s->pass = png_next_pass(s->pass, s->frame_width, s->frame_height, w->plan->interlace);
        setup_pass(w);
    }
    return true;
}

static bool take_rows(const PngWork* w, u32 target) {
    PngState* s = w->s;
    u64 out = inflate_out_pos(w->inflate);
    while (s->take_pos < out && s->rows_done < target) {
        u64 need = s->pass_row_bytes + 1;
        u64 have = out - s->take_pos;
        if (s->partial == 0 && have >= need) {
            const u8* row = w->window + s->take_pos;
            s->take_pos += need;
            if (!finish_row(w, row)) return false;
            continue;
        }
        // The start of a row, with room after it for the rest and no slide
        // due before the next run: it stays in the window, to be taken
        // whole from there once the run has added the rest.
        if (s->partial == 0 && s->take_pos + need <= PNG_WINDOW_SIZE && !window_needs_slide(w)) break;
        u64 n = need - s->partial < have ? need - s->partial : have;
        memcpy(w->row + s->partial, w->window + s->take_pos, n);
        s->take_pos += n;
        s->partial += n;
        if (s->partial == need) {
            s->partial = 0;
            if (!finish_row(w, w->row)) return false;
        }
    }
    return true;
}

static bool decode_rows(const PngWork* w, u32 target) {
    PngState* s = w->s;
    for (;;) {
        if (!take_rows(w, target)) return false;
        if (s->rows_done >= target) return true;
        if (s->stream_end) return fail(w->err, ERR_BAD_HEADER, s->chunk_pos);
        if (!inflate_more(w)) return false;
    }
}

// After the last row: the stream must end exactly here, with nothing after
// it in the chunk, the staging buffer or a further chunk of the same type.
static bool finish_stream(const PngWork* w) {
    PngState* s = w->s;
    for (;;) {
        if (s->take_pos < inflate_out_pos(w->inflate)) return fail(w->err, ERR_BAD_HEADER, s->chunk_pos);
        if (s->stream_end) {
            if (s->staging_read < s->staging_fill || s->read_pos < s->data_end)
                return fail(w->err, ERR_BAD_HEADER, s->read_pos);
            u64 next = s->data_end + 4;
            if (next <= w->length && w->length - next >= 8 &&
                load_be32(w->bytes, w->length, next + 4) == s->data_type)
                return fail(w->err, ERR_BAD_HEADER, next);
            s->next_chunk = next;
            return true;
        }
        if (!inflate_more(w)) return false;
    }
}

// ---- Strips ---------------------------------------------------------------------------------

struct Strip {
    u32 pass, first, count;
    u32 rows_before;  // rows of the passes before this one
};

static bool find_strip(const PngPlan* p, u32 k, Strip* out) {
    u32 rows_before = 0;
    for (u32 pass = png_first_pass(p->width, p->height, p->interlace); pass < 8;
         pass = png_next_pass(pass, p->width, p->height, p->interlace)) {
        u32 rows = png_pass_rows(pass, p->height);
        u32 strips = (u32)ceil_div(rows, p->strip_rows);
        if (k < strips) {
            out->pass = pass;
            out->first = k * p->strip_rows;
            out->count = rows - out->first < p->strip_rows ? rows - out->first : p->strip_rows;
            out->rows_before = rows_before;
            return true;
        }
        k -= strips;
        rows_before += rows;
    }
    return false;
}

// `ring` is taken at step 0: 0 keeps every unfiltered row.
static bool decode_strip(const PngWork* w, u32 k, u32 ring) {
    PngState* s = w->s;
    const PngPlan* p = w->plan;
    if (k == 0) {
        build_tables(p, w->bytes, w->length, w->tables);
        s->magic = PNG_STATE_MAGIC;
        s->next_step = 0;
        s->failed = 0;
        s->ring_rows = ring;
        if (!start_decode(w, p->idat_pos, p->width, p->height)) return false;
    } else if (s->magic != PNG_STATE_MAGIC || s->failed || s->next_step != k) {
        return fail(w->err, ERR_BAD_TARGET, 0);
    }
    Strip st;
    if (!find_strip(p, k, &st)) return fail(w->err, ERR_BAD_TARGET, 0);
    u32 target = st.rows_before + st.first + st.count;
    if (!decode_rows(w, target)) return false;
    if (target == total_rows(p->width, p->height, p->interlace) && !finish_stream(w)) return false;
    s->next_step = k + 1;
    return true;
}

// A null canvas writes the display buffer alone.
static bool convert_strip(const PngWork* w, u32 k, const PixelBuffer* canvas, const PixelBuffer* display) {
    PngState* s = w->s;
    const PngPlan* p = w->plan;
    if (s->magic != PNG_STATE_MAGIC || s->failed || k >= s->next_step) return fail(w->err, ERR_BAD_TARGET, 0);
    // With a ring only the strip decoded last is still there.
    if (s->ring_rows && k + 1 != s->next_step) return fail(w->err, ERR_BAD_TARGET, 0);
    Strip st;
    if (!find_strip(p, k, &st)) return fail(w->err, ERR_BAD_TARGET, 0);
    PngTargets tg = {};
    if (canvas) tg.canvas = *canvas;
    if (display) tg.display = *display;
    tg.write_display = display != nullptr;
    tg.skip_canvas = canvas == nullptr;
    tg.ring_rows = s->ring_rows;
    if (place_rows(p, w->tables, w->raw, p->width, p->height, st.pass, st.first, st.count, &tg))
        return fail(w->err, ERR_BAD_HEADER, p->plte_data);
    return true;
}

// ---- Frames ---------------------------------------------------------------------------------

static bool decode_frame(const PngWork* w, u32 f, const PixelBuffer* canvas, const PixelBuffer* display) {
    PngState* s = w->s;
    const PngPlan* p = w->plan;
    u32 ps = p->pixel_size;
    if (f == 0) {
        build_tables(p, w->bytes, w->length, w->tables);
        clear_rect(canvas, ps, 0, 0, p->width, p->height);
        if (display) refresh_display(p, canvas, display, 0, 0, p->width, p->height);
        s->magic = PNG_STATE_MAGIC;
        s->failed = 0;
        s->next_step = 0;
        s->next_chunk = p->first_fctl;
        s->ring_rows = 0;
        s->pending_dispose = s->pending_x = s->pending_y = s->pending_w = s->pending_h = 0;
    } else if (s->magic != PNG_STATE_MAGIC || s->failed || s->next_step != f) {
        return fail(w->err, ERR_BAD_TARGET, 0);
    }
    u64 pos = s->next_chunk;
    u32 len, type;
    for (;;) {
        if (!chunk_at(w, pos, &len, &type)) return false;
        if (type == T_FCTL) break;
        pos += 12 + (u64)len;
    }
    FrameControl fc;
    const u8* d = w->bytes + pos + 8;
    if (len != 26) return fail(w->err, ERR_BAD_HEADER, pos);
    fc.width = load_be32(d, 26, 4);
    fc.height = load_be32(d, 26, 8);
    fc.x = load_be32(d, 26, 12);
    fc.y = load_be32(d, 26, 16);
    fc.dispose_op = d[24];
    fc.blend_op = d[25];
    // The file was checked as a whole at setup; these guard the canvas and
    // the workspace should the bytes differ from the plan's.
    if (fc.width == 0 || fc.height == 0 || (u64)fc.x + fc.width > p->width || (u64)fc.y + fc.height > p->height ||
        png_raw_size(fc.width, fc.height, p->interlace, p->pixel_bits) > p->raw_bytes ||
        png_row_bytes(fc.width, p->pixel_bits) > p->row_bytes)
        return fail(w->err, ERR_BAD_HEADER, pos + 8);
    u32 dispose = fc.dispose_op == 2 && f == 0 ? 1 : fc.dispose_op;
    if (dispose == 2 && (u64)fc.width * fc.height * ps > p->restore_bytes) return fail(w->err, ERR_BAD_HEADER, pos + 8);

    if (s->pending_dispose == 1) clear_rect(canvas, ps, s->pending_x, s->pending_y, s->pending_w, s->pending_h);
    if (s->pending_dispose == 2)
        restore_rect(canvas, ps, s->pending_x, s->pending_y, s->pending_w, s->pending_h, w->restore);
    if (s->pending_dispose && display)
        refresh_display(p, canvas, display, s->pending_x, s->pending_y, s->pending_w, s->pending_h);
    s->pending_dispose = 0;
    if (dispose == 2) save_rect(canvas, ps, fc.x, fc.y, fc.width, fc.height, w->restore);

    if (!start_decode(w, pos + 12 + len, fc.width, fc.height)) return false;
    if (!decode_rows(w, total_rows(fc.width, fc.height, p->interlace))) return false;
    if (!finish_stream(w)) return false;

    PngTargets tg = {};
    tg.canvas = *canvas;
    tg.x = fc.x;
    tg.y = fc.y;
    tg.blend = fc.blend_op == 1;
    bool fault = false;
    for (u32 pass = png_first_pass(fc.width, fc.height, p->interlace); pass < 8;
         pass = png_next_pass(pass, fc.width, fc.height, p->interlace))
        fault |= place_rows(p, w->tables, w->raw, fc.width, fc.height, pass, 0, png_pass_rows(pass, fc.height), &tg);
    if (fault) return fail(w->err, ERR_BAD_HEADER, p->plte_data);
    if (display) refresh_display(p, canvas, display, fc.x, fc.y, fc.width, fc.height);
    s->pending_dispose = dispose;
    s->pending_x = fc.x;
    s->pending_y = fc.y;
    s->pending_w = fc.width;
    s->pending_h = fc.height;
    s->next_step = f + 1;
    return true;
}

// ---- Entry ------------------------------------------------------------------------------------

static PngWork work_for(const u8* bytes, u64 length, const PngPlan* plan, u8* workspace, CodecError* err);

static bool buffer_valid(const PixelBuffer* b, const PngPlan* p, u32 pixel_bytes) {
    return b->pixels && ((uintptr_t)b->pixels & 15) == 0 && b->stride != 0 && (b->stride & 15) == 0 &&
           b->stride >= (u64)b->width * pixel_bytes && b->width == p->width && b->height == p->height;
}

bool png_decode_step(const u8* bytes, u64 length, const PngPlan* plan, u8* workspace, u64 workspace_size,
                     PngStep step, const PixelBuffer* canvas, const PixelBuffer* display, CodecError* err) {
    error_clear(err);
    if (!workspace || workspace_size < plan->workspace_bytes || ((uintptr_t)workspace & 63) != 0 ||
        plan->workspace_bytes == 0 || !canvas || !buffer_valid(canvas, plan, plan->pixel_size))
        return fail(err, ERR_BAD_TARGET, 0);
    if (display && (!display->pixels || display->pixels == canvas->pixels)) display = nullptr;
    if (display && !buffer_valid(display, plan, 4)) return fail(err, ERR_BAD_TARGET, 0);
    if (plan->animated ? (step.phase != 0 || step.index >= plan->frame_count)
                       : (step.phase > 1 || step.index >= plan->steps))
        return fail(err, ERR_BAD_TARGET, 0);
    png_kernels_ensure();
    PngWork w = work_for(bytes, length, plan, workspace, err);
    bool ok;
    if (plan->animated) ok = decode_frame(&w, step.index, canvas, display);
    else if (step.phase == 1) ok = convert_strip(&w, step.index, canvas, display);
    else ok = decode_strip(&w, step.index, 0);
    // A data fault poisons the decode; a refused request leaves it usable.
    if (!ok && err->code != ERR_BAD_TARGET) w.s->failed = 1;
    return ok;
}

static PngWork work_for(const u8* bytes, u64 length, const PngPlan* plan, u8* workspace, CodecError* err) {
    PngWork w;
    w.bytes = bytes;
    w.length = length;
    w.plan = plan;
    w.s = (PngState*)(workspace + plan->state_pos);
    w.inflate = (InflateState*)(workspace + plan->inflate_pos);
    w.tables = (PngTables*)(workspace + plan->tables_pos);
    w.window = workspace + plan->window_pos;
    w.staging = workspace + plan->staging_pos;
    w.row = workspace + plan->row_pos;
    w.zero = workspace + plan->zero_pos;
    w.raw = workspace + plan->raw_pos;
    w.restore = workspace + plan->restore_pos;
    w.err = err;
    return w;
}

bool png_decode_still(const u8* bytes, u64 length, const PngPlan* plan, u8* workspace, u64 workspace_size,
                      const PixelBuffer* canvas, const PixelBuffer* display, CodecError* err) {
    for (u32 k = 0; k < plan->steps; k++) {
        if (!png_decode_step(bytes, length, plan, workspace, workspace_size, PngStep{0, k}, canvas, display, err))
            return false;
        if (!png_decode_step(bytes, length, plan, workspace, workspace_size, PngStep{1, k}, canvas, display, err))
            return false;
    }
    return true;
}

bool png_decode_frames(const u8* bytes, u64 length, const PngPlan* plan, u8* workspace, u64 workspace_size,
                       u32 first, u32 last, const PixelBuffer* canvas, const PixelBuffer* display,
                       CodecError* err) {
    for (u32 f = first; f <= last; f++) {
        if (!png_decode_step(bytes, length, plan, workspace, workspace_size, PngStep{0, f}, canvas, display, err))
            return false;
    }
    return true;
}

bool png_decode_still_display(const u8* bytes, u64 length, const PngPlan* plan, u8* workspace, u64 workspace_size,
                              const PixelBuffer* display, CodecError* err) {
    error_clear(err);
    if (!workspace || workspace_size < plan->workspace_bytes || ((uintptr_t)workspace & 63) != 0 ||
        plan->workspace_bytes == 0 || plan->animated || !display || !buffer_valid(display, plan, 4))
        return fail(err, ERR_BAD_TARGET, 0);
    png_kernels_ensure();
    PngWork w = work_for(bytes, length, plan, workspace, err);
    // A strip's rows and the row above its first: the first strip of the
    // next pass starts from the zero row, so passes need no more.
    u32 ring = plan->interlace ? 0 : plan->strip_rows + 1;
    for (u32 k = 0; k < plan->steps; k++) {
        bool ok = decode_strip(&w, k, ring) && convert_strip(&w, k, nullptr, display);
        if (!ok) {
            if (err->code != ERR_BAD_TARGET) w.s->failed = 1;
            return false;
        }
    }
    return true;
}

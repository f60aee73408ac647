// The document table and tab order: opening, activating, moving and closing
// tabs, the title and the message line.
#include "app/app.h"
#include "codec/probe.h"
#include "codec/sniff.h"

static const char k_initial_message[] = "Ctrl+O opens an image, or drop files here.";

bool init_app_state(AppState* app, Arena* arena, u32 entry_capacity, u32 pool_size) {
    ByteSpan entries = arena_alloc(arena, (u64)entry_capacity * 2 * sizeof(FolderEntry), 8);
    ByteSpan names = arena_alloc(arena, pool_size, 1);
    ByteSpan paths = arena_alloc(arena, SLOT_COUNT * SLOT_PATH_BYTES, 1);
    ByteSpan folder = arena_alloc(arena, 0x8000, 1);
    ByteSpan start = arena_alloc(arena, 0x8000, 1);
    ByteSpan work = arena_alloc(arena, 0x8000, 1);
    ByteSpan jobs = arena_alloc(arena, SLOT_COUNT * sizeof(DecodeJob), 64);
    ByteSpan save = arena_alloc(arena, 0x8000, 1);
    ByteSpan probe = arena_alloc(arena, sizeof(ProbeWork), 64);
    if (entries.data == nullptr || names.data == nullptr || paths.data == nullptr || folder.data == nullptr ||
        start.data == nullptr || work.data == nullptr || jobs.data == nullptr || save.data == nullptr ||
        probe.data == nullptr) {
        return false;
    }
    app->probe_work = (ProbeWork*)probe.data;
    app->listing.entries = (FolderEntry*)entries.data;
    app->listing.entry_capacity = entry_capacity;
    app->listing.name_pool = names.data;
    app->listing.pool_capacity = pool_size;
    app->listing.keep_file = has_image_extension;
    app->sort_scratch = (FolderEntry*)entries.data + entry_capacity;
    app->path_pool = paths.data;
    app->folder = folder.data;
    app->start_folder = start.data;
    app->path_work = work.data;
    app->jobs = (DecodeJob*)jobs.data;
    app->save_path = save.data;

    app->quality = 75;
    app->subsampling = 0;
    app->progressive = 0;
    app->active = NO_SLOT;
    app->mode_flags = MODE_LAYOUT_STALE;
    app->compare_a = NO_SLOT;
    app->compare_b = NO_SLOT;
    app->divider = 0x8000;
    app->requests = REQ_REPAINT | REQ_TITLE;
    app->pointer_x = -1;
    app->pointer_y = -1;
    text_clear(&app->title);
    text_append(&app->title, "Quorbel");
    text_clear(&app->message);
    text_append(&app->message, k_initial_message);
    return true;
}

// ---- Messages, layout, title ------------------------------------------------

void set_message(AppState* app, ByteSpan text, bool is_error) {
    text_clear(&app->message);
    text_append(&app->message, text);
    if (is_error) {
        app->mode_flags |= MODE_ERROR;
    } else {
        app->mode_flags &= ~MODE_ERROR;
    }
    app->requests |= REQ_REPAINT;
}

void relayout(AppState* app) {
    app->mode_flags |= MODE_LAYOUT_STALE;
    app->requests |= REQ_REPAINT;
}

void rebuild_title(AppState* app) {
    text_clear(&app->title);
    if (app->active != NO_SLOT) {
        text_append(&app->title, slot_name(app, app->active));
        text_append(&app->title, " - ");
    }
    text_append(&app->title, "Quorbel");
    app->requests |= REQ_TITLE;
}

void mark_failed(AppState* app, u32 slot, u32 code) {
    u32 b = slot_bit(slot);
    app->changed |= b;
    app->has_pixels &= ~b;
    app->playing &= ~b;
    app->no_pixels |= b;
    // Memory that could not be had (a refused commit or populate) ends the
    // document's decode: what it did get goes back to the system.
    if (code == ERR_TOO_LARGE) {
        release(&app->job_region[slot]);
        app->second_stage_pending &= ~b;
    }
    app->error[slot] = (u8)(code == ERR_BAD_SIGNATURE ? 0 : code);
    relayout(app);
}

// ---- Opening ----------------------------------------------------------------

static u64 name_start(ByteSpan path) {
    u64 start = 0;
    for (u64 i = 0; i < path.size; i++) {
        if (path.data[i] == '\\' || path.data[i] == '/') start = i + 1;
    }
    return start;
}

// A fresh document in `slot` from `path`: the name's format and, for a
// generated image, its size; the view fitted; a load requested for a file.
static void set_document(AppState* app, u32 slot, ByteSpan path) {
    u8* dst = app->path_pool + slot * SLOT_PATH_BYTES;
    for (u64 i = 0; i < path.size; i++) dst[i] = path.data[i];
    app->path_length[slot] = (u32)path.size;
    app->name_offset[slot] = (u32)name_start(path);
    ByteSpan name = slot_name(app, slot);
    app->format[slot] = (u8)format_from_name(name.data, name.size);

    u32 w = 0;
    u32 h = 0;
    bool synthetic = synthetic_size(name, &w, &h);
    app->width[slot] = synthetic ? w : 0;
    app->height[slot] = synthetic ? h : 0;

    u32 b = slot_bit(slot);
    app->zoom[slot] = 0x10000;
    app->cx[slot] = 0;
    app->cy[slot] = 0;
    app->error[slot] = 0;
    app->frame[slot] = 0;
    app->frame_count[slot] = 0;
    app->loops_left[slot] = 0;
    app->next_frame_due[slot] = 0;
    app->fit |= b;
    if (!synthetic) {
        app->no_pixels |= b;
        app->load_pending |= b;
        app->requests |= REQ_LOAD;
    }
}

void open_path(AppState* app, ByteSpan path) {
    if (path.size > PATH_LIMIT) {
        set_message(app, lit("Path too long: not opened."), true);
        return;
    }
    u64 start = name_start(path);
    ByteSpan name = {path.data + start, path.size - start};
    u32 w = 0;
    u32 h = 0;
    // A generated test image needs no extension: "proc-4000x3000" opens too.
    if (format_from_name(name.data, name.size) == FORMAT_NONE && !synthetic_size(name, &w, &h)) {
        TextBuffer text;
        text_clear(&text);
        text_append(&text, "Not an image file: ");
        text_append(&text, name);
        set_message(app, text_span(&text), true);
        return;
    }
    app->mode_flags &= ~(MODE_BROWSER | MODE_NAME_ENTRY);
    open_tab(app, path);
    relayout(app);
}

u32 open_tab(AppState* app, ByteSpan path) {
    if (path.size == 0 || path.size > PATH_LIMIT) return OPEN_BAD_LENGTH;
    for (u64 i = 0; i < app->tab_count; i++) {
        u32 slot = app->tab_order[i];
        if (span_equal(slot_path(app, slot), path)) {
            activate(app, slot);
            return OPEN_ALREADY;
        }
    }
    if (app->tab_count >= SLOT_COUNT) {
        set_message(app, lit("Too many tabs: close one first."), true);
        return OPEN_NO_SLOT;
    }
    u32 slot = (u32)__builtin_ctz(~app->used);
    set_document(app, slot, path);
    u32 b = slot_bit(slot);
    app->used |= b;
    app->tab_order[app->tab_count++] = (u8)slot;
    text_clear(&app->message);
    app->mode_flags &= ~MODE_ERROR;
    activate(app, slot);
    return OPEN_OK;
}

// ---- Activation -------------------------------------------------------------

void activate(AppState* app, u32 slot) {
    app->active = (u8)slot;
    if (bit(app->fit, slot)) fit_active(app);
    rebuild_title(app);
    relayout(app);
}

u64 tab_position(const AppState* app, u32 slot) {
    for (u64 i = 0; i < app->tab_count; i++) {
        if (app->tab_order[i] == slot) return i;
    }
    return app->tab_count;
}

void activate_at(AppState* app, u64 position) {
    if (position < app->tab_count) activate(app, app->tab_order[position]);
}

void activate_relative(AppState* app, i64 step) {
    i64 n = (i64)app->tab_count;
    if (n <= 0) return;
    i64 p = app->active == NO_SLOT ? -1 : (i64)tab_position(app, app->active);
    i64 q = ((n + p + step) % n + n) % n;
    activate_at(app, (u64)q);
}

// ---- Closing and moving -----------------------------------------------------

// A slot's document goes: its memory back to the system, its tiles dropped,
// nothing pending for it.
static void drop_document(AppState* app, u32 slot) {
    u32 b = slot_bit(slot);
    app->no_pixels &= ~b;
    app->has_pixels &= ~b;
    app->playing &= ~b;
    app->changed |= b;
    release(&app->source[slot]);
    release(&app->job_region[slot]);
    app->load_pending &= ~b;
    app->second_stage_pending &= ~b;
}

void close_at(AppState* app, u64 position) {
    if (position >= app->tab_count) return;
    u32 slot = app->tab_order[position];
    for (u64 i = position; i + 1 < app->tab_count; i++) app->tab_order[i] = app->tab_order[i + 1];
    app->tab_count--;
    u32 b = slot_bit(slot);
    app->used &= ~b;
    if (app->compare_mode != 0 && (slot == app->compare_a || slot == app->compare_b)) compare_off(app);
    app->fit &= ~b;
    drop_document(app, slot);
    if (app->tab_count == 0) {
        app->active = NO_SLOT;
        rebuild_title(app);
    } else if (slot == app->active) {
        u64 next = position == app->tab_count ? position - 1 : position;
        activate_at(app, next);
        return;
    }
    relayout(app);
}

// The old document goes as a closed tab's does (its memory back to the
// system, its tiles dropped); the slot, its place in the order and any
// comparison it is part of stay.
void replace_document(AppState* app, u32 slot, ByteSpan path) {
    if (path.size == 0 || path.size > PATH_LIMIT || !bit(app->used, slot)) return;
    drop_document(app, slot);
    set_document(app, slot, path);
    text_clear(&app->message);
    app->mode_flags &= ~MODE_ERROR;
    activate(app, slot);
}

void move_tab(AppState* app, u64 from, u64 to) {
    if (from >= app->tab_count || to >= app->tab_count || from == to) return;
    u8 slot = app->tab_order[from];
    if (from < to) {
        for (u64 i = from; i < to; i++) app->tab_order[i] = app->tab_order[i + 1];
    } else {
        for (u64 i = from; i > to; i--) app->tab_order[i] = app->tab_order[i - 1];
    }
    app->tab_order[to] = slot;
    relayout(app);
}

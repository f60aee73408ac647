// The open browser: one folder at a time (folders and image files, sorted),
// or the drive list at the root. Entries come from the file layer's listing;
// a stable bottom-up merge sort orders them.
#include "app/app.h"
#include "platform/process.h"

static void copy_folder(u8* dst, u64* length, ByteSpan path) {
    if (path.size > 0x8000) {
        *length = 0;
        return;
    }
    for (u64 i = 0; i < path.size; i++) dst[i] = path.data[i];
    *length = path.size;
}

void set_browse_folder(AppState* app, ByteSpan path) {
    copy_folder(app->folder, &app->folder_length, path);
}

void set_start_folder(AppState* app, ByteSpan path) {
    copy_folder(app->start_folder, &app->start_folder_length, path);
}

ByteSpan entry_name(const AppState* app, u32 index) {
    const FolderEntry* e = &app->listing.entries[index];
    return ByteSpan{app->listing.name_pool + e->name_offset, entry_name_length(e)};
}

static bool is_separator(u8 c) {
    return c == '\\' || c == '/';
}

// A save form's confirmation to replace a file is withdrawn by every change
// of folder, listing or selection: it was given for what was on screen.
static void withdraw_confirmation(AppState* app) {
    app->confirm_overwrite = 0;
}

static void reset_entries(AppState* app) {
    app->entry_count = 0;
    app->selected = 0;
    app->first_row = 0;
    withdraw_confirmation(app);
}

void show_browser(AppState* app) {
    if (app->active == NO_SLOT) {
        set_browse_folder(app, ByteSpan{app->start_folder, app->start_folder_length});
    } else {
        ByteSpan path = slot_path(app, app->active);
        u64 cut = 0;
        for (u64 i = 0; i < path.size; i++) {
            if (is_separator(path.data[i])) cut = i + 1;
        }
        set_browse_folder(app, ByteSpan{path.data, cut});
    }
    app->mode_flags |= MODE_BROWSER;
    app->mode_flags &= ~MODE_NAME_ENTRY;
    reset_entries(app);
    app->requests |= REQ_LIST;
    set_message(app, lit("Open: pick an image. Enter opens, Backspace goes up, Esc cancels."), false);
    relayout(app);
}

void hide_browser(AppState* app) {
    app->mode_flags &= ~(MODE_BROWSER | MODE_NAME_ENTRY);
    end_drag(app);
    set_message(app, ByteSpan{nullptr, 0}, false);
    relayout(app);
}

// ---- Sorting ----------------------------------------------------------------

static u8 fold(u8 c) {
    return c >= 'A' && c <= 'Z' ? (u8)(c + 32) : c;
}

i32 compare_names(ByteSpan a, ByteSpan b) {
    u64 n = a.size < b.size ? a.size : b.size;
    for (u64 i = 0; i < n; i++) {
        u8 ca = fold(a.data[i]);
        u8 cb = fold(b.data[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size != b.size) return a.size < b.size ? -1 : 1;
    for (u64 i = 0; i < n; i++) {
        if (a.data[i] != b.data[i]) return a.data[i] < b.data[i] ? -1 : 1;
    }
    return 0;
}

// True when entry a sorts before (or with) b: ".." first, folders before
// files, then the names' order.
static bool entry_before_or_same(const AppState* app, const FolderEntry* a, const FolderEntry* b) {
    ByteSpan na = {app->listing.name_pool + a->name_offset, entry_name_length(a)};
    ByteSpan nb = {app->listing.name_pool + b->name_offset, entry_name_length(b)};
    bool up_a = na.size == 2 && na.data[0] == '.' && na.data[1] == '.' && entry_is_folder(a);
    bool up_b = nb.size == 2 && nb.data[0] == '.' && nb.data[1] == '.' && entry_is_folder(b);
    if (up_a != up_b) return up_a;
    if (entry_is_folder(a) != entry_is_folder(b)) return entry_is_folder(a);
    return compare_names(na, nb) <= 0;
}

void sort_entries(AppState* app, u32 count) {
    FolderEntry* from = app->listing.entries;
    FolderEntry* to = app->sort_scratch;
    for (u32 width = 1; width < count; width *= 2) {
        for (u32 lo = 0; lo < count; lo += 2 * width) {
            u32 mid = lo + width < count ? lo + width : count;
            u32 hi = lo + 2 * width < count ? lo + 2 * width : count;
            u32 i = lo;
            u32 j = mid;
            u32 k = lo;
            // Taking from the left run on ties keeps the sort stable.
            while (i < mid && j < hi) to[k++] = entry_before_or_same(app, &from[i], &from[j]) ? from[i++] : from[j++];
            while (i < mid) to[k++] = from[i++];
            while (j < hi) to[k++] = from[j++];
        }
        FolderEntry* t = from;
        from = to;
        to = t;
    }
    if (from != app->listing.entries) {
        for (u32 i = 0; i < count; i++) app->listing.entries[i] = from[i];
    }
}

void list_browse_folder(AppState* app) {
    list_folder(ByteSpan{app->folder, app->folder_length}, &app->listing);
    sort_entries(app, app->listing.entry_count);
    app->entry_count = app->listing.entry_count;
    app->selected = 0;
    app->first_row = 0;
    withdraw_confirmation(app);
    if (app->listing.not_listed != 0) {
        TextBuffer text;
        text_clear(&text);
        text_append_u64(&text, app->listing.not_listed);
        text_append(&text, " more entries are not listed.");
        set_message(app, text_span(&text), true);
    }
    relayout(app);
}

// ---- Navigation -------------------------------------------------------------

void select_entry(AppState* app, i64 index) {
    if (app->entry_count == 0) return;
    if (index < 0) index = 0;
    if (index > (i64)app->entry_count - 1) index = (i64)app->entry_count - 1;
    if (app->selected != (u32)index) withdraw_confirmation(app);
    app->selected = (u32)index;
    u32 rows = app->visible_rows;
    if (app->selected < app->first_row) app->first_row = app->selected;
    if (rows != 0 && app->selected >= app->first_row + rows) app->first_row = app->selected + 1 - rows;
    relayout(app);
}

void scroll_list(AppState* app, i64 rows) {
    u32 visible = app->visible_rows;
    if (app->entry_count <= visible) return;
    i64 first = (i64)app->first_row + rows;
    if (first < 0) first = 0;
    i64 last = (i64)(app->entry_count - visible);
    if (first > last) first = last;
    app->first_row = (u32)first;
    relayout(app);
}

void folder_up(AppState* app) {
    u8* p = app->folder;
    u64 n = app->folder_length;
    if (n > 0 && is_separator(p[n - 1])) n--;
    u64 cut = 0;
    for (u64 i = 0; i < n; i++) {
        if (is_separator(p[i])) cut = i + 1;
    }
    n = cut;
    if (app->folder_length >= 2 && is_separator(p[0]) && is_separator(p[1])) {
        u64 separators = 0;
        for (u64 i = 0; i < n; i++) separators += is_separator(p[i]) ? 1 : 0;
        if (separators <= 3) n = 0;  // above a network share: the drive list
    }
    app->folder_length = n;
    reset_entries(app);
    app->requests |= REQ_LIST | REQ_REPAINT;
}

void open_entry(AppState* app, u64 index) {
    if (index >= app->entry_count) return;
    const FolderEntry* e = &app->listing.entries[index];
    ByteSpan name = entry_name(app, (u32)index);
    bool folder = entry_is_folder(e);
    if (folder && name.size == 2 && name.data[0] == '.' && name.data[1] == '.') {
        folder_up(app);
        return;
    }
    // A root entry that already ends with its separator ("/") gets no other.
    bool add_separator = folder && !(name.size > 0 && is_separator(name.data[name.size - 1]));
    u64 length = app->folder_length + name.size + (add_separator ? 1 : 0);
    if (length > PATH_LIMIT) {
        set_message(app, lit("Path too long: not opened."), true);
        return;
    }
    u8* w = app->path_work;
    for (u64 i = 0; i < app->folder_length; i++) w[i] = app->folder[i];
    for (u64 i = 0; i < name.size; i++) w[app->folder_length + i] = name.data[i];
    if (folder) {
        if (add_separator) w[length - 1] = path_separator();
        set_browse_folder(app, ByteSpan{w, length});
        reset_entries(app);
        app->requests |= REQ_LIST | REQ_REPAINT;
        return;
    }
    if (app->mode_flags & MODE_NAME_ENTRY) {
        u32 n = name.size > SAVE_NAME_CAPACITY ? SAVE_NAME_CAPACITY : (u32)name.size;
        for (u32 i = 0; i < n; i++) app->save_name[i] = name.data[i];
        app->save_name_length = n;
        withdraw_confirmation(app);
        relayout(app);
        return;
    }
    hide_browser(app);
    open_tab(app, ByteSpan{w, length});
}

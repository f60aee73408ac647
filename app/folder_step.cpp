// Stepping through the active document's folder: PageDown and PageUp put the
// next or previous image file in place of the active tab's document, Home and
// End the first and last. The folder is listed afresh at every step with the
// browser's own listing, filter and order (the browser is hidden meanwhile and
// lists again when shown), so files added or removed since count at once; the
// current file need not be listed any more: the step goes from where its name
// would sort.
#include "app/app.h"

static bool is_separator(u8 c) {
    return c == '\\' || c == '/';
}

i64 folder_step_target(const AppState* app, ByteSpan current, u32 command) {
    const FolderListing* l = &app->listing;
    i64 found = -1;
    for (u32 i = 0; i < l->entry_count; i++) {
        const FolderEntry* e = &l->entries[i];
        if (entry_is_folder(e)) continue;
        i32 order = compare_names(entry_name(app, i), current);
        switch (command) {
        case CMD_NEXT_IMAGE:
            if (order > 0) return i;
            break;
        case CMD_PREVIOUS_IMAGE:
            if (order < 0) found = i;
            break;
        case CMD_FIRST_IMAGE: return order == 0 ? -1 : (i64)i;
        case CMD_LAST_IMAGE: found = order == 0 ? -1 : (i64)i; break;
        default: return -1;
        }
    }
    return found;
}

void step_in_folder(AppState* app, u32 command) {
    u32 s = app->active;
    if (s == NO_SLOT) return;
    ByteSpan path = slot_path(app, s);
    u64 cut = 0;
    for (u64 i = 0; i < path.size; i++) {
        if (is_separator(path.data[i])) cut = i + 1;
    }
    // A generated image named without a folder has none to step through; an
    // empty folder would mean the drive list.
    if (cut == 0) {
        set_message(app, lit("Cannot read the folder."), true);
        return;
    }
    ByteSpan folder = {path.data, cut};
    ByteSpan current = {path.data + cut, path.size - cut};
    list_folder(folder, &app->listing);
    sort_entries(app, app->listing.entry_count);
    // The browser's view of the listing is gone; it lists again when shown.
    app->entry_count = 0;
    app->selected = 0;
    app->first_row = 0;
    if (app->listing.unreadable) {
        set_message(app, lit("Cannot read the folder."), true);
        return;
    }
    i64 target = folder_step_target(app, current, command);
    if (target < 0) {
        bool forward = command == CMD_NEXT_IMAGE || command == CMD_LAST_IMAGE;
        set_message(app, forward ? lit("Last image in the folder") : lit("First image in the folder"), false);
        return;
    }
    ByteSpan name = entry_name(app, (u32)target);
    if (cut + name.size > PATH_LIMIT) {
        set_message(app, lit("Path too long: not opened."), true);
        return;
    }
    u8* w = app->path_work;
    for (u64 i = 0; i < cut; i++) w[i] = path.data[i];
    for (u64 i = 0; i < name.size; i++) w[cut + i] = name.data[i];
    replace_document(app, s, ByteSpan{w, cut + name.size});
}

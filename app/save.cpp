// The save form: the open browser with a name field and three encoder
// options. Enter checks the name, warns once before replacing a file, brings
// the document to full resolution and encodes it into one reserved region
// (encoder workspace, output, full-resolution pixels); the next request pass
// writes the output safely and releases the region. Nothing of a save
// outlives that pass, and every failure releases the region too.
#include "app/app.h"
#include "codec/jpeg/encode.h"
#include "codec/sniff.h"

// Bigger encodes are refused before anything is reserved.
static constexpr u64 ENCODE_REGION_LIMIT = 0x400000000ull;  // 16 GiB

// ---- Names ------------------------------------------------------------------

static void set_save_name(AppState* app, ByteSpan name) {
    u32 n = name.size > SAVE_NAME_CAPACITY ? SAVE_NAME_CAPACITY : (u32)name.size;
    for (u32 i = 0; i < n; i++) app->save_name[i] = name.data[i];
    app->save_name_length = n;
}

// The position of the "." that starts the name's extension (one to four
// characters after the last "."), or the name's length when it has none.
static u64 extension_start(ByteSpan name) {
    for (u64 i = name.size; i > 0; i--) {
        if (name.data[i - 1] != '.') continue;
        u64 tail = name.size - i;
        return tail >= 1 && tail <= 4 ? i - 1 : name.size;
    }
    return name.size;
}

// The file name, up to its last ".", then "-copy.jpg" for a JPEG and ".jpg"
// for anything else.
static void default_save_name(AppState* app, ByteSpan file) {
    u64 stem = file.size;
    for (u64 i = file.size; i > 0; i--) {
        if (file.data[i - 1] == '.') {
            stem = i - 1;
            break;
        }
    }
    bool jpeg = format_from_name(file.data, file.size) == FORMAT_JPEG;
    TextBuffer t;
    text_clear(&t);
    text_append(&t, ByteSpan{file.data, stem});
    text_append(&t, jpeg ? "-copy.jpg" : ".jpg");
    set_save_name(app, text_span(&t));
}

static bool same_name_folded(ByteSpan a, const u8* b, u64 b_length) {
    if (a.size != b_length) return false;
    for (u64 i = 0; i < a.size; i++) {
        u8 x = a.data[i] >= 'A' && a.data[i] <= 'Z' ? (u8)(a.data[i] + 32) : a.data[i];
        u8 y = b[i] >= 'A' && b[i] <= 'Z' ? (u8)(b[i] + 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

// True when the save path (where the last confirmation was asked for) is
// `path`, byte for byte.
static bool confirmed_path_is(const AppState* app, ByteSpan path) {
    if (app->save_path_length != path.size) return false;
    for (u64 i = 0; i < path.size; i++) {
        if (app->save_path[i] != path.data[i]) return false;
    }
    return true;
}

static void message_with_name(AppState* app, const char* before, ByteSpan name, const char* after, bool error) {
    TextBuffer t;
    text_clear(&t);
    text_append(&t, before);
    text_append(&t, name);
    text_append(&t, after);
    set_message(app, text_span(&t), error);
}

static void message_with_code(AppState* app, const char* before, u32 code) {
    TextBuffer t;
    text_clear(&t);
    text_append(&t, before);
    text_append(&t, codec_error_name(code));
    set_message(app, text_span(&t), true);
}

// ---- The form ---------------------------------------------------------------

void show_save_form(AppState* app) {
    u32 s = app->active;
    if ((app->mode_flags & MODE_BROWSER) || s == NO_SLOT || !bit(app->has_pixels, s)) return;
    ByteSpan path = slot_path(app, s);
    u64 cut = 0;
    for (u64 i = 0; i < path.size; i++) {
        if (path.data[i] == '\\' || path.data[i] == '/') cut = i + 1;
    }
    set_browse_folder(app, ByteSpan{path.data, cut});
    end_drag(app);
    app->mode_flags |= MODE_BROWSER | MODE_NAME_ENTRY;
    app->entry_count = 0;
    app->selected = 0;
    app->first_row = 0;
    app->confirm_overwrite = 0;
    default_save_name(app, slot_name(app, s));
    app->requests |= REQ_LIST;
    set_message(app,
                lit("Save as JPEG: type the name, Enter saves, F5 subsampling, F6 progressive, F7 F8 quality, "
                    "Esc cancels."),
                false);
    relayout(app);
}

void type_char(AppState* app, u32 character) {
    if (!(app->mode_flags & MODE_NAME_ENTRY)) return;
    if (app->save_name_length < SAVE_NAME_CAPACITY && character > 0 && character < 0x80) {
        app->save_name[app->save_name_length++] = (u8)character;
    }
    app->confirm_overwrite = 0;
    relayout(app);
}

void erase_char(AppState* app) {
    if (!(app->mode_flags & MODE_NAME_ENTRY)) return;
    if (app->save_name_length > 0) app->save_name_length--;
    app->confirm_overwrite = 0;
    relayout(app);
}

void save_option(AppState* app, u32 command) {
    if (!(app->mode_flags & MODE_NAME_ENTRY)) return;
    i64 q = app->quality;
    switch (command) {
    case CMD_TOGGLE_SUBSAMPLING: app->subsampling ^= 1; break;
    case CMD_TOGGLE_PROGRESSIVE: app->progressive ^= 1; break;
    case CMD_QUALITY_DOWN: q -= 5; break;
    case CMD_QUALITY_UP: q += 5; break;
    default: return;
    }
    app->quality = q <= 0 ? 1 : q > 100 ? 100 : (u32)q;
    relayout(app);
}

// ---- Encoding ---------------------------------------------------------------

static void release_encode(AppState* app) {
    release(&app->encode);
    app->encoded_offset = 0;
    app->encoded_length = 0;
}

// The active document at full resolution, encoded into the encode region.
static bool encode_active(AppState* app) {
    u32 s = app->active;
    DecodeJob* job = &app->jobs[s];
    ReservedRegion* region = &app->job_region[s];
    CodecError err;
    error_clear(&err);
    release_encode(app);
    // Full resolution, as the paint cycle's second stage does it; the stage
    // may also run later from the paint cycle, where it then does nothing.
    bool was_ready = job->full_ready;
    u64 end = (u64)(job->extra - region->base) + job->info.extra_bytes;
    bool ok = commit_to(region, end);
    if (!ok) err.code = ERR_TOO_LARGE;
    ok = ok && finish_full_resolution(job, &err) && decode_step(job, &err);
    if (job->full_ready && !was_ready) {
        app->changed |= slot_bit(s);  // the preview's tiles give way to full-resolution ones
    }
    if (!ok) {
        message_with_code(app,
                          err.code == ERR_TOO_LARGE ? "Not enough memory for full resolution: "
                                                    : "Cannot decode the image: ",
                          err.code);
        return false;
    }

    u32 w = job->info.width;
    u32 h = job->info.height;
    JpegEncodeSettings settings = {app->quality, app->subsampling, app->progressive};
    u64 workspace = align64(jpeg_encode_workspace_bytes(&settings, w, h));
    u64 capacity = align64(jpeg_encode_output_bound(&settings, w, h));
    u64 pixels = align64(full_resolution_bytes(job));
    // Each part is below 2^40 for sides below 2^32, so the sum cannot wrap.
    u64 total = workspace + capacity + pixels;
    if (total > ENCODE_REGION_LIMIT || !reserve(&app->encode, total == 0 ? 1 : total) ||
        !commit_to(&app->encode, total)) {
        release_encode(app);
        message_with_code(app, "Not enough memory to encode the image: ", ERR_TOO_LARGE);
        return false;
    }
    u8* base = app->encode.base;
    PixelBuffer full;
    if (!full_resolution_pixels(job, base + workspace + capacity, &full, &err)) {
        release_encode(app);
        message_with_code(app, "The full resolution pixels are not available: ", err.code);
        return false;
    }
    u64 length = full.stride * (h - 1) + (u64)w * 4;
    JpegEncodeResult result;
    if (!jpeg_encode(ByteSpan{full.pixels, length}, full.stride, w, h, &settings, base, workspace, base + workspace,
                     capacity, &result)) {
        release_encode(app);
        set_message(app, jpeg_encode_message(result.code), true);
        return false;
    }
    app->encoded_offset = workspace;
    app->encoded_length = result.bytes;
    return true;
}

void confirm_save(AppState* app) {
    if (!(app->mode_flags & MODE_NAME_ENTRY)) return;
    if (app->save_name_length == 0) {
        set_message(app, lit("Type a file name."), true);
        return;
    }
    ByteSpan name = {app->save_name, app->save_name_length};
    if (extension_start(name) == name.size) {
        // ".jpg" always fits: the name gives up its last bytes for it.
        u32 keep = app->save_name_length > SAVE_NAME_CAPACITY - 4 ? SAVE_NAME_CAPACITY - 4 : app->save_name_length;
        const char* jpg = ".jpg";
        for (u32 i = 0; i < 4; i++) app->save_name[keep + i] = (u8)jpg[i];
        app->save_name_length = keep + 4;
        name = ByteSpan{app->save_name, app->save_name_length};
        relayout(app);
    }
    ImageFormat format = format_from_name(name.data, name.size);
    if (format == FORMAT_PNG) {
        set_message(app, lit("PNG encoding is not available yet. Use .jpg."), true);
        return;
    }
    if (format != FORMAT_JPEG) {
        set_message(app, lit("Only .jpg and .jpeg files can be written for now."), true);
        return;
    }
    if (app->folder_length == 0) {
        set_message(app, lit("Open a folder first: Save needs a place to write to."), true);
        return;
    }
    if (app->folder_length + name.size > PATH_LIMIT) {
        set_message(app, lit("Path too long: not saved."), true);
        return;
    }
    // The target as the file system has it now: the listing may be older,
    // and it leaves hidden items out.
    u8* target = app->path_work;
    for (u64 i = 0; i < app->folder_length; i++) target[i] = app->folder[i];
    for (u64 i = 0; i < name.size; i++) target[app->folder_length + i] = name.data[i];
    u64 target_length = app->folder_length + name.size;
    PathKind kind = path_kind(ByteSpan{target, target_length});
    if (kind == PATH_FOLDER) {
        message_with_name(app, "Cannot write ", name, "", true);
        return;
    }
    bool exists = kind == PATH_FILE;
    for (u32 i = 0; i < app->entry_count && !exists; i++) {
        ByteSpan entry = entry_name(app, i);
        exists = same_name_folded(name, entry.data, entry.size);
    }
    // A confirmation counts only for the very path it was given for; the
    // form also withdraws it at every edit and every move in the list.
    if (exists && !(app->confirm_overwrite == 1 && confirmed_path_is(app, ByteSpan{target, target_length}))) {
        app->confirm_overwrite = 1;
        for (u64 i = 0; i < target_length; i++) app->save_path[i] = target[i];
        app->save_path_length = target_length;
        message_with_name(app, "", name, " exists. Press Enter again to replace it.", true);
        return;
    }
    for (u64 i = 0; i < target_length; i++) app->save_path[i] = target[i];
    app->save_path_length = target_length;
    if (app->active == NO_SLOT || !bit(app->has_pixels, app->active)) {
        message_with_code(app, "Cannot decode the image: ", ERR_BAD_TARGET);
        return;
    }
    if (!encode_active(app)) return;
    app->requests |= REQ_SAVE;
}

void write_pending_save(AppState* app) {
    if (app->encode.base == nullptr || app->encoded_length == 0) {
        release_encode(app);
        return;
    }
    ByteSpan path = {app->save_path, app->save_path_length};
    bool ok = write_file_safely(path, ByteSpan{app->encode.base + app->encoded_offset, app->encoded_length});
    release_encode(app);
    ByteSpan name = {app->save_name, app->save_name_length};
    if (ok) {
        hide_browser(app);
        message_with_name(app, "Saved ", name, "", false);
    } else {
        message_with_name(app, "Cannot write ", name, "", true);
    }
}

// Loading files into their slots and handing them to the decoders. Files are
// read whole (or, when very large, mapped), synchronously, in the request
// pass that follows the event that opened them; decode work then runs inside
// paint cycles.
#include "app/app.h"
#include "codec/probe.h"

static constexpr u64 SOURCE_MAP_BYTES = (u64)64 << 20;

static void cannot_read(AppState* app) {
    set_message(app, lit("Cannot read the file."), true);
}

void load_pending(AppState* app) {
    for (u32 slot = 0; slot < SLOT_COUNT; slot++) {
        u32 b = slot_bit(slot);
        if (!bit(app->load_pending, slot)) continue;
        FileHandle file = open_for_reading(slot_path(app, slot));
        if (file.value == 0) {
            app->load_pending &= ~b;
            cannot_read(app);
            continue;
        }
        u64 size = 0;
        if (!file_size(file, &size) || size >= ((u64)1 << 32)) {
            close_file(file);
            app->load_pending &= ~b;
            cannot_read(app);
            continue;
        }
        app->load_pending &= ~b;
        ReservedRegion* region = &app->source[slot];
        release(region);
        // A very large file of a format whose job reads only the parts under
        // the tiles shown (a huge tiled TIFF) is mapped rather than read: only
        // what is read is brought in, and it stays the system's cache rather
        // than our memory. Any other file, or one the system cannot map, is
        // read whole.
        if (size >= SOURCE_MAP_BYTES && map_into_region(file, size, region)) {
            const CodecEntry* entry = codec_entry(sniff_decoder(region->base, size, (ImageFormat)app->format[slot]));
            if (entry == nullptr || !entry->reads_parts) release(region);
        }
        bool read = region->mapped || read_into_region(file, size, region);
        close_file(file);
        if (!read) {
            cannot_read(app);
            continue;
        }
        app->jobs[slot].source = ByteSpan{region->base, size};
        start_decode(app, slot);
    }
}

void start_decode(AppState* app, u32 slot) {
    u32 b = slot_bit(slot);
    ByteSpan bytes = app->jobs[slot].source;
    ImageInfo info;
    CodecError err;
    ProbeWork* work = app->probe_work;
    bool ok = probe_image(bytes.data, bytes.size, (ImageFormat)app->format[slot], &info, work, &err);
    app->width[slot] = info.width;
    app->height[slot] = info.height;
    app->frame_count[slot] = info.frame_count;
    if (!ok) {
        app->error[slot] = (u8)(err.code == ERR_BAD_SIGNATURE ? 0 : err.code);
        relayout(app);
        return;
    }
    // Each part is checked against overflow before the sum is formed.
    // The colour profile's memory follows the pixel buffer and is committed
    // with it, since its transform is built at once. The memory for turned
    // tiles follows the extra bytes, and is committed with them (at once
    // when there are none).
    u64 scratch = align64(info.scratch_bytes);
    u64 pixels = align64(info.pixel_bytes);
    u64 colour = align64(info.colour_bytes);
    u64 extra = align64(info.extra_bytes);
    u64 limit = (u64)1 << 56;
    ReservedRegion* region = &app->job_region[slot];
    release(region);
    u64 at_open = scratch + pixels + colour + (info.extra_bytes == 0 ? info.orient_bytes : 0);
    if (info.scratch_bytes > limit || info.pixel_bytes > limit || info.extra_bytes > limit ||
        info.orient_bytes > limit || info.colour_bytes > limit ||
        !reserve(region, scratch + pixels + colour + extra + info.orient_bytes) || !commit_to(region, at_open)) {
        mark_failed(app, slot, ERR_TOO_LARGE);
        return;
    }
    if (info.extra_bytes != 0) {
        app->second_stage_pending |= b;
    } else {
        app->second_stage_pending &= ~b;
    }
    DecodeJob* job = &app->jobs[slot];
    if (!start_job(job, bytes, &info, work, region->base, info.scratch_bytes, region->base + scratch, &err)) {
        release(region);
        app->second_stage_pending &= ~b;
        app->error[slot] = (u8)(err.code == ERR_BAD_SIGNATURE ? 0 : err.code);
        relayout(app);
        return;
    }
    job->swap_red_blue = true;
    if (info.orient_bytes != 0) job->orient_cache = region->base + scratch + pixels + colour + extra;
    // A profile we cannot use leaves the image as stored, and the status
    // line says so.
    if (job_prepare_colour(job) == COLOUR_IGNORED) {
        app->profile_ignored |= b;
    } else {
        app->profile_ignored &= ~b;
    }
    // An image too large to decode within one paint decodes a band per paint.
    job->step_base = job->can_step;
    // The region was committed just now: every byte of it reads as zero.
    job->pixels_zero = true;
    job->scratch_zero = true;
    app->format[slot] = (u8)info.format;
    app->frame[slot] = 0;
    app->loops_left[slot] = info.play_count;
    app->next_frame_due[slot] = 0;
    app->no_pixels &= ~b;
    app->has_pixels |= b;
    if (info.frame_count > 1 && app->autoplay) app->playing |= b;
    if (slot == app->active) refit_if_fit(app, slot);
    relayout(app);
}

static bool stage_waiting(const AppState* app, u32 slot) {
    return slot < SLOT_COUNT && bit(app->second_stage_pending, slot) && app->jobs[slot].base_done;
}

static bool base_waiting(const AppState* app, u32 slot) {
    if (slot >= SLOT_COUNT || !bit(app->has_pixels, slot)) return false;
    const DecodeJob* job = &app->jobs[slot];
    return job->step_base && !job->base_done;
}

// The active document, or in a comparison the other one, when it waits.
static u32 first_waiting(const AppState* app, bool (*waiting)(const AppState*, u32)) {
    if (app->active == NO_SLOT) return NO_SLOT;
    if (waiting(app, app->active)) return app->active;
    if (app->compare_mode != 0 && app->active == app->compare_a && waiting(app, app->compare_b)) {
        return app->compare_b;
    }
    return NO_SLOT;
}

u32 next_decode_step(const AppState* app) {
    return first_waiting(app, stage_waiting);
}

u32 next_base_step(const AppState* app) {
    return first_waiting(app, base_waiting);
}

void base_step(AppState* app, u32 slot) {
    CodecError err;
    if (!decode_base_step(&app->jobs[slot], &err)) mark_failed(app, slot, err.code);
}

void decode_step(AppState* app, u32 slot) {
    app->second_stage_pending &= ~slot_bit(slot);
    DecodeJob* job = &app->jobs[slot];
    ReservedRegion* region = &app->job_region[slot];
    u64 end = (u64)(job->extra - region->base) + align64(job->info.extra_bytes) + job->info.orient_bytes;
    if (!commit_to(region, end)) {
        set_message(app, lit("Not enough memory for full resolution: showing the preview."), true);
        return;
    }
    bool was_ready = job->full_ready;
    CodecError err;
    if (!finish_full_resolution(job, &err)) {
        TextBuffer text;
        text_clear(&text);
        text_append(&text, "Full resolution failed: ");
        text_append(&text, codec_error_name(err.code));
        set_message(app, text_span(&text), true);
    }
    if (job->full_ready && !was_ready) {
        app->changed |= slot_bit(slot);
        relayout(app);
    }
}

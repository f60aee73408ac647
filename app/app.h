// Operations on AppState: tabs and documents, loading, commands, animation,
// the open browser and compare mode. Every user-facing text is made here.
#pragma once

#include "app/app_state.h"

bool init_app_state(AppState* app, Arena* arena, u32 entry_capacity, u32 pool_size);

// ---- Tabs and documents ----
void open_path(AppState* app, ByteSpan path);
enum : u32 { OPEN_OK = 0, OPEN_ALREADY = 1, OPEN_NO_SLOT = 2, OPEN_BAD_LENGTH = 3 };
u32 open_tab(AppState* app, ByteSpan path);
void activate(AppState* app, u32 slot);
void activate_at(AppState* app, u64 position);
void activate_relative(AppState* app, i64 step);
void close_at(AppState* app, u64 position);
void move_tab(AppState* app, u64 from, u64 to);
u64 tab_position(const AppState* app, u32 slot);  // tab_count when absent
void rebuild_title(AppState* app);
void set_message(AppState* app, ByteSpan text, bool is_error);
void relayout(AppState* app);
void mark_failed(AppState* app, u32 slot, u32 code);

// ---- Loading and decoding ----
void load_pending(AppState* app);
void start_decode(AppState* app, u32 slot);
u32 next_decode_step(const AppState* app);
void decode_step(AppState* app, u32 slot);
// A document on screen whose base decode runs in steps and has some left
// (NO_SLOT: none), and one such step: one per paint, so the view shows the
// rows as they come and input is never kept waiting.
u32 next_base_step(const AppState* app);
void base_step(AppState* app, u32 slot);

// ---- Commands ----
void execute(AppState* app, u32 command);
void animation_tick(AppState* app, u32 now);

// ---- View of the active document (image-area based) ----
void fit_active(AppState* app);
void refit_if_fit(AppState* app, u32 slot);
// Turns or mirrors the active image (ORIENT_TURN_CW, ORIENT_TURN_CCW or
// ORIENT_FLIP_H) on top of its orientation, keeping the image point at the
// centre and re-fitting when fit is on.
void turn_active(AppState* app, u32 then);
void zoom_active_at(AppState* app, i32 x, i32 y, bool in);
void pan_active(AppState* app, i32 dx, i32 dy);
void actual_size_active(AppState* app);

// ---- Compare ----
bool compare_shown(const AppState* app);
void compare_with(AppState* app, u32 slot_b);
void toggle_compare(AppState* app);
void next_compare_mode(AppState* app);
void compare_off(AppState* app);
u32 compare_zoom_limit(const AppState* app, u32 zoom);
ByteSpan compare_mode_name(u32 mode);

// ---- Open browser ----
void set_start_folder(AppState* app, ByteSpan path);
void set_browse_folder(AppState* app, ByteSpan path);
void show_browser(AppState* app);
void hide_browser(AppState* app);
void list_browse_folder(AppState* app);
void select_entry(AppState* app, i64 index);
void scroll_list(AppState* app, i64 rows);
void folder_up(AppState* app);
void open_entry(AppState* app, u64 index);
ByteSpan entry_name(const AppState* app, u32 index);
// The browser's order of two names: A-Z folded, a prefix first, raw bytes
// last; -1, 0 (the same bytes) or 1.
i32 compare_names(ByteSpan a, ByteSpan b);
// Sorts the first `count` entries of the listing into the browser's order.
void sort_entries(AppState* app, u32 count);

// ---- Stepping through the active document's folder ----
// The listed entry a folder step leads to from the file named `current`
// (which need not be listed): the next or previous file in the browser's
// order, or the first or last; -1 when there is none other than `current`.
i64 folder_step_target(const AppState* app, ByteSpan current, u32 command);
void step_in_folder(AppState* app, u32 command);
// Puts the file at `path` in place of the slot's document, which is let go
// as a closed tab's is; the tab keeps its place and any comparison.
void replace_document(AppState* app, u32 slot, ByteSpan path);

// ---- Save form ----
void show_save_form(AppState* app);
void type_char(AppState* app, u32 character);
void erase_char(AppState* app);
void save_option(AppState* app, u32 command);
void confirm_save(AppState* app);
void write_pending_save(AppState* app);

// ---- Layout and status ----
void layout(AppState* app);
// Ends any drag and asks for the mouse capture to be released.
void end_drag(AppState* app);
// Appends one hit region; a region past the table's capacity is dropped.
void add_region(AppState* app, i32 x, i32 y, i32 w, i32 h, u32 command);
void status_text(const AppState* app, TextBuffer* out);
void status_line(const AppState* app, TextBuffer* out);
void state_line(const AppState* app, TextBuffer* out);

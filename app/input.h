// Keys, mouse and timer events into state changes and commands.
#pragma once

#include "app/app_state.h"

void handle_input(AppState* app, const Event* event);
u32 key_command(u32 virtual_key, u32 mods, bool browser_shown);
u32 name_key_command(u32 virtual_key, u32 mods);
u32 typed_char(u32 virtual_key, u32 mods);
// The command of the topmost region containing (x, y), or 0.
u32 hit_test(const AppState* app, i32 x, i32 y);

// Window-edge codes; EDGE_MOVE drags the whole window.
enum : u32 { EDGE_LEFT = 1, EDGE_RIGHT = 2, EDGE_TOP = 4, EDGE_BOTTOM = 8, EDGE_MOVE = 16 };
u32 edge_code(i32 width, i32 height, i32 x, i32 y);
// True when (x, y) is on the compare divider, which can then be dragged.
bool on_divider(const AppState* app, i32 x, i32 y);

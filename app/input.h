// Keys, mouse and timer events into state changes and commands.
#pragma once

#include "app/app_state.h"

void handle_input(AppState* app, const Event* event);
u32 key_command(u32 virtual_key, u32 mods, bool browser_shown);
u32 name_key_command(u32 virtual_key, u32 mods);
u32 typed_char(u32 virtual_key, u32 mods);

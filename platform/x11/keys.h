// X key symbols as the virtual-key codes the key tables use, and back: the
// X11 window translates key presses with the first, the X11 harness finds
// the key to press for a script's key code with the second.
#pragma once

#include "base/types.h"

// The virtual-key code of an X key symbol; 0 for a key without one.
u32 key_code_from_keysym(u32 keysym);

// The X key symbol that gives virtual-key code `code`; 0 for none.
u32 keysym_from_key_code(u32 code);

// True for the keypad's digit and decimal symbols, which replace the
// keypad's navigation symbols while Num Lock is on.
bool keypad_digit_keysym(u32 keysym);

// Input translation of the X11 window that needs no display: X key symbols
// as the virtual-key codes the key tables use and back (the harness finds
// the key to press for a script's key code with the second), the
// double-click recogniser, and when a drop stops waiting for its data.
#pragma once

#include "base/types.h"

// The virtual-key code of an X key symbol; 0 for a key without one.
u32 key_code_from_keysym(u32 keysym);

// The X key symbol that gives virtual-key code `code`; 0 for none.
u32 keysym_from_key_code(u32 code);

// True for the keypad's digit and decimal symbols, which replace the
// keypad's navigation symbols while Num Lock is on.
bool keypad_digit_keysym(u32 keysym);

// A second press of the left button within 500 ms and 2 pixels (either way)
// of a first one is a double-click, as Windows recognises one; the press
// after a double-click starts a new pair. Times are the server's, in ms,
// wrapping at 2^32.
struct ClickState {
    bool pending;  // a first click a second one may pair with
    u32 time;
    i32 x, y;
};

// Records a press at screen point (x, y); true when it is a double-click.
bool pair_click(ClickState* state, u32 time, i32 x, i32 y);

// A drop that has asked for its data (after XdndDrop) holds the exchange
// until the data comes, and a source that died or never answers would hold
// it for the rest of the session. The wait is given up by an XdndEnter from
// another source, or by whatever comes from the exchange 5 s or more after
// the data was asked for. Times in ms, wrapping at 2^32.
static constexpr u32 DROP_DATA_WAIT_MS = 5000;
bool drop_wait_given_up(u32 asked, u32 now, bool enter_from_another_source);

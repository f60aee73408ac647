// Key symbols to virtual-key codes, double-clicks, and the end of a drop's
// wait. A key is named by the symbol of its first level (unshifted, first
// group), as a virtual-key code names the key rather than the character:
// "=" and "+" are one key, 0xBB, and a letter is its capital's code whatever
// the case.
#include <X11/keysym.h>

#include "platform/x11/input.h"

struct KeyPair {
    u32 keysym;
    u32 code;
};

// For the reverse look-up the first symbol of each code is the one to press.
static const KeyPair k_pairs[] = {
    {XK_BackSpace, 0x08},  {XK_Tab, 0x09},          {XK_ISO_Left_Tab, 0x09}, {XK_Return, 0x0D},
    {XK_KP_Enter, 0x0D},   {XK_Shift_L, 0x10},      {XK_Shift_R, 0x10},      {XK_Control_L, 0x11},
    {XK_Control_R, 0x11},  {XK_Alt_L, 0x12},        {XK_Alt_R, 0x12},        {XK_Meta_L, 0x12},
    {XK_Meta_R, 0x12},     {XK_Pause, 0x13},        {XK_Caps_Lock, 0x14},    {XK_Escape, 0x1B},
    {XK_space, 0x20},      {XK_Prior, 0x21},        {XK_KP_Prior, 0x21},     {XK_Next, 0x22},
    {XK_KP_Next, 0x22},    {XK_End, 0x23},          {XK_KP_End, 0x23},       {XK_Home, 0x24},
    {XK_KP_Home, 0x24},    {XK_Left, 0x25},         {XK_KP_Left, 0x25},      {XK_Up, 0x26},
    {XK_KP_Up, 0x26},      {XK_Right, 0x27},        {XK_KP_Right, 0x27},     {XK_Down, 0x28},
    {XK_KP_Down, 0x28},    {XK_Print, 0x2C},        {XK_Insert, 0x2D},       {XK_KP_Insert, 0x2D},
    {XK_Delete, 0x2E},     {XK_KP_Delete, 0x2E},    {XK_Super_L, 0x5B},      {XK_Super_R, 0x5C},
    {XK_Menu, 0x5D},       {XK_KP_Multiply, 0x6A},  {XK_KP_Add, 0x6B},       {XK_KP_Subtract, 0x6D},
    {XK_KP_Decimal, 0x6E}, {XK_KP_Divide, 0x6F},    {XK_Num_Lock, 0x90},     {XK_Scroll_Lock, 0x91},
    {XK_semicolon, 0xBA},  {XK_equal, 0xBB},        {XK_plus, 0xBB},         {XK_comma, 0xBC},
    {XK_minus, 0xBD},      {XK_period, 0xBE},       {XK_slash, 0xBF},        {XK_grave, 0xC0},
    {XK_bracketleft, 0xDB}, {XK_backslash, 0xDC},   {XK_bracketright, 0xDD}, {XK_apostrophe, 0xDE},
    {XK_less, 0xE2},
};

u32 key_code_from_keysym(u32 keysym) {
    if (keysym >= XK_a && keysym <= XK_z) return keysym - XK_a + 0x41;
    if (keysym >= XK_A && keysym <= XK_Z) return keysym - XK_A + 0x41;
    if (keysym >= XK_0 && keysym <= XK_9) return keysym - XK_0 + 0x30;
    if (keysym >= XK_KP_0 && keysym <= XK_KP_9) return keysym - XK_KP_0 + 0x60;
    if (keysym >= XK_F1 && keysym <= XK_F24) return keysym - XK_F1 + 0x70;
    for (const KeyPair& p : k_pairs) {
        if (p.keysym == keysym) return p.code;
    }
    return 0;
}

u32 keysym_from_key_code(u32 code) {
    if (code >= 0x41 && code <= 0x5A) return XK_a + (code - 0x41);
    if (code >= 0x30 && code <= 0x39) return XK_0 + (code - 0x30);
    if (code >= 0x60 && code <= 0x69) return XK_KP_0 + (code - 0x60);
    if (code >= 0x70 && code <= 0x87) return XK_F1 + (code - 0x70);
    for (const KeyPair& p : k_pairs) {
        if (p.code == code) return p.keysym;
    }
    return 0;
}

bool keypad_digit_keysym(u32 keysym) {
    return (keysym >= XK_KP_0 && keysym <= XK_KP_9) || keysym == XK_KP_Decimal;
}

bool pair_click(ClickState* state, u32 time, i32 x, i32 y) {
    i32 dx = x - state->x;
    i32 dy = y - state->y;
    bool paired = state->pending && time - state->time <= 500 && dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2;
    state->pending = !paired;
    state->time = time;
    state->x = x;
    state->y = y;
    return paired;
}

bool drop_wait_given_up(u32 asked, u32 now, bool enter_from_another_source) {
    return enter_from_another_source || now - asked >= DROP_DATA_WAIT_MS;
}

// The headless backend: events come from a script, the framebuffer is plain
// memory, and every request is recorded instead of shown. Used by qbdrive
// and the tests to run the whole program natively.
//
// Script lines (one event each; "#" starts a comment):
//   size W H                 client size changed
//   key [ctrl+][shift+][alt+]NAME   a key; NAME is a letter, digit, a key
//                            name (left, right, up, down, enter, esc,
//                            backspace, tab, space, pageup, pagedown, home,
//                            end, f1..f12, plus, minus, equals, period,
//                            comma, numplus, numminus) or a hex code (0x4F)
//   move X Y | down X Y [MODS] | dclick X Y [MODS] | up X Y
//   rawmove, rawdown, rawdclick, rawup X Y   real (unmarked) mouse input
//   wheel X Y DELTA [MODS]   MODS: ctrl, shift, alt joined by "+"
//   leave | timer MS | sync N
//   drop PATH [PATH ...]     paths are separated by " | "
//   frame [save FILE]        checks the frame (prints "frame ok WxH")
// Lines starting with "arg" are command-line arguments, taken by the caller.
#pragma once

#include "platform/window.h"

typedef void (*StateSink)(ByteSpan text, void* context);

// The script the next window reads its events from, and where the state
// texts go. Both must outlive the program run.
void headless_set_script(ByteSpan script, StateSink sink, void* context);

// Harness mode, as the Windows harness drives the real program: a sync with a
// fresh number (1, 2, ...) after the first size report and after every
// script event, and only the states published for syncs reach the sink.
void headless_set_auto_sync(bool on);

// In test mode, also publish through the named sections of the test channel
// (shared memory objects "QuorbelState" and "QuorbelFrame" with the pid).
void headless_use_sections(bool on);
// Removes the section names again (they outlive the process on POSIX).
void headless_remove_sections();

// One parsed script line; false for blank, comment, "arg" and "frame"
// lines. Sets *bad when the line cannot be understood, and *unmarked for the
// "raw" mouse lines, which stand for real input rather than the harness's.
bool headless_parse_event(ByteSpan line, Event* event, bool* bad, bool* unmarked);

// The script line (counted from 1) that ended the run unread, 0 for none.
u32 headless_bad_line();

// What the program last asked the window to do, for tests.
struct HeadlessRecord {
    u32 paints;
    u32 invalidations;
    u32 minimised;
    u8 captured;
    u8 maximised;
    u8 destroyed;
    u32 cursor;
    TextBuffer title;
    i32 window_rect[4];
    // The request operations in the order they were carried out.
    u8 ops[64];
    u32 op_count;
};

enum : u8 {
    OP_INVALIDATE = 'i',
    OP_MINIMISE = 'n',
    OP_MAXIMISE = 'x',
    OP_RESTORE = 'r',
    OP_DESTROY = 'd',
    OP_MOVE = 'm',
    OP_CAPTURE = 'c',
    OP_RELEASE = 'u',
    OP_TITLE = 't',
};
const HeadlessRecord* headless_record();

// The test channel's two sections as POSIX-style shared memory (through
// platform/process.h): "QuorbelState" and "QuorbelFrame" followed by the
// process id, the same names the Windows program gives its file mappings.
// The frame section holds a 64-byte header and then the window's last frame,
// copied there at every blit. Shared by the headless and the X11 backends.
#pragma once

#include "platform/window.h"

// Creates and maps both sections; the frame section has room for a frame of
// (max(screen width, 1040) + 64) x (max(screen height, 700) + 64) pixels. A
// section that cannot be had is simply absent.
void open_sized_test_sections(WindowState* w, i64 screen_width, i64 screen_height);

// Removes both names (they outlive the process on POSIX) for process `pid`.
void remove_test_sections(u32 pid);

// The state text, cut to 4095 bytes and NUL-terminated, into the state view.
void write_state_section(WindowState* w, ByteSpan text);

// The X11 harness of qbdrive: drives `PROGRAM --test` on the X display over
// a script and prints the state lines. Its pieces (starting the program,
// its test channel, syncs, client messages, a drop as an XDND source) are
// also used by the tests of the X11 window.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "base/types.h"

// qbdrive --x11 SCRIPT PROGRAM; returns qbdrive's exit status.
int run_x11_harness(const char* script_path, const char* program);

namespace x11h {

struct X11Target {
    pid_t pid;
    Display* display;
    Window root;
    Window window;  // the program's
    Window source;  // the harness's own: XDND source and selection owner
    const char* state;
    const u32* frame;
    u64 frame_size;
    int exit_code;
    bool ended;
    // A sync to post as soon as the drop data has been handed over, so that
    // it reaches the program right behind the drop (0 for none).
    u32 sync_with_data;
};

enum WaitResult { ANSWERED, ENDED, SILENT };

// Starts args[0] with the rest as its arguments.
bool start_program(X11Target* t, const std::vector<std::string>& args);
// Maps the program's sections and finds its window (20 seconds at most).
bool open_channel(X11Target* t);
bool still_running(X11Target* t);
Atom atom(X11Target* t, const char* name);
void client_message(X11Target* t, Window to, Atom type, long l0, long l1, long l2, long l3, long l4);
void post_sync(X11Target* t, u32 number);
// The state text for sync `number`, once the paint after it has been shown.
WaitResult wait_state(X11Target* t, u32 number, std::string* out);
// A drop of `paths` with the harness as the XDND source.
bool send_drop(X11Target* t, const std::vector<std::string>& paths);
// Waits for an event on the harness's window that `want` accepts (at most
// `ms`), answering the program's requests for the drop data `data`.
bool wait_source_event(X11Target* t, const std::string& data, bool (*want)(const XEvent&, void*), void* context,
                       u64 ms);
// Ends the program if it still runs and removes its section names.
void stop(X11Target* t);

}  // namespace x11h

// The X11 harness of qbdrive: drives `PROGRAM --test` on the X display over
// a script and prints the state lines; returns qbdrive's exit status.
#pragma once

int run_x11_harness(const char* script_path, const char* program);

// The test channel of the X11 program: the sections are the POSIX shared
// memory objects the headless program publishes, sized for the X screen.
#include "platform/test_sections.h"
#include "platform/x11/x11_window.h"

void open_test_sections(WindowState* w) {
    X11Window* x = x11_of(w);
    open_sized_test_sections(w, DisplayWidth(x->display, x->screen), DisplayHeight(x->display, x->screen));
}

void publish_state(WindowState* w, ByteSpan text) {
    write_state_section(w, text);
}

// Process entry: the whole program runs in app_main over the command line;
// its result is the process's exit code.
#include "app/main_loop.h"
#include "platform/process.h"

static Program g_program;

#if defined(_WIN32)
extern "C" int __stdcall WinMain(void*, void*, char*, int) {
    return app_main(&g_program, command_line());
}
#else
int main() {
    return app_main(&g_program, command_line());
}
#endif

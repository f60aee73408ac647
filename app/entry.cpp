// Process entry: the whole program runs in app_main over the command line.
#include "app/main_loop.h"
#include "platform/process.h"

int main() {
    static Program program;
    return app_main(&program, command_line());
}

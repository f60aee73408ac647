// qbdrive: runs the whole program natively over a script of events and
// prints the state text after every script event, as the Windows harness
// reads it from the test channel: each event is followed by a sync with a
// fresh number, and the state published for that sync is printed.
// With --x11 it is instead the harness of the X11 program (harness_x11.cpp).
// Usage: qbdrive [--sections] SCRIPT
//        qbdrive --x11 SCRIPT PROGRAM
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "app/main_loop.h"
#include "platform/headless/headless.h"
#include "platform/quote.h"
#if defined(QB_X11_HARNESS)
#include "tools/qbdrive/harness_x11.h"
#endif

static void print_state(ByteSpan text, void*) {
    std::fwrite(text.data, 1, text.size, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int main(int argc, char** argv) {
#if defined(QB_X11_HARNESS)
    if (argc == 4 && std::string(argv[1]) == "--x11") return run_x11_harness(argv[2], argv[3]);
#endif
    // --sections also publishes through the test channel's named sections,
    // for a reader in another process.
    bool sections = argc == 3 && std::string(argv[1]) == "--sections";
    if (argc != 2 && !sections) {
        std::fprintf(stderr, "usage: qbdrive [--sections] SCRIPT | qbdrive --x11 SCRIPT PROGRAM\n");
        return 64;
    }
    const char* path = argv[argc - 1];
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "qbdrive: cannot read %s\n", path);
        return 66;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    static std::string script;
    script = buffer.str();

    // "arg" lines are the program's command-line arguments, after "--test".
    std::string line = "qbdrive --test";
    std::istringstream lines(script);
    std::string text;
    while (std::getline(lines, text)) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.rfind("arg ", 0) != 0) continue;
        std::string arg = text.substr(4);
        std::string quoted(arg.size() * 2 + 3, '\0');
        u64 n = quote_argument(ByteSpan{(u8*)arg.data(), arg.size()}, false, (u8*)quoted.data(), quoted.size());
        line += " " + quoted.substr(0, n);
    }
    headless_set_script(ByteSpan{(u8*)script.data(), script.size()}, print_state, nullptr);
    headless_set_auto_sync(true);
    headless_use_sections(sections);
    static Program program;
    int code = app_main(&program, ByteSpan{(u8*)line.data(), line.size()});
    if (sections) headless_remove_sections();
    if (headless_bad_line() != 0) {
        std::fprintf(stderr, "qbdrive: %s:%u: cannot read this line\n", path, headless_bad_line());
        return 65;
    }
    // The program ended by itself (Quit): its exit code is part of the run.
    if (headless_record()->destroyed) std::printf("exit=%d\n", code);
    return code == 0 ? 0 : 1;
}

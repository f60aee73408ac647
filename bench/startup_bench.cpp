// Start-up as a user meets it: the native X11 program started on a private
// 1920 x 1080 virtual screen (Xvfb) with one image on its command line, timed
// from just before the process is created to the first moment the image's
// colours are on the screen, read back from the root window (one row through
// the window's middle, every millisecond). The images are made here: a
// 768 x 512, a 6000 x 4000 and a 9456 x 9456 photo-like JPEG (4:2:0, quality
// 90) and an 8192 x 8192 photo-like RGB PNG, all in strong reds that no part
// of the interface uses, so a row with many such pixels is the picture.
//
// The program is started with QB_STARTUP_TRACE set, which makes its X11
// window write the moments of its start-up steps to standard error; from
// them the time is split into: process start to the check for a running
// window (loading, the start-up arena and state), that check, the window's
// font, the rest of the window, waiting for the first event, reading and
// probing the file until the first paint starts, and that paint (the
// preview decode and the first frame) until its frame is put on screen. The
// preview decode of the same file is also timed inside this process with
// the codec layer, so its share of the start-up can be judged. Each image
// runs several times; the medians are printed.
//
// Usage: qb_bench_startup [RUNS] [QUORBEL]. Without Xvfb or the X11 program
// it says so and ends successfully. QB_STARTUP_DIR keeps the images in that
// folder (made once); QB_XVFB_LOG takes the virtual screen's messages.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "../tests/codec/jpeg/libjpeg_support.h"
#include "codec/job.h"
#include "codec/probe.h"

namespace fs = std::filesystem;

// Microseconds on the monotonic clock, as the program's trace writes them.
static long long now_us() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

// ---- Images -------------------------------------------------------------------

// Photo-like texture (gradients, a diagonal pattern, a little noise) in
// strong reds: red 150 to 235, green at most 90, blue at most 51.
static std::vector<u8> red_photo(u32 w, u32 h) {
    std::vector<u8> rgb((size_t)w * h * 3);
    std::vector<float> sx(w), cy(h), diag((size_t)w + 2 * h);
    for (u32 x = 0; x < w; x++) sx[x] = (float)(60 * sin(x * 0.004));
    for (u32 y = 0; y < h; y++) cy[y] = (float)cos(y * 0.003);
    for (u64 t = 0; t < (u64)w + 2 * h; t++) diag[t] = (float)(30 * sin(t * 0.05));
    u32 seed = 1;
    for (u32 y = 0; y < h; y++) {
        u8* row = &rgb[(size_t)y * w * 3];
        for (u32 x = 0; x < w; x++) {
            float v = 128 + sx[x] * cy[y] + diag[x + 2 * y];  // about 38 to 218
            seed = seed * 1664525u + 1013904223u;
            int n = (int)((seed >> 24) % 7) - 3;
            row[x * 3] = (u8)std::clamp(150 + (int)(v * 0.38f) + n, 0, 255);
            row[x * 3 + 1] = (u8)std::clamp((int)(v * 0.4f) + n, 0, 90);
            row[x * 3 + 2] = (u8)std::clamp((int)(v * 0.22f) + n, 0, 51);
        }
    }
    return rgb;
}

static bool write_jpeg(const fs::path& path, const std::vector<u8>& rgb, u32 w, u32 h) {
    std::vector<u8> file = ref_encode_rgb(rgb, w, h, 90, true, false);
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = !file.empty() && fwrite(file.data(), 1, file.size(), f) == file.size();
    return fclose(f) == 0 && ok;
}


static bool write_png(const fs::path& path, const std::vector<u8>& rgb, u32 w, u32 h) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (u32 y = 0; y < h; y++) png_write_row(png, (png_bytep)&rgb[(size_t)y * w * 3]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(f) == 0;
}

// ---- The codec layer in this process -------------------------------------------

struct InProcess {
    double read_ms, probe_ms, preview_ms;
};

// Reading the file whole, probing it and the preview (base) decode, as the
// program's load and first tile do them, on freshly mapped zeroed memory.
static InProcess time_in_process(const fs::path& path) {
    InProcess r = {-1, -1, -1};
    long long t0 = now_us();
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return r;
    u64 size = (u64)fs::file_size(path);
    std::unique_ptr<u8, decltype(&free)> bytes((u8*)malloc(size), free);
    u64 got = bytes ? fread(bytes.get(), 1, size, f) : 0;
    fclose(f);
    if (got != size) return r;
    ByteSpan file = {bytes.get(), size};
    long long t1 = now_us();
    ImageInfo info;
    CodecError err;
    if (!probe_image(file.data, file.size, &info, &err)) return r;
    long long t2 = now_us();
    u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes);
    u8* memory = (u8*)calloc(1, scratch + pixels + 64);
    if (memory == nullptr) return r;
    u8* base = (u8*)(((uintptr_t)memory + 63) & ~(uintptr_t)63);
    static DecodeJob job;
    job = DecodeJob{};
    bool ok = start_job(&job, file, &info, base, info.scratch_bytes, base + scratch, &err);
    job.swap_red_blue = true;
    job.pixels_zero = true;
    job.scratch_zero = true;
    while (ok && !job.base_done) ok = decode_step(&job, &err);
    long long t3 = now_us();
    free(memory);
    if (!ok) return r;
    return InProcess{(t1 - t0) / 1000.0, (t2 - t1) / 1000.0, (t3 - t2) / 1000.0};
}

// ---- The virtual screen -----------------------------------------------------------

struct VirtualScreen {
    pid_t server = 0;
    Display* display = nullptr;
    std::string name;
};

static bool start_screen(VirtualScreen* s) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_t pid = fork();
    if (pid == 0) {
        // The display number comes back on descriptor 3, as in the e2e
        // tests' with-xvfb.sh; the server's messages go to QB_XVFB_LOG.
        const char* log = getenv("QB_XVFB_LOG");
        int out = open(log != nullptr ? log : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int pipe_out = fcntl(fds[1], F_DUPFD, 10);
        close(fds[0]);
        dup2(out, 2);
        dup2(pipe_out, 3);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset",
               (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    char buf[32] = {};
    ssize_t n = 0;
    // -displayfd writes the display number once the server listens.
    for (int tries = 0; tries < 400 && n <= 0; tries++) {
        n = read(fds[0], buf, sizeof buf - 1);
        if (n <= 0) usleep(10000);
    }
    close(fds[0]);
    if (n <= 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return false;
    }
    s->server = pid;
    s->name = ":" + std::string(buf, strcspn(buf, "\n"));
    // The server may take a moment to accept clients after it names itself.
    for (int tries = 0; tries < 25 && s->display == nullptr; tries++) {
        s->display = XOpenDisplay(s->name.c_str());
        if (s->display == nullptr) usleep(20000);
    }
    return s->display != nullptr;
}

static void stop_screen(VirtualScreen* s) {
    if (s->display != nullptr) XCloseDisplay(s->display);
    if (s->server > 0) {
        kill(s->server, SIGTERM);
        waitpid(s->server, nullptr, 0);
    }
}

// Pixels of the row through the window's middle (the window opens at
// 120, 80 with 1040 x 700) that are the picture's strong reds.
static int red_pixels(Display* d) {
    XImage* im = XGetImage(d, DefaultRootWindow(d), 120, 430, 1040, 1, AllPlanes, ZPixmap);
    if (im == nullptr) return 0;
    int n = 0;
    for (int x = 0; x < 1040; x++) {
        unsigned long p = XGetPixel(im, x, 0);
        int r = (int)(p >> 16) & 0xFF, g = (int)(p >> 8) & 0xFF, b = (int)p & 0xFF;
        if (r >= 140 && b <= 80 && r >= g + 50) n++;
    }
    XDestroyImage(im);
    return n;
}

// ---- One start ------------------------------------------------------------------------

// One start's steps, in milliseconds from just before the process was
// created; -1 where the trace did not have it.
struct Start {
    double shown = -1;     // the picture seen on the screen
    double handover = -1;  // the check for a running window starts
    double window = -1;    // the window's creation starts
    double font = -1;    // its font is open
    double mapped = -1;  // it is mapped
    double event = -1;   // the first event, after which the file is read and probed
    double paint = -1;   // the first paint after that starts (the preview decode runs in it)
    double blit = -1;    // the last frame put on screen before the picture was seen
    std::string why;     // for a start that gave no figures: what went wrong
};

static Start start_once(const VirtualScreen& s, const std::string& exe, const fs::path& image, const fs::path& trace) {
    Start r;
    // The screen must have forgotten the last run's window.
    for (int i = 0; i < 2000 && red_pixels(s.display) > 0; i++) usleep(1000);
    long long t0 = now_us();
    pid_t pid = fork();
    if (pid == 0) {
        setenv("DISPLAY", s.name.c_str(), 1);
        setenv("QB_STARTUP_TRACE", "1", 1);
        int fd = open(trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        execl(exe.c_str(), exe.c_str(), image.c_str(), (char*)nullptr);
        _exit(127);
    }
    long long seen = -1;
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 20000; i++) {
        if (red_pixels(s.display) >= 64) {
            seen = now_us();
            break;
        }
        // A program that ended without showing the picture is not waited for.
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        usleep(1000);
    }
    if (!ended) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    if (seen < 0) {
        char text[96];
        if (!ended) {
            snprintf(text, sizeof text, "not seen within %.0f s", (now_us() - t0) / 1e6);
        } else if (WIFSIGNALED(status)) {
            snprintf(text, sizeof text, "ended by signal %d", WTERMSIG(status));
        } else {
            snprintf(text, sizeof text, "exited with %d", WEXITSTATUS(status));
        }
        r.why = text;
        return r;
    }
    r.shown = (seen - t0) / 1000.0;
    std::ifstream in(trace);
    std::string word, step;
    long long t;
    bool frame_started = false;
    while (in >> word) {
        if (word != "startup" || !(in >> step >> t)) continue;
        double ms = (t - t0) / 1000.0;
        // The window can show a frame before its "blit" is written (the
        // copy is done while the program waits for the server). The frame
        // that showed the picture is the last one whose copy was asked for
        // before it was seen, and its blit counts as no later than that.
        if (step == "blit" && frame_started && r.blit < 0) r.blit = std::min(ms, r.shown);
        if (t > seen) continue;
        if (step == "texts") {
            frame_started = true;
            r.blit = -1;
        }
        if (step == "handover" && r.handover < 0) r.handover = ms;
        if (step == "window" && r.window < 0) r.window = ms;
        if (step == "font" && r.font < 0) r.font = ms;
        if (step == "mapped" && r.mapped < 0) r.mapped = ms;
        if (step == "event" && r.event < 0) r.event = ms;
        if (step == "paint" && r.event >= 0 && r.paint < 0) r.paint = ms;
    }
    // A frame being copied when the picture was seen may not have written
    // its blit before the program was ended.
    if (frame_started && r.blit < 0) r.blit = r.shown;
    const char* missing = r.handover < 0 ? "handover" : r.window < 0 ? "window" : r.font < 0 ? "font"
                        : r.mapped < 0 ? "mapped" : r.event < 0 ? "event" : r.paint < 0 ? "paint"
                        : r.blit < 0 ? "blit" : nullptr;
    if (missing != nullptr) r.why = std::string("seen, but the trace has no \"") + missing + "\" before it";
    return r;
}

static double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    std::string exe = argc > 2 ? argv[2] : QB_QUORBEL;
    if (access(exe.c_str(), X_OK) != 0) {
        printf("start-up: skipped (no X11 program at %s)\n", exe.c_str());
        return 0;
    }
    // A server that names a display it then does not serve (another one
    // taking the same number at the same moment) is ended and another
    // started.
    VirtualScreen screen;
    bool started = false;
    for (int tries = 0; tries < 4 && !started; tries++) {
        started = start_screen(&screen);
        if (!started) {
            stop_screen(&screen);
            screen = VirtualScreen{};
        }
    }
    if (!started) {
        printf("start-up: skipped (Xvfb did not start: is it installed?)\n");
        stop_screen(&screen);
        return 0;
    }
    // QB_STARTUP_DIR keeps the images there (made once) for later runs and
    // for looking at one start by hand.
    const char* keep = getenv("QB_STARTUP_DIR");
    fs::path dir = keep != nullptr ? fs::path(keep) : fs::temp_directory_path() / ("qb-startup-" + std::to_string(getpid()));
    fs::create_directories(dir);
    struct Image {
        const char* name;
        u32 w, h;
        bool png;
    };
    const Image images[] = {{"768x512.jpg", 768, 512, false},
                            {"6000x4000.jpg", 6000, 4000, false},
                            {"9456x9456.jpg", 9456, 9456, false},
                            {"8192x8192.png", 8192, 8192, true}};
    printf("start-up on a 1920 x 1080 virtual screen: process start to the picture on screen, and its steps\n"
           "(ms, medians of %d starts; the preview decode of the same file timed in this process)\n", runs);
    printf("%-14s %7s | %6s %6s %6s %6s %6s %6s %7s %6s | %8s %6s\n", "image", "shown", "start", "check", "font",
           "map", "event", "load", "frames", "seen", "preview", "share");
    for (const Image& im : images) {
        fs::path path = dir / im.name;
        if (keep == nullptr || !fs::exists(path)) {
            std::vector<u8> rgb = red_photo(im.w, im.h);
            bool ok = im.png ? write_png(path, rgb, im.w, im.h) : write_jpeg(path, rgb, im.w, im.h);
            if (!ok) {
                printf("%-14s could not be written\n", im.name);
                continue;
            }
        }
        // Each step as the time since the one before it.
        std::vector<double> shown, start, check, font, map, event, load, frames, seen;
        std::vector<std::string> failed;
        for (int i = 0; i < runs; i++) {
            Start s = start_once(screen, exe, path, dir / "trace.txt");
            if (!s.why.empty()) {
                failed.push_back(s.why);
                continue;
            }
            shown.push_back(s.shown);
            start.push_back(s.handover);
            check.push_back(s.window - s.handover);
            font.push_back(s.font - s.window);
            map.push_back(s.mapped - s.font);
            event.push_back(s.event - s.mapped);
            load.push_back(s.paint - s.event);
            frames.push_back(s.blit - s.paint);
            seen.push_back(s.shown - s.blit);
        }
        for (const std::string& why : failed) printf("%-14s one start failed: %s\n", im.name, why.c_str());
        if (shown.empty()) {
            printf("%-14s the picture never showed (or the trace was incomplete)\n", im.name);
            continue;
        }
        std::vector<double> preview;
        for (int i = 0; i < std::min(runs, 3); i++) preview.push_back(time_in_process(path).preview_ms);
        double p = median(preview), total = median(shown);
        printf("%-14s %7.1f | %6.1f %6.1f %6.1f %6.1f %6.1f %6.1f %7.1f %6.1f | %8.1f %5.0f%%\n", im.name, total,
               median(start), median(check), median(font), median(map), median(event), median(load), median(frames), median(seen), p,
               100 * p / total);
        if (keep == nullptr) fs::remove(path);
    }
    printf("start: process start to the check for a running window (loading, start-up state); check: that\n"
           "check (connecting to the display), to the window's creation; font: the window's font opened; map: the rest of the window, mapped; event: waiting for the\n"
           "first event; load: the file read and probed and its decode set up, to the first paint; frames: that\n"
           "paint (the preview decode, tiles, the frame) and any before the picture, to the frame put on screen;\n"
           "seen: until this process read it back. preview: the read, probe and preview decode's decode part\n"
           "alone, in this process; share: of the whole start-up.\n");
    if (keep == nullptr) fs::remove_all(dir);
    stop_screen(&screen);
    return 0;
}

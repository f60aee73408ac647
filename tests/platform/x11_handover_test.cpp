// One window for every file opened, with real processes on a virtual screen
// (run under with-xvfb.sh): a second start with files hands them to the
// running window, which opens them and comes to the front, and ends with 0
// without a window of its own; --new-window and test mode open their own
// window; hand-overs of another type, format or scheme are dropped and leave
// the window answering. What the window opened shows in its title (the
// active tab's file name), read by the window system like any client would.
// GoogleTest first: Xlib's None and Bool are macros.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

u_int64_t now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (u_int64_t)t.tv_sec * 1000 + (u_int64_t)t.tv_nsec / 1000000;
}

bool wait_for(const std::function<bool()>& done, u_int64_t ms = 10000) {
    u_int64_t end = now_ms() + ms;
    while (now_ms() < end) {
        if (done()) return true;
        usleep(20000);
    }
    return done();
}

class X11Handover : public ::testing::Test {
protected:
    Display* d = nullptr;
    fs::path dir;
    std::vector<pid_t> started;

    void SetUp() override {
        if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display (run under with-xvfb.sh)";
        d = XOpenDisplay(nullptr);
        ASSERT_NE(d, nullptr);
        std::random_device rd;
        dir = fs::temp_directory_path() / ("qb-handover-" + std::to_string(rd()));
        fs::create_directories(dir);
        for (const char* n : {"a.png", "b.png", "c.png", "d.png", "e.png"}) {
            fs::copy_file(fs::path(QB_SOURCE_DIR) / "tests" / "data" / "small-rgb.png", dir / n);
        }
    }
    void TearDown() override {
        for (pid_t p : started) {
            if (kill(p, 0) == 0) kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
        if (d != nullptr) XCloseDisplay(d);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Starts the program in the test folder with `args`.
    pid_t start(const std::vector<std::string>& args) {
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0) _exit(126);
            std::vector<char*> argv;
            argv.push_back((char*)QB_QUORBEL);
            for (const std::string& a : args) argv.push_back((char*)a.c_str());
            argv.push_back(nullptr);
            execv(QB_QUORBEL, argv.data());
            _exit(127);
        }
        started.push_back(pid);
        return pid;
    }

    // The exit code, or -1 when the process did not end in time.
    int wait_exit(pid_t pid, u_int64_t ms = 10000) {
        int status = 0;
        int code = -1;
        wait_for([&] {
            if (waitpid(pid, &status, WNOHANG) != pid) return false;
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }, ms);
        return code;
    }

    std::vector<Window> top_windows() {
        Window root_return, parent;
        Window* children = nullptr;
        unsigned int n = 0;
        std::vector<Window> out;
        if (XQueryTree(d, DefaultRootWindow(d), &root_return, &parent, &children, &n) && children != nullptr) {
            out.assign(children, children + n);  // bottom to top
            XFree(children);
        }
        return out;
    }

    long pid_of(Window w) {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        long pid = -1;
        Atom net_wm_pid = XInternAtom(d, "_NET_WM_PID", False);
        if (XGetWindowProperty(d, w, net_wm_pid, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
                Success && data != nullptr) {
            if (format == 32 && count == 1) pid = *(long*)data;
            XFree(data);
        }
        return pid;
    }

    Window window_of(pid_t pid) {
        for (Window w : top_windows()) {
            if (pid_of(w) == (long)pid) return w;
        }
        return 0;
    }

    std::string title(Window w) {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        std::string out;
        Atom name = XInternAtom(d, "_NET_WM_NAME", False);
        if (XGetWindowProperty(d, w, name, 0, 1024, False, AnyPropertyType, &type, &format, &count, &after, &data) ==
                Success && data != nullptr) {
            out.assign((const char*)data, count);
            XFree(data);
        }
        return out;
    }

    bool title_becomes(Window w, const std::string& want) {
        return wait_for([&] { return title(w) == want; });
    }

    // The running window of `pid`, once it shows `want` as its title.
    Window running(pid_t pid, const std::string& want) {
        Window w = 0;
        wait_for([&] { return (w = window_of(pid)) != 0 && title(w) == want; });
        return w;
    }

    void put_property(Window w, Atom type, int format, const std::string& bytes) {
        Atom open = XInternAtom(d, "_QUORBEL_OPEN", False);
        int n = format == 8 ? (int)bytes.size() : (int)(bytes.size() / (format / 8));
        XChangeProperty(d, w, open, type, format, PropModeReplace, (const unsigned char*)bytes.data(), n);
        XSync(d, False);
    }

    std::string uri(const char* name) { return "file://" + (dir / name).string() + "\r\n"; }
};

TEST_F(X11Handover, ASecondStartHandsItsFilesToTheRunningWindow) {
    pid_t first = start({"a.png"});
    Window w = running(first, "a.png - Quorbel");
    ASSERT_NE(w, 0u) << "the first window did not come up";

    // A window of the test's own on top: the hand-over must raise the viewer.
    Window cover = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1280, 900, 0, 0, 0);
    XMapRaised(d, cover);
    XSync(d, False);
    ASSERT_EQ(top_windows().back(), cover);

    // A relative and an absolute path; the last one opened is active.
    pid_t second = start({"b.png", (dir / "c.png").string()});
    EXPECT_EQ(wait_exit(second), 0);
    EXPECT_EQ(window_of(second), 0u);
    EXPECT_TRUE(title_becomes(w, "c.png - Quorbel")) << title(w);
    EXPECT_TRUE(wait_for([&] { return top_windows().back() == w; })) << "the window was not raised";
    // b.png went to the same window: opening it again only activates it.
    pid_t third = start({"b.png"});
    EXPECT_EQ(wait_exit(third), 0);
    EXPECT_TRUE(title_becomes(w, "b.png - Quorbel")) << title(w);
    XDestroyWindow(d, cover);
    XSync(d, False);

    // Test mode never hands over: its own window comes up.
    pid_t tested = start({"--test", "d.png"});
    Window tw = running(tested, "d.png - Quorbel");
    EXPECT_NE(tw, 0u);
    EXPECT_EQ(title(w), "b.png - Quorbel");
    kill(tested, SIGTERM);
    wait_exit(tested);

    // Nor does --new-window; that window then takes the hand-overs, being
    // the newest.
    pid_t own = start({"--new-window", "d.png"});
    Window ow = running(own, "d.png - Quorbel");
    ASSERT_NE(ow, 0u);
    EXPECT_EQ(title(w), "b.png - Quorbel");
    pid_t fourth = start({"e.png"});
    EXPECT_EQ(wait_exit(fourth), 0);
    EXPECT_TRUE(title_becomes(ow, "e.png - Quorbel")) << title(ow);
    EXPECT_EQ(title(w), "b.png - Quorbel");
    kill(own, SIGTERM);
    EXPECT_EQ(wait_exit(own), 128 + SIGTERM);

    // With its owner gone nobody takes a hand-over: the start opens its own
    // window, without files too.
    pid_t fifth = start({"a.png"});
    EXPECT_NE(running(fifth, "a.png - Quorbel"), 0u);
    pid_t bare = start({});
    EXPECT_NE(running(bare, "Quorbel"), 0u);
}

TEST_F(X11Handover, MalformedHandOversAreDropped) {
    pid_t first = start({"a.png"});
    Window w = running(first, "a.png - Quorbel");
    ASSERT_NE(w, 0u);
    Atom uri_list = XInternAtom(d, "text/uri-list", False);
    put_property(w, XA_STRING, 8, uri("b.png"));                    // another type
    put_property(w, uri_list, 32, uri("b.png") + "\r\n\r\n\r\n");     // another format
    put_property(w, uri_list, 8, "http://example.com/b.png\r\n");   // no local file
    put_property(w, uri_list, 8, "file://elsewhere" + (dir / "b.png").string() + "\r\n");
    put_property(w, uri_list, 8, std::string("file://") + (dir / "b").string() + "%00.png\r\n");
    put_property(w, uri_list, 8, std::string(2 << 20, 'x'));       // too big to read whole
    usleep(300000);
    EXPECT_EQ(title(w), "a.png - Quorbel");
    EXPECT_EQ(kill(first, 0), 0);
    // The window still takes a good one, from anyone.
    put_property(w, uri_list, 8, "# a comment\r\n" + uri("c.png"));
    EXPECT_TRUE(title_becomes(w, "c.png - Quorbel")) << title(w);
    // And a second start still gets through after all that.
    pid_t second = start({"d.png"});
    EXPECT_EQ(wait_exit(second), 0);
    EXPECT_TRUE(title_becomes(w, "d.png - Quorbel")) << title(w);
}

}  // namespace

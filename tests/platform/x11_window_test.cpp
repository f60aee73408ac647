// The X11 program driven on a virtual screen (run under with-xvfb.sh):
// drops of what is not a file path, malformed URI lists, XDND and
// window-manager messages out of order or from strangers are ignored and
// leave the program answering; a drag source that never hands its data over
// does not deafen the program to the next drag; the frame a harness reads holds the texts;
// a close from the window manager ends the program normally.
#include <X11/Xatom.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/x11/input.h"
#include "tools/qbdrive/harness_x11.h"

using namespace x11h;

namespace {

class X11Window : public ::testing::Test {
protected:
    void SetUp() override {
        if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display (run under with-xvfb.sh)";
        ASSERT_TRUE(start_program(&t, {QB_QUORBEL, "--test"}));
        ASSERT_TRUE(open_channel(&t));
    }
    void TearDown() override {
        if (t.display != nullptr) stop(&t);
    }

    // The state line after a fresh sync.
    std::string state() {
        u32 n = ++sync;
        post_sync(&t, n);
        std::string text;
        EXPECT_EQ(wait_state(&t, n, &text), ANSWERED);
        return text;
    }

    static std::string field(const std::string& state, const std::string& key) {
        size_t at = state.find(" " + key + "=");
        if (at == std::string::npos) at = state.rfind(key + "=", 0) == 0 ? 0 : std::string::npos;
        if (at == std::string::npos) return "<missing>";
        size_t start = state.find('=', at) + 1;
        size_t end = state.find(' ', start);
        return state.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }

    // The message line: everything between " msg=" and " hash=".
    static std::string message(const std::string& state) {
        size_t start = state.find(" msg=");
        size_t end = state.find(" hash=");
        if (start == std::string::npos || end == std::string::npos) return "<missing>";
        return state.substr(start + 5, end - start - 5);
    }

    void send(Atom type, long l0, long l1 = 0, long l2 = 0, long l3 = 0, long l4 = 0) {
        client_message(&t, t.window, type, l0, l1, l2, l3, l4);
    }

    // Whether the program sends the harness's window `type` within `ms`
    // (and, for XDND answers, whether it accepts).
    struct Answer {
        Atom type;
        bool seen;
        bool accepted;
        bool asked;  // the program asked for the drop data
    };
    static bool answer_of(const XEvent& ev, void* context) {
        Answer* a = (Answer*)context;
        if (ev.type != ClientMessage || ev.xclient.message_type != a->type) return false;
        a->seen = true;
        a->accepted = (ev.xclient.data.l[1] & 1) != 0;
        return true;
    }
    Answer wait_answer(const char* type, const std::string& data, u64 ms) {
        Answer a = {atom(&t, type), false, false, false};
        wait_source_event(&t, data, answer_of, &a, ms);
        return a;
    }

    // A whole drop of `data` as text/uri-list; the XdndFinished answer.
    Answer drop(const std::string& data) {
        XSetSelectionOwner(t.display, atom(&t, "XdndSelection"), t.source, CurrentTime);
        long source = (long)t.source;
        send(atom(&t, "XdndEnter"), source, 5L << 24, (long)atom(&t, "text/uri-list"));
        send(atom(&t, "XdndPosition"), source, 0, (200L << 16) | 200L, CurrentTime, (long)atom(&t, "XdndActionCopy"));
        Answer status = wait_answer("XdndStatus", data, 5000);
        EXPECT_TRUE(status.seen);
        EXPECT_TRUE(status.accepted);
        send(atom(&t, "XdndDrop"), source, 0, CurrentTime);
        return wait_answer("XdndFinished", data, 5000);
    }

    // A drag source of another client, which drops and then never answers
    // the program's request for the data; the program's XDND answers to it
    // can be read.
    struct SilentSource {
        Display* display;
        Window window;
    };
    SilentSource silent_drop() {
        SilentSource s = {XOpenDisplay(nullptr), 0};
        EXPECT_NE(s.display, nullptr);
        if (s.display == nullptr) return s;
        s.window = XCreateSimpleWindow(s.display, DefaultRootWindow(s.display), 0, 0, 1, 1, 0, 0, 0);
        XSetSelectionOwner(s.display, XInternAtom(s.display, "XdndSelection", False), s.window, CurrentTime);
        XSync(s.display, False);
        long source = (long)s.window;
        send(atom(&t, "XdndEnter"), source, 5L << 24, (long)atom(&t, "text/uri-list"));
        send(atom(&t, "XdndPosition"), source, 0, (200L << 16) | 200L, CurrentTime, (long)atom(&t, "XdndActionCopy"));
        send(atom(&t, "XdndDrop"), source, 0, CurrentTime);
        state();  // the drop has been taken and its data asked for
        EXPECT_TRUE(silent_answer(&s, "XdndStatus", 2000).accepted);  // the position's answer
        return s;
    }
    // Whether the silent source has been sent `type` within `ms` (and, for
    // XdndStatus and XdndFinished, whether it accepts).
    static Answer silent_answer(SilentSource* s, const char* type, u64 ms) {
        Answer a = {XInternAtom(s->display, type, False), false, false, false};
        for (u64 waited = 0; waited <= ms && !a.seen; waited += 5) {
            while (XPending(s->display) > 0 && !a.seen) {
                XEvent ev;
                XNextEvent(s->display, &ev);
                answer_of(ev, &a);
            }
            if (!a.seen) usleep(5000);
        }
        return a;
    }

    X11Target t = {};
    u32 sync = 0;
};

TEST_F(X11Window, DropsOfWhatIsNotAFilePathAreIgnored) {
    std::string before = state();
    EXPECT_EQ(field(before, "tabs"), "0");
    Answer finished = drop("http://example.com/a.png\r\nfile://elsewhere.invalid/tmp/proc-10x10.png\r\n"
                           "file:proc-10x10.png\r\nfile:///tmp/bad%zz.png\r\nfile:///tmp/nul%00.png\r\n"
                           "just some words\r\n");
    EXPECT_TRUE(finished.seen);
    EXPECT_FALSE(finished.accepted);
    std::string after = state();
    EXPECT_EQ(field(after, "tabs"), "0");
    EXPECT_EQ(message(after), message(before));
    // Bytes that are no list at all.
    finished = drop(std::string("\xFF\xFE\x00garbage\x01", 11));
    EXPECT_TRUE(finished.seen);
    EXPECT_FALSE(finished.accepted);
    EXPECT_EQ(field(state(), "tabs"), "0");
}

TEST_F(X11Window, AMixedListOpensOnlyItsLocalFiles) {
    Answer finished = drop("# from a file manager\r\nhttp://example.com/x.png\r\nfile:///tmp/proc-100x50.png\r\n"
                           "file://elsewhere.invalid/tmp/proc-200x100.png\r\nfile://localhost/tmp/proc-%33%30x30.png");
    EXPECT_TRUE(finished.seen);
    EXPECT_TRUE(finished.accepted);
    std::string s = state();
    EXPECT_EQ(field(s, "tabs"), "2");
    EXPECT_EQ(field(s, "title"), "proc-30x30.png");
}

TEST_F(X11Window, XdndMessagesOutOfOrderAreIgnored) {
    std::string before = state();
    long source = (long)t.source;
    std::string list = "file:///tmp/proc-64x64.png\r\n";
    XSetSelectionOwner(t.display, atom(&t, "XdndSelection"), t.source, CurrentTime);
    // A position without an enter gets no status; a drop without one asks
    // for no data and gets no finish.
    send(atom(&t, "XdndPosition"), source, 0, (200L << 16) | 200L, CurrentTime, (long)atom(&t, "XdndActionCopy"));
    EXPECT_FALSE(wait_answer("XdndStatus", list, 300).seen);
    send(atom(&t, "XdndDrop"), source, 0, CurrentTime);
    EXPECT_FALSE(wait_answer("XdndFinished", list, 300).seen);
    // An enter, then a drop from another window.
    send(atom(&t, "XdndEnter"), source, 5L << 24, (long)atom(&t, "text/uri-list"));
    send(atom(&t, "XdndDrop"), (long)t.root, 0, CurrentTime);
    EXPECT_FALSE(wait_answer("XdndFinished", list, 300).seen);
    // A leave, then a drop.
    send(atom(&t, "XdndLeave"), source);
    send(atom(&t, "XdndDrop"), source, 0, CurrentTime);
    EXPECT_FALSE(wait_answer("XdndFinished", list, 300).seen);
    // A newer protocol version than the program's.
    send(atom(&t, "XdndEnter"), source, 9L << 24, (long)atom(&t, "text/uri-list"));
    send(atom(&t, "XdndPosition"), source, 0, (200L << 16) | 200L, CurrentTime, (long)atom(&t, "XdndActionCopy"));
    EXPECT_FALSE(wait_answer("XdndStatus", list, 300).seen);
    // A selection answer nobody asked for, with a list ready in the property.
    Atom property = atom(&t, "_QUORBEL_DROP");
    XChangeProperty(t.display, t.window, property, atom(&t, "text/uri-list"), 8, PropModeReplace,
                    (const unsigned char*)list.data(), (int)list.size());
    XEvent ev = {};
    ev.xselection.type = SelectionNotify;
    ev.xselection.requestor = t.window;
    ev.xselection.selection = atom(&t, "XdndSelection");
    ev.xselection.target = atom(&t, "text/uri-list");
    ev.xselection.property = property;
    XSendEvent(t.display, t.window, False, NoEventMask, &ev);
    XFlush(t.display);
    std::string s = state();
    EXPECT_EQ(field(s, "tabs"), "0");
    EXPECT_EQ(message(s), message(before));
    // Offering no file list: the drop is refused at once.
    send(atom(&t, "XdndEnter"), source, 5L << 24, (long)XA_STRING);
    send(atom(&t, "XdndPosition"), source, 0, (200L << 16) | 200L, CurrentTime, (long)atom(&t, "XdndActionCopy"));
    Answer status = wait_answer("XdndStatus", list, 5000);
    EXPECT_TRUE(status.seen);
    EXPECT_FALSE(status.accepted);
    send(atom(&t, "XdndLeave"), source);
    // After all that a proper drop still works.
    Answer finished = drop(list);
    EXPECT_TRUE(finished.accepted);
    EXPECT_EQ(field(state(), "tabs"), "1");
}

TEST_F(X11Window, AnotherSourcesDragEndsTheWaitForADropThatNeverCame) {
    SilentSource silent = silent_drop();
    ASSERT_NE(silent.display, nullptr);
    // The silent source's data never comes; a drag from another source is
    // answered and its drop opens, and the silent one is told its drop failed.
    Answer finished = drop("file:///tmp/proc-64x64.png\r\n");
    EXPECT_TRUE(finished.seen);
    EXPECT_TRUE(finished.accepted);
    EXPECT_EQ(field(state(), "tabs"), "1");
    Answer given_up = silent_answer(&silent, "XdndFinished", 2000);
    EXPECT_TRUE(given_up.seen);
    EXPECT_FALSE(given_up.accepted);
    XCloseDisplay(silent.display);
}

TEST_F(X11Window, ADropWhoseDataNeverComesIsGivenUpAfterFiveSeconds) {
    SilentSource silent = silent_drop();
    ASSERT_NE(silent.display, nullptr);
    long source = (long)silent.window;
    auto drag = [&] {
        send(atom(&t, "XdndEnter"), source, 5L << 24, (long)atom(&t, "text/uri-list"));
        send(atom(&t, "XdndPosition"), source, 0, (200L << 16) | 200L, CurrentTime,
             (long)atom(&t, "XdndActionCopy"));
    };
    // The same source drags again at once: its data is still awaited, so
    // the drag is not answered.
    drag();
    EXPECT_FALSE(silent_answer(&silent, "XdndStatus", 300).seen);
    // Once five seconds have passed since the data was asked for, the next
    // message of the exchange ends the wait: the source is told its drop
    // failed, and its new drag is answered.
    usleep((DROP_DATA_WAIT_MS + 200) * 1000);
    drag();
    Answer given_up = silent_answer(&silent, "XdndFinished", 2000);
    EXPECT_TRUE(given_up.seen);
    EXPECT_FALSE(given_up.accepted);
    Answer status = silent_answer(&silent, "XdndStatus", 2000);
    EXPECT_TRUE(status.seen);
    EXPECT_TRUE(status.accepted);
    send(atom(&t, "XdndLeave"), source);
    EXPECT_TRUE(still_running(&t));
    XCloseDisplay(silent.display);
}

TEST_F(X11Window, StrangeWindowManagerMessagesAreIgnored) {
    std::string before = state();
    Atom protocols = atom(&t, "WM_PROTOCOLS");
    send(protocols, (long)atom(&t, "_NOT_A_PROTOCOL"));
    send(protocols, 0);
    // The delete request with 8-bit data is no delete request.
    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = t.window;
    ev.xclient.message_type = protocols;
    ev.xclient.format = 8;
    ev.xclient.data.l[0] = (long)atom(&t, "WM_DELETE_WINDOW");
    XSendEvent(t.display, t.window, False, NoEventMask, &ev);
    // A sync with 8-bit data and messages of unknown types.
    ev.xclient.message_type = atom(&t, "_QUORBEL_SYNC");
    XSendEvent(t.display, t.window, False, NoEventMask, &ev);
    send(atom(&t, "_SOMETHING_ELSE"), 1, 2, 3);
    // A ping is answered and changes nothing.
    send(protocols, (long)atom(&t, "_NET_WM_PING"), 1234, (long)t.window);
    std::string after = state();
    EXPECT_TRUE(still_running(&t));
    EXPECT_EQ(before.substr(0, before.find(" sync=")), after.substr(0, after.find(" sync=")));
}

TEST_F(X11Window, TheFrameAHarnessReadsHoldsTheTexts) {
    state();
    const u32* h = t.frame;
    ASSERT_EQ(h[0], 0x46524251u);
    ASSERT_EQ(h[1], 1040u);
    // "Open" in the caption band: light pixels over the dark band.
    const u32* px = h + 16;
    int light = 0;
    for (int y = 8; y < 30; y++) {
        for (int x = 12; x < 90; x++) {
            u32 p = px[y * 1040 + x];
            if (((p >> 16) & 0xFF) >= 0x90 && ((p >> 8) & 0xFF) >= 0x90 && (p & 0xFF) >= 0x90) light++;
        }
    }
    EXPECT_GE(light, 20);
}

TEST_F(X11Window, ACloseFromTheWindowManagerEndsTheProgram) {
    state();
    send(atom(&t, "WM_PROTOCOLS"), (long)atom(&t, "WM_DELETE_WINDOW"), CurrentTime);
    for (int i = 0; i < 500 && still_running(&t); i++) usleep(10000);
    EXPECT_FALSE(still_running(&t));
    EXPECT_EQ(t.exit_code, 0);
}

}  // namespace

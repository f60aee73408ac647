#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "app_fixture.h"
#include "app/input.h"
#include "platform/process.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace fs = std::filesystem;

static ByteSpan span(const std::string& s) {
    return ByteSpan{(u8*)s.data(), s.size()};
}

// A folder of its own with files named as given (content: a real PNG for the
// names ending in ".png", junk otherwise), removed afterwards.
struct StepFolder {
    fs::path dir;
    std::string prefix;
    explicit StepFolder(std::initializer_list<const char*> names) {
        std::random_device rd;
        dir = fs::temp_directory_path() / ("qb-step-" + std::to_string(rd()));
        fs::create_directories(dir);
        for (const char* n : names) add(n);
        std::u8string u = dir.u8string();
        prefix.assign(u.begin(), u.end());
        prefix += (char)path_separator();
    }
    ~StepFolder() {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, ec);
        fs::remove_all(dir, ec);
    }
    void add(const std::string& n) {
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".png") == 0) {
            fs::copy_file(fs::path(QB_SOURCE_DIR) / "tests" / "data" / "small-rgb.png", dir / n);
        } else {
            std::ofstream(dir / n) << "not really an image";
        }
    }
};

static std::string active_name(AppFixture& f) {
    ByteSpan n = slot_name(f.app, f.app->active);
    return std::string((const char*)n.data, n.size);
}

static bool message_is_error(AppFixture& f) {
    return (f.app->mode_flags & MODE_ERROR) != 0;
}

// The target rule on a hand-made listing: files only, in the browser's
// order, from wherever the current name would sort.
TEST(FolderStep, TargetFollowsTheBrowsersOrder) {
    AppFixture f;
    FolderListing* l = &f.app->listing;
    l->entry_count = 0;
    l->pool_used = 0;
    for (const char* n : {"..", "pics.png"}) listing_add(l, span(n), true, 0);
    for (const char* n : {"b.png", "A.png", "c.jpg", "a.png", "d.gif"}) listing_add(l, span(n), false, 1);
    sort_entries(f.app, l->entry_count);
    auto target = [&](const char* current, u32 command) -> std::string {
        i64 i = folder_step_target(f.app, span(current), command);
        if (i < 0) return "-";
        ByteSpan n = entry_name(f.app, (u32)i);
        return std::string((const char*)n.data, n.size);
    };
    EXPECT_EQ(target("A.png", CMD_NEXT_IMAGE), "a.png");  // same folded name: raw bytes decide
    EXPECT_EQ(target("a.png", CMD_NEXT_IMAGE), "b.png");
    EXPECT_EQ(target("b.png", CMD_PREVIOUS_IMAGE), "a.png");
    EXPECT_EQ(target("d.gif", CMD_NEXT_IMAGE), "-");
    EXPECT_EQ(target("A.png", CMD_PREVIOUS_IMAGE), "-");  // the folder "pics.png" is never a target
    // A name no longer listed steps from where it would sort.
    EXPECT_EQ(target("bz.png", CMD_NEXT_IMAGE), "c.jpg");
    EXPECT_EQ(target("bz.png", CMD_PREVIOUS_IMAGE), "b.png");
    EXPECT_EQ(target("zzz.png", CMD_NEXT_IMAGE), "-");
    EXPECT_EQ(target("zzz.png", CMD_PREVIOUS_IMAGE), "d.gif");
    EXPECT_EQ(target("c.jpg", CMD_FIRST_IMAGE), "A.png");
    EXPECT_EQ(target("A.png", CMD_FIRST_IMAGE), "-");
    EXPECT_EQ(target("c.jpg", CMD_LAST_IMAGE), "d.gif");
    EXPECT_EQ(target("d.gif", CMD_LAST_IMAGE), "-");
    EXPECT_EQ(target("c.jpg", CMD_OPEN), "-");
}

TEST(FolderStep, KeysStepOnlyWithTheBrowserHidden) {
    EXPECT_EQ(key_command(0x22, 0, false), CMD_NEXT_IMAGE);
    EXPECT_EQ(key_command(0x21, 0, false), CMD_PREVIOUS_IMAGE);
    EXPECT_EQ(key_command(0x24, 0, false), CMD_FIRST_IMAGE);
    EXPECT_EQ(key_command(0x23, 0, false), CMD_LAST_IMAGE);
    EXPECT_EQ(key_command(0x22, 0, true), CMD_PAGE_DOWN);
    EXPECT_EQ(key_command(0x24, 0, true), CMD_FIRST_ENTRY);
    EXPECT_EQ(key_command(0x22, MODIFIER_CTRL, false), CMD_NEXT_TAB);
    EXPECT_EQ(key_command(0x22, MODIFIER_SHIFT, false), CMD_NONE);
    EXPECT_EQ(name_key_command(34, 0), CMD_PAGE_DOWN);

    // With the browser shown the commands are dropped.
    StepFolder d({"a.png", "b.png"});
    AppFixture f;
    f.open(d.prefix + "a.png");
    execute(f.app, CMD_OPEN);
    execute(f.app, CMD_NEXT_IMAGE);
    EXPECT_EQ(active_name(f), "a.png");
}

TEST(FolderStep, StepsThroughTheFolderAndStopsAtTheEnds) {
    StepFolder d({"b.png", "A.png", "c.jpg", "notes.txt", "d.gif"});
    fs::create_directories(d.dir / "folder.png");
    AppFixture f;
    f.open(d.prefix + "b.png");
    load_pending(f.app);
    u32 slot = f.app->active;
    execute(f.app, CMD_NEXT_IMAGE);
    EXPECT_EQ(active_name(f), "c.jpg");
    EXPECT_EQ(f.title(), "c.jpg - Quorbel");
    EXPECT_EQ(f.app->active, slot);
    EXPECT_EQ(f.app->tab_count, 1u);
    EXPECT_NE(f.app->requests & REQ_LOAD, 0u);
    execute(f.app, CMD_NEXT_IMAGE);
    EXPECT_EQ(active_name(f), "d.gif");
    f.app->requests = 0;
    execute(f.app, CMD_NEXT_IMAGE);
    EXPECT_EQ(active_name(f), "d.gif");
    EXPECT_EQ(f.message(), "Last image in the folder");
    EXPECT_FALSE(message_is_error(f));
    EXPECT_EQ(f.app->requests & REQ_LOAD, 0u);  // nothing reloaded
    execute(f.app, CMD_LAST_IMAGE);
    EXPECT_EQ(f.message(), "Last image in the folder");
    execute(f.app, CMD_FIRST_IMAGE);
    EXPECT_EQ(active_name(f), "A.png");
    EXPECT_EQ(f.message(), "");
    execute(f.app, CMD_PREVIOUS_IMAGE);
    EXPECT_EQ(active_name(f), "A.png");
    EXPECT_EQ(f.message(), "First image in the folder");
    execute(f.app, CMD_FIRST_IMAGE);
    EXPECT_EQ(f.message(), "First image in the folder");
    execute(f.app, CMD_LAST_IMAGE);
    EXPECT_EQ(active_name(f), "d.gif");
    execute(f.app, CMD_PREVIOUS_IMAGE);
    EXPECT_EQ(active_name(f), "c.jpg");

    // Files come and go between steps: a new one is found at once, and a
    // document whose file went away still steps from its name's place.
    d.add("ca.png");
    execute(f.app, CMD_NEXT_IMAGE);
    EXPECT_EQ(active_name(f), "ca.png");
    fs::remove(d.dir / "ca.png");
    execute(f.app, CMD_PREVIOUS_IMAGE);
    EXPECT_EQ(active_name(f), "c.jpg");
}

TEST(FolderStep, ReplacesTheDocumentAndItsMemory) {
    StepFolder d({"a.png", "b.junk.png", "c.png", "z.png"});
    // "b.junk.png" is a PNG cut short: it fails in the probe, as an opened
    // file would.
    fs::resize_file(d.dir / "b.junk.png", 20);
    AppFixture f;
    f.open(d.prefix + "z.png");
    f.open(d.prefix + "a.png");
    load_pending(f.app);
    u32 a = f.app->active;
    u32 z = f.app->tab_order[0];
    ASSERT_NE(f.app->has_pixels & slot_bit(a), 0u);
    ASSERT_NE(f.app->source[a].base, nullptr);
    ASSERT_NE(f.app->job_region[a].base, nullptr);
    compare_with(f.app, z);
    ASSERT_EQ(f.app->compare_mode, 1u);
    execute(f.app, CMD_ZOOM_IN);
    f.app->changed = 0;

    execute(f.app, CMD_NEXT_IMAGE);
    EXPECT_EQ(active_name(f), "b.junk.png");
    // The old document's memory went back at once; its tiles are dropped.
    EXPECT_EQ(f.app->source[a].base, nullptr);
    EXPECT_EQ(f.app->job_region[a].base, nullptr);
    EXPECT_EQ(f.app->has_pixels & slot_bit(a), 0u);
    EXPECT_NE(f.app->no_pixels & slot_bit(a), 0u);
    EXPECT_NE(f.app->changed & slot_bit(a), 0u);
    EXPECT_NE(f.app->fit & slot_bit(a), 0u);  // a new document starts fitted
    // The comparison goes on with the new document.
    EXPECT_EQ(f.app->compare_mode, 1u);
    EXPECT_EQ(f.app->compare_a, a);
    EXPECT_EQ(f.app->compare_b, z);
    load_pending(f.app);
    EXPECT_NE(f.app->error[a], 0);  // shown in the tab as any failed open
    EXPECT_EQ(f.app->has_pixels & slot_bit(a), 0u);
    EXPECT_NE(f.app->no_pixels & slot_bit(a), 0u);

    // PageDown goes on past the file that failed.
    execute(f.app, CMD_NEXT_IMAGE);
    EXPECT_EQ(active_name(f), "c.png");
    load_pending(f.app);
    EXPECT_EQ(f.app->error[a], 0);
    EXPECT_NE(f.app->has_pixels & slot_bit(a), 0u);
    EXPECT_EQ(f.app->compare_mode, 1u);
    // The other tab was not touched; a step to a file open in it still
    // replaces only the active document.
    EXPECT_NE(f.app->has_pixels & slot_bit(z), 0u);
    EXPECT_EQ(f.order(), std::to_string(z) + "," + std::to_string(a));
}

TEST(FolderStep, AFolderThatCannotBeReadLeavesTheDocument) {
    StepFolder d({"a.png", "b.png"});
    AppFixture f;
    f.open(d.prefix + "a.png");
    load_pending(f.app);
    u32 s = f.app->active;
    void* source = f.app->source[s].base;
    fs::remove_all(d.dir);
    execute(f.app, CMD_NEXT_IMAGE);
    EXPECT_EQ(active_name(f), "a.png");
    EXPECT_EQ(f.message(), "Cannot read the folder.");
    EXPECT_TRUE(message_is_error(f));
    EXPECT_EQ(f.app->source[s].base, source);
    EXPECT_NE(f.app->has_pixels & slot_bit(s), 0u);

    // A generated image named without a folder has no folder to read.
    AppFixture g;
    g.open("proc-64x64");
    execute(g.app, CMD_NEXT_IMAGE);
    EXPECT_EQ(std::string((const char*)g.app->message.bytes, g.app->message.length), "Cannot read the folder.");
}

#ifndef _WIN32
// A folder whose items can be reached but not listed (no read permission).
TEST(FolderStep, AFolderThatCannotBeListed) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root: permissions do not stop the listing";
    StepFolder d({"a.png", "b.png"});
    AppFixture f;
    f.open(d.prefix + "a.png");
    load_pending(f.app);
    fs::permissions(d.dir, fs::perms::owner_exec);
    execute(f.app, CMD_NEXT_IMAGE);
    EXPECT_EQ(active_name(f), "a.png");
    EXPECT_EQ(f.message(), "Cannot read the folder.");
}
#endif

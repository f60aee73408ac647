#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "app_fixture.h"
#include "platform/process.h"

namespace fs = std::filesystem;

static std::string name(AppFixture& f, u32 i) {
    ByteSpan n = entry_name(f.app, i);
    return std::string((const char*)n.data, n.size);
}

TEST(Browser, ListsSortedFoldersFirst) {
    std::random_device rd;
    fs::path dir = fs::temp_directory_path() / ("qb-browse-" + std::to_string(rd()));
    fs::create_directories(dir / "Beta");
    for (const char* n : {"Zeta.png", "alpha.png", "a.png", "a.PNG", "notes.txt"}) std::ofstream(dir / n) << "x";
    bool case_sensitive = !fs::exists(dir / "A.PNG");
    AppFixture f;
    std::u8string u = dir.u8string();
    std::string folder(u.begin(), u.end());
    folder += (char)path_separator();
    set_start_folder(f.app, ByteSpan{(u8*)folder.data(), folder.size()});
    execute(f.app, CMD_OPEN);
    list_browse_folder(f.app);
    std::vector<std::string> names;
    for (u32 i = 0; i < f.app->entry_count; i++) names.push_back(name(f, i));
    if (case_sensitive) {
        EXPECT_EQ(names, (std::vector<std::string>{"..", "Beta", "a.PNG", "a.png", "alpha.png", "Zeta.png"}));
    } else {
        EXPECT_EQ(names, (std::vector<std::string>{"..", "Beta", "a.png", "alpha.png", "Zeta.png"}));
    }
    // Keyboard selection and opening.
    u32 count = f.app->entry_count;
    execute(f.app, CMD_LAST_ENTRY);
    EXPECT_EQ(f.app->selected, count - 1);
    execute(f.app, CMD_PAGE_DOWN);
    EXPECT_EQ(f.app->selected, count - 1);
    execute(f.app, CMD_FIRST_ENTRY);
    execute(f.app, CMD_PREVIOUS_ENTRY);
    EXPECT_EQ(f.app->selected, 0u);
    execute(f.app, CMD_LAST_ENTRY);
    execute(f.app, CMD_OPEN_SELECTION);
    EXPECT_EQ(f.app->mode_flags & MODE_BROWSER, 0u);
    EXPECT_EQ(f.app->tab_count, 1u);
    EXPECT_EQ(f.title(), "Zeta.png - Quorbel");
    // The browser opens in the active file's folder; a folder entry enters it.
    execute(f.app, CMD_OPEN);
    EXPECT_EQ(std::string((const char*)f.app->folder, f.app->folder_length), folder);
    list_browse_folder(f.app);
    execute(f.app, CMD_NEXT_ENTRY);
    execute(f.app, CMD_OPEN_SELECTION);
    EXPECT_EQ(std::string((const char*)f.app->folder, f.app->folder_length), folder + "Beta" + (char)path_separator());
    execute(f.app, CMD_FOLDER_UP);
    EXPECT_EQ(std::string((const char*)f.app->folder, f.app->folder_length), folder);
    fs::remove_all(dir);
}

TEST(Browser, FolderUpRules) {
    AppFixture f;
    auto up = [&](const std::string& from) {
        set_browse_folder(f.app, ByteSpan{(u8*)from.data(), from.size()});
        folder_up(f.app);
        return std::string((const char*)f.app->folder, f.app->folder_length);
    };
    EXPECT_EQ(up("C:\\photos\\"), "C:\\");
    EXPECT_EQ(up("C:\\"), "");
    EXPECT_EQ(up("C:\\a\\b\\"), "C:\\a\\");
    EXPECT_EQ(up("\\\\server\\share\\dir\\"), "\\\\server\\share\\");
    EXPECT_EQ(up("\\\\server\\share\\"), "");
    EXPECT_EQ(up("/home/user/"), "/home/");
    EXPECT_EQ(up("/"), "");
}

TEST(Browser, WheelStopsAtTheLastPageAndUnlistableFolders) {
    std::random_device rd;
    fs::path dir = fs::temp_directory_path() / ("qb-browse-" + std::to_string(rd()));
    fs::create_directories(dir);
    for (int i = 0; i < 60; i++) std::ofstream(dir / ("img" + std::to_string(100 + i) + ".png")) << "x";
    AppFixture f;
    std::u8string u = dir.u8string();
    std::string folder(u.begin(), u.end());
    folder += (char)path_separator();
    set_start_folder(f.app, ByteSpan{(u8*)folder.data(), folder.size()});
    execute(f.app, CMD_OPEN);
    list_browse_folder(f.app);
    ASSERT_EQ(f.app->entry_count, 61u);
    layout(f.app);
    u32 rows = f.app->visible_rows;
    ASSERT_GT(rows, 0u);
    ASSERT_LT(rows, 61u);
    // The wheel scrolls 3 rows a notch, never past the last full page and
    // never before the first row; the selection stays.
    scroll_list(f.app, 1000);
    EXPECT_EQ(f.app->first_row, 61u - rows);
    EXPECT_EQ(f.app->selected, 0u);
    scroll_list(f.app, -3);
    EXPECT_EQ(f.app->first_row, 61u - rows - 3);
    scroll_list(f.app, -1000);
    EXPECT_EQ(f.app->first_row, 0u);
    // Page down on the last page selects the last entry.
    execute(f.app, CMD_LAST_ENTRY);
    execute(f.app, CMD_PAGE_DOWN);
    EXPECT_EQ(f.app->selected, 60u);
    EXPECT_EQ(f.app->first_row, 61u - rows);
    // A folder that cannot be listed shows only "..".
    std::string gone = folder + "no-such-folder" + (char)path_separator();
    set_browse_folder(f.app, ByteSpan{(u8*)gone.data(), gone.size()});
    list_browse_folder(f.app);
    ASSERT_EQ(f.app->entry_count, 1u);
    EXPECT_EQ(name(f, 0), "..");
    // A path past 32767 bytes is not opened and changes nothing else.
    std::string deep(32760, 'd');
    deep += (char)path_separator();
    set_browse_folder(f.app, ByteSpan{(u8*)deep.data(), deep.size()});
    list_browse_folder(f.app);
    listing_add(&f.app->listing, lit("picture.png"), false, 10);
    f.app->entry_count = f.app->listing.entry_count;
    u64 tabs = f.app->tab_count;
    open_entry(f.app, f.app->entry_count - 1);
    EXPECT_EQ(f.message(), "Path too long: not opened.");
    EXPECT_EQ(f.app->tab_count, tabs);
    EXPECT_EQ(f.app->folder_length, deep.size());
    EXPECT_NE(f.app->mode_flags & MODE_BROWSER, 0u);
    fs::remove_all(dir);
}

// The file layer against the real file system: reading, listing with its
// filters and limits, and safe saving with faults injected half way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "base/region.h"
#include "codec/sniff.h"
#include "platform/files.h"

namespace fs = std::filesystem;

#ifdef _WIN32
static const char SEP = '\\';
#else
static const char SEP = '/';
#endif

static std::string utf8(const fs::path& p) {
    std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

static fs::path from_utf8(const std::string& s) {
    return fs::path(std::u8string(s.begin(), s.end()));
}

static ByteSpan span(const std::string& s) {
    return ByteSpan{(u8*)s.data(), s.size()};
}

static void put(const fs::path& p, const std::string& bytes) {
    std::ofstream f(p, std::ios::binary);
    f.write(bytes.data(), (std::streamsize)bytes.size());
    ASSERT_TRUE(f.good()) << utf8(p);
}

static std::string get(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

static std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(utf8(e.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

struct TempFolder {
    fs::path path;
    TempFolder() {
        std::random_device rd;
        path = fs::temp_directory_path() / ("qb-test-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(path);
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    // The folder as the browser keeps it: UTF-8, ending with the separator.
    std::string folder() const { return utf8(path) + SEP; }
};

struct FaultScope {
    FileFaults faults = {-1, 0, false, false, false};
    FaultScope() { set_file_faults(&faults); }
    ~FaultScope() { set_file_faults(nullptr); }
};

static std::string pattern_bytes(size_t n, u32 seed) {
    std::string s(n, 0);
    u32 x = seed;
    for (size_t i = 0; i < n; i++) {
        x = x * 1664525u + 1013904223u;
        s[i] = (char)(x >> 24);
    }
    return s;
}

// ---- Reading ----------------------------------------------------------------

static std::string read_through_layer(const std::string& path, bool* ok) {
    *ok = false;
    FileHandle f = open_for_reading(span(path));
    if (f.value == 0) return "";
    u64 size = 0;
    if (!file_size(f, &size)) {
        close_file(f);
        return "";
    }
    std::string bytes(size, 0);
    u64 got = read_file(f, (u8*)bytes.data(), size);
    close_file(f);
    *ok = got == size;
    return bytes;
}

TEST(Files, ReadsWholeFilesWithNonAsciiNames) {
    TempFolder t;
    std::string name = "caf\xC3\xA9 \xF0\x9F\x98\x80.png";
    std::string bytes = pattern_bytes(100000, 7);
    put(t.path / from_utf8(name), bytes);
    bool ok = false;
    EXPECT_EQ(read_through_layer(t.folder() + name, &ok), bytes);
    EXPECT_TRUE(ok);

    // Reads made in small calls still deliver every byte in order.
    FaultScope scope;
    scope.faults.max_call_bytes = 777;
    EXPECT_EQ(read_through_layer(t.folder() + name, &ok), bytes);
    EXPECT_TRUE(ok);
}

// A document's bytes go into a region of their own, committed for them; a
// file shorter than its stated size leaves no region behind.
TEST(Files, ReadsAWholeFileIntoARegion) {
    TempFolder t;
    std::string bytes = pattern_bytes(300000, 3);
    put(t.path / "a.jpg", bytes);
    put(t.path / "empty.jpg", "");
    FaultScope scope;
    for (u64 call : {(u64)0, (u64)4093}) {
        scope.faults.max_call_bytes = call;
        FileHandle file = open_for_reading(span(t.folder() + "a.jpg"));
        ASSERT_NE(file.value, 0u);
        ReservedRegion r = {};
        ASSERT_TRUE(read_into_region(file, bytes.size(), &r));
        close_file(file);
        EXPECT_EQ(r.reserved, bytes.size());
        EXPECT_GE(r.committed, bytes.size());
        EXPECT_EQ(std::string((const char*)r.base, bytes.size()), bytes);
        release(&r);

        file = open_for_reading(span(t.folder() + "a.jpg"));
        EXPECT_FALSE(read_into_region(file, bytes.size() + 1, &r));
        close_file(file);
        EXPECT_EQ(r.base, nullptr);
        EXPECT_EQ(r.reserved, 0u);
    }
    FileHandle file = open_for_reading(span(t.folder() + "empty.jpg"));
    ReservedRegion r = {};
    EXPECT_TRUE(read_into_region(file, 0, &r));
    close_file(file);
    EXPECT_EQ(r.reserved, 1u);
    release(&r);
}

// A very large document's bytes are mapped instead: the same bytes, still
// readable once the handle is closed, nothing committed, and no commit into
// the mapping; a file that cannot be mapped (empty, or refused) leaves the
// region empty for the caller to read it instead.
TEST(Files, MapsAWholeFileIntoARegion) {
    TempFolder t;
    std::string bytes = pattern_bytes(300000, 5);
    put(t.path / "a.tif", bytes);
    put(t.path / "empty.tif", "");
    FileHandle file = open_for_reading(span(t.folder() + "a.tif"));
    ASSERT_NE(file.value, 0u);
    ReservedRegion r = {};
    ASSERT_TRUE(map_into_region(file, bytes.size(), &r));
    close_file(file);
    EXPECT_TRUE(r.mapped);
    EXPECT_EQ(r.committed, 0u);
    EXPECT_EQ(std::string((const char*)r.base, bytes.size()), bytes);
    EXPECT_FALSE(commit_to(&r, 4096));
    release(&r);
    EXPECT_EQ(r.base, nullptr);
    EXPECT_FALSE(r.mapped);

    file = open_for_reading(span(t.folder() + "empty.tif"));
    EXPECT_FALSE(map_into_region(file, 0, &r));
    close_file(file);
    EXPECT_EQ(r.base, nullptr);
    file = open_for_reading(span(t.folder() + "a.tif"));
    region_fail_next(REGION_STEP_RESERVE, 0);
    EXPECT_FALSE(map_into_region(file, bytes.size(), &r));
    EXPECT_EQ(r.base, nullptr);
    ASSERT_TRUE(read_into_region(file, bytes.size(), &r));
    close_file(file);
    EXPECT_FALSE(r.mapped);
    EXPECT_EQ(std::string((const char*)r.base, bytes.size()), bytes);
    release(&r);
}

TEST(Files, OpenFailures) {
    TempFolder t;
    EXPECT_EQ(open_for_reading(span(t.folder() + "missing.png")).value, 0u);
    EXPECT_EQ(open_for_reading(span(std::string())).value, 0u);
    // Malformed UTF-8 names no file.
    EXPECT_EQ(open_for_reading(span(t.folder() + "\xFF\xFF.png")).value, 0u);
#ifdef _WIN32
    // A relative path keeps its `\\?\` prefix and so does not open.
    put(fs::current_path() / "qb-relative.png", "x");
    EXPECT_EQ(open_for_reading(lit("qb-relative.png")).value, 0u);
    fs::remove(fs::current_path() / "qb-relative.png");
#endif
}

#ifdef _WIN32
TEST(Files, PathsLongerThanTheOldLimit) {
    TempFolder t;
    std::string deep = t.folder();
    u16 wide[WIDE_PATH_UNITS];
    while (deep.size() < 400) {
        deep += std::string(40, 'd') + "\\";
        ASSERT_TRUE(wide_path(span(deep), "", wide));
        ASSERT_TRUE(CreateDirectoryW((LPCWSTR)wide, nullptr));
    }
    std::string file = deep + "long.png";
    std::string bytes = pattern_bytes(5000, 3);
    ASSERT_TRUE(write_file_safely(span(file), span(bytes)));
    bool ok = false;
    EXPECT_EQ(read_through_layer(file, &ok), bytes);
    EXPECT_TRUE(ok);
}
#endif

// ---- Looking up ---------------------------------------------------------------

TEST(Files, PathKinds) {
    TempFolder t;
    std::string name = "caf\xC3\xA9.jpg";
    put(t.path / from_utf8(name), "x");
    put(t.path / "empty.jpg", "");
    fs::create_directory(t.path / "album.jpg");
#ifdef _WIN32
    put(t.path / "hidden.jpg", "h");
    ASSERT_TRUE(SetFileAttributesW((t.path / "hidden.jpg").c_str(), FILE_ATTRIBUTE_HIDDEN));
    const std::string hidden = "hidden.jpg";
#else
    put(t.path / ".hidden.jpg", "h");
    const std::string hidden = ".hidden.jpg";
#endif
    EXPECT_EQ(path_kind(span(t.folder() + name)), PATH_FILE);
    EXPECT_EQ(path_kind(span(t.folder() + "empty.jpg")), PATH_FILE);
    EXPECT_EQ(path_kind(span(t.folder() + hidden)), PATH_FILE);
    EXPECT_EQ(path_kind(span(t.folder() + "album.jpg")), PATH_FOLDER);
    EXPECT_EQ(path_kind(span(t.folder())), PATH_FOLDER);
    EXPECT_EQ(path_kind(span(t.folder() + "missing.jpg")), PATH_MISSING);
    EXPECT_EQ(path_kind(span(t.folder() + "missing" + SEP + "a.jpg")), PATH_MISSING);
    EXPECT_EQ(path_kind(ByteSpan{nullptr, 0}), PATH_MISSING);
    EXPECT_EQ(path_kind(span(t.folder() + std::string("a\0b", 3))), PATH_MISSING);
#ifndef _WIN32
    // A link is what a save would replace: one that leads nowhere still
    // exists, one that leads to a folder counts as that folder.
    fs::create_symlink(t.path / "nowhere.jpg", t.path / "dangling.jpg");
    fs::create_directory_symlink(t.path / "album.jpg", t.path / "linked.jpg");
    EXPECT_EQ(path_kind(span(t.folder() + "dangling.jpg")), PATH_FILE);
    EXPECT_EQ(path_kind(span(t.folder() + "linked.jpg")), PATH_FOLDER);
#endif
}

// ---- Listing ----------------------------------------------------------------

struct Listing {
    std::vector<FolderEntry> entries;
    std::vector<u8> pool;
    FolderListing l;
    Listing(u32 entry_capacity, u32 pool_capacity) : entries(entry_capacity), pool(pool_capacity) {
        l = FolderListing{entries.data(), entry_capacity, pool.data(), pool_capacity, has_image_extension, 0, 0, 0, false};
    }
    std::string name(u32 i) const {
        const FolderEntry& e = entries[i];
        return std::string((const char*)pool.data() + e.name_offset, entry_name_length(&e));
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (u32 i = 0; i < l.entry_count; i++) out.push_back(name(i));
        return out;
    }
};

#ifdef _WIN32
static void mark_hidden_or_system(const fs::path& p, bool system) {
    ASSERT_TRUE(SetFileAttributesW(p.c_str(), system ? FILE_ATTRIBUTE_SYSTEM : FILE_ATTRIBUTE_HIDDEN));
}
#endif

TEST(Listing, FiltersAndFlags) {
    TempFolder t;
    put(t.path / "Zeta.png", "12345");
    put(t.path / "alpha.PNG", "");
    put(t.path / "notes.txt", "not an image");
    put(t.path / "noext", "x");
    put(t.path / "photo.jpeg", "abc");
    fs::create_directory(t.path / "Beta");
    fs::create_directory(t.path / "sub.txt");  // folders are kept whatever their name
#ifdef _WIN32
    put(t.path / "hidden.png", "h");
    mark_hidden_or_system(t.path / "hidden.png", false);
    put(t.path / "system.png", "s");
    mark_hidden_or_system(t.path / "system.png", true);
    fs::create_directory(t.path / "HiddenFolder");
    mark_hidden_or_system(t.path / "HiddenFolder", false);
#else
    put(t.path / ".hidden.png", "h");
    fs::create_directory(t.path / ".HiddenFolder");
    ASSERT_EQ(mkfifo(utf8(t.path / "pipe.png").c_str(), 0600), 0);  // a system item
#endif

    Listing out(64, 4096);
    list_folder(span(t.folder()), &out.l);
    ASSERT_GE(out.l.entry_count, 1u);
    EXPECT_EQ(out.name(0), "..");
    EXPECT_TRUE(entry_is_folder(&out.entries[0]));
    std::vector<std::string> all = out.names();
    std::vector<std::string> rest(all.begin() + 1, all.end());
    std::sort(rest.begin(), rest.end());
    EXPECT_EQ(rest, (std::vector<std::string>{"Beta", "Zeta.png", "alpha.PNG", "photo.jpeg", "sub.txt"}));
    EXPECT_EQ(out.l.not_listed, 0u);
    u32 pool = 0;
    for (u32 i = 0; i < out.l.entry_count; i++) {
        const FolderEntry& e = out.entries[i];
        std::string n = out.name(i);
        bool folder = n == ".." || n == "Beta" || n == "sub.txt";
        EXPECT_EQ(entry_is_folder(&e), folder) << n;
        u64 expected_size = n == "Zeta.png" ? 5 : n == "photo.jpeg" ? 3 : 0;
        EXPECT_EQ(e.size, expected_size) << n;
        pool += entry_name_length(&e);
    }
    EXPECT_EQ(out.l.pool_used, pool);
}

TEST(Listing, RootsAndUnreadableFolders) {
    Listing out(64, 4096);
    list_folder(ByteSpan{nullptr, 0}, &out.l);
    std::vector<std::string> names = out.names();
#ifdef _WIN32
    // Drive letters with a colon, in order; every prefix has C:.
    EXPECT_NE(std::find(names.begin(), names.end(), "C:"), names.end());
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    for (const std::string& n : names) EXPECT_EQ(n.size(), 2u);
#else
    EXPECT_EQ(names, std::vector<std::string>{"/"});
#endif
    for (u32 i = 0; i < out.l.entry_count; i++) EXPECT_TRUE(entry_is_folder(&out.entries[i]));
    EXPECT_FALSE(out.l.unreadable);

    TempFolder t;
    list_folder(span(t.folder() + "does-not-exist" + SEP), &out.l);
    EXPECT_EQ(out.names(), std::vector<std::string>{".."});
    EXPECT_EQ(out.l.not_listed, 0u);
    EXPECT_TRUE(out.l.unreadable);
    // An empty folder that exists is read: nothing in it, but not unreadable.
    list_folder(span(t.folder()), &out.l);
    EXPECT_EQ(out.names(), std::vector<std::string>{".."});
    EXPECT_FALSE(out.l.unreadable);
}

TEST(Listing, EntryAndNamePoolLimits) {
    // 16404 images, 30 other files and one folder; the build may have made
    // them already (creating them through Wine's file layer is slow).
    const int images = 16384 + 20;
    TempFolder t;
    std::string folder = t.folder();
    if (const char* made = std::getenv("QB_BIG_FOLDER")) {
        folder = made;
    } else {
        for (int i = 0; i < images; i++) put(t.path / ("img" + std::to_string(i) + ".png"), "");
        for (int i = 0; i < 30; i++) put(t.path / ("doc" + std::to_string(i) + ".txt"), "");
        fs::create_directory(t.path / "folder");
    }

    Listing out(16384, 0x100000);
    list_folder(span(folder), &out.l);
    EXPECT_EQ(out.l.entry_count, 16384u);
    // "..", the folder and every image are candidates; 16384 of them fit.
    EXPECT_EQ(out.l.not_listed, (u32)(images + 2 - 16384));
    EXPECT_EQ(out.name(0), "..");
    for (u32 i = 1; i < out.l.entry_count; i++) {
        std::string n = out.name(i);
        EXPECT_TRUE(n == "folder" || (n.rfind("img", 0) == 0 && n.size() > 4 && n.substr(n.size() - 4) == ".png"))
            << n;
    }

    // A small name pool: names that no longer fit are counted, later shorter
    // ones may still go in.
    Listing small(16384, 60);
    list_folder(span(folder), &small.l);
    u32 used = 0;
    for (u32 i = 0; i < small.l.entry_count; i++) used += entry_name_length(&small.entries[i]);
    EXPECT_EQ(small.l.pool_used, used);
    EXPECT_LE(used, 60u);
    EXPECT_GE(small.l.entry_count, 5u);
    EXPECT_EQ(small.l.entry_count + small.l.not_listed, (u32)(images + 2));
}

// ---- Safe saving ------------------------------------------------------------

TEST(SafeSave, WritesAndReplaces) {
    TempFolder t;
    std::string target = t.folder() + "out.jpg";
    std::string first = pattern_bytes(3000, 1);
    ASSERT_TRUE(write_file_safely(span(target), span(first)));
    EXPECT_EQ(get(from_utf8(target)), first);
    std::string second = pattern_bytes(100, 2);
    ASSERT_TRUE(write_file_safely(span(target), span(second)));
    EXPECT_EQ(get(from_utf8(target)), second);
    // An empty image is a valid (empty) file.
    ASSERT_TRUE(write_file_safely(span(target), ByteSpan{nullptr, 0}));
    EXPECT_EQ(get(from_utf8(target)), "");
    EXPECT_EQ(names_in(t.path), std::vector<std::string>{"out.jpg"});

    // Small write calls: every byte still lands, in order.
    FaultScope scope;
    scope.faults.max_call_bytes = 7;
    std::string third = pattern_bytes(1001, 3);
    ASSERT_TRUE(write_file_safely(span(target), span(third)));
    EXPECT_EQ(get(from_utf8(target)), third);
    EXPECT_EQ(names_in(t.path), std::vector<std::string>{"out.jpg"});
}

TEST(SafeSave, FailuresLeaveTheOldFileAndNoTemporary) {
    TempFolder t;
    std::string target = t.folder() + "keep.jpg";
    std::string old_bytes = pattern_bytes(50000, 9);
    put(from_utf8(target), old_bytes);
    std::string new_bytes = pattern_bytes(200000, 10);

    struct Case {
        const char* what;
        FileFaults faults;
    };
    const Case cases[] = {
        {"disk full half way", {100000, 4096, false, false, false}},
        {"first write fails", {0, 0, false, false, false}},
        {"read-only folder", {-1, 0, true, false, false}},
        {"flush fails", {-1, 0, false, true, false}},
        {"replace fails", {-1, 0, false, false, true}},
    };
    for (const Case& c : cases) {
        FileFaults f = c.faults;
        set_file_faults(&f);
        EXPECT_FALSE(write_file_safely(span(target), span(new_bytes))) << c.what;
        set_file_faults(nullptr);
        EXPECT_EQ(get(from_utf8(target)), old_bytes) << c.what;
        EXPECT_EQ(names_in(t.path), std::vector<std::string>{"keep.jpg"}) << c.what;
    }
}

TEST(SafeSave, UnwritableTargets) {
    TempFolder t;
    std::string bytes = "data";
    // The folder does not exist: nothing is created anywhere.
    EXPECT_FALSE(write_file_safely(span(t.folder() + "nope" + SEP + "a.jpg"), span(bytes)));
    EXPECT_TRUE(names_in(t.path).empty());
    // The target is a folder: the replace fails and the folder is untouched.
    fs::create_directory(t.path / "taken.jpg");
    put(t.path / "taken.jpg" / "inside.txt", "x");
    EXPECT_FALSE(write_file_safely(span(t.folder() + "taken.jpg"), span(bytes)));
    EXPECT_EQ(names_in(t.path), std::vector<std::string>{"taken.jpg"});
    EXPECT_EQ(get(t.path / "taken.jpg" / "inside.txt"), "x");
    EXPECT_FALSE(write_file_safely(ByteSpan{nullptr, 0}, span(bytes)));
}

#ifndef _WIN32
// A replaced file keeps its permission bits, whatever the process's mask; a
// new file gets the usual ones.
TEST(SafeSave, ReplacingKeepsThePermissionBits) {
    TempFolder t;
    mode_t old_mask = umask(022);
    auto mode_of = [](const std::string& p) {
        struct stat st;
        EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
        return st.st_mode & 07777;
    };
    std::string bytes = pattern_bytes(4000, 5);
    for (mode_t mode : {(mode_t)0600, (mode_t)0640, (mode_t)0666, (mode_t)0444}) {
        std::string target = t.folder() + "photo.jpg";
        put(from_utf8(target), "private");
        ASSERT_EQ(chmod(target.c_str(), mode), 0);
        ASSERT_TRUE(write_file_safely(span(target), span(bytes)));
        EXPECT_EQ(get(from_utf8(target)), bytes);
        EXPECT_EQ(mode_of(target), (u32)mode) << std::oct << mode;
        fs::remove(from_utf8(target));
    }
    // A stale temporary file from an earlier crash does not lend its bits.
    std::string target = t.folder() + "private.jpg";
    put(from_utf8(target), "old");
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    put(from_utf8(target + SAVE_TEMP_SUFFIX), "stale");
    ASSERT_EQ(chmod((target + SAVE_TEMP_SUFFIX).c_str(), 0666), 0);
    ASSERT_TRUE(write_file_safely(span(target), span(bytes)));
    EXPECT_EQ(mode_of(target), 0600u);
    std::string fresh = t.folder() + "new.jpg";
    ASSERT_TRUE(write_file_safely(span(fresh), span(bytes)));
    EXPECT_EQ(mode_of(fresh), 0644u);
    EXPECT_EQ(names_in(t.path), (std::vector<std::string>{"new.jpg", "private.jpg"}));
    umask(old_mask);
}
#endif

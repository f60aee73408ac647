// The save form: default names, editing and options, the checks of Enter in
// their order, the one-time overwrite warning, and whole saves of real files
// written through the safe-save path and read back with our own decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#endif

#include "app/input.h"
#include "app_fixture.h"
#include "codec/jpeg/encode.h"
#include "codec/job.h"
#include "codec/probe.h"
#include "platform/process.h"

namespace fs = std::filesystem;

namespace {

std::vector<u8> read_all(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string utf8(const fs::path& p) {
    std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

struct Folder {
    fs::path path;
    Folder() {
        std::random_device rd;
        path = fs::temp_directory_path() / ("qb-save-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(path);
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string copy(const char* data_name, const std::string& as) const {
        fs::copy_file(fs::path(QB_SOURCE_DIR) / "tests" / "data" / data_name, path / as);
        return utf8(path / as);
    }
};

std::string name(const AppFixture& f) {
    return std::string((const char*)f.app->save_name, f.app->save_name_length);
}

// Opens `path` and loads it as the request pass would; the new active slot.
u32 open_loaded(AppFixture& f, const std::string& path) {
    EXPECT_EQ(f.open(path), (u32)OPEN_OK) << path;
    load_pending(f.app);
    return f.app->active;
}

// The file listed, as the request pass lists it after the form appears.
void show_form(AppFixture& f) {
    execute(f.app, CMD_SAVE_AS);
    list_browse_folder(f.app);
}

void type(AppFixture& f, const std::string& text) {
    for (char c : text) execute(f.app, CMD_TYPE_CHAR + (u8)c);
}

void erase_all(AppFixture& f) {
    while (f.app->save_name_length) execute(f.app, CMD_ERASE);
}

// Enter in the name field, with the requests of earlier steps forgotten.
void enter(AppFixture& f) {
    f.app->requests = 0;
    execute(f.app, CMD_SAVE);
}

// Decodes a JPEG with our own decoder to tightly packed RGBA.
bool decode_jpeg(const std::vector<u8>& file, u32* w, u32* h, std::vector<u8>* rgba) {
    ImageInfo info;
    CodecError err;
    if (!probe_image(file.data(), file.size(), &info, &err) || info.decoder != DECODER_JPEG) return false;
    std::vector<u8> memory(align64(info.scratch_bytes) + align64(info.pixel_bytes) + info.extra_bytes + 64);
    u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
    DecodeJob job;
    if (!start_job(&job, ByteSpan{(u8*)file.data(), file.size()}, &info, base, info.scratch_bytes,
                   base + align64(info.scratch_bytes), &err) ||
        !finish_full_resolution(&job, &err)) {
        return false;
    }
    std::vector<u8> whole(full_resolution_bytes(&job));
    PixelBuffer pb;
    if (!full_resolution_pixels(&job, whole.data(), &pb, &err)) return false;
    *w = pb.width;
    *h = pb.height;
    rgba->resize((size_t)pb.width * pb.height * 4);
    for (u32 y = 0; y < pb.height; y++) memcpy(&(*rgba)[(size_t)y * pb.width * 4], pb.pixels + y * pb.stride, pb.width * 4);
    return true;
}

// The document's own full-resolution RGBA, as the save flow reads it.
std::vector<u8> document_pixels(AppFixture& f, u32 s) {
    DecodeJob* job = &f.app->jobs[s];
    CodecError err;
    std::vector<u8> whole(full_resolution_bytes(job) + 64);
    PixelBuffer pb;
    EXPECT_TRUE(full_resolution_pixels(job, whole.data(), &pb, &err));
    std::vector<u8> out((size_t)pb.width * pb.height * 4);
    for (u32 y = 0; y < pb.height; y++) memcpy(&out[(size_t)y * pb.width * 4], pb.pixels + y * pb.stride, pb.width * 4);
    return out;
}

double psnr_rgb(const std::vector<u8>& a, const std::vector<u8>& b) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.size(); i++) {
        if (i % 4 == 3) continue;
        double d = (double)a[i] - b[i];
        sum += d * d;
        n++;
    }
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * n / sum);
}

}  // namespace

TEST(SaveForm, DefaultNames) {
    Folder dir;
    AppFixture f(1040, 700, 1024, 65536);
    struct Case {
        const char* data;
        const char* as;
        const char* proposed;
    };
    for (Case c : {Case{"stripes.jpg", "photo.jpg", "photo-copy.jpg"}, Case{"small-rgb.png", "photo.png", "photo.jpg"},
                   Case{"stripes.jpg", "picture.JPEG", "picture-copy.jpg"},
                   Case{"small-rgb.png", "archive.v2.png", "archive.v2.jpg"}}) {
        open_loaded(f, dir.copy(c.data, c.as));
        show_form(f);
        EXPECT_EQ(name(f), c.proposed) << c.as;
        EXPECT_EQ(f.app->mode_flags & (MODE_BROWSER | MODE_NAME_ENTRY), (u32)(MODE_BROWSER | MODE_NAME_ENTRY));
        EXPECT_EQ(std::string((const char*)f.app->folder, f.app->folder_length),
                  utf8(dir.path) + (char)path_separator());
        EXPECT_EQ(f.message(),
                  "Save as JPEG: type the name, Enter saves, F5 subsampling, F6 progressive, F7 F8 quality, Esc cancels.");
        execute(f.app, CMD_CANCEL);
        EXPECT_EQ(f.app->mode_flags & (MODE_BROWSER | MODE_NAME_ENTRY), 0u);
    }
}

TEST(SaveForm, RefusedWithTheBrowserShownOrWithoutPixels) {
    Folder dir;
    AppFixture f;
    f.open(utf8(dir.path / "missing.png"));  // never loaded: no pixels
    execute(f.app, CMD_SAVE_AS);
    EXPECT_EQ(f.app->mode_flags & MODE_BROWSER, 0u);
    open_loaded(f, dir.copy("small-rgb.png", "a.png"));
    execute(f.app, CMD_OPEN);
    f.app->save_name_length = 0;
    execute(f.app, CMD_SAVE_AS);
    EXPECT_EQ(f.app->mode_flags & MODE_NAME_ENTRY, 0u);
    EXPECT_EQ(f.app->save_name_length, 0u);
}

TEST(SaveForm, EditingOptionsAndQualityLimits) {
    Folder dir;
    AppFixture f;
    open_loaded(f, dir.copy("small-rgb.png", "a.png"));
    show_form(f);
    erase_all(f);
    execute(f.app, CMD_ERASE);  // nothing left to erase
    type(f, "My shot_1-b.x");
    EXPECT_EQ(name(f), "My shot_1-b.x");
    for (int i = 0; i < 300; i++) execute(f.app, CMD_TYPE_CHAR + 'z');
    EXPECT_EQ(f.app->save_name_length, 255u);
    // Quality: F7 from 3 gives 1, F8 from 98 gives 100; the others toggle.
    f.app->quality = 3;
    execute(f.app, CMD_QUALITY_DOWN);
    EXPECT_EQ(f.app->quality, 1u);
    f.app->quality = 98;
    execute(f.app, CMD_QUALITY_UP);
    EXPECT_EQ(f.app->quality, 100u);
    execute(f.app, CMD_QUALITY_DOWN);
    EXPECT_EQ(f.app->quality, 95u);
    execute(f.app, CMD_TOGGLE_SUBSAMPLING);
    execute(f.app, CMD_TOGGLE_PROGRESSIVE);
    EXPECT_EQ(f.app->subsampling, 1u);
    EXPECT_EQ(f.app->progressive, 1u);
    execute(f.app, CMD_TOGGLE_SUBSAMPLING);
    EXPECT_EQ(f.app->subsampling, 0u);
    // The keys of the name field reach the same commands.
    EXPECT_EQ(name_key_command(116, 0), (u32)CMD_TOGGLE_SUBSAMPLING);
    EXPECT_EQ(name_key_command(119, 0), (u32)CMD_QUALITY_UP);
    EXPECT_EQ(name_key_command(0x41, MODIFIER_SHIFT), (u32)CMD_TYPE_CHAR + 'A');
    // Without the form, typing and options do nothing.
    execute(f.app, CMD_CANCEL);
    u32 q = f.app->quality;
    execute(f.app, CMD_QUALITY_UP);
    execute(f.app, CMD_TYPE_CHAR + 'q');
    EXPECT_EQ(f.app->quality, q);
    EXPECT_EQ(f.app->save_name_length, 255u);
}

TEST(SaveForm, EnterChecksInOrder) {
    Folder dir;
    AppFixture f;
    open_loaded(f, dir.copy("small-rgb.png", "a.png"));
    show_form(f);
    erase_all(f);
    execute(f.app, CMD_SAVE);
    EXPECT_EQ(f.message(), "Type a file name.");
    EXPECT_NE(f.app->mode_flags & MODE_ERROR, 0u);
    type(f, "out.png");
    execute(f.app, CMD_SAVE);
    EXPECT_EQ(f.message(), "PNG encoding is not available yet. Use .jpg.");
    erase_all(f);
    type(f, "out.tif");
    execute(f.app, CMD_SAVE);
    EXPECT_EQ(f.message(), "Only .jpg and .jpeg files can be written for now.");
    // No extension: ".jpg" is appended before the checks go on.
    erase_all(f);
    type(f, "noext");
    set_browse_folder(f.app, ByteSpan{nullptr, 0});
    execute(f.app, CMD_SAVE);
    EXPECT_EQ(name(f), "noext.jpg");
    EXPECT_EQ(f.message(), "Open a folder first: Save needs a place to write to.");
    // A name at the limit gives up its last bytes for the extension.
    erase_all(f);
    for (int i = 0; i < 255; i++) execute(f.app, CMD_TYPE_CHAR + 'n');
    execute(f.app, CMD_SAVE);
    EXPECT_EQ(f.app->save_name_length, 255u);
    EXPECT_EQ(name(f).substr(251), ".jpg");
    // A folder so long that folder and name pass 32767 bytes.
    std::string deep(32740, 'd');
    deep += (char)path_separator();
    set_browse_folder(f.app, ByteSpan{(u8*)deep.data(), deep.size()});
    erase_all(f);
    type(f, "a-rather-long-name-that-passes-the-limit.jpg");
    execute(f.app, CMD_SAVE);
    EXPECT_EQ(f.message(), "Path too long: not saved.");
    EXPECT_EQ(f.app->requests & REQ_SAVE, 0u);
    EXPECT_EQ(f.app->encode.base, nullptr);
}

TEST(SaveForm, OverwriteWarnsOnceAndAgainAfterAnEdit) {
    Folder dir;
    AppFixture f;
    open_loaded(f, dir.copy("small-rgb.png", "a.png"));
    std::ofstream(dir.path / "Taken.JPG") << "old";
    show_form(f);
    erase_all(f);
    type(f, "taken.jpg");
    execute(f.app, CMD_SAVE);
    EXPECT_EQ(f.message(), "taken.jpg exists. Press Enter again to replace it.");
    EXPECT_EQ(f.app->confirm_overwrite, 1u);
    EXPECT_EQ(f.app->requests & REQ_SAVE, 0u);
    // An edit, even one that restores the name, asks again.
    execute(f.app, CMD_TYPE_CHAR + 'x');
    execute(f.app, CMD_ERASE);
    EXPECT_EQ(f.app->confirm_overwrite, 0u);
    execute(f.app, CMD_SAVE);
    EXPECT_EQ(f.message(), "taken.jpg exists. Press Enter again to replace it.");
    // Options do not count as edits; the second Enter encodes.
    execute(f.app, CMD_QUALITY_UP);
    f.app->requests = 0;
    execute(f.app, CMD_SAVE);
    EXPECT_NE(f.app->requests & REQ_SAVE, 0u);
    EXPECT_NE(f.app->encode.base, nullptr);
    write_pending_save(f.app);
    EXPECT_EQ(f.message(), "Saved taken.jpg");
    EXPECT_EQ(f.app->encode.base, nullptr);
    EXPECT_EQ(f.app->mode_flags & MODE_BROWSER, 0u);
    // The listing matched without regard to case. A case-sensitive system
    // now holds both names, a case-insensitive one replaced the old file
    // under its old name; either way a JPEG is there and no temporary file.
    u32 jpegs = 0;
    for (auto& e : fs::directory_iterator(dir.path)) {
        std::string n = e.path().filename().string();
        EXPECT_EQ(n.find(".quorbel-tmp"), std::string::npos);
        std::vector<u8> bytes = read_all(e.path());
        if (bytes.size() > 2 && bytes[0] == 0xFF && bytes[1] == 0xD8 && (n == "taken.jpg" || n == "Taken.JPG")) jpegs++;
    }
    EXPECT_EQ(jpegs, 1u);
}

// The confirmation is for one exact path. A folder holds a.png, x.jpg and
// sub/x.jpg: after the warning for x.jpg, entering sub (or leaving it for
// its parent) and pressing Enter must ask again, not replace the other file.
TEST(SaveForm, ConfirmationStaysWithItsFolder) {
    Folder dir;
    AppFixture f;
    open_loaded(f, dir.copy("small-rgb.png", "a.png"));
    fs::create_directory(dir.path / "sub");
    std::ofstream(dir.path / "x.jpg", std::ios::binary) << "top";
    std::ofstream(dir.path / "sub" / "x.jpg", std::ios::binary) << "inner";
    const std::string warning = "x.jpg exists. Press Enter again to replace it.";
    show_form(f);
    erase_all(f);
    type(f, "x.jpg");
    enter(f);
    ASSERT_EQ(f.message(), warning);
    execute(f.app, CMD_NEXT_ENTRY);  // "..", then sub
    ASSERT_EQ(f.app->selected, 1u);
    execute(f.app, CMD_OPEN_SELECTION);
    EXPECT_EQ(f.app->confirm_overwrite, 0u);
    // Enter before the request pass has listed sub, and again after it.
    enter(f);
    EXPECT_EQ(f.message(), warning);
    EXPECT_EQ(f.app->requests & REQ_SAVE, 0u);
    list_browse_folder(f.app);
    enter(f);
    EXPECT_EQ(f.message(), warning);
    EXPECT_EQ(f.app->requests & REQ_SAVE, 0u);
    EXPECT_EQ(f.app->encode.base, nullptr);
    // Left goes back to the parent: its x.jpg is asked about too.
    execute(f.app, CMD_FOLDER_UP);
    EXPECT_EQ(f.app->confirm_overwrite, 0u);
    list_browse_folder(f.app);
    enter(f);
    EXPECT_EQ(f.message(), warning);
    EXPECT_EQ(f.app->requests & REQ_SAVE, 0u);
    std::vector<u8> top = read_all(dir.path / "x.jpg");
    std::vector<u8> inner = read_all(dir.path / "sub" / "x.jpg");
    EXPECT_EQ(std::string(top.begin(), top.end()), "top");
    EXPECT_EQ(std::string(inner.begin(), inner.end()), "inner");
    // Asked in this folder, a second Enter replaces this folder's file only.
    enter(f);
    ASSERT_NE(f.app->requests & REQ_SAVE, 0u) << f.message();
    write_pending_save(f.app);
    EXPECT_EQ(f.message(), "Saved x.jpg");
    top = read_all(dir.path / "x.jpg");
    inner = read_all(dir.path / "sub" / "x.jpg");
    EXPECT_TRUE(top.size() > 2 && top[0] == 0xFF && top[1] == 0xD8);
    EXPECT_EQ(std::string(inner.begin(), inner.end()), "inner");
}

// Moving the selection or listing the folder again also withdraws the
// confirmation; scrolling and the options do not.
TEST(SaveForm, SelectionAndListingChangesAskAgain) {
    Folder dir;
    AppFixture f;
    open_loaded(f, dir.copy("small-rgb.png", "a.png"));
    std::ofstream(dir.path / "x.jpg") << "old";
    show_form(f);
    erase_all(f);
    type(f, "x.jpg");
    auto warned_then = [&](u32 command) {
        enter(f);
        EXPECT_EQ(f.app->confirm_overwrite, 1u);
        if (command != CMD_NONE) execute(f.app, command);
    };
    warned_then(CMD_NEXT_ENTRY);
    EXPECT_EQ(f.app->confirm_overwrite, 0u);
    warned_then(CMD_PREVIOUS_ENTRY);
    EXPECT_EQ(f.app->confirm_overwrite, 0u);
    warned_then(CMD_NONE);
    list_browse_folder(f.app);
    EXPECT_EQ(f.app->confirm_overwrite, 0u);
    warned_then(CMD_TOGGLE_PROGRESSIVE);
    scroll_list(f.app, 3);
    EXPECT_EQ(f.app->confirm_overwrite, 1u);
    enter(f);
    EXPECT_NE(f.app->requests & REQ_SAVE, 0u) << f.message();
    write_pending_save(f.app);
    EXPECT_EQ(f.message(), "Saved x.jpg");
}

// Whether the target exists is asked of the file system at Enter: files the
// listing leaves out (hidden ones) or that appeared after it are asked
// about, and a folder of that name is refused.
TEST(SaveForm, TargetsTheListingDoesNotShow) {
    Folder dir;
    AppFixture f;
    open_loaded(f, dir.copy("small-rgb.png", "a.png"));
    show_form(f);
    std::ofstream(dir.path / "late.jpg") << "late";
    fs::create_directory(dir.path / "album.jpg");
    std::ofstream(dir.path / "album.jpg" / "inside.txt") << "x";
#ifdef _WIN32
    std::ofstream(dir.path / "h.jpg") << "hidden";
    ASSERT_TRUE(SetFileAttributesW((dir.path / "h.jpg").c_str(), FILE_ATTRIBUTE_HIDDEN));
    const std::string hidden = "h.jpg";
#else
    std::ofstream(dir.path / ".h.jpg") << "hidden";
    const std::string hidden = ".h.jpg";
#endif
    for (const std::string& n : {hidden, std::string("late.jpg")}) {
        erase_all(f);
        type(f, n);
        enter(f);
        EXPECT_EQ(f.message(), n + " exists. Press Enter again to replace it.");
        EXPECT_EQ(f.app->requests & REQ_SAVE, 0u);
    }
    list_browse_folder(f.app);  // lists late.jpg, never the hidden file
    erase_all(f);
    type(f, "album.jpg");
    for (int i = 0; i < 2; i++) {
        enter(f);
        EXPECT_EQ(f.message(), "Cannot write album.jpg");
        EXPECT_NE(f.app->mode_flags & MODE_ERROR, 0u);
        EXPECT_EQ(f.app->requests & REQ_SAVE, 0u);
        EXPECT_EQ(f.app->encode.base, nullptr);
    }
    EXPECT_TRUE(fs::is_directory(dir.path / "album.jpg"));
    // The hidden file is replaced after the question, as any other.
    erase_all(f);
    type(f, hidden);
    enter(f);
    enter(f);
    ASSERT_NE(f.app->requests & REQ_SAVE, 0u) << f.message();
    write_pending_save(f.app);
    EXPECT_EQ(f.message(), "Saved " + hidden);
    std::vector<u8> bytes = read_all(dir.path / hidden);
    EXPECT_TRUE(bytes.size() > 2 && bytes[0] == 0xFF && bytes[1] == 0xD8);
}

TEST(SaveForm, SavesEveryKindOfDocumentAndReadsBack) {
    Folder dir;
    AppFixture f;
    struct Case {
        const char* data;
        const char* as;
        u32 quality, subsampling, progressive;
        double min_psnr;
    };
    for (Case c : {Case{"small-rgb.png", "rgb.png", 90, 1, 0, 30}, Case{"alpha-steps.png", "alpha.png", 75, 0, 1, 26},
                   Case{"stripes.jpg", "stripes.jpg", 100, 1, 1, 30}, Case{"three-frames.png", "anim.png", 50, 0, 0, 24}}) {
        u32 s = open_loaded(f, dir.copy(c.data, c.as));
        ASSERT_TRUE(bit(f.app->has_pixels, s)) << c.as;
        show_form(f);
        f.app->quality = c.quality;
        f.app->subsampling = c.subsampling;
        f.app->progressive = c.progressive;
        std::string out = std::string("saved-") + c.as + ".jpg";
        erase_all(f);
        type(f, out);
        execute(f.app, CMD_SAVE);
        ASSERT_NE(f.app->requests & REQ_SAVE, 0u) << f.message();
        write_pending_save(f.app);
        EXPECT_EQ(f.message(), "Saved " + out);
        std::vector<u8> file = read_all(dir.path / out);
        u32 w = 0, h = 0;
        std::vector<u8> back;
        ASSERT_TRUE(decode_jpeg(file, &w, &h, &back)) << c.as;
        EXPECT_EQ(w, f.app->width[s]);
        EXPECT_EQ(h, f.app->height[s]);
        std::vector<u8> shown = document_pixels(f, s);
        ASSERT_EQ(shown.size(), back.size());
        EXPECT_GT(psnr_rgb(shown, back), c.min_psnr) << c.as;
    }
}

TEST(SaveForm, WriteFailureKeepsTheFormAndTheOldFile) {
    Folder dir;
    AppFixture f;
    open_loaded(f, dir.copy("small-rgb.png", "a.png"));
    std::ofstream(dir.path / "keep.jpg", std::ios::binary) << "original bytes";
    show_form(f);
    erase_all(f);
    type(f, "keep.jpg");
    execute(f.app, CMD_SAVE);
    execute(f.app, CMD_SAVE);
    ASSERT_NE(f.app->requests & REQ_SAVE, 0u);
    FileFaults faults = {-1, 0, true, false, false};
    set_file_faults(&faults);
    write_pending_save(f.app);
    set_file_faults(nullptr);
    EXPECT_EQ(f.message(), "Cannot write keep.jpg");
    EXPECT_NE(f.app->mode_flags & MODE_ERROR, 0u);
    EXPECT_NE(f.app->mode_flags & MODE_NAME_ENTRY, 0u);
    EXPECT_EQ(f.app->encode.base, nullptr);
    std::vector<u8> kept = read_all(dir.path / "keep.jpg");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "original bytes");
    for (auto& e : fs::directory_iterator(dir.path)) {
        EXPECT_EQ(e.path().filename().string().find(".quorbel-tmp"), std::string::npos);
    }
    // The confirm state survives the failure: Enter retries without asking.
    execute(f.app, CMD_SAVE);
    EXPECT_NE(f.app->requests & REQ_SAVE, 0u);
    write_pending_save(f.app);
    EXPECT_EQ(f.message(), "Saved keep.jpg");
}

// Committed (Windows) or mapped (Linux) bytes of this process, and its
// resident bytes.
static void process_memory(u64* mapped, u64* resident) {
    *mapped = 0;
    *resident = 0;
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS c = {};
    c.cb = sizeof c;
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c)) {
        *mapped = c.PagefileUsage;
        *resident = c.WorkingSetSize;
    }
#else
    std::ifstream f("/proc/self/statm");
    u64 pages = 0, rss = 0;
    if (f >> pages >> rss) {
        *mapped = pages * 4096;
        *resident = rss * 4096;
    }
#endif
}

TEST(SaveForm, ALargeSaveGivesItsMemoryBack) {
    // 7072 x 7072 is 50 megapixels; sanitizer builds, many times slower,
    // save a 4-megapixel image the same way.
#if defined(__SANITIZE_ADDRESS__)
    const u32 side = 2000;
#else
    const u32 side = 7072;
#endif
    Folder dir;
    // The source: a smooth photo-like JPEG made by our own encoder.
    {
        std::vector<u8> rgba((size_t)side * side * 4);
        for (u32 y = 0; y < side; y++) {
            for (u32 x = 0; x < side; x++) {
                u8* p = &rgba[((size_t)y * side + x) * 4];
                p[0] = (u8)((x * 3 + y) >> 5);
                p[1] = (u8)((x ^ y) >> 4);
                p[2] = (u8)((y * 5) >> 6);
                p[3] = 255;
            }
        }
        JpegEncodeSettings settings = {85, 0, 0};
        std::vector<u8> workspace(jpeg_encode_workspace_bytes(&settings, side, side));
        std::vector<u8> out(jpeg_encode_output_bound(&settings, side, side));
        JpegEncodeResult r;
        ASSERT_TRUE(jpeg_encode(ByteSpan{rgba.data(), rgba.size()}, (u64)side * 4, side, side, &settings,
                                workspace.data(), workspace.size(), out.data(), out.size(), &r));
        std::ofstream(dir.path / "big.jpg", std::ios::binary).write((const char*)out.data(), (std::streamsize)r.bytes);
    }
    AppFixture f;
    u32 s = open_loaded(f, utf8(dir.path / "big.jpg"));
    ASSERT_TRUE(bit(f.app->has_pixels, s));
    decode_step(f.app, s);  // the second stage, as the paint cycle runs it
    ASSERT_TRUE(f.app->jobs[s].full_ready);
    show_form(f);
    erase_all(f);
    type(f, "big-copy.jpg");
    u64 mapped_before, resident_before;
    process_memory(&mapped_before, &resident_before);
    execute(f.app, CMD_SAVE);
    ASSERT_NE(f.app->requests & REQ_SAVE, 0u) << f.message();
    u64 mapped_during, resident_during;
    process_memory(&mapped_during, &resident_during);
    write_pending_save(f.app);
    EXPECT_EQ(f.message(), "Saved big-copy.jpg");
    u64 mapped_after, resident_after;
    process_memory(&mapped_after, &resident_after);
    printf("save of %u x %u: mapped %.1f MiB before, %.1f MiB with the encoded file, %.1f MiB after; "
           "resident %.1f, %.1f, %.1f MiB\n",
           side, side, mapped_before / 1048576.0, mapped_during / 1048576.0, mapped_after / 1048576.0,
           resident_before / 1048576.0, resident_during / 1048576.0, resident_after / 1048576.0);
    // The encode region is hundreds of MiB; the system's own bookkeeping
    // for writing a file may keep a little.
    EXPECT_GT(mapped_during, mapped_before + (64u << 20));
    EXPECT_LE(mapped_after, mapped_before + (1u << 20));
    EXPECT_LE(resident_after, resident_before + (4u << 20));
    EXPECT_GT(fs::file_size(dir.path / "big-copy.jpg"), 1000u);
}

// A picture tagged with a colour profile: the status says when the profile
// is ignored, and Save as JPEG writes the pixels as shown (converted to
// sRGB), with no profile in the file.
TEST(SaveForm, TaggedPicturesAreSavedAsShown) {
    Folder dir;
    AppFixture f;
    u32 plain = open_loaded(f, dir.copy("icc/plain.png", "plain.png"));
    u32 lut = open_loaded(f, dir.copy("icc/lut-profile.png", "lut.png"));
    TextBuffer t;
    status_text(f.app, &t);
    EXPECT_EQ(std::string((const char*)t.bytes, t.length), "48 x 32   PNG  profile ignored   100%");
    EXPECT_EQ(document_pixels(f, lut), document_pixels(f, plain));
    u32 s = open_loaded(f, dir.copy("icc/adobe-rgb.png", "adobe.png"));
    status_text(f.app, &t);
    EXPECT_EQ(std::string((const char*)t.bytes, t.length), "48 x 32   PNG   100%");
    std::vector<u8> shown = document_pixels(f, s);
    std::vector<u8> stored = document_pixels(f, plain);
    ASSERT_NE(shown, stored);
    show_form(f);
    f.app->quality = 100;
    f.app->subsampling = 1;  // 4:4:4
    erase_all(f);
    type(f, "adobe-saved.jpg");
    execute(f.app, CMD_SAVE);
    write_pending_save(f.app);
    ASSERT_EQ(f.message(), "Saved adobe-saved.jpg");
    std::vector<u8> file = read_all(dir.path / "adobe-saved.jpg");
    static const char tag[] = "ICC_PROFILE";
    EXPECT_EQ(std::search(file.begin(), file.end(), tag, tag + 11), file.end()) << "no profile is written";
    u32 w = 0, h = 0;
    std::vector<u8> back;
    ASSERT_TRUE(decode_jpeg(file, &w, &h, &back));
    EXPECT_GT(psnr_rgb(shown, back), 35);
    EXPECT_LT(psnr_rgb(stored, back), psnr_rgb(shown, back) - 5) << "the saved pixels are the converted ones";
}

// Pillow as a reference decoder for the BMP and icon tests: /usr/bin/python3
// runs a short script that writes files with Pillow's own encoders and
// decodes any list of files to RGBA, one raw file each. Everything happens
// in a fresh temporary folder.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/types.h"

namespace pillowtest {

namespace fs = std::filesystem;
using Bytes = std::vector<u8>;

inline bool pillow_available() {
    return std::system("/usr/bin/python3 -c 'import PIL.Image' >/dev/null 2>&1") == 0;
}

inline Bytes read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary);
    out.write((const char*)b.data(), (std::streamsize)b.size());
}

// `write DIR`: Pillow's own BMP and ICO files of generated pictures.
// `decode FILE...`: FILE.rgba for each, "w h\n" then RGBA rows; FILE.err
// instead when Pillow refuses the file.
inline const char* k_script = R"(
import sys
from PIL import Image

def picture(w, h, alpha):
    im = Image.new("RGBA", (w, h))
    px = im.load()
    for y in range(h):
        for x in range(w):
            a = (x * 17 + y * 5) % 256 if alpha else 255
            px[x, y] = ((x * 255) // max(1, w - 1), (y * 255) // max(1, h - 1), (x * y * 7 + 13) % 256, max(a, 1))
    return im

if sys.argv[1] == "write":
    d = sys.argv[2]
    base = picture(37, 23, False)
    base.convert("1").save(d + "/pil-1bit.bmp")
    base.convert("L").save(d + "/pil-gray.bmp")
    base.convert("P", palette=Image.ADAPTIVE, colors=200).save(d + "/pil-palette.bmp")
    base.convert("RGB").save(d + "/pil-rgb.bmp")
    picture(37, 23, True).save(d + "/pil-rgba.bmp")
    icon = picture(48, 48, True)
    icon.save(d + "/pil-png.ico", sizes=[(16, 16), (48, 48), (32, 32)])
    icon.save(d + "/pil-bmp.ico", sizes=[(16, 16), (48, 48), (32, 32)], bitmap_format="bmp")
    # Pillow writes AND mask rows unpadded: only widths that are multiples of
    # 32 make bitmap entries of the right size below 32 bits.
    picture(64, 64, False).convert("RGB").save(d + "/pil-bmp24.ico", sizes=[(32, 32), (64, 64)], bitmap_format="bmp")
else:
    for p in sys.argv[2:]:
        try:
            im = Image.open(p)
            im.load()
            im = im.convert("RGBA")
            with open(p + ".rgba", "wb") as f:
                f.write(("%d %d\n" % im.size).encode())
                f.write(im.tobytes())
        except Exception as e:
            with open(p + ".err", "w") as f:
                f.write(str(e))
)";

struct Folder {
    fs::path dir;
    Folder() {
        dir = fs::temp_directory_path() / ("qb-pillow-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        write_file(dir / "pillow.py", Bytes(k_script, k_script + strlen(k_script)));
    }
    ~Folder() { fs::remove_all(dir); }
    bool run(const std::string& args) const {
        std::string cmd = "/usr/bin/python3 '" + (dir / "pillow.py").string() + "' " + args + " >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0;
    }
    bool write_pillow_files() const { return run("write '" + dir.string() + "'"); }
    bool decode(const std::vector<std::string>& names) const {
        std::string args = "decode";
        for (const auto& n : names) args += " '" + (dir / n).string() + "'";
        return run(args);
    }
};

struct Picture {
    bool ok = false;
    std::string error;
    u32 w = 0, h = 0;
    std::vector<u32> px;  // RGBA words
};

inline Picture load_decoded(const fs::path& file) {
    Picture p;
    fs::path err = file.string() + ".err";
    if (fs::exists(err)) {
        Bytes b = read_file(err);
        p.error.assign(b.begin(), b.end());
        return p;
    }
    Bytes b = read_file(file.string() + ".rgba");
    size_t nl = 0;
    while (nl < b.size() && b[nl] != '\n') nl++;
    if (nl == b.size() || std::sscanf(std::string(b.begin(), b.begin() + nl).c_str(), "%u %u", &p.w, &p.h) != 2)
        return p;
    if (b.size() - nl - 1 != 4 * (size_t)p.w * p.h) return p;
    p.px.resize((size_t)p.w * p.h);
    memcpy(p.px.data(), b.data() + nl + 1, 4 * p.px.size());
    p.ok = true;
    return p;
}

}  // namespace pillowtest

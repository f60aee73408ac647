// A plain main for the fuzz targets: runs LLVMFuzzerTestOneInput on every
// file named on the command line (directories are walked), so a crasher can
// be replayed under a debugger without libFuzzer.
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void run_file(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    printf("%s (%zu bytes)\n", path.string().c_str(), bytes.size());
    // An empty file is an ordinary input: like libFuzzer, hand the target a
    // valid pointer rather than the empty vector's null one.
    static const uint8_t none = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (auto& e : std::filesystem::recursive_directory_iterator(p)) {
                if (e.is_regular_file()) run_file(e.path());
            }
        } else {
            run_file(p);
        }
    }
    return 0;
}

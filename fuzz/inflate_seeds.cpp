// Writes a seed corpus for the inflate fuzzer into the folder given: small
// zlib streams of text, runs, noise and PNG-like rows at several levels and
// strategies (fixed, Huffman only, RLE, stored), so the fuzzer starts from
// valid streams of every block type.
#include <stdio.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s folder\n", argv[0]);
        return 2;
    }
    std::mt19937 rng(1);
    std::vector<std::vector<unsigned char>> inputs(4);
    for (int i = 0; i < 3000; i++) inputs[0].push_back("the quick brown fox "[i % 20]);
    for (int i = 0; i < 3000; i++) inputs[1].push_back((unsigned char)((i / 97) & 3));
    for (int i = 0; i < 600; i++) inputs[2].push_back((unsigned char)rng());
    for (int i = 0; i < 3000; i++) inputs[3].push_back((unsigned char)(i % 301 == 0 ? 1 : (i * 7 + rng() % 5) & 0xFF));
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE};
    int count = 0;
    for (size_t k = 0; k < inputs.size(); k++) {
        for (int s : strategies) {
            for (int level : {0, 1, 6, 9}) {
                z_stream zs = {};
                deflateInit2(&zs, level, Z_DEFLATED, 15, 8, s);
                std::vector<unsigned char> out(deflateBound(&zs, inputs[k].size()));
                zs.next_in = inputs[k].data();
                zs.avail_in = (uInt)inputs[k].size();
                zs.next_out = out.data();
                zs.avail_out = (uInt)out.size();
                deflate(&zs, Z_FINISH);
                out.resize(zs.total_out);
                deflateEnd(&zs);
                std::string path = std::string(argv[1]) + "/seed-" + std::to_string(count++);
                FILE* f = fopen(path.c_str(), "wb");
                if (!f) return 1;
                fwrite(out.data(), 1, out.size(), f);
                fclose(f);
            }
        }
    }
    return 0;
}

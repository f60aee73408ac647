// Writes a seed corpus for the TIFF fuzzer into the folder given: small
// files libtiff writes in several layouts (strips and tiles, one or separate
// planes, classic and BigTIFF in both byte orders) with every compression
// the decoder reads, so the fuzzer starts from valid files of each kind.
#include <stdio.h>
#include <tiffio.h>

#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s folder\n", argv[0]);
        return 2;
    }
    struct Seed {
        unsigned comp, photometric, spp, bits, tiled, planar;
        const char* mode;
    };
    const Seed seeds[] = {
        {COMPRESSION_NONE, PHOTOMETRIC_MINISBLACK, 1, 8, 0, 1, "wl"},
        {COMPRESSION_LZW, PHOTOMETRIC_RGB, 3, 8, 0, 1, "wb"},
        {COMPRESSION_ADOBE_DEFLATE, PHOTOMETRIC_RGB, 4, 8, 1, 2, "w8l"},
        {COMPRESSION_PACKBITS, PHOTOMETRIC_PALETTE, 1, 4, 0, 1, "w8b"},
        {COMPRESSION_JPEG, PHOTOMETRIC_YCBCR, 3, 8, 1, 1, "wl"},
        {COMPRESSION_LZW, PHOTOMETRIC_MINISWHITE, 1, 16, 1, 1, "wb"},
        {COMPRESSION_NONE, PHOTOMETRIC_SEPARATED, 4, 8, 0, 1, "wl"},
        {COMPRESSION_NONE, PHOTOMETRIC_MINISBLACK, 1, 1, 0, 1, "wl"},
    };
    int count = 0;
    for (const Seed& s : seeds) {
        std::string path = std::string(argv[1]) + "/seed-" + std::to_string(count++);
        TIFF* t = TIFFOpen(path.c_str(), s.mode);
        if (!t) return 1;
        const unsigned w = 40, h = 36;
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.spp);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, s.bits);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, s.photometric);
        TIFFSetField(t, TIFFTAG_COMPRESSION, s.comp);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, s.planar);
        if (s.photometric == PHOTOMETRIC_YCBCR) TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        if (s.comp == COMPRESSION_LZW && s.bits >= 8) TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        if (s.photometric == PHOTOMETRIC_PALETTE) {
            std::vector<uint16_t> map(1u << s.bits);
            for (size_t i = 0; i < map.size(); i++) map[i] = (uint16_t)(i * 4000);
            TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
        }
        unsigned per = s.planar == 2 ? 1 : s.spp;
        unsigned planes = s.planar == 2 ? s.spp : 1;
        if (s.tiled) {
            TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
            TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
            std::vector<unsigned char> tile(16 * 16 * per * ((s.bits + 7) / 8));
            for (unsigned p = 0; p < planes; p++)
                for (unsigned y = 0; y < h; y += 16)
                    for (unsigned x = 0; x < w; x += 16) {
                        for (size_t i = 0; i < tile.size(); i++) tile[i] = (unsigned char)(x + y + i * 3 + p * 50);
                        TIFFWriteTile(t, tile.data(), x, y, 0, (uint16_t)p);
                    }
        } else {
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 8);
            std::vector<unsigned char> row((w * per * s.bits + 7) / 8);
            for (unsigned p = 0; p < planes; p++)
                for (unsigned y = 0; y < h; y++) {
                    for (size_t i = 0; i < row.size(); i++) row[i] = (unsigned char)(y * 5 + i * 3 + p * 50);
                    TIFFWriteScanline(t, row.data(), y, (uint16_t)p);
                }
        }
        TIFFClose(t);
    }
    // A small pyramid: the image and two reduced images in the chain.
    std::string path = std::string(argv[1]) + "/seed-pyramid";
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) return 1;
    for (unsigned level = 0; level < 3; level++) {
        unsigned w = 64 >> level, h = 48 >> level;
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, level ? FILETYPE_REDUCEDIMAGE : 0);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 8);
        std::vector<unsigned char> row(w);
        for (unsigned y = 0; y < h; y++) {
            for (unsigned x = 0; x < w; x++) row[x] = (unsigned char)(x * 4 + y);
            TIFFWriteScanline(t, row.data(), y, 0);
        }
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
    return 0;
}

// MagickCore behind the plain functions of magick_peer.h.
#include "bench/magick_peer.h"

#include <string.h>

#include <magick/MagickCore.h>

void magick_start(const char* program) {
    MagickCoreGenesis(program, MagickFalse);
    SetMagickResourceLimit(ThreadResource, 1);
}

void magick_stop() {
    MagickCoreTerminus();
}

const char* magick_version() {
    return GetMagickVersion(nullptr);
}

bool magick_decode_rgba(const u8* data, size_t size, const char* format, std::vector<u8>& rgba) {
    ImageInfo* ii = AcquireImageInfo();
    strncpy(ii->magick, format, sizeof ii->magick - 1);
    ExceptionInfo* ex = AcquireExceptionInfo();
    Image* im = BlobToImage(ii, data, size, ex);
    bool ok = im != nullptr;
    if (ok) {
        rgba.resize((size_t)im->columns * im->rows * 4);
        ok = ExportImagePixels(im, 0, 0, im->columns, im->rows, "RGBA", CharPixel, rgba.data(), ex) != MagickFalse;
        DestroyImage(im);
    }
    DestroyExceptionInfo(ex);
    DestroyImageInfo(ii);
    return ok;
}

// ImageMagick's MagickCore as a reference decoder (tests) and peer
// (benchmarks), in a file of its own: its records share names with ours
// (ImageInfo). A decode is the whole path a viewer takes: the blob read
// into an image, turned upright when the file stores its rows bottom-up
// (MagickCore's TGA reader leaves them as stored and only records the
// orientation), then its pixels exported as 8-bit RGBA. One thread, as ours.
#include <magick/MagickCore.h>

#include <vector>

#include "magick_support.h"

void magick_start(const char* argv0) {
    MagickCoreGenesis(argv0, MagickFalse);
    SetMagickResourceLimit(ThreadResource, 1);
}

void magick_stop() {
    MagickCoreTerminus();
}

bool magick_decode(const unsigned char* data, size_t size, const char* format, std::vector<unsigned char>* rgba,
                   unsigned* w, unsigned* h) {
    ::ImageInfo* info = AcquireImageInfo();
    CopyMagickString(info->magick, format, MaxTextExtent);
    ExceptionInfo* ex = AcquireExceptionInfo();
    Image* image = BlobToImage(info, data, size, ex);
    bool ok = false;
    if (image && image->orientation != UndefinedOrientation && image->orientation != TopLeftOrientation) {
        Image* upright = AutoOrientImage(image, image->orientation, ex);
        DestroyImage(image);
        image = upright;
    }
    if (image) {
        *w = (unsigned)image->columns;
        *h = (unsigned)image->rows;
        rgba->resize((size_t)*w * *h * 4);
        ok = ExportImagePixels(image, 0, 0, *w, *h, "RGBA", CharPixel, rgba->data(), ex) == MagickTrue;
        // Without an alpha channel the exported alpha is whatever the pixel
        // cache held: such an image is opaque.
        if (!image->matte)
            for (size_t i = 3; i < rgba->size(); i += 4) (*rgba)[i] = 255;
        DestroyImage(image);
    }
    DestroyExceptionInfo(ex);
    DestroyImageInfo(info);
    return ok;
}

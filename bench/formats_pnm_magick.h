// ImageMagick (MagickCore) as a decoding peer; see formats_pnm_magick.cpp.
#pragma once

#include <stddef.h>

#include <vector>

void magick_start(const char* argv0);
void magick_stop();
// `format` names the coder ("PPM", "PGM", "TGA"); false when it fails.
bool magick_decode(const unsigned char* data, size_t size, const char* format, std::vector<unsigned char>* rgba,
                   unsigned* w, unsigned* h);

// ImageMagick (MagickCore) as a reference decoder; see magick_support.cpp.
#pragma once

#include <stddef.h>

#include <vector>

void magick_start(const char* argv0);
void magick_stop();
// `format` names the coder ("PPM", "PAM", "TGA"); false when it fails.
bool magick_decode(const unsigned char* data, size_t size, const char* format, std::vector<unsigned char>* rgba,
                   unsigned* w, unsigned* h);

// ImageMagick's MagickCore as a benchmark peer, behind plain functions: its
// headers name a type ImageInfo, as ours do, so they stay in their own file.
#pragma once

#include <stddef.h>

#include <vector>

#include "base/types.h"

// Starts the library and keeps it to one thread.
void magick_start(const char* program);
void magick_stop();
const char* magick_version();
// Reads a blob in the named format and exports its pixels as RGBA bytes.
bool magick_decode_rgba(const u8* data, size_t size, const char* format, std::vector<u8>& rgba);

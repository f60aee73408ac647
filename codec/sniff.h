// What a file claims to be, from its name: the extension table.
#pragma once

#include "codec/image.h"

// The extension after the last "." (one to four characters, ASCII letters
// folded to lower case) as an ImageFormat; 0 for no ".", an empty or longer
// extension, or one not in the table.
ImageFormat format_from_name(const u8* name, u64 length);

// True when a file of this name would be shown as an image.
bool has_image_extension(ByteSpan name);

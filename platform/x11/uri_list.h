// Writing and reading a "text/uri-list" (lines of URIs, CR LF between them, "#"
// starting a comment): each local file URI becomes its percent-decoded path.
// Everything else in the list (other schemes, other hosts, relative or empty
// paths, broken escapes, escaped NUL bytes or raw control bytes) names no
// file here and is skipped.
#pragma once

#include "base/span.h"

// The path of one file URI ("file:///p", "file://localhost/p",
// "file://HOST/p" with HOST this machine's name, or "file:/p") into `out`,
// which needs uri.size bytes at most. False when the URI names no local file.
bool file_uri_path(ByteSpan uri, ByteSpan host, u8* out, u64* length_out);

// Decodes the list in place (a path never outgrows its URI) and records the
// position and length of at most `capacity` paths in `text`; returns how
// many. Lines beyond `capacity` paths are not read.
u32 read_uri_list(u8* text, u64 size, ByteSpan host, u64* offsets, u64* lengths, u32 capacity);

// The list for `paths` (absolute, non-empty): "file://" and the path with
// every byte but letters, digits, "-._~" and "/" escaped as %XX, CR LF after
// each. Returns the bytes written, or 0 when a path is empty or relative or
// the list does not fit in `capacity`.
u64 write_uri_list(const ByteSpan* paths, u32 count, u8* out, u64 capacity);

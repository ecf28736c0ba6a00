// Text blocks kept for reuse. A program makes and drops a text on almost every instruction, and
// the C library the stub is linked against may be slow at that: musl's allocator is, and it also
// gives every large block straight back to the system, so a loop that copies a long string on
// each pass would pay for fresh pages every time. Small texts therefore come in power-of-two
// sizes from free lists of their own; the last few large blocks freed wait for the next text.
#pragma once

#include <stddef.h>

namespace sr::zr {

// A block of at least `bytes` bytes, with its size in `capacity`. Small ones always come from
// here; for a large one, null when no kept block fits.
char* take_text_block(size_t bytes, size_t& capacity);
// Frees `block` (null or `capacity` bytes from resize_block), or keeps it for a later text.
void release_text_block(char* block, size_t capacity);
// Frees every kept block, so that memory they hold can serve a request that failed.
void drop_kept_blocks();

}  // namespace sr::zr

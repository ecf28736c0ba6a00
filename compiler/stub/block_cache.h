// Large text blocks kept for reuse. Some C libraries give every large block straight back to
// the system when it is freed (musl unmaps each one), so a loop that copies a long string on
// each pass would pay for fresh pages every time; the last few large blocks freed wait here.
#pragma once

#include <stddef.h>

namespace sr::zr {

// A kept block of at least `bytes` bytes, with its size in `capacity`; null when none fits.
char* take_kept_block(size_t bytes, size_t& capacity);
// Frees `block` (null or `capacity` bytes from malloc), or keeps it when it is large.
void release_text_block(char* block, size_t capacity);
// Frees every kept block, so that memory they hold can serve a request that failed.
void drop_kept_blocks();

}  // namespace sr::zr

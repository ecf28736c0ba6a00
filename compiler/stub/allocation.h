// Memory for the stub's own containers. A failed allocation ends the run with "Out of memory".
#pragma once

#include <stddef.h>

namespace sr::zr {

// `block` (null or from an earlier call) resized to `count` items of `item_size` bytes, count
// above zero; the contents up to the smaller size are kept. Never returns null.
void* resize_block(void* block, size_t count, size_t item_size);

// A fresh block of `count` items of `item_size` bytes, every byte zero, count above zero.
// Never returns null.
void* zeroed_block(size_t count, size_t item_size);

// The capacity to grow to when `needed` items do not fit in `capacity`: at least double.
size_t grown_capacity(size_t capacity, size_t needed);

}  // namespace sr::zr

// Memory for the stub's own containers. A failed allocation ends the run with "Out of memory".
// A process that runs many programs keeps every block on a ledger, so that the blocks of a run
// that ended on an error, wherever they were held, can all be freed once the run is over.
#pragma once

#include <stddef.h>

namespace sr::zr {

// `block` (null or from an earlier call) resized to `count` items of `item_size` bytes, count
// above zero; the contents up to the smaller size are kept. Never returns null.
void* resize_block(void* block, size_t count, size_t item_size);

// A fresh block of `count` items of `item_size` bytes, every byte zero, count above zero.
// Never returns null.
void* zeroed_block(size_t count, size_t item_size);

// Frees a block from resize_block or zeroed_block; null is ignored.
void free_block(void* block);

// The capacity to grow to when `needed` items do not fit in `capacity`: at least double.
size_t grown_capacity(size_t capacity, size_t needed);

// Puts every block on the ledger from now on; called before the first allocation, if at all.
void keep_block_ledger();

// With the ledger kept: from begin_run_blocks on, new blocks belong to the run; release_run_blocks
// frees every one still held (and the text blocks kept for reuse), and new blocks last again.
// Blocks made before, such as the loaded program's, are left alone.
void begin_run_blocks();
void release_run_blocks();

}  // namespace sr::zr

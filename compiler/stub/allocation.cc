#include "compiler/stub/allocation.h"

#include <stdlib.h>

#include "compiler/stub/block_cache.h"
#include "compiler/stub/run_failure.h"

namespace sr::zr {
namespace {

// Each block starts with its place in a ring of blocks; 16 bytes, so the caller's part keeps
// malloc's alignment.
struct BlockHeader {
  BlockHeader* prev;
  BlockHeader* next;
};
static_assert(sizeof(BlockHeader) == 16);

// Off in an executable that runs once: its blocks go when the process does, and malloc sees the
// sizes asked for (a header would move some into larger size classes, at a cost to start-up).
bool ledger_kept = false;
BlockHeader lasting_blocks{&lasting_blocks, &lasting_blocks};
BlockHeader run_blocks{&run_blocks, &run_blocks};
BlockHeader* new_blocks = &lasting_blocks;  // the ring that new blocks join

BlockHeader* header_of(void* block) {
  return static_cast<BlockHeader*>(block) - 1;
}

void link_between(BlockHeader* header, BlockHeader* prev, BlockHeader* next) {
  header->prev = prev;
  header->next = next;
  prev->next = header;
  next->prev = header;
}

void unlink(BlockHeader* header) {
  header->prev->next = header->next;
  header->next->prev = header->prev;
}

size_t block_bytes(size_t count, size_t item_size) {
  size_t bytes = 0;
  const size_t header = ledger_kept ? sizeof(BlockHeader) : 0;
  if (__builtin_mul_overflow(count, item_size, &bytes) ||
      __builtin_add_overflow(bytes, header, &bytes)) {
    fail_run("Out of memory");
  }
  // realloc of 0 bytes may free the block and return null, which reads as a failure here.
  return bytes != 0 ? bytes : 1;
}

// realloc that keeps the block's place in its ring; null, with the block as it was, on failure.
void* try_resize(void* block, size_t bytes) {
  if (!ledger_kept) return realloc(block, bytes);
  BlockHeader* old = block ? header_of(block) : nullptr;
  BlockHeader* prev = old ? old->prev : new_blocks->prev;
  BlockHeader* next = old ? old->next : new_blocks;
  if (old) unlink(old);
  auto* header = static_cast<BlockHeader*>(realloc(old, bytes));
  if (header == nullptr) {
    if (old) link_between(old, prev, next);
    return nullptr;
  }
  link_between(header, prev, next);
  return header + 1;
}

void* try_zeroed(size_t bytes) {
  if (!ledger_kept) return calloc(1, bytes);
  auto* header = static_cast<BlockHeader*>(calloc(1, bytes));
  if (header == nullptr) return nullptr;
  link_between(header, new_blocks->prev, new_blocks);
  return header + 1;
}

}  // namespace

void* resize_block(void* block, size_t count, size_t item_size) {
  const size_t bytes = block_bytes(count, item_size);
  void* resized = try_resize(block, bytes);
  if (resized == nullptr) {
    drop_kept_blocks();
    resized = try_resize(block, bytes);
  }
  if (resized == nullptr) fail_run("Out of memory");
  return resized;
}

void* zeroed_block(size_t count, size_t item_size) {
  const size_t bytes = block_bytes(count, item_size);
  void* block = try_zeroed(bytes);
  if (block == nullptr) {
    drop_kept_blocks();
    block = try_zeroed(bytes);
  }
  if (block == nullptr) fail_run("Out of memory");
  return block;
}

void free_block(void* block) {
  if (block == nullptr || !ledger_kept) return free(block);
  BlockHeader* header = header_of(block);
  unlink(header);
  free(header);
}

size_t grown_capacity(size_t capacity, size_t needed) {
  size_t doubled = capacity > static_cast<size_t>(-1) / 2 ? needed : capacity * 2;
  size_t grown = doubled > needed ? doubled : needed;
  return grown < 16 ? 16 : grown;
}

void keep_block_ledger() {
  ledger_kept = true;
}

void begin_run_blocks() {
  // Kept blocks may be lasting ones; a run that lost one on an error would lose it for good.
  drop_kept_blocks();
  new_blocks = &run_blocks;
}

void release_run_blocks() {
  drop_kept_blocks();
  while (run_blocks.next != &run_blocks) {
    BlockHeader* header = run_blocks.next;
    unlink(header);
    free(header);
  }
  new_blocks = &lasting_blocks;
}

}  // namespace sr::zr

#include "compiler/stub/allocation.h"

#include <stdlib.h>

#include "compiler/stub/block_cache.h"
#include "compiler/stub/run_failure.h"

namespace sr::zr {

void* resize_block(void* block, size_t count, size_t item_size) {
  size_t bytes = 0;
  if (__builtin_mul_overflow(count, item_size, &bytes)) fail_run("Out of memory");
  void* resized = realloc(block, bytes);
  if (resized == nullptr) {
    drop_kept_blocks();
    resized = realloc(block, bytes);
  }
  if (resized == nullptr) fail_run("Out of memory");
  return resized;
}

void* zeroed_block(size_t count, size_t item_size) {
  size_t bytes = 0;
  if (__builtin_mul_overflow(count, item_size, &bytes)) fail_run("Out of memory");
  void* block = calloc(count, item_size);
  if (block == nullptr) {
    drop_kept_blocks();
    block = calloc(count, item_size);
  }
  if (block == nullptr) fail_run("Out of memory");
  return block;
}

size_t grown_capacity(size_t capacity, size_t needed) {
  size_t doubled = capacity > static_cast<size_t>(-1) / 2 ? needed : capacity * 2;
  size_t grown = doubled > needed ? doubled : needed;
  return grown < 16 ? 16 : grown;
}

}  // namespace sr::zr

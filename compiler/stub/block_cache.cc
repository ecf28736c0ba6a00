#include "compiler/stub/block_cache.h"

#include <stdlib.h>

namespace sr::zr {
namespace {

// Small blocks are cheap in any allocator; huge ones cost more to fill than to map.
constexpr size_t kSmallestKept = 64 * 1024;
constexpr size_t kLargestKept = 64 * 1024 * 1024;
constexpr int kKeptCount = 4;

struct KeptBlock {
  char* data;
  size_t capacity;
};

KeptBlock kept[kKeptCount];  // empty places hold null

// The place a new block may take: an empty one, else the one with the smallest block.
int place_to_fill() {
  int smallest = 0;
  for (int i = 0; i < kKeptCount; ++i) {
    if (kept[i].data == nullptr) return i;
    if (kept[i].capacity < kept[smallest].capacity) smallest = i;
  }
  return smallest;
}

}  // namespace

char* take_kept_block(size_t bytes, size_t& capacity) {
  int best = -1;
  for (int i = 0; i < kKeptCount; ++i) {
    if (kept[i].data == nullptr || kept[i].capacity < bytes) continue;
    if (best < 0 || kept[i].capacity < kept[best].capacity) best = i;
  }
  if (best < 0) return nullptr;
  char* block = kept[best].data;
  capacity = kept[best].capacity;
  kept[best] = KeptBlock{};
  return block;
}

void release_text_block(char* block, size_t capacity) {
  if (block == nullptr) return;
  const int place = place_to_fill();
  const bool keep = capacity >= kSmallestKept && capacity <= kLargestKept &&
                    (kept[place].data == nullptr || kept[place].capacity < capacity);
  if (!keep) {
    free(block);
    return;
  }
  free(kept[place].data);
  kept[place] = KeptBlock{block, capacity};
}

void drop_kept_blocks() {
  for (KeptBlock& block : kept) {
    free(block.data);
    block = KeptBlock{};
  }
}

}  // namespace sr::zr

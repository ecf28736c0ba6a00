#include "compiler/stub/block_cache.h"

#include <stdlib.h>

#include "compiler/stub/allocation.h"

namespace sr::zr {
namespace {

// Small texts: power-of-two sizes from 16 bytes to 32 KiB, each size a list threaded through
// its free blocks. The lists only grow to what the program once held at the same time.
constexpr size_t kSmallestSize = 16;
constexpr int kSmallSizes = 12;
constexpr size_t kLargestSmall = kSmallestSize << (kSmallSizes - 1);

struct FreeBlock {
  FreeBlock* next;
};

FreeBlock* free_small[kSmallSizes];  // by size: 16 << index

// The list for blocks of `size` bytes: the smallest size that holds it, when it is small.
int small_index_holding(size_t size) {
  int index = 0;
  while (index < kSmallSizes && (kSmallestSize << index) < size) ++index;
  return index;
}

// Large blocks: every one past the small sizes, which musl gives back to the system when freed
// (from 32 KiB on, not only past its 128 KiB mapping threshold); but not huge ones, which cost
// more to fill than to map.
constexpr size_t kSmallestKept = kLargestSmall;
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

char* take_text_block(size_t bytes, size_t& capacity) {
  if (bytes <= kLargestSmall) {
    const int index = small_index_holding(bytes);
    capacity = kSmallestSize << index;
    FreeBlock* block = free_small[index];
    if (block == nullptr) return static_cast<char*>(resize_block(nullptr, capacity, 1));
    free_small[index] = block->next;
    return reinterpret_cast<char*>(block);
  }
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
  const int index = small_index_holding(capacity);
  if (index < kSmallSizes && (kSmallestSize << index) == capacity) {
    auto* free_block = reinterpret_cast<FreeBlock*>(block);
    free_block->next = free_small[index];
    free_small[index] = free_block;
    return;
  }
  const int place = place_to_fill();
  const bool keep = capacity >= kSmallestKept && capacity <= kLargestKept &&
                    (kept[place].data == nullptr || kept[place].capacity < capacity);
  if (!keep) {
    free_block(block);
    return;
  }
  free_block(kept[place].data);
  kept[place] = KeptBlock{block, capacity};
}

void drop_kept_blocks() {
  for (FreeBlock*& list : free_small) {
    while (list != nullptr) {
      FreeBlock* next = list->next;
      free_block(list);
      list = next;
    }
  }
  for (KeptBlock& block : kept) {
    free_block(block.data);
    block = KeptBlock{};
  }
}

}  // namespace sr::zr

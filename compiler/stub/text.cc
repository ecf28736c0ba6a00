#include "compiler/stub/text.h"

#include <stdint.h>
#include <string.h>

#include "compiler/stub/allocation.h"
#include "compiler/stub/block_cache.h"
#include "compiler/stub/run_failure.h"

namespace sr::zr {

Text& Text::operator=(Text&& other) {
  if (this != &other) {
    release_text_block(storage_.data, storage_.capacity);
    storage_ = other.storage_;
    other.storage_ = TextStorage{};
  }
  return *this;
}

Text::~Text() {
  release_text_block(storage_.data, storage_.capacity);
}

Text Text::adopt(TextStorage storage) {
  Text text;
  text.storage_ = storage;
  return text;
}

TextStorage Text::release() {
  TextStorage storage = storage_;
  storage_ = TextStorage{};
  return storage;
}

void Text::reserve(size_t capacity) {
  if (capacity <= storage_.capacity) return;
  size_t granted = 0;
  char* block = take_text_block(capacity, granted);
  if (block == nullptr) {
    // Large, and nothing kept fits: the allocator may grow the block where it stands.
    storage_.data = static_cast<char*>(resize_block(storage_.data, capacity, 1));
    storage_.capacity = capacity;
    return;
  }
  if (storage_.size > 0) memcpy(block, storage_.data, storage_.size);
  release_text_block(storage_.data, storage_.capacity);
  storage_.data = block;
  storage_.capacity = granted;
}

void Text::append(Bytes bytes) {
  if (bytes.empty()) return;
  size_t needed = 0;
  if (__builtin_add_overflow(storage_.size, bytes.size, &needed)) fail_run("Out of memory");
  if (needed > storage_.capacity) {
    // Growing moves the block, so bytes from within this text are found again by offset.
    const auto start = reinterpret_cast<uintptr_t>(storage_.data);
    const auto from = reinterpret_cast<uintptr_t>(bytes.data);
    const bool inside = storage_.data != nullptr && from >= start && from < start + storage_.size;
    const size_t offset = inside ? from - start : 0;
    reserve(grown_capacity(storage_.capacity, needed));
    if (inside) bytes.data = storage_.data + offset;
  }
  memmove(storage_.data + storage_.size, bytes.data, bytes.size);
  storage_.size = needed;
}

char* Text::extend(size_t count) {
  size_t needed = 0;
  if (__builtin_add_overflow(storage_.size, count, &needed)) fail_run("Out of memory");
  reserve(needed);
  char* start = storage_.data + storage_.size;
  storage_.size = needed;
  return start;
}

void Text::push_back(char c) {
  append(Bytes{&c, 1});
}

void Text::drop_front(size_t count) {
  if (count == 0) return;
  memmove(storage_.data, storage_.data + count, storage_.size - count);
  storage_.size -= count;
}

void Text::swap(Text& other) {
  TextStorage mine = storage_;
  storage_ = other.storage_;
  other.storage_ = mine;
}

const char* Text::c_str() {
  if (storage_.size == storage_.capacity) {
    reserve(grown_capacity(storage_.capacity, storage_.size + 1));
  }
  storage_.data[storage_.size] = '\0';
  return storage_.data;
}

TextList::~TextList() {
  shrink_to(0);
}

void TextList::shrink_to(size_t count) {
  for (size_t i = count; i < items_.size(); ++i) {
    release_text_block(items_[i].data, items_[i].capacity);
  }
  items_.shrink_to(count);
}

Bytes TextList::view(size_t i) const {
  const TextStorage& item = items_[i];
  return item.data ? Bytes{item.data, item.size} : Bytes{};
}

void TextList::replace(size_t i, Text text) {
  release_text_block(items_[i].data, items_[i].capacity);
  items_[i] = text.release();
}

}  // namespace sr::zr

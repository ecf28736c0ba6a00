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

namespace {

void reserve_storage(TextStorage& storage, size_t capacity) {
  if (capacity <= storage.capacity) return;
  size_t granted = 0;
  char* block = take_text_block(capacity, granted);
  if (block == nullptr) {
    // Large, and nothing kept fits: the allocator may grow the block where it stands.
    storage.data = static_cast<char*>(resize_block(storage.data, capacity, 1));
    storage.capacity = capacity;
    return;
  }
  move_bytes(block, storage.data, storage.size);
  release_text_block(storage.data, storage.capacity);
  storage.data = block;
  storage.capacity = granted;
}

// `bytes` may lie within `storage`.
void append_to_storage(TextStorage& storage, Bytes bytes) {
  if (bytes.empty()) return;
  size_t needed = 0;
  if (__builtin_add_overflow(storage.size, bytes.size, &needed)) fail_run("Out of memory");
  if (needed > storage.capacity) {
    // Growing moves the block, so bytes from within this text are found again by offset.
    const auto start = reinterpret_cast<uintptr_t>(storage.data);
    const auto from = reinterpret_cast<uintptr_t>(bytes.data);
    const bool inside = storage.data != nullptr && from >= start && from < start + storage.size;
    const size_t offset = inside ? from - start : 0;
    reserve_storage(storage, grown_capacity(storage.capacity, needed));
    if (inside) bytes.data = storage.data + offset;
  }
  move_bytes(storage.data + storage.size, bytes.data, bytes.size);
  storage.size = needed;
}

}  // namespace

void Text::reserve(size_t capacity) {
  reserve_storage(storage_, capacity);
}

void Text::append(Bytes bytes) {
  append_to_storage(storage_, bytes);
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

void TextList::push_copy(Bytes bytes) {
  items_.push(TextStorage{});
  append_to_storage(items_.back(), bytes);
}

void TextList::append_to_last(Bytes bytes) {
  append_to_storage(items_.back(), bytes);
}

void TextList::replace(size_t i, Text text) {
  release_text_block(items_[i].data, items_[i].capacity);
  items_[i] = text.release();
}

}  // namespace sr::zr

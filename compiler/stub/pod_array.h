// A growable array of plain values (integers, instructions, text storage) in one malloc'd
// block. The values are copied bytewise when the block moves, so only plain types are allowed.
#pragma once

#include <string.h>

#include "compiler/stub/allocation.h"

namespace sr::zr {

template <typename T>
class PodArray {
  static_assert(__is_trivially_copyable(T), "PodArray moves its items bytewise");

 public:
  PodArray() = default;
  ~PodArray() { free_block(items_); }
  PodArray(const PodArray&) = delete;
  PodArray& operator=(const PodArray&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return items_[i]; }
  const T& operator[](size_t i) const { return items_[i]; }
  T& back() { return items_[size_ - 1]; }
  T* data() { return items_; }  // null until the first growth

  void push(const T& item) {
    if (size_ == capacity_) reserve(grown_capacity(capacity_, size_ + 1));
    items_[size_++] = item;
  }
  T pop() { return items_[--size_]; }
  // Forgets the items from `count` on; the block stays for the next growth.
  void shrink_to(size_t count) {
    if (count < size_) size_ = count;
  }

  // Grows to `count` items, the new ones all zero bytes. The first block is the exact size;
  // later ones at least double, so that a stack grown call by call costs linear time.
  void grow_zeroed(size_t count) {
    if (count <= size_) return;
    if (count > capacity_) reserve(capacity_ == 0 ? count : grown_capacity(capacity_, count));
    memset(static_cast<void*>(items_ + size_), 0, (count - size_) * sizeof(T));
    size_ = count;
  }

 private:
  void reserve(size_t capacity) {
    items_ = static_cast<T*>(resize_block(items_, capacity, sizeof(T)));
    capacity_ = capacity;
  }

  T* items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace sr::zr

// Owned byte strings. Text owns one; TextList owns a row of them, kept as plain TextStorage
// records so the row can live in a PodArray.
#pragma once

#include <stddef.h>

#include "compiler/stub/bytes.h"
#include "compiler/stub/pod_array.h"

namespace sr::zr {

// Lets a named object be moved from, as the C++ library's move would.
template <typename T>
T&& moved(T& value) {
  return static_cast<T&&>(value);
}

struct TextStorage {
  char* data;  // null while nothing was ever stored
  size_t size;
  size_t capacity;
};

class Text {
 public:
  Text() = default;
  explicit Text(Bytes bytes) { append(bytes); }
  Text(Text&& other) : storage_(other.storage_) { other.storage_ = TextStorage{}; }
  Text& operator=(Text&& other);
  ~Text();
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;

  // Takes over / hands over the storage, which the receiver must free. Every value on the
  // machine's stack passes through these, so they are inline.
  static Text adopt(TextStorage storage) {
    Text text;
    text.storage_ = storage;
    return text;
  }
  TextStorage release() {
    TextStorage storage = storage_;
    storage_ = TextStorage{};
    return storage;
  }

  Bytes view() const { return storage_.data ? Bytes{storage_.data, storage_.size} : Bytes{}; }
  size_t size() const { return storage_.size; }
  bool empty() const { return storage_.size == 0; }
  char* bytes() { return storage_.data; }  // null while empty and never grown
  char back() const { return storage_.data[storage_.size - 1]; }

  void append(Bytes bytes);  // `bytes` may lie within this text
  void push_back(char c);
  // Adds `count` bytes at the end for the caller to fill; returns where they start.
  char* extend(size_t count);
  void pop_back() { --storage_.size; }
  void reserve(size_t capacity);
  void clear() { storage_.size = 0; }
  void drop_front(size_t count);
  void swap(Text& other);
  // The bytes followed by a zero byte, for the C library; valid until the text changes.
  const char* c_str();

 private:
  TextStorage storage_{};
};

class TextList {
 public:
  TextList() = default;
  ~TextList();
  TextList(const TextList&) = delete;
  TextList& operator=(const TextList&) = delete;

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  Bytes view(size_t i) const;
  void grow_empty(size_t count) { items_.grow_zeroed(count); }
  void shrink_to(size_t count);  // frees the texts from `count` on
  void push(Text text) { items_.push(text.release()); }
  Text pop() { return Text::adopt(items_.pop()); }
  void replace(size_t i, Text text);
  // Hands over text `i`, leaving it empty.
  Text take(size_t i) {
    Text text = Text::adopt(items_[i]);
    items_[i] = TextStorage{};
    return text;
  }
  // Adds a copy of `bytes`, made where it will lie; growing the list moves its records, not the
  // bytes of its texts, so `bytes` may be one of them.
  void push_copy(Bytes bytes);
  // Appends to the last text where it lies, as the machine's concatenation does on its stack.
  void append_to_last(Bytes bytes);  // the list is not empty; `bytes` may lie within that text

 private:
  PodArray<TextStorage> items_;
};

}  // namespace sr::zr

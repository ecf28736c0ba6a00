#include "compiler/stub/array_values.h"

#include <stdlib.h>
#include <string.h>

#include "compiler/stub/allocation.h"
#include "compiler/stub/block_cache.h"
#include "compiler/stub/run_failure.h"
#include "compiler/stub/value_map.h"

namespace sr::zr {
namespace {

size_t item_size(const ValueArray& array) {
  return array.strings ? sizeof(TextStorage) : sizeof(int64_t);
}

void* items(const ValueArray& array) {
  return array.strings ? static_cast<void*>(array.texts) : static_cast<void*>(array.ints);
}

void set_items(ValueArray& array, void* block) {
  if (array.strings) {
    array.texts = static_cast<TextStorage*>(block);
  } else {
    array.ints = static_cast<int64_t*>(block);
  }
}

void release_texts(ValueArray& array, size_t from) {
  if (!array.strings) return;
  for (size_t i = from; i < array.size; ++i) {
    release_text_block(array.texts[i].data, array.texts[i].capacity);
  }
}

size_t checked_index(const ValueArray& array, int64_t index) {
  if (index < 0 || static_cast<uint64_t>(index) >= array.size) fail_run("Index out of range");
  return static_cast<size_t>(index);
}

}  // namespace

ValueArray* new_array(bool strings, bool map) {
  auto* array = static_cast<ValueArray*>(zeroed_block(1, sizeof(ValueArray)));
  array->strings = strings;
  array->map = map;
  return array;
}

void free_array(ValueArray* array) {
  if (array == nullptr) return;
  free_map_index(*array);
  release_texts(*array, 0);
  free_block(items(*array));
  free_block(array);
}

void resize_array(ValueArray& array, int64_t highest, bool keep) {
  // The indexes 0 to -1 are none: an empty array. Below that the size itself is negative.
  if (highest < -1) fail_run("Invalid array size");
  const size_t count = static_cast<size_t>(highest + 1);
  if (!keep || array.size == 0) {
    // Afresh: fresh zeroed pages cost nothing until they are written.
    release_texts(array, 0);
    free_block(items(array));
    set_items(array, nullptr);
    array.size = 0;
    set_items(array, zeroed_block(count, item_size(array)));
    array.size = count;
    return;
  }
  if (count < array.size) release_texts(array, count);
  void* block = resize_block(items(array), count, item_size(array));
  if (count > array.size) {
    memset(static_cast<char*>(block) + array.size * item_size(array), 0,
           (count - array.size) * item_size(array));
  }
  set_items(array, block);
  array.size = count;
}

int64_t& int_element(ValueArray& array, int64_t index) {
  return array.ints[checked_index(array, index)];
}

Bytes text_element(const ValueArray& array, int64_t index) {
  const TextStorage& item = array.texts[checked_index(array, index)];
  return item.data ? Bytes{item.data, item.size} : Bytes{};
}

void set_text_element(ValueArray& array, int64_t index, Text text) {
  TextStorage& item = array.texts[checked_index(array, index)];
  release_text_block(item.data, item.capacity);
  item = text.release();
}

ValueArray& slot_array(ArraySlot& slot, bool strings, bool map) {
  if (slot.array == nullptr) {
    slot.array = new_array(strings, map);
    slot.owned = true;
  }
  if (slot.array->strings != strings || slot.array->map != map) {
    fail_run("the program is damaged");
  }
  return *slot.array;
}

void release_slot(ArraySlot& slot) {
  if (slot.owned) free_array(slot.array);
  slot = ArraySlot{};
}

int64_t split_text(ValueArray& parts, Bytes text, Bytes separator) {
  size_t count = 1;
  if (!separator.empty()) {
    for (size_t at = find_bytes(text, separator, 0); at != kNotFound;
         at = find_bytes(text, separator, at + separator.size)) {
      ++count;
    }
  }
  resize_array(parts, static_cast<int64_t>(count - 1), false);
  size_t start = 0;
  for (size_t i = 0; i < count; ++i) {
    size_t end = i + 1 < count ? find_bytes(text, separator, start) : text.size;
    set_text_element(parts, static_cast<int64_t>(i), Text(text.part(start, end - start)));
    start = end + separator.size;
  }
  return static_cast<int64_t>(count);
}

Text join_texts(const ValueArray& parts, Bytes separator) {
  Text joined;
  for (size_t i = 0; i < parts.size; ++i) {
    if (i > 0) joined.append(separator);
    joined.append(text_element(parts, static_cast<int64_t>(i)));
  }
  return joined;
}

}  // namespace sr::zr

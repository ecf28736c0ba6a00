// The values of one array: integers or texts, indexes 0 to size - 1. A plain record, so that
// array slots can live in a PodArray; the functions below own its memory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "compiler/stub/bytes.h"
#include "compiler/stub/text.h"

namespace sr::zr {

struct MapIndex;

// A map is a ValueArray too: its values are the elements 0 to size - 1, in the order their keys
// were first set, and `index` holds their keys (compiler/stub/value_map.h).
struct ValueArray {
  bool strings;
  bool map;
  size_t size;
  int64_t* ints;       // the elements when !strings
  TextStorage* texts;  // the elements when strings
  MapIndex* index;     // a map's keys, null until its first key
};

// A slot names an array; a procedure's array parameter borrows the caller's (owned is false).
struct ArraySlot {
  ValueArray* array;
  bool owned;
};

ValueArray* new_array(bool strings, bool map = false);
void free_array(ValueArray* array);

// Gives `array` the indexes 0 to `highest`: afresh (every element 0 or "") or, with `keep`,
// keeping the elements that still fit. Below 0 ends the run with "Invalid array size".
void resize_array(ValueArray& array, int64_t highest, bool keep);

// The element at `index`; outside 0 to size - 1 ends the run with "Index out of range".
int64_t& int_element(ValueArray& array, int64_t index);
Bytes text_element(const ValueArray& array, int64_t index);
void set_text_element(ValueArray& array, int64_t index, Text text);

// The slot's array (or map), made (empty) on first use. A kind other than the slot's ends the run
// as a damaged program: the compiler never mixes them.
ValueArray& slot_array(ArraySlot& slot, bool strings, bool map = false);
// Frees the slot's array when the slot owns it.
void release_slot(ArraySlot& slot);

// Makes `parts` afresh with the fields of `text` between the separators and returns their
// number; an empty separator gives one field, the whole text.
int64_t split_text(ValueArray& parts, Bytes text, Bytes separator);
// The elements from 0 to the last, with `separator` between them.
Text join_texts(const ValueArray& parts, Bytes separator);

}  // namespace sr::zr

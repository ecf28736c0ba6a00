// Maps: a ValueArray whose values have string keys, kept in the order each key was first set.
// Keys are found through an open-addressing table hashed with SipHash under a key drawn afresh
// for every map, so that keys chosen by a client (the members of a posted JSON object) cannot
// be made to collide.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "compiler/stub/array_values.h"

namespace sr::zr {

// A map holds at most this many keys; one more ends the run with "Too many keys in a map".
inline constexpr size_t kMapMostKeys = size_t{1} << 20;

// The value `at` of a map of strings was set as JSON text (by JsonParse or JsonSet), which
// Json$ writes as it is rather than as a string.
bool map_value_is_json(const ValueArray& map, size_t at);

// The position of `key`, or kNotFound.
size_t map_find(const ValueArray& map, Bytes key);
// The position of `key`, added at the end (0 or "", not JSON) when it is missing.
size_t map_entry(ValueArray& map, Bytes key);
Bytes map_key(const ValueArray& map, size_t at);

void set_map_int(ValueArray& map, Bytes key, int64_t value);
void set_map_text(ValueArray& map, Bytes key, Text value, bool json);

// Removes `key` and its value; the later keys keep their order. False when it was missing.
bool remove_map_key(ValueArray& map, Bytes key);
// Every key and value gone.
void clear_map(ValueArray& map);
// Frees the keys and the table (not the values); called by free_array.
void free_map_index(ValueArray& map);

}  // namespace sr::zr

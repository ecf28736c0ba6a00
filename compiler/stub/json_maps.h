// Maps and arrays to and from JSON. A JSON object fills a map and a JSON array a string array;
// Json$ writes them back. A map of strings remembers which values came as JSON text (numbers,
// true, false, null, objects, arrays) and writes those as they are, so that what is read and
// written back is the same document; null is kept as "" and written as null.
#pragma once

#include "compiler/stub/array_values.h"
#include "compiler/stub/json_reader.h"

namespace sr::zr {

// Makes `map` afresh with the members of the object `document`: a member that appears twice
// keeps its first value, as JsonValue$ finds it. A map of integers takes integer numbers only.
// False with `error` set (the map untouched) for a document that is no sound JSON object.
bool json_to_map(Bytes document, ValueArray& map, JsonError& error);
// Makes the array `list` afresh with the elements of the array `document`: in an array of
// strings each as JsonValue$ gives it; an array of integers takes integer numbers only.
bool json_to_list(Bytes document, ValueArray& list, JsonError& error);

// The JSON text of a map or of an array (strings escaped as JsonEscape$ does). With
// `as_json`, the elements of `list` are JSON texts, "" standing for null. False with `error` set
// for a result past kJsonMostBytes or kJsonMostDepth, or for an element that is no JSON, whose
// index goes to `bad_element`.
bool map_to_json(const ValueArray& map, Text& out, JsonError& error);
bool list_to_json(const ValueArray& list, bool as_json, Text& out, JsonError& error,
                  size_t& bad_element);

// "byte N: message".
Text json_fault_text(const JsonError& error);

}  // namespace sr::zr

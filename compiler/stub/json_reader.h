// Reading JSON documents: a whole document is checked first (the grammar of RFC 8259, nesting at
// most kJsonMostDepth deep, at most kJsonMostBytes long), then a value is found in it by a JSON
// Pointer ("/items/0/name", "" for the whole document, "~1" and "~0" for "/" and "~" in a key).
// A fault is reported as a message and the byte it was found at, never by a partial result.
#pragma once

#include <stdint.h>

#include "compiler/stub/text.h"

namespace sr::zr {

inline constexpr int kJsonMostDepth = 64;
inline constexpr size_t kJsonMostBytes = 16 * 1024 * 1024;

enum class JsonKind { missing, object, array, string, number, boolean, null };

struct JsonError {
  const char* message = nullptr;  // null when the document is sound
  size_t at = 0;                  // the byte, from 1
};

// The value at `pointer`: its kind and its JSON text (`raw`, within `document`); kind missing when
// no value is there. False, with `error` set, when the document is no JSON or too deep or long.
bool json_find(Bytes document, Bytes pointer, JsonKind& kind, Bytes& raw, JsonError& error);
// A found value as a page uses it: a string decoded, a number, true or false as written, null
// and a missing value as "", an object or an array as its JSON text.
Text json_value_text(JsonKind kind, Bytes raw);
const char* json_kind_name(JsonKind kind);  // "object", ..., "" for missing

// The members of an object or the elements of an array found by json_find, in order: their keys
// (decoded; for an array "0", "1", ...). Calls `take` for each; gives their number.
int64_t json_keys(JsonKind kind, Bytes raw, void (*take)(void* context, Text key), void* context);
// The same with each member's value: its kind and its JSON text, within `raw`.
using JsonMemberTaker = void (*)(void* context, Text key, JsonKind kind, Bytes value);
int64_t json_members(JsonKind kind, Bytes raw, JsonMemberTaker take, void* context);

}  // namespace sr::zr

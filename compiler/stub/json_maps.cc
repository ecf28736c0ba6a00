#include "compiler/stub/json_maps.h"

#include "compiler/stub/text_functions.h"
#include "compiler/stub/value_map.h"

namespace sr::zr {
namespace {

// `raw` is an integer number within 64 bits, without fraction or exponent.
bool integer_of(Bytes raw, int64_t& value) {
  const bool negative = raw.size > 0 && raw[0] == '-';
  uint64_t magnitude = 0;
  const uint64_t most = negative ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
  for (size_t i = negative ? 1 : 0; i < raw.size; ++i) {
    if (raw[i] < '0' || raw[i] > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(raw[i] - '0');
    if (magnitude > (most - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

struct Filling {
  ValueArray* target;
  Bytes document;
  JsonError* error;
  int64_t next = 0;  // the element to fill
};

// For a map or an array of integers, before anything is changed: every value an integer.
void check_integer(void* context, Text, JsonKind kind, Bytes value) {
  Filling& f = *static_cast<Filling*>(context);
  int64_t n = 0;
  if (f.error->message == nullptr && (kind != JsonKind::number || !integer_of(value, n))) {
    f.error->message = f.target->map ? "a map of integers takes only integer values"
                                     : "an array of integers takes only integer values";
    f.error->at = static_cast<size_t>(value.data - f.document.data) + 1;
  }
}

void take_member(void* context, Text key, JsonKind kind, Bytes value) {
  ValueArray& map = *static_cast<Filling*>(context)->target;
  if (map_find(map, key.view()) != kNotFound) return;
  if (map.strings) {
    set_map_text(map, key.view(), json_value_text(kind, value), kind != JsonKind::string);
  } else {
    int64_t n = 0;
    integer_of(value, n);
    set_map_int(map, key.view(), n);
  }
}

void count_only(void*, Text, JsonKind, Bytes) {}

void take_element(void* context, Text, JsonKind kind, Bytes value) {
  Filling& f = *static_cast<Filling*>(context);
  if (f.target->strings) {
    set_text_element(*f.target, f.next++, json_value_text(kind, value));
  } else {
    integer_of(value, int_element(*f.target, f.next++));
  }
}

bool root(Bytes document, JsonKind wanted, Bytes& raw, JsonError& error) {
  JsonKind kind;
  if (!json_find(document, Bytes{}, kind, raw, error)) return false;
  if (kind == wanted) return true;
  error.message = wanted == JsonKind::object ? "a map is filled from a JSON object"
                                             : "an array is filled from a JSON array";
  error.at = static_cast<size_t>(raw.data - document.data) + 1;
  return false;
}

void append_string(Text& out, Bytes s) {
  out.push_back('"');
  out.append(json_escape(s).view());
  out.push_back('"');
}

// A JSON text as written, or null for "".
void append_json(Text& out, Bytes json) {
  out.append(json.empty() ? bytes_of("null") : json);
}

// The written text is read back by the same checks as any document: past the limits, it fails.
bool within_limits(const Text& out, JsonError& error) {
  JsonKind kind;
  Bytes raw;
  return json_find(out.view(), Bytes{}, kind, raw, error);
}

}  // namespace

bool json_to_map(Bytes document, ValueArray& map, JsonError& error) {
  Bytes raw;
  if (!root(document, JsonKind::object, raw, error)) return false;
  Filling f{&map, document, &error};
  if (!map.strings) json_members(JsonKind::object, raw, check_integer, &f);
  if (error.message != nullptr) return false;
  clear_map(map);
  json_members(JsonKind::object, raw, take_member, &f);
  return true;
}

bool json_to_list(Bytes document, ValueArray& list, JsonError& error) {
  Bytes raw;
  if (!root(document, JsonKind::array, raw, error)) return false;
  Filling f{&list, document, &error};
  if (!list.strings) json_members(JsonKind::array, raw, check_integer, &f);
  if (error.message != nullptr) return false;
  resize_array(list, json_members(JsonKind::array, raw, count_only, nullptr) - 1, false);
  json_members(JsonKind::array, raw, take_element, &f);
  return true;
}

bool map_to_json(const ValueArray& map, Text& out, JsonError& error) {
  out.clear();
  out.push_back('{');
  bool json = false;
  for (size_t i = 0; i < map.size; ++i) {
    if (i > 0) out.push_back(',');
    append_string(out, map_key(map, i));
    out.push_back(':');
    if (!map.strings) {
      out.append(decimal(map.ints[i]).view());
    } else if (map_value_is_json(map, i)) {
      append_json(out, text_element(map, static_cast<int64_t>(i)));
      json = true;
    } else {
      append_string(out, text_element(map, static_cast<int64_t>(i)));
    }
    if (out.size() > kJsonMostBytes) break;
  }
  out.push_back('}');
  // Only JSON texts kept in the map can nest; plain strings and numbers cannot go wrong.
  return (!json && out.size() <= kJsonMostBytes) || within_limits(out, error);
}

bool list_to_json(const ValueArray& list, bool as_json, Text& out, JsonError& error,
                  size_t& bad_element) {
  bad_element = kNotFound;
  out.clear();
  out.push_back('[');
  for (size_t i = 0; i < list.size && out.size() <= kJsonMostBytes; ++i) {
    if (i > 0) out.push_back(',');
    if (!list.strings) {
      out.append(decimal(list.ints[i]).view());
      continue;
    }
    const Bytes element = text_element(list, static_cast<int64_t>(i));
    if (!as_json) {
      append_string(out, element);
      continue;
    }
    JsonKind kind;
    Bytes raw;
    if (!element.empty() && !json_find(element, Bytes{}, kind, raw, error)) {
      bad_element = i;
      return false;
    }
    append_json(out, element);
  }
  out.push_back(']');
  return (!as_json && out.size() <= kJsonMostBytes) || within_limits(out, error);
}

Text json_fault_text(const JsonError& error) {
  Text text(bytes_of("byte "));
  text.append(decimal(static_cast<int64_t>(error.at)).view());
  text.append(bytes_of(": "));
  text.append(bytes_of(error.message));
  return text;
}

}  // namespace sr::zr

// JsonParse and Json$ on any document: a document read into a map or an array (of strings or of
// integers) and written back is a sound document that reads back into the same values, and
// writing that gives the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "compiler/stub/json_maps.h"
#include "compiler/stub/value_map.h"

namespace {

using sr::zr::Bytes;
using sr::zr::JsonError;
using sr::zr::Text;
using sr::zr::ValueArray;

void check(bool ok) {
  if (!ok) abort();
}

bool same_bytes(Bytes a, Bytes b) {
  return sr::zr::compare_bytes(a, b) == 0;
}

void check_same(const ValueArray& a, const ValueArray& b) {
  check(a.size == b.size);
  for (size_t i = 0; i < a.size; ++i) {
    const auto at = static_cast<int64_t>(i);
    if (a.map) {
      check(same_bytes(sr::zr::map_key(a, i), sr::zr::map_key(b, i)));
      check(sr::zr::map_value_is_json(a, i) == sr::zr::map_value_is_json(b, i));
    }
    if (a.strings) {
      check(same_bytes(sr::zr::text_element(a, at), sr::zr::text_element(b, at)));
    } else {
      check(a.ints[i] == b.ints[i]);
    }
  }
}

// Writes `first`, reads the text back into `second` and writes that again.
void round_trip(const ValueArray& first, ValueArray& second) {
  Text written, again;
  JsonError error;
  size_t bad = 0;
  const bool wrote = first.map ? sr::zr::map_to_json(first, written, error)
                               : sr::zr::list_to_json(first, false, written, error, bad);
  if (!wrote) return;  // past the limits: only a map holding JSON texts nests deeper
  const bool read = first.map ? sr::zr::json_to_map(written.view(), second, error)
                              : sr::zr::json_to_list(written.view(), second, error);
  check(read);
  check_same(first, second);
  check(first.map ? sr::zr::map_to_json(second, again, error)
                  : sr::zr::list_to_json(second, false, again, error, bad));
  check(same_bytes(written.view(), again.view()));
}

// Removing every other key leaves the others found, in their order, and the removed ones gone.
void remove_half(ValueArray& map) {
  std::vector<std::string> keys;
  for (size_t i = 0; i < map.size; ++i) {
    const Bytes key = sr::zr::map_key(map, i);
    keys.emplace_back(key.data, key.size);
  }
  for (size_t i = 0; i < keys.size(); i += 2) {
    check(sr::zr::remove_map_key(map, Bytes{keys[i].data(), keys[i].size()}));
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    const size_t at = sr::zr::map_find(map, Bytes{keys[i].data(), keys[i].size()});
    check(i % 2 == 0 ? at == sr::zr::kNotFound : at == i / 2);
  }
  check(map.size == keys.size() / 2);
}

void try_kind(Bytes document, bool strings, bool map) {
  ValueArray* first = sr::zr::new_array(strings, map);
  ValueArray* second = sr::zr::new_array(strings, map);
  JsonError error;
  const bool read = map ? sr::zr::json_to_map(document, *first, error)
                        : sr::zr::json_to_list(document, *first, error);
  if (read) {
    round_trip(*first, *second);
    if (map) remove_half(*first);
  } else {
    check(error.message != nullptr && error.at >= 1 && error.at <= document.size + 1);
    check(first->size == 0);  // nothing half-filled
  }
  sr::zr::free_array(first);
  sr::zr::free_array(second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes document{reinterpret_cast<const char*>(data), size};
  try_kind(document, true, true);
  try_kind(document, false, true);
  try_kind(document, true, false);
  try_kind(document, false, false);
  return 0;
}

#include "compiler/stub/bytes.h"

#include <string.h>

namespace sr::zr {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

Bytes Bytes::part(size_t from, size_t count) const {
  if (from >= size) return Bytes{data + size, 0};
  size_t rest = size - from;
  return Bytes{data + from, count < rest ? count : rest};
}

Bytes bytes_of(const char* c_string) {
  return Bytes{c_string, strlen(c_string)};
}

size_t find_bytes(Bytes s, Bytes sought, size_t from) {
  if (from > s.size || sought.size > s.size - from) return kNotFound;
  if (sought.empty()) return from;
  const size_t last_start = s.size - sought.size;
  for (size_t at = from; at <= last_start; ++at) {
    const void* first = memchr(s.data + at, sought.data[0], last_start - at + 1);
    if (first == nullptr) return kNotFound;
    at = static_cast<size_t>(static_cast<const char*>(first) - s.data);
    if (memcmp(s.data + at, sought.data, sought.size) == 0) return at;
  }
  return kNotFound;
}

int compare_bytes(Bytes a, Bytes b) {
  int order = memcmp(a.data, b.data, a.size < b.size ? a.size : b.size);
  if (order != 0) return order;
  return a.size < b.size ? -1 : a.size > b.size ? 1 : 0;
}

size_t first_non_blank(Bytes s) {
  for (size_t i = 0; i < s.size; ++i) {
    if (!is_blank(s.data[i])) return i;
  }
  return kNotFound;
}

size_t last_non_blank(Bytes s) {
  for (size_t i = s.size; i > 0; --i) {
    if (!is_blank(s.data[i - 1])) return i - 1;
  }
  return kNotFound;
}

}  // namespace sr::zr

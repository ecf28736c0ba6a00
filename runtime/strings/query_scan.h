// The walk over a URL's query parameters that both single lookups and the query index follow.
#pragma once

#include <cstddef>
#include <string_view>

namespace sr {

struct QueryParameter {
  std::string_view key;     // from the key start to the first "=" after it; may hold "&"
  std::size_t value_begin;  // offsets into the URL
  std::size_t value_end;
};

// Calls `visit` with each parameter, in order, until it returns true. The key of the first
// parameter starts after the first "?"; each later one after the first "&" behind the previous
// key's "=". A value ends at the next "&", or for the last parameter at the next "#" or the end.
// Every search starts where the previous one stopped, so the walk is linear in the URL's length.
template <typename Visit>
void scan_query(std::string_view url, Visit&& visit) {
  constexpr std::size_t kNone = std::string_view::npos;
  std::size_t key = url.find('?');
  if (key == kNone) return;
  ++key;
  while (true) {
    std::size_t equals = url.find('=', key);
    if (equals == kNone) return;
    std::size_t amp = url.find('&', equals + 1);
    std::size_t end = amp != kNone ? amp : url.find('#', equals + 1);
    if (visit(QueryParameter{url.substr(key, equals - key), equals + 1,
                             end != kNone ? end : url.size()})) {
      return;
    }
    if (amp == kNone) return;
    key = amp + 1;
  }
}

}  // namespace sr

#include "runner/query_values.h"

#include "runtime/strings/url_part.h"

namespace sr {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  }
  return out;
}

bool is_part_name(std::string_view name) {
  return name == "/WS/" || name == "/PO/" || name == "/US/" || name == "/PS/" || name == "/PM/" ||
         name == "/AN/" || name == "/PT/";
}

}  // namespace

QueryValues::QueryValues(std::string_view request_uri) : uri_(request_uri) {
  // The same walk as a single lookup: a key runs to the first "=" after its start, the next key
  // starts behind the first "&" after that "=".
  std::size_t key = uri_.find('?');
  if (key == kNone) return;
  ++key;
  while (true) {
    const std::size_t equals = uri_.find('=', key);
    if (equals == kNone) return;
    const std::size_t value = equals + 1;
    const std::size_t amp = uri_.find('&', value);
    std::size_t end = amp != kNone ? amp : uri_.find('#', value);
    if (end == kNone) end = uri_.size();
    first_values_.try_emplace(ascii_lower(uri_.substr(key, equals - key)),
                              uri_.substr(value, end - value));
    const std::size_t next = uri_.find('&', equals);
    if (next == kNone) return;
    key = next + 1;
  }
}

std::string QueryValues::value(std::string_view name) const {
  if (is_part_name(name)) return url_part(uri_, name);
  auto found = first_values_.find(ascii_lower(name));
  return found == first_values_.end() ? std::string() : std::string(found->second);
}

}  // namespace sr

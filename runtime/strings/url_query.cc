#include "runtime/strings/ascii.h"
#include "runtime/strings/query_scan.h"
#include "runtime/strings/url_part.h"

namespace sr {
namespace {

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(ascii_lower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

UrlQuery::UrlQuery(std::string_view url) : url_(url), lowered_url_(lower_ascii(url)) {
  // emplace keeps the first entry of a key, as the single lookup stops at the first match.
  scan_query(url_, [this](const QueryParameter& p) {
    const auto at = static_cast<std::size_t>(p.key.data() - url_.data());
    first_values_.emplace(std::string_view(lowered_url_).substr(at, p.key.size()),
                          std::pair(p.value_begin, p.value_end));
    return false;
  });
}

std::string UrlQuery::value(std::string_view name) const {
  if (url_.empty() || name.empty()) return {};
  if (is_url_part_name(name)) return url_part(url_, name);
  auto found = first_values_.find(lower_ascii(name));
  if (found == first_values_.end()) return {};
  auto [begin, end] = found->second;
  return url_.substr(begin, end - begin);
}

}  // namespace sr

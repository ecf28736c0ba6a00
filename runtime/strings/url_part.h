// Named parts of a URL and raw query-parameter values.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <memory_resource>
#include <unordered_map>
#include <utility>

namespace sr {

// `name` is one of "/WS/" (host), "/PO/" (port), "/US/" (user), "/PS/" (password),
// "/PM/" (all parameters), "/AN/" (anchor), "/PT/" (path), compared exactly; any other name is
// looked up as a query parameter with a case-insensitive key of exactly the name's length.
// Values are returned raw (not decoded); "" when there is none. Host, port, user, password and
// path come only from an absolute URL's authority ("scheme://" before any "/", "?" or "#") and
// the path behind it; a "@", ":" or "://" further on never moves them.
std::string url_part(std::string_view url, std::string_view name);

// True when `name` is exactly one of the seven part names above.
bool is_url_part_name(std::string_view name);

// One URL with its query parameters indexed once, for a lookup per parameter in linear total
// time: value(name) gives exactly url_part(url, name) for every name.
class UrlQuery {
 public:
  explicit UrlQuery(std::string_view url);
  // The index points into the object's own copies.
  UrlQuery(const UrlQuery&) = delete;
  UrlQuery& operator=(const UrlQuery&) = delete;
  std::string value(std::string_view name) const;

 private:
  std::string url_;
  std::string lowered_url_;  // the index's keys are parts of it
  // Lower-cased key -> value offsets of its first parameter. Its nodes come from one arena: a
  // request indexes a hundred parameters and drops them all at once.
  std::pmr::monotonic_buffer_resource arena_;
  std::pmr::unordered_map<std::string_view, std::pair<std::size_t, std::size_t>> first_values_{
      &arena_};
};

}  // namespace sr

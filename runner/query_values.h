// Raw query-parameter values of a request URI, indexed once so that a request with many
// parameters costs linear time. Every answer equals url_part(uri, name).
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace sr {

class QueryValues {
 public:
  explicit QueryValues(std::string_view request_uri);
  std::string value(std::string_view name) const;

 private:
  std::string_view uri_;
  // Lower-cased key -> value of its first parameter.
  std::unordered_map<std::string, std::string_view> first_values_;
};

}  // namespace sr

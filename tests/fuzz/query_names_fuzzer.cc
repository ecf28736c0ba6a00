// The query-name scan must give exactly the names of the PCRE extraction, for any query.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runner/query_names.h"
#include "runtime/regex/regex.h"

namespace {

sr::RegexHandle name_pattern() {
  static const sr::RegexHandle handle = [] {
    sr::init_regex_library();
    return sr::create_regex("(?U)(?<=&).+(?==)");
  }();
  return handle;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const sr::RegexHandle pattern = name_pattern();
  if (pattern == 0) abort();
  const std::string subject = "&" + std::string(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> scanned = sr::query_parameter_names(subject);
  std::vector<std::string> extracted;
  sr::extract_regex_matches(pattern, subject, extracted);
  if (scanned != extracted) {
    fprintf(stderr, "query names differ: scan found %zu, PCRE %zu\n", scanned.size(),
            extracted.size());
    abort();
  }
  return 0;
}

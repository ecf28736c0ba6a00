// string_to_number on any text equals a model built from the rules rather than from the code:
// the text is cut into blanks, sign, form and digit run with string searches, and the run's value
// modulo 2^64 comes from std::from_chars (the last 16 hexadecimal or 64 binary digits hold it
// whole; decimal runs are folded in chunks of up to 19 digits). number_to_string of the result
// reads back as the same value.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/strings/strings.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Form {
  int base;
  std::string_view digits;
};

std::uint64_t parse_run(std::string_view run, int base) {
  std::uint64_t value = 0;
  std::from_chars(run.data(), run.data() + run.size(), value, base);
  return value;
}

// The run's value modulo 2^64.
std::uint64_t run_value(std::string_view run, int base) {
  if (base == 16) return parse_run(run.substr(run.size() > 16 ? run.size() - 16 : 0), 16);
  if (base == 2) return parse_run(run.substr(run.size() > 64 ? run.size() - 64 : 0), 2);
  std::uint64_t value = 0;
  while (!run.empty()) {
    const std::string_view chunk = run.substr(0, 19);
    std::uint64_t scale = 1;
    for (std::size_t i = 0; i < chunk.size(); ++i) scale *= 10;
    value = value * scale + parse_run(chunk, 10);
    run.remove_prefix(chunk.size());
  }
  return value;
}

std::int64_t model(std::string_view text) {
  // The runner's strings end at their first zero byte.
  text = text.substr(0, text.find('\0'));
  text.remove_prefix(std::min(text.find_first_not_of(" \t"), text.size()));
  const bool negative = text.starts_with('-');
  if (negative || text.starts_with('+')) text.remove_prefix(1);
  Form form{10, "0123456789"};
  if (text.starts_with('$')) form = {16, "0123456789abcdefABCDEF"};
  if (text.starts_with('%')) form = {2, "01"};
  if (form.base != 10) text.remove_prefix(1);
  const std::string_view run = text.substr(0, text.find_first_not_of(form.digits));
  const std::uint64_t magnitude = run_value(run, form.base);
  return static_cast<std::int64_t>(negative ? ~magnitude + 1 : magnitude);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::int64_t value = sr::string_to_number(text);
  const std::int64_t expected = model(text);
  if (value != expected) {
    sr::fuzz::fail("string_to_number", std::to_string(expected), std::to_string(value));
  }
  const std::string decimal = sr::number_to_string(value);
  if (decimal != std::to_string(value)) {
    sr::fuzz::fail("number_to_string", std::to_string(value), decimal);
  }
  if (sr::string_to_number(decimal) != value) {
    sr::fuzz::fail("decimal text does not read back", decimal,
                   std::to_string(sr::string_to_number(decimal)));
  }
  return 0;
}

// url_part on any URL: every answer is a piece of the URL; query values and the parameters and
// anchor parts agree with a direct model of the lookup; UrlQuery answers exactly as url_part.
// Input: the URL, optionally followed by LF and one more name to look up.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/strings/url_part.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr std::string_view kPartNames[] = {"/WS/", "/PO/", "/US/", "/PS/", "/PM/", "/AN/", "/PT/"};

char fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// The query walk, written from the rules: keys run from "?" or "&" to the next "=", the first
// key equal to the name (ASCII case ignored) wins, and its value ends at the next "&", or for
// the last parameter at the next "#".
std::string model_parameter(std::string_view url, std::string_view name) {
  if (url.empty() || name.empty()) return "";
  std::size_t key_start = url.find('?');
  if (key_start == std::string_view::npos) return "";
  ++key_start;
  for (;;) {
    const std::size_t equals = url.find('=', key_start);
    if (equals == std::string_view::npos) return "";
    if (same_ignoring_case(url.substr(key_start, equals - key_start), name)) {
      const std::size_t value = equals + 1;
      std::size_t end = url.find('&', value);
      if (end == std::string_view::npos) end = url.find('#', value);
      if (end == std::string_view::npos) end = url.size();
      return std::string(url.substr(value, end - value));
    }
    const std::size_t amp = url.find('&', equals + 1);
    if (amp == std::string_view::npos) return "";
    key_start = amp + 1;
  }
}

std::string model_parameters_part(std::string_view url) {
  const std::size_t q = url.find('?');
  if (q == std::string_view::npos) return "";
  const std::size_t hash = url.find('#', q + 1);
  return std::string(url.substr(q + 1, hash == std::string_view::npos ? hash : hash - q - 1));
}

std::string model_anchor_part(std::string_view url) {
  const std::size_t hash = url.find('#');
  return hash == std::string_view::npos ? "" : std::string(url.substr(hash + 1));
}

// Every text between a "?" or "&" and the next "=": the names a query can actually hold.
std::vector<std::string> candidate_names(std::string_view url) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < url.size() && names.size() < 64; ++i) {
    if (url[i] != '?' && url[i] != '&') continue;
    const std::size_t equals = url.find('=', i + 1);
    if (equals == std::string_view::npos) break;
    std::string name(url.substr(i + 1, equals - i - 1));
    names.push_back(name);
    for (char& c : name) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    names.push_back(name);
  }
  return names;
}

void check(std::string_view url, const sr::UrlQuery& query, std::string_view name) {
  const std::string value = sr::url_part(url, name);
  if (value.size() > url.size() || url.find(value) == std::string_view::npos) {
    sr::fuzz::fail("url_part gave a text that is not part of the URL", url, value);
  }
  if (query.value(name) != value) {
    sr::fuzz::fail("UrlQuery::value differs from url_part", value, query.value(name));
  }
  if (name == "/PM/") {
    if (value != model_parameters_part(url)) {
      sr::fuzz::fail("parameters part", model_parameters_part(url), value);
    }
  } else if (name == "/AN/") {
    if (value != model_anchor_part(url))
      sr::fuzz::fail("anchor part", model_anchor_part(url), value);
  } else if (!sr::is_url_part_name(name) && name.find('\0') == std::string_view::npos) {
    // A zero byte ends a C string, so the model does not speak for names that hold one.
    const std::string expected = model_parameter(url, name);
    if (value != expected) sr::fuzz::fail("query parameter value", expected, value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view url = input;
  std::vector<std::string> names(std::begin(kPartNames), std::end(kPartNames));
  const std::size_t newline = input.rfind('\n');
  if (newline != std::string_view::npos) {
    url = input.substr(0, newline);
    names.emplace_back(input.substr(newline + 1));
  }
  for (std::string& name : candidate_names(url)) names.push_back(std::move(name));
  const sr::UrlQuery query(url);
  for (const std::string& name : names) check(url, query, name);
  return 0;
}

// The request's texts: Cookie headers, Set-Cookie lines and redirect addresses. An input that
// begins with "B" builds a Cookie header from the pairs the rest describes, as browsers join
// them, and every name must find the value of its first pair. Any other input is taken apart
// into a header, a name, a value, options and an address: a cookie found is a part of the
// header, an accepted Set-Cookie line is one line that gives its value back, and an accepted
// address is absolute and carries no byte that could end the header.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "compiler/stub/request_text.h"

namespace {

using sr::zr::Bytes;
using sr::zr::Text;

void check(bool ok) {
  if (!ok) abort();
}

Bytes bytes(const std::string& s) {
  return Bytes{s.data(), s.size()};
}

std::string text(const Text& t) {
  return std::string(t.view().data, t.view().size);
}

std::string pick(FuzzedDataProvider& in, const char* alphabet, size_t most) {
  std::string out;
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, most);
  for (size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    out.push_back(alphabet[in.ConsumeIntegralInRange<size_t>(0, strlen(alphabet) - 1)]);
  }
  return out;
}

void built_header(FuzzedDataProvider& in) {
  static const char kToken[] = "abcXYZ019!#$%&'*+-.^_`|~";
  static const char kValue[] = "abcXYZ019!#$%&'()*+-./:<=>?@[]^_`{|}~";
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string header;
  const size_t count = in.ConsumeIntegralInRange<size_t>(1, 8);
  for (size_t i = 0; i < count; ++i) {
    std::string name = pick(in, kToken, 6);
    if (name.empty()) name = "n";
    const std::string value = pick(in, kValue, 12);
    const bool quoted = in.ConsumeBool();
    if (i > 0) header += in.ConsumeBool() ? "; " : ";";
    header += pick(in, " \t", 2) + name + "=" + (quoted ? "\"" + value + "\"" : value);
    header += pick(in, " \t", 2);
    pairs.emplace_back(name, value);
  }
  for (const auto& [name, value] : pairs) {
    std::string first;
    for (const auto& [other, other_value] : pairs) {
      if (other == name) {
        first = other_value;
        break;
      }
    }
    check(text(sr::zr::cookie_value(bytes(header), bytes(name))) == first);
  }
}

bool is_part_of(const std::string& part, const std::string& whole) {
  return whole.find(part) != std::string::npos;
}

void taken_apart(FuzzedDataProvider& in) {
  const std::string header = in.ConsumeRandomLengthString(256);
  const std::string name = in.ConsumeRandomLengthString(16);
  const std::string value = in.ConsumeRandomLengthString(32);
  const std::string options = in.ConsumeRandomLengthString(32);
  const std::string host = in.ConsumeRandomLengthString(24);
  const std::string port = in.ConsumeRandomLengthString(6);
  const std::string url = in.ConsumeRandomLengthString(64);

  check(is_part_of(text(sr::zr::cookie_value(bytes(header), bytes(name))), header));

  Text line;
  if (sr::zr::set_cookie_line(bytes(name), bytes(value), bytes(options), line) == nullptr) {
    const std::string written = text(line);
    check(written.rfind("Set-Cookie: ", 0) == 0 && written.back() == '\n');
    for (size_t i = 0; i + 1 < written.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(written[i]);
      check(c >= 32 && c != 127);
    }
    const std::string cookie = written.substr(12, written.size() - 13);
    check(text(sr::zr::cookie_value(bytes(cookie), bytes(name))) == value);
  }

  const sr::zr::PageAddress page{bytes(options), bytes(host), bytes(value), bytes(port)};
  Text absolute;
  if (sr::zr::absolute_url(bytes(url), page, absolute) == nullptr) {
    const std::string location = text(absolute);
    for (unsigned char c : location) check(c > 32 && c != 127);
    check(location.find(':') != std::string::npos);
    if (url.size() >= 1 && url[0] == '/' && (url.size() == 1 || url[1] != '/')) {
      // An address below the root lands below the page's own host.
      check(location.rfind("http://" + host, 0) == 0 || location.rfind("https://" + host, 0) == 0);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (size > 0 && data[0] == 'B') {
    in.ConsumeIntegral<uint8_t>();
    built_header(in);
  } else {
    taken_apart(in);
  }
  return 0;
}

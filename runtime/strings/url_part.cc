#include "runtime/strings/url_part.h"

#include <array>
#include <cstddef>

#include "runtime/strings/strings.h"

namespace sr {
namespace {

using Pos = std::size_t;
constexpr Pos kNone = std::string_view::npos;

std::string slice(std::string_view url, Pos begin, Pos end) {
  if (begin == kNone || begin > url.size()) return {};
  if (end == kNone || end > url.size()) end = url.size();
  if (end < begin) return {};
  return std::string(url.substr(begin, end - begin));
}

// Start of the host: after "://", and after an "@" anywhere behind it.
Pos host_start(std::string_view url) {
  Pos scheme = url.find("://");
  if (scheme == kNone) return kNone;
  Pos start = scheme + 3;
  Pos at = url.find('@', start);
  return at == kNone ? start : at + 1;
}

std::string host(std::string_view url) {
  Pos start = host_start(url);
  if (start == kNone) return {};
  Pos colon = url.find(':', start);
  Pos slash = url.find('/', start);
  return slice(url, start, colon != kNone && (slash == kNone || colon < slash) ? colon : slash);
}

std::string port(std::string_view url) {
  Pos start = host_start(url);
  if (start == kNone) return {};
  Pos colon = url.find(':', start);
  if (colon == kNone) return {};
  return slice(url, colon + 1, url.find('/', colon + 1));
}

std::string user(std::string_view url) {
  Pos scheme = url.find("://");
  if (scheme == kNone) return {};
  Pos start = scheme + 3;
  Pos at = url.find('@', start);
  if (at == kNone) return {};
  Pos colon = url.find(':', start);
  return slice(url, start, colon != kNone && colon < at ? colon : at);
}

std::string password(std::string_view url) {
  Pos scheme = url.find("://");
  if (scheme == kNone) return {};
  Pos at = url.find('@', scheme + 3);
  Pos colon = url.find(':', scheme + 3);
  if (at == kNone || colon == kNone || colon > at) return {};
  return slice(url, colon + 1, at);
}

std::string parameters(std::string_view url) {
  Pos question = url.find('?');
  if (question == kNone) return {};
  return slice(url, question + 1, url.find('#', question + 1));
}

std::string anchor(std::string_view url) {
  Pos hash = url.find('#');
  return hash == kNone ? std::string() : slice(url, hash + 1, kNone);
}

std::string path(std::string_view url) {
  Pos scheme = url.find("://");
  if (scheme == kNone) return {};
  Pos slash = url.find('/', scheme + 3);
  if (slash == kNone) return {};
  return slice(url, slash + 1, url.find('?', slash + 1));
}

// The raw value of the first parameter whose key equals `name` ignoring ASCII case.
std::string parameter_value(std::string_view url, std::string_view name) {
  Pos key = url.find('?');
  if (key == kNone) return {};
  ++key;
  while (true) {
    Pos equals = url.find('=', key);
    if (equals == kNone) return {};
    if (equals - key == name.size() && compare_prefix(url.substr(key), name, 1, name.size()) == 0) {
      Pos value = equals + 1;
      Pos amp = url.find('&', value);
      return slice(url, value, amp != kNone ? amp : url.find('#', value));
    }
    Pos amp = url.find('&', equals);
    if (amp == kNone) return {};
    key = amp + 1;
  }
}

struct NamedPart {
  std::string_view name;
  std::string (*get)(std::string_view);
};

constexpr std::array<NamedPart, 7> kParts = {{{"/WS/", host},
                                              {"/PO/", port},
                                              {"/US/", user},
                                              {"/PS/", password},
                                              {"/PM/", parameters},
                                              {"/AN/", anchor},
                                              {"/PT/", path}}};

}  // namespace

std::string url_part(std::string_view url, std::string_view name) {
  for (const NamedPart& part : kParts) {
    if (name == part.name) return part.get(url);
  }
  return parameter_value(url, name);
}

}  // namespace sr

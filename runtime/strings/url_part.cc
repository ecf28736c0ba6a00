#include "runtime/strings/url_part.h"

#include <array>
#include <cstddef>

#include "runtime/strings/ascii.h"
#include "runtime/strings/query_scan.h"
#include "runtime/strings/url_authority.h"

namespace sr {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

// Bytes [begin, end) of the URL; `end` may be kNone for "to the end".
std::string slice(std::string_view url, std::size_t begin, std::size_t end) {
  if (end == kNone) end = url.size();
  return std::string(url.substr(begin, end - begin));
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(static_cast<unsigned char>(a[i])) !=
        ascii_lower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string host(std::string_view url) {
  auto a = find_url_authority(url);
  return a ? slice(url, a->host_begin, a->port_colon != kNone ? a->port_colon : a->end) : "";
}

std::string port(std::string_view url) {
  auto a = find_url_authority(url);
  if (!a || a->port_colon == kNone) return {};
  return slice(url, a->port_colon + 1, a->end);
}

std::string user(std::string_view url) {
  auto a = find_url_authority(url);
  if (!a || a->at == kNone) return {};
  return slice(url, a->begin, a->password_colon != kNone ? a->password_colon : a->at);
}

std::string password(std::string_view url) {
  auto a = find_url_authority(url);
  if (!a || a->password_colon == kNone) return {};
  return slice(url, a->password_colon + 1, a->at);
}

std::string path(std::string_view url) {
  auto a = find_url_authority(url);
  if (!a || a->end == url.size() || url[a->end] != '/') return {};
  // Only "?" ends the path; an anchor stays part of it.
  return slice(url, a->end + 1, url.find('?', a->end + 1));
}

std::string parameters(std::string_view url) {
  std::size_t question = url.find('?');
  if (question == kNone) return {};
  return slice(url, question + 1, url.find('#', question + 1));
}

std::string anchor(std::string_view url) {
  std::size_t hash = url.find('#');
  return hash == kNone ? std::string() : slice(url, hash + 1, kNone);
}

std::string parameter_value(std::string_view url, std::string_view name) {
  std::string value;
  scan_query(url, [&](const QueryParameter& p) {
    if (!equal_ignoring_case(p.key, name)) return false;
    value = slice(url, p.value_begin, p.value_end);
    return true;
  });
  return value;
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

bool is_url_part_name(std::string_view name) {
  for (const NamedPart& part : kParts) {
    if (name == part.name) return true;
  }
  return false;
}

std::string url_part(std::string_view url, std::string_view name) {
  if (url.empty() || name.empty()) return {};
  for (const NamedPart& part : kParts) {
    if (name == part.name) return part.get(url);
  }
  return parameter_value(url, name);
}

}  // namespace sr

// The request's cookies and headers, and the header lines a page sends; see request_text.h.
#include "compiler/stub/request_text.h"

#include <string.h>

namespace sr::zr {
namespace {

bool is_control(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}

bool is_letter_or_digit(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A token as HTTP defines one: visible characters other than the separators.
bool is_token(Bytes s) {
  if (s.empty()) return false;
  for (size_t i = 0; i < s.size; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (is_control(c) || c == ' ' || c >= 0x80 || strchr("()<>@,;:\\\"/[]?={}", c)) return false;
  }
  return true;
}

// A cookie's value: visible ASCII without blank, double quote, comma, semicolon or backslash.
bool is_cookie_value(Bytes s) {
  for (size_t i = 0; i < s.size; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (is_control(c) || c == ' ' || c >= 0x80 || c == '"' || c == ',' || c == ';' || c == '\\') {
      return false;
    }
  }
  return true;
}

Bytes trimmed(Bytes s) {
  size_t from = 0, to = s.size;
  while (from < to && (s[from] == ' ' || s[from] == '\t')) ++from;
  while (to > from && (s[to - 1] == ' ' || s[to - 1] == '\t')) --to;
  return s.part(from, to - from);
}

const char* reason_of(int64_t code) {
  switch (code) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 413:
      return "Content Too Large";
    case 415:
      return "Unsupported Media Type";
    case 422:
      return "Unprocessable Content";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
  }
  static const char* const by_class[] = {"Informational", "Success", "Redirection", "Client Error",
                                         "Server Error"};
  return by_class[code / 100 - 1];
}

// Whether the address begins with a scheme ("https:", "mailto:"): a letter, then letters,
// digits, "+", "-" or ".", then ":".
bool has_scheme(Bytes url) {
  if (url.empty() || !((url[0] | 0x20) >= 'a' && (url[0] | 0x20) <= 'z')) return false;
  for (size_t i = 1; i < url.size; ++i) {
    const unsigned char c = static_cast<unsigned char>(url[i]);
    if (c == ':') return true;
    if (!is_letter_or_digit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return false;
}

}  // namespace

Text cookie_value(Bytes cookies, Bytes name) {
  size_t from = 0;
  while (from <= cookies.size) {
    size_t end = find_bytes(cookies, Bytes{";", 1}, from);
    if (end == kNotFound) end = cookies.size;
    const Bytes pair = trimmed(cookies.part(from, end - from));
    const size_t eq = find_bytes(pair, Bytes{"=", 1}, 0);
    if (eq != kNotFound && compare_bytes(trimmed(pair.part(0, eq)), name) == 0) {
      Bytes value = trimmed(pair.part(eq + 1));
      if (value.size >= 2 && value[0] == '"' && value[value.size - 1] == '"') {
        value = value.part(1, value.size - 2);
      }
      return Text(value);
    }
    from = end + 1;
  }
  return Text();
}

bool header_variable(Bytes header, Text& variable) {
  variable.clear();
  if (header.empty()) return false;
  for (size_t i = 0; i < header.size; ++i) {
    const unsigned char c = static_cast<unsigned char>(header[i]);
    if (!is_letter_or_digit(c) && c != '-') return false;
  }
  Text name;
  for (size_t i = 0; i < header.size; ++i) {
    const char c = header[i];
    name.push_back(c == '-' ? '_' : (c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c));
  }
  const bool content = compare_bytes(name.view(), bytes_of("CONTENT_TYPE")) == 0 ||
                       compare_bytes(name.view(), bytes_of("CONTENT_LENGTH")) == 0;
  if (!content) variable.append(bytes_of("HTTP_"));
  variable.append(name.view());
  return true;
}

bool status_line(int64_t code, Text& line) {
  if (code < 100 || code > 599) return false;
  line.clear();
  line.append(bytes_of("Status: "));
  for (int64_t unit = 100; unit > 0; unit /= 10)
    line.push_back(static_cast<char>('0' + code / unit % 10));
  line.push_back(' ');
  line.append(bytes_of(reason_of(code)));
  line.push_back('\n');
  return true;
}

const char* set_cookie_line(Bytes name, Bytes value, Bytes options, Text& line) {
  if (!is_token(name)) return "SetCookie needs a name of letters, digits and -_.!#$%&'*+^`|~";
  if (!is_cookie_value(value)) {
    return "SetCookie needs a value without blanks, control bytes or \" , ; \\ (encode it)";
  }
  options = trimmed(options);
  for (size_t i = 0; i < options.size; ++i) {
    if (is_control(static_cast<unsigned char>(options[i]))) {
      return "SetCookie needs options without control bytes";
    }
  }
  line.clear();
  line.append(bytes_of("Set-Cookie: "));
  line.append(name);
  line.push_back('=');
  line.append(value);
  if (!options.empty()) {
    line.append(bytes_of("; "));
    line.append(options);
  }
  line.push_back('\n');
  return nullptr;
}

bool is_host_name(Bytes host) {
  if (host.empty()) return false;
  for (size_t i = 0; i < host.size; ++i) {
    const unsigned char c = static_cast<unsigned char>(host[i]);
    if (!is_letter_or_digit(c) && (c == 0 || !strchr(".-:[]", c))) return false;
  }
  return true;
}

// A web server may pass the host without the port that the visitor used (Debian's nginx gives
// $host); a redirect without it would lead to another server. The port the request came in on
// is added then, unless it is the scheme's own.
static void append_port(const PageAddress& page, bool https, Text& absolute) {
  Bytes host = page.host;
  size_t after_address = 0;  // a colon inside [an IPv6 address] is no port
  for (size_t i = 0; i < host.size; ++i) {
    if (host[i] == ']') after_address = i;
  }
  for (size_t i = after_address; i < host.size; ++i) {
    if (host[i] == ':') return;
  }
  if (page.port.empty()) return;
  for (size_t i = 0; i < page.port.size; ++i) {
    if (page.port[i] < '0' || page.port[i] > '9') return;
  }
  if (compare_bytes(page.port, bytes_of(https ? "443" : "80")) == 0) return;
  absolute.push_back(':');
  absolute.append(page.port);
}

// SCRIPT_NAME arrives decoded: a folder's name may hold blanks, control bytes or "?" that the
// Location line must carry encoded, or the header would break or the address mean another.
static void append_path(Bytes path, Text& absolute) {
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < path.size; ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (is_letter_or_digit(c) || (c != 0 && strchr("-._~!$&'()*+,;=:@/", c))) {
      absolute.push_back(static_cast<char>(c));
    } else {
      absolute.push_back('%');
      absolute.push_back(kHex[c >> 4]);
      absolute.push_back(kHex[c & 15]);
    }
  }
}

const char* absolute_url(Bytes url, const PageAddress& page, Text& absolute) {
  for (size_t i = 0; i < url.size; ++i) {
    if (is_control(static_cast<unsigned char>(url[i])) || url[i] == ' ') {
      return "Redirect needs an address without blanks or control bytes";
    }
  }
  if (url.empty()) return "Redirect needs an address";
  absolute.clear();
  if (has_scheme(url)) {
    absolute.append(url);
    return nullptr;
  }
  const bool https = !page.https.empty() && compare_bytes(page.https, bytes_of("off")) != 0;
  absolute.append(bytes_of(https ? "https:" : "http:"));
  if (url.size >= 2 && url[0] == '/' && url[1] == '/') {
    absolute.append(url);
    return nullptr;
  }
  if (!is_host_name(page.host)) return "Redirect to a relative address needs the request's host";
  absolute.append(bytes_of("//"));
  absolute.append(page.host);
  append_port(page, https, absolute);
  if (url[0] != '/') {
    // Relative to the page's folder: SCRIPT_NAME up to its last "/".
    size_t folder = 0;
    for (size_t i = 0; i < page.script_name.size; ++i) {
      if (page.script_name[i] == '/') folder = i;
    }
    append_path(page.script_name.part(0, folder), absolute);
    absolute.push_back('/');
  }
  absolute.append(url);
  return nullptr;
}

}  // namespace sr::zr

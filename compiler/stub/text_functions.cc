#include "compiler/stub/text_functions.h"

#include "compiler/stub/decimal.h"

namespace sr::zr {
namespace {

size_t clamp_count(int64_t n, size_t size) {
  if (n <= 0) return 0;
  return static_cast<uint64_t>(n) < size ? static_cast<size_t>(n) : size;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `s` with every byte from `from` to `to` moved up or down by `shift`.
Text shifted_range(Bytes s, char from, char to, int shift) {
  Text out(s);
  char* bytes = out.bytes();
  for (size_t i = 0; i < out.size(); ++i) {
    if (bytes[i] >= from && bytes[i] <= to) bytes[i] = static_cast<char>(bytes[i] + shift);
  }
  return out;
}

const char* html_entity(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&#39;";
    default:
      return nullptr;
  }
}

bool is_url_safe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

void append_hex_byte(Text& out, char c, const char* digits) {
  const auto byte = static_cast<unsigned char>(c);
  out.push_back(digits[byte >> 4]);
  out.push_back(digits[byte & 15]);
}

// The two-character escape JSON has for `c`, or 0 when it has none.
char json_short_escape(char c) {
  switch (c) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '\n':
      return 'n';
    case '\r':
      return 'r';
    case '\t':
      return 't';
    default:
      return 0;
  }
}

}  // namespace

Text left_part(Bytes s, int64_t n) {
  return Text(s.part(0, clamp_count(n, s.size)));
}

Text right_part(Bytes s, int64_t n) {
  return Text(s.part(s.size - clamp_count(n, s.size)));
}

Text mid_part(Bytes s, int64_t start, int64_t count) {
  if (start < 1) start = 1;
  if (static_cast<uint64_t>(start) > s.size) return Text();
  Bytes rest = s.part(static_cast<size_t>(start - 1));
  return Text(count < 0 ? rest : rest.part(0, clamp_count(count, rest.size)));
}

int64_t find_text(Bytes s, Bytes sought, int64_t start) {
  if (sought.empty()) return 0;
  if (start < 1) start = 1;
  if (static_cast<uint64_t>(start) > s.size) return 0;
  size_t at = find_bytes(s, sought, static_cast<size_t>(start - 1));
  return at == kNotFound ? 0 : static_cast<int64_t>(at + 1);
}

Text replace_all(Bytes s, Bytes sought, Bytes by) {
  if (sought.empty()) return Text(s);  // nothing to find, and no endless insertion
  Text out;
  size_t from = 0;
  for (size_t at; (at = find_bytes(s, sought, from)) != kNotFound; from = at + sought.size) {
    out.append(s.part(from, at - from));
    out.append(by);
  }
  out.append(s.part(from));
  return out;
}

Text trim_blanks(Bytes s) {
  size_t first = first_non_blank(s);
  if (first == kNotFound) return Text();
  return Text(s.part(first, last_non_blank(s) - first + 1));
}

Text upper_ascii(Bytes s) {
  return shifted_range(s, 'a', 'z', 'A' - 'a');
}

Text lower_ascii(Bytes s) {
  return shifted_range(s, 'A', 'Z', 'a' - 'A');
}

Text field_of(Bytes s, int64_t n, Bytes separator) {
  if (n < 1) return Text();
  if (separator.empty()) return n == 1 ? Text(s) : Text();
  size_t from = 0;
  for (int64_t i = 1; i < n; ++i) {
    size_t at = find_bytes(s, separator, from);
    if (at == kNotFound) return Text();
    from = at + separator.size;
  }
  size_t end = find_bytes(s, separator, from);
  return Text(s.part(from, end == kNotFound ? kNotFound : end - from));
}

Text url_decode(Bytes s) {
  Text out;
  out.reserve(s.size);
  for (size_t i = 0; i < s.size; ++i) {
    if (s[i] == '+') {
      out.push_back(' ');
    } else if (s[i] == '%' && i + 2 < s.size && hex_value(s[i + 1]) >= 0 &&
               hex_value(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);  // a "%" without two hex digits stays as written
    }
  }
  return out;
}

Text html_escape(Bytes s) {
  Text out;
  out.reserve(s.size);
  for (size_t i = 0; i < s.size; ++i) {
    const char* entity = html_entity(s[i]);
    if (entity != nullptr) {
      out.append(bytes_of(entity));
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

Text url_encode(Bytes s) {
  Text out;
  out.reserve(s.size);
  for (size_t i = 0; i < s.size; ++i) {
    if (is_url_safe(s[i])) {
      out.push_back(s[i]);
    } else {
      out.push_back('%');
      append_hex_byte(out, s[i], "0123456789ABCDEF");
    }
  }
  return out;
}

Text json_escape(Bytes s) {
  Text out;
  out.reserve(s.size);
  for (size_t i = 0; i < s.size; ++i) {
    const char short_escape = json_short_escape(s[i]);
    if (short_escape != 0) {
      out.push_back('\\');
      out.push_back(short_escape);
    } else if (static_cast<unsigned char>(s[i]) < 32) {
      out.append(bytes_of("\\u00"));
      append_hex_byte(out, s[i], "0123456789abcdef");
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

Text form_value(Bytes form, Bytes name) {
  for (size_t from = 0; from <= form.size;) {
    size_t end = find_bytes(form, bytes_of("&"), from);
    if (end == kNotFound) end = form.size;
    const Bytes field = form.part(from, end - from);
    from = end + 1;
    if (field.empty()) continue;  // "a=1&&b=2" holds two fields, not three
    const size_t equals = find_bytes(field, bytes_of("="), 0);
    Text field_name = url_decode(field.part(0, equals));
    if (compare_bytes(field_name.view(), name) != 0) continue;
    return equals == kNotFound ? Text() : url_decode(field.part(equals + 1));
  }
  return Text();
}

Text decimal(int64_t n) {
  return Text(Decimal(n).view());
}

int64_t leading_integer(Bytes s) {
  size_t i = first_non_blank(s);
  if (i == kNotFound) return 0;
  bool negative = s[i] == '-';
  if (s[i] == '-' || s[i] == '+') ++i;
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(INT64_MAX);
  for (; i < s.size && s[i] >= '0' && s[i] <= '9'; ++i) {
    uint64_t digit = static_cast<uint64_t>(s[i] - '0');
    magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
  }
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace sr::zr

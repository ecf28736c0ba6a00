// Reading multipart/form-data bodies; see multipart.h.
#include "compiler/stub/multipart.h"

#include <string.h>

namespace sr::zr {
namespace {

constexpr Bytes kLineEnd{"\r\n", 2};

bool same_ignoring_case(Bytes a, const char* b) {
  if (a.size != strlen(b)) return false;
  for (size_t i = 0; i < a.size; ++i) {
    const char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    if (c != b[i]) return false;
  }
  return true;
}

bool starts_at(Bytes s, size_t at, Bytes prefix) {
  return at <= s.size && s.size - at >= prefix.size &&
         memcmp(s.data + at, prefix.data, prefix.size) == 0;
}

bool is_token_byte(unsigned char c) {
  return c > 0x20 && c < 0x7f && strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

size_t skip_blanks(Bytes s, size_t at) {
  while (at < s.size && (s[at] == ' ' || s[at] == '\t')) ++at;
  return at;
}

size_t token_end(Bytes s, size_t at) {
  while (at < s.size && is_token_byte(static_cast<unsigned char>(s[at]))) ++at;
  return at;
}

// A token or a quoted string at `at` into `value`; `at` moves past it. Null, or the fault. In a
// quoted string only \" and \\ are escapes: browsers send a backslash as it is, and an older one
// sends a whole Windows path ("C:\Users\ann\cat.png"), which must keep its backslashes.
const char* read_value(Bytes s, size_t& at, Text& value) {
  value.clear();
  if (at < s.size && s[at] == '"') {
    for (++at; at < s.size; ++at) {
      char c = s[at];
      if (c == '"') {
        ++at;
        return nullptr;
      }
      if (c == '\\' && at + 1 < s.size && (s[at + 1] == '"' || s[at + 1] == '\\')) c = s[++at];
      value.push_back(c);
    }
    return "a quoted string without its closing quote";
  }
  const size_t end = token_end(s, at);
  if (end == at) return "a parameter without a value";
  value.append(s.part(at, end - at));
  at = end;
  return nullptr;
}

// "; name=value" at `at`, blanks allowed around each piece; `name` stays empty at the end of the
// list (a last ";" included). Null, or the fault.
const char* read_parameter(Bytes s, size_t& at, Bytes& name, Text& value) {
  name = Bytes{};
  at = skip_blanks(s, at);
  if (at == s.size) return nullptr;
  if (s[at] != ';') return "a parameter without its ';'";
  at = skip_blanks(s, at + 1);
  if (at == s.size) return nullptr;
  const size_t end = token_end(s, at);
  if (end == at) return "a parameter without a name";
  name = s.part(at, end - at);
  at = skip_blanks(s, end);
  if (at == s.size || s[at] != '=') return "a parameter without '='";
  at = skip_blanks(s, at + 1);
  return read_value(s, at, value);
}

// What a boundary may hold: letters, digits, '()+_,-./:=? and blanks, though not at its end.
const char* check_boundary(Bytes boundary) {
  if (boundary.empty()) return "CONTENT_TYPE has an empty boundary";
  if (boundary.size > kFormMostBoundaryBytes) {
    return "CONTENT_TYPE has a boundary longer than 70 bytes";
  }
  for (size_t i = 0; i < boundary.size; ++i) {
    const char c = boundary[i];
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || (c != 0 && strchr("'()+_,-./:=? ", c));
    if (!allowed || (c == ' ' && i + 1 == boundary.size)) {
      return "CONTENT_TYPE has a boundary with bytes that a boundary cannot hold";
    }
  }
  return nullptr;
}

// The Content-Disposition of a part: form-data with a name, perhaps a filename.
const char* read_disposition(Bytes value, FormPart& part) {
  size_t at = token_end(value, 0);
  if (!same_ignoring_case(value.part(0, at), "form-data")) {
    return "a Content-Disposition other than form-data";
  }
  bool has_name = false;
  for (;;) {
    Bytes name;
    Text text;
    if (const char* fault = read_parameter(value, at, name, text)) return fault;
    if (name.empty()) break;
    if (same_ignoring_case(name, "name")) {
      if (has_name) return "a part with two names";
      part.name = moved(text);
      has_name = true;
    } else if (same_ignoring_case(name, "filename")) {
      if (part.has_filename) return "a part with two filenames";
      part.filename = moved(text);
      part.has_filename = true;
    }
  }
  return part.name.empty() ? "a part without a name" : nullptr;
}

// One header line of a part; Content-Disposition and Content-Type are read, others passed over.
const char* read_header_line(Bytes line, FormPart& part, bool& has_disposition, bool& has_type) {
  for (size_t i = 0; i < line.size; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7f) return "a control byte in a part's header";
  }
  const size_t colon = token_end(line, 0);
  if (colon == 0 || colon == line.size || line[colon] != ':') return "a malformed header line";
  const Bytes name = line.part(0, colon);
  Bytes value = line.part(skip_blanks(line, colon + 1));
  while (!value.empty() && (value[value.size - 1] == ' ' || value[value.size - 1] == '\t')) {
    --value.size;
  }
  if (same_ignoring_case(name, "content-disposition")) {
    if (has_disposition) return "a part with two Content-Disposition lines";
    has_disposition = true;
    return read_disposition(value, part);
  }
  if (same_ignoring_case(name, "content-type")) {
    if (has_type) return "a part with two Content-Type lines";
    has_type = true;
    part.type = value;
  }
  return nullptr;
}

struct Reader {
  Bytes body;
  Bytes delimiter;  // CR LF "--" boundary
  FormError& error;

  bool fail(const char* message, size_t at) {
    error = FormError{message, at + 1};
    return false;
  }

  // The header lines of the part that starts at `at`, up to the empty line; `data_at` is where
  // the part's bytes start.
  bool read_header(size_t at, FormPart& part, size_t& data_at) {
    size_t end = at;
    if (!starts_at(body, at, kLineEnd)) {
      const Bytes window = body.part(0, at + kFormMostHeaderBytes + 4);
      end = find_bytes(window, Bytes{"\r\n\r\n", 4}, at);
      if (end == kNotFound) {
        const bool cut = window.size < at + kFormMostHeaderBytes + 4;
        return fail(cut ? "a part's header is cut short" : "a part's header is longer than 16 KiB",
                    at);
      }
      end += 2;
    }
    if (find_bytes(body.part(0, end + 2), delimiter, at - 2) != kNotFound) {
      return fail("a part's header runs into the next boundary", at);
    }
    bool has_disposition = false, has_type = false;
    for (size_t line = at; line < end;) {
      const size_t line_end = find_bytes(body, kLineEnd, line);
      const Bytes text = body.part(line, line_end - line);
      if (const char* fault = read_header_line(text, part, has_disposition, has_type)) {
        return fail(fault, line);
      }
      line = line_end + 2;
    }
    if (!has_disposition) return fail("a part without Content-Disposition", at);
    data_at = end + 2;
    return true;
  }

  // The parts from the delimiter that ends at `at` on.
  bool read_parts(size_t at, void (*take)(void*, const FormPart&), void* context) {
    for (size_t parts = 0;; ++parts) {
      if (starts_at(body, at, Bytes{"--", 2})) return true;  // the final boundary
      at = skip_blanks(body, at);
      if (at == body.size) return fail("the final boundary is missing", at);
      if (!starts_at(body, at, kLineEnd)) return fail("a boundary followed by other bytes", at);
      at += 2;
      if (parts == kFormMostParts) return fail("more than 1000 parts", at);
      FormPart part{};
      size_t data_at;
      if (!read_header(at, part, data_at)) return false;
      const size_t end = find_bytes(body, delimiter, data_at);
      if (end == kNotFound) return fail("the final boundary is missing", body.size);
      part.data = body.part(data_at, end - data_at);
      if (take != nullptr) take(context, part);
      at = end + delimiter.size;
    }
  }
};

// The length of the sound UTF-8 sequence at `at` (no overlong form, no surrogate, at most
// U+10FFFF), or 0.
size_t utf8_length(Bytes s, size_t at) {
  const unsigned char c = static_cast<unsigned char>(s[at]);
  const size_t n = c >= 0xc2 && c <= 0xdf   ? 2
                   : c >= 0xe0 && c <= 0xef ? 3
                   : c >= 0xf0 && c <= 0xf4 ? 4
                                            : 0;
  if (n == 0 || s.size - at < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((static_cast<unsigned char>(s[at + i]) & 0xc0) != 0x80) return 0;
  }
  const unsigned char second = static_cast<unsigned char>(s[at + 1]);
  if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second >= 0xa0) ||
      (c == 0xf0 && second < 0x90) || (c == 0xf4 && second >= 0x90)) {
    return 0;
  }
  return n;
}

bool is_name_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != 0 && strchr(" .-_()+,", c) != nullptr);
}

}  // namespace

const char* form_boundary(Bytes content_type, Text& boundary) {
  boundary.clear();
  size_t at = skip_blanks(content_type, 0);
  const size_t type_end = at + (token_end(content_type, at) - at);
  size_t slash_end = type_end;
  if (slash_end < content_type.size && content_type[slash_end] == '/') {
    slash_end = token_end(content_type, slash_end + 1);
  }
  if (!same_ignoring_case(content_type.part(at, slash_end - at), "multipart/form-data")) {
    return "CONTENT_TYPE is not multipart/form-data";
  }
  at = slash_end;
  bool found = false;
  for (;;) {
    Bytes name;
    Text value;
    if (read_parameter(content_type, at, name, value) != nullptr) {
      return "CONTENT_TYPE has a malformed parameter";
    }
    if (name.empty()) break;
    if (!same_ignoring_case(name, "boundary")) continue;
    if (found) return "CONTENT_TYPE has two boundaries";
    found = true;
    boundary = moved(value);
  }
  if (!found) return "CONTENT_TYPE has no boundary";
  return check_boundary(boundary.view());
}

bool read_form(Bytes body, Bytes boundary, void (*take)(void* context, const FormPart& part),
               void* context, FormError& error) {
  error = FormError{};
  Text delimiter(kLineEnd);
  delimiter.append(bytes_of("--"));
  delimiter.append(boundary);
  Reader reader{body, delimiter.view(), error};
  // The first delimiter opens the body, or ends a preamble's last line.
  const Bytes opening = delimiter.view().part(2);
  size_t at = opening.size;
  if (!starts_at(body, 0, opening)) {
    const size_t found = find_bytes(body, delimiter.view(), 0);
    if (found == kNotFound) return reader.fail("the first boundary is missing", 0);
    at = found + delimiter.size();
  }
  return reader.read_parts(at, take, context);
}

Text safe_file_name(Bytes name) {
  size_t from = 0;
  for (size_t i = 0; i < name.size; ++i) {
    if (name[i] == '/' || name[i] == '\\') from = i + 1;
  }
  Text safe;
  for (size_t i = from; i < name.size;) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const size_t n = c >= 0x80 ? utf8_length(name, i) : 0;
    if (n > 0) {
      safe.append(name.part(i, n));
    } else if (c >= 0x20 && c != 0x7f) {
      safe.push_back(is_name_byte(name[i]) ? name[i] : '_');
    }
    i += n > 0 ? n : 1;
  }
  // Cut at a character's start, then without the dots and blanks that would hide the file or
  // make it "." or "..".
  size_t end = safe.size() < kSafeNameMostBytes ? safe.size() : kSafeNameMostBytes;
  while (end > 0 && end < safe.size() && (safe.view()[end] & 0xc0) == 0x80) --end;
  size_t start = 0;
  while (start < end && (safe.view()[start] == '.' || safe.view()[start] == ' ')) ++start;
  while (end > start && (safe.view()[end - 1] == '.' || safe.view()[end - 1] == ' ')) --end;
  return Text(safe.view().part(start, end - start));
}

}  // namespace sr::zr

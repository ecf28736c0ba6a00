// Reading JSON documents; see json_reader.h.
#include "compiler/stub/json_reader.h"

#include "compiler/stub/text_functions.h"

namespace sr::zr {
namespace {

void append_utf8(Text& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One pass over a document: checks a value and moves past it, decoding strings on request.
class Scanner {
 public:
  explicit Scanner(Bytes s) : s_(s) {}

  bool fail(const char* message) {
    if (error.message == nullptr) error = JsonError{message, i_ + 1};
    return false;
  }
  void blanks() {
    while (i_ < s_.size && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) {
      ++i_;
    }
  }
  bool at(char c) const { return i_ < s_.size && s_[i_] == c; }
  bool take(char c) {
    if (!at(c)) return false;
    ++i_;
    return true;
  }
  size_t position() const { return i_; }
  bool at_end() const { return i_ >= s_.size; }

  bool value(int depth) {
    blanks();
    if (at_end()) return fail("a value is missing");
    const char c = s_[i_];
    if (c == '{' || c == '[') {
      if (depth >= kJsonMostDepth) return fail("nested too deeply");
      return c == '{' ? object(depth + 1) : array(depth + 1);
    }
    if (c == '"') return string(nullptr);
    if (c == '-' || (c >= '0' && c <= '9')) return number();
    return word("true") || word("false") || word("null") || fail("not a JSON value");
  }

  // A string at the current byte; its decoded bytes go to `out` when it is not null.
  bool string(Text* out) {
    if (!take('"')) return fail("a string is missing");
    while (!at_end()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20) return fail("a control byte in a string");
      if (c != '\\') {
        if (out) out->push_back(static_cast<char>(c));
        ++i_;
        continue;
      }
      if (!escape(out)) return false;
    }
    return fail("a string is not closed");
  }

 private:
  bool word(const char* w) {
    size_t n = 0;
    while (w[n] != '\0') ++n;
    if (i_ + n > s_.size || compare_bytes(s_.part(i_, n), Bytes{w, n}) != 0) return false;
    i_ += n;
    return true;
  }
  bool digits() {
    const size_t from = i_;
    while (i_ < s_.size && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    return i_ > from;
  }
  bool number() {
    take('-');
    if (take('0')) {
      if (i_ < s_.size && s_[i_] >= '0' && s_[i_] <= '9') return fail("a number with a leading 0");
    } else if (!digits()) {
      return fail("a number without digits");
    }
    if (take('.') && !digits()) return fail("a number without digits after its point");
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digits()) return fail("a number without digits in its exponent");
    }
    return true;
  }
  bool hex4(uint32_t& c) {
    c = 0;
    for (int k = 0; k < 4; ++k) {
      const int d = i_ < s_.size ? hex_digit(s_[i_]) : -1;
      if (d < 0) return fail("a \\u escape without four hex digits");
      c = c * 16 + static_cast<uint32_t>(d);
      ++i_;
    }
    return true;
  }
  bool escape(Text* out) {
    ++i_;  // the backslash
    if (at_end()) return fail("a string is not closed");
    const char e = s_[i_++];
    const char* from = "\"\\/bfnrt";
    const char* to = "\"\\/\b\f\n\r\t";
    for (int k = 0; from[k] != '\0'; ++k) {
      if (e == from[k]) {
        if (out) out->push_back(to[k]);
        return true;
      }
    }
    if (e != 'u') return fail("an unknown escape in a string");
    uint32_t c = 0;
    if (!hex4(c)) return false;
    if (c >= 0xdc00 && c <= 0xdfff) return fail("a lone low surrogate");
    if (c >= 0xd800 && c <= 0xdbff) {
      uint32_t low = 0;
      if (!take('\\') || !take('u') || !hex4(low) || low < 0xdc00 || low > 0xdfff) {
        return fail("a high surrogate without its low one");
      }
      c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
    }
    if (out) append_utf8(*out, c);
    return true;
  }
  bool object(int depth) {
    ++i_;
    blanks();
    if (take('}')) return true;
    do {
      blanks();
      if (!string(nullptr)) return false;
      blanks();
      if (!take(':')) return fail("a ':' is missing after a key");
      if (!value(depth)) return false;
      blanks();
    } while (take(','));
    return take('}') || fail("a ',' or '}' is missing");
  }
  bool array(int depth) {
    ++i_;
    blanks();
    if (take(']')) return true;
    do {
      if (!value(depth)) return false;
      blanks();
    } while (take(','));
    return take(']') || fail("a ',' or ']' is missing");
  }

  Bytes s_;
  size_t i_ = 0;

 public:
  JsonError error;
};

JsonKind kind_of(Bytes raw) {
  switch (raw[0]) {
    case '{':
      return JsonKind::object;
    case '[':
      return JsonKind::array;
    case '"':
      return JsonKind::string;
    case 't':
    case 'f':
      return JsonKind::boolean;
    case 'n':
      return JsonKind::null;
  }
  return JsonKind::number;
}

// The members or elements of a checked object or array, one at a time.
class Members {
 public:
  Members(JsonKind kind, Bytes raw) : scan_(raw), object_(kind == JsonKind::object) {
    scan_.take(object_ ? '{' : '[');
    scan_.blanks();
    done_ = scan_.take(object_ ? '}' : ']');
  }
  // The next member's key (an element's index) and JSON text; false after the last.
  bool next(Text& key, Bytes& raw, Bytes whole) {
    if (done_) return false;
    key.clear();
    scan_.blanks();
    if (object_) {
      scan_.string(&key);
      scan_.blanks();
      scan_.take(':');
      scan_.blanks();
    } else {
      key = decimal(index_);
    }
    ++index_;
    const size_t from = scan_.position();
    scan_.value(0);
    raw = whole.part(from, scan_.position() - from);
    scan_.blanks();
    done_ = !scan_.take(',');
    return true;
  }

 private:
  Scanner scan_;
  bool object_;
  bool done_ = false;
  int64_t index_ = 0;
};

// The next token of a pointer, "~1" as "/" and "~0" as "~"; false at the pointer's end.
bool pointer_token(Bytes pointer, size_t& i, Text& token) {
  if (i >= pointer.size) return false;
  token.clear();
  for (++i; i < pointer.size && pointer[i] != '/'; ++i) {
    if (pointer[i] == '~' && i + 1 < pointer.size &&
        (pointer[i + 1] == '0' || pointer[i + 1] == '1')) {
      token.push_back(pointer[++i] == '0' ? '~' : '/');
    } else {
      token.push_back(pointer[i]);
    }
  }
  return true;
}

}  // namespace

bool json_find(Bytes document, Bytes pointer, JsonKind& kind, Bytes& raw, JsonError& error) {
  kind = JsonKind::missing;
  raw = Bytes{};
  error = JsonError{};
  if (document.size > kJsonMostBytes) {
    error = JsonError{"the document is longer than 16 MiB", kJsonMostBytes + 1};
    return false;
  }
  Scanner scan(document);
  if (scan.value(0)) {
    scan.blanks();
    if (!scan.at_end()) scan.fail("more after the value");
  }
  if (scan.error.message != nullptr) {
    error = scan.error;
    return false;
  }
  // A checked document: skip the blanks around its value, then follow the pointer.
  size_t from = 0, to = document.size;
  while (from < to && (document[from] == ' ' || document[from] == '\t' || document[from] == '\n' ||
                       document[from] == '\r')) {
    ++from;
  }
  while (to > from && (document[to - 1] == ' ' || document[to - 1] == '\t' ||
                       document[to - 1] == '\n' || document[to - 1] == '\r')) {
    --to;
  }
  Bytes here = document.part(from, to - from);
  JsonKind here_kind = kind_of(here);
  size_t i = 0;
  Text token, key;
  if (pointer.size > 0 && pointer[0] != '/') return true;  // no pointer: nothing found
  while (pointer_token(pointer, i, token)) {
    if (here_kind != JsonKind::object && here_kind != JsonKind::array) return true;
    Members members(here_kind, here);
    Bytes member;
    bool found = false;
    while (!found && members.next(key, member, here)) {
      found = compare_bytes(key.view(), token.view()) == 0;
    }
    if (!found) return true;
    here = member;
    here_kind = kind_of(here);
  }
  kind = here_kind;
  raw = here;
  return true;
}

Text json_value_text(JsonKind kind, Bytes raw) {
  if (kind == JsonKind::missing || kind == JsonKind::null) return Text();
  if (kind != JsonKind::string) return Text(raw);
  Text decoded;
  Scanner scan(raw);
  scan.string(&decoded);
  return decoded;
}

const char* json_kind_name(JsonKind kind) {
  static const char* const names[] = {"", "object", "array", "string", "number", "boolean", "null"};
  return names[static_cast<int>(kind)];
}

int64_t json_members(JsonKind kind, Bytes raw, JsonMemberTaker take, void* context) {
  if (kind != JsonKind::object && kind != JsonKind::array) return 0;
  Members members(kind, raw);
  Text key;
  Bytes member;
  int64_t count = 0;
  while (members.next(key, member, raw)) {
    take(context, moved(key), kind_of(member), member);
    ++count;
  }
  return count;
}

int64_t json_keys(JsonKind kind, Bytes raw, void (*take)(void* context, Text key), void* context) {
  if (kind != JsonKind::object && kind != JsonKind::array) return 0;
  Members members(kind, raw);
  Text key;
  Bytes member;
  int64_t count = 0;
  while (members.next(key, member, raw)) {
    take(context, moved(key));
    ++count;
  }
  return count;
}

}  // namespace sr::zr

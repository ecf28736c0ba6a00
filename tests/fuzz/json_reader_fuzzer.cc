// The JSON reader on any document and pointer: it never reads outside the document, a value it
// finds is itself a sound document of the same kind, and every key it lists leads back to a value.
// Input: the pointer, LF, then the document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "compiler/stub/json_reader.h"

namespace {

using sr::zr::Bytes;
using sr::zr::JsonError;
using sr::zr::JsonKind;
using sr::zr::Text;

void check(bool ok) {
  if (!ok) abort();
}

struct Keys {
  std::string pointer;
  Bytes document;
  int64_t seen = 0;
};

// A listed key, escaped back into a pointer, must find a value.
void follow_key(void* context, Text key) {
  Keys& keys = *static_cast<Keys*>(context);
  std::string pointer = keys.pointer + "/";
  for (size_t i = 0; i < key.size(); ++i) {
    const char c = key.view()[i];
    pointer += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
  }
  JsonKind kind;
  Bytes raw;
  JsonError error;
  check(sr::zr::json_find(keys.document, Bytes{pointer.data(), pointer.size()}, kind, raw, error));
  check(kind != JsonKind::missing);
  ++keys.seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t lf = input.find('\n');
  if (lf == std::string::npos) return 0;
  const std::string pointer = input.substr(0, lf);
  const Bytes document{input.data() + lf + 1, input.size() - lf - 1};
  JsonKind kind;
  Bytes raw;
  JsonError error;
  if (!sr::zr::json_find(document, Bytes{pointer.data(), pointer.size()}, kind, raw, error)) {
    check(error.message != nullptr && error.at >= 1 && error.at <= document.size + 1);
    return 0;
  }
  if (kind == JsonKind::missing) return 0;
  check(raw.data >= document.data && raw.data + raw.size <= document.data + document.size);
  JsonKind again;
  Bytes same;
  check(sr::zr::json_find(raw, Bytes{}, again, same, error) && again == kind);
  check(same.data == raw.data && same.size == raw.size);
  sr::zr::json_value_text(kind, raw);
  Keys keys{pointer, document};
  const int64_t count = sr::zr::json_keys(kind, raw, follow_key, &keys);
  check(count == keys.seen);
  return 0;
}

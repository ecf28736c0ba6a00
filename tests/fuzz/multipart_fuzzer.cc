// The multipart/form-data reader. An input that begins with "B" builds a body from the parts the
// rest of it describes, which must read back as exactly those parts. Any other input is a content
// type, LF, then a body: whatever the reader makes of it lies inside the body, a fault is placed
// within it, and a body it reads, written out again, reads as the same parts. Every file name it
// finds is made safe, and the safe name is a single harmless component.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "compiler/stub/multipart.h"

namespace {

using sr::zr::Bytes;
using sr::zr::FormError;
using sr::zr::FormPart;
using sr::zr::Text;

void check(bool ok) {
  if (!ok) abort();
}

struct Part {
  std::string name, filename, type, data;
  bool has_filename = false;
  bool operator==(const Part&) const = default;
};

std::string text(Bytes b) {
  return std::string(b.data, b.size);
}

struct Found {
  Bytes body;
  std::vector<Part> parts;
};

void keep(void* context, const FormPart& part) {
  Found& found = *static_cast<Found*>(context);
  for (Bytes b : {part.type, part.data}) {
    check(b.size == 0 ||
          (b.data >= found.body.data && b.data + b.size <= found.body.data + found.body.size));
  }
  check(!part.name.empty());
  check(part.has_filename || part.filename.empty());
  found.parts.push_back(Part{text(part.name.view()), text(part.filename.view()), text(part.type),
                             text(part.data), part.has_filename});
}

// Reads `body` from a block of exactly its size, so that a read past its end is caught.
bool read(const std::string& body, const std::string& boundary, Found& found, FormError& error) {
  std::unique_ptr<char[]> exact(new char[body.size() + 1]);
  memcpy(exact.get(), body.data(), body.size());
  found.body = Bytes{exact.get(), body.size()};
  found.parts.clear();
  return sr::zr::read_form(found.body, Bytes{boundary.data(), boundary.size()}, keep, &found,
                           error);
}

std::string quoted(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') q += '\\';
    q += c;
  }
  return q + "\"";
}

std::string body_of(const std::vector<Part>& parts, const std::string& boundary) {
  std::string body;
  for (const Part& p : parts) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=" + quoted(p.name);
    if (p.has_filename) body += "; filename=" + quoted(p.filename);
    body += "\r\n";
    if (!p.type.empty()) body += "Content-Type: " + p.type + "\r\n";
    body += "\r\n" + p.data + "\r\n";
  }
  return body + "--" + boundary + "--\r\n";
}

// A header's text: no control bytes, no blanks at its ends.
std::string header_text(FuzzedDataProvider& in, bool may_be_empty) {
  std::string s = in.ConsumeRandomLengthString(40);
  for (char& c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
  }
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.erase(0, 1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s.empty() && !may_be_empty ? "f" : s;
}

void check_safe_name(const std::string& filename) {
  const Text safe = sr::zr::safe_file_name(Bytes{filename.data(), filename.size()});
  const std::string s = text(safe.view());
  check(s.size() <= sr::zr::kSafeNameMostBytes);
  check(s.find_first_of(std::string("/\\\0", 3)) == std::string::npos);
  for (char c : s) check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
  check(s.empty() || (s.front() != '.' && s.front() != ' ' && s.back() != '.' && s.back() != ' '));
  check(text(sr::zr::safe_file_name(safe.view()).view()) == s);
}

void built_parts_read_back(FuzzedDataProvider& in) {
  const std::string boundary = "fuzz-" + std::to_string(in.ConsumeIntegral<uint32_t>());
  std::vector<Part> parts(in.ConsumeIntegralInRange<size_t>(0, 8));
  for (Part& p : parts) {
    p.name = header_text(in, false);
    p.has_filename = in.ConsumeBool();
    if (p.has_filename) p.filename = header_text(in, true);
    p.type = header_text(in, true);
    p.data = in.ConsumeRandomLengthString(200);
    // A boundary within the data would end the part there; a client picks one that is not.
    if (p.data.find("\r\n--" + boundary) != std::string::npos) return;
  }
  Found found;
  FormError error;
  check(read(body_of(parts, boundary), boundary, found, error));
  check(found.parts == parts);
}

void any_body(const std::string& input) {
  const size_t lf = input.find('\n');
  if (lf == std::string::npos) return;
  const std::string type = input.substr(0, lf), body = input.substr(lf + 1);
  Text named;
  std::string boundary = type;
  if (sr::zr::form_boundary(Bytes{type.data(), type.size()}, named) == nullptr) {
    check(named.size() >= 1 && named.size() <= sr::zr::kFormMostBoundaryBytes);
    boundary = text(named.view());
  }
  Found found;
  FormError error;
  if (!read(body, boundary, found, error)) {
    check(error.message != nullptr && error.at >= 1 && error.at <= body.size() + 1);
    return;
  }
  check(found.parts.size() <= sr::zr::kFormMostParts);
  for (const Part& p : found.parts) check_safe_name(p.filename);
  const std::vector<Part> first = found.parts;
  if (!read(body_of(first, boundary), boundary, found, error)) {
    // Written out in full, a header that was near the limit in a terser form may pass it.
    check(strcmp(error.message, "a part's header is longer than 16 KiB") == 0);
    return;
  }
  check(found.parts == first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0 && data[0] == 'B') {
    FuzzedDataProvider in(data + 1, size - 1);
    built_parts_read_back(in);
  } else {
    any_body(std::string(reinterpret_cast<const char*>(data), size));
  }
  return 0;
}

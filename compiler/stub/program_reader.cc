#include "compiler/stub/program_reader.h"

#include <string.h>

#include "compiler/stub/operand_check.h"

namespace sr::zr {
namespace {

class ByteReader {
 public:
  explicit ByteReader(Bytes bytes) : bytes_(bytes) {}

  bool varint(uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos_ >= bytes_.size) return false;
      auto byte = static_cast<uint8_t>(bytes_[pos_++]);
      value |= static_cast<uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) return true;
    }
    return false;
  }
  // Zigzag-coded, so that small negative numbers stay short.
  bool signed_value(int64_t& value) {
    uint64_t raw = 0;
    if (!varint(raw)) return false;
    value = static_cast<int64_t>((raw >> 1) ^ (~(raw & 1) + 1));
    return true;
  }
  bool take(Bytes& out, size_t length) {
    if (left() < length) return false;
    out = bytes_.part(pos_, length);
    pos_ += length;
    return true;
  }
  bool at_end() const { return pos_ == bytes_.size; }
  size_t left() const { return bytes_.size - pos_; }

 private:
  Bytes bytes_;
  size_t pos_ = 0;
};

bool read_strings(ByteReader& r, LoadedProgram& p) {
  uint64_t count = 0;
  if (!r.varint(count) || count > r.left()) return false;
  p.strings.grow_empty(count);
  for (size_t i = 0; i < count; ++i) {
    uint64_t length = 0;
    Bytes text;
    if (!r.varint(length) || length > r.left() || !r.take(text, length)) return false;
    p.strings.replace(i, Text(text));
  }
  return true;
}

bool read_count32(ByteReader& r, uint32_t& count) {
  uint64_t value = 0;
  if (!r.varint(value) || value > UINT32_MAX) return false;
  count = static_cast<uint32_t>(value);
  return true;
}

bool read_procedures(ByteReader& r, LoadedProgram& p) {
  uint64_t count = 0;
  if (!r.varint(count) || count > r.left()) return false;
  p.procedures.grow_zeroed(count);
  for (size_t i = 0; i < count; ++i) {
    ProcedureInfo& info = p.procedures[i];
    if (!read_count32(r, info.entry) || !read_count32(r, info.int_slots) ||
        !read_count32(r, info.string_slots) || !read_count32(r, info.array_slots)) {
      return false;
    }
  }
  return true;
}

bool read_included_lines(ByteReader& r, LoadedProgram& p) {
  uint64_t count = 0;
  if (!read_count32(r, p.first_included_line) || !r.varint(count) || count > r.left()) {
    return false;
  }
  p.include_lines.grow_zeroed(count);
  p.included_places.grow_empty(count);
  for (size_t i = 0; i < count; ++i) {
    uint64_t length = 0;
    Bytes place;
    if (!read_count32(r, p.include_lines[i]) || !r.varint(length) || length > r.left() ||
        !r.take(place, length)) {
      return false;
    }
    p.included_places.replace(i, Text(place));
  }
  return true;
}

bool read_instruction(ByteReader& r, int64_t& line, Instruction& in) {
  Bytes op;
  int64_t delta = 0;
  if (!r.take(op, 1) || static_cast<uint8_t>(op[0]) >= static_cast<uint8_t>(Op::kCount)) {
    return false;
  }
  in.op = static_cast<Op>(op[0]);
  if (!r.signed_value(delta) || !r.signed_value(in.arg)) return false;
  // Lines are deltas from the previous one; a sum past the 64-bit limits is out of range too.
  if (__builtin_add_overflow(line, delta, &line)) return false;
  if (line < 0 || line > UINT32_MAX) return false;
  in.line = static_cast<uint32_t>(line);
  if (has_three_operands(in.op)) {
    if (!r.signed_value(in.arg2) || !r.signed_value(in.arg3)) return false;
  }
  return true;
}

bool read_code(ByteReader& r, LoadedProgram& p) {
  uint64_t count = 0;
  if (!r.varint(count) || count > r.left()) return false;
  p.code.grow_zeroed(count);
  int64_t line = 0;
  for (size_t i = 0; i < count; ++i) {
    p.code[i] = Instruction{};
    if (!read_instruction(r, line, p.code[i])) return false;
  }
  return true;
}

}  // namespace

bool read_program(Bytes bytes, LoadedProgram& p) {
  if (bytes.size < kProgramHeaderSize ||
      memcmp(bytes.data, kProgramHeader, kProgramHeaderSize) != 0) {
    return false;
  }
  ByteReader r(bytes.part(kProgramHeaderSize));
  if (!read_count32(r, p.int_slots) || !read_count32(r, p.string_slots) ||
      !read_count32(r, p.array_slots)) {
    return false;
  }
  return read_strings(r, p) && read_procedures(r, p) && read_included_lines(r, p) &&
         read_code(r, p) && r.at_end() && operands_valid(p);
}

uint32_t LoadedProgram::reported_line(uint32_t line, Bytes& place) const {
  place = Bytes{};
  if (line < first_included_line || line - first_included_line >= include_lines.size()) {
    return line;
  }
  place = included_places.view(line - first_included_line);
  return include_lines[line - first_included_line];
}

bool read_trailer(Bytes trailer, uint64_t& program_length) {
  if (trailer.size != kTrailerSize) return false;
  auto word = [&](size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(trailer[at + i]);
    return v;
  };
  const uint64_t magic = word(0);
  if (magic != (kTrailerMagicBase | kTrailerOnceVersion) &&
      magic != (kTrailerMagicBase | kTrailerResidentVersion)) {
    return false;
  }
  program_length = word(8);
  return true;
}

}  // namespace sr::zr

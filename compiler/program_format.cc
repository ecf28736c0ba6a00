#include "compiler/program_format.h"

namespace sr::zr {
namespace {

constexpr std::string_view kHeader(kProgramHeader, kProgramHeaderSize);

void put_varint(std::string& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// Signed values are zigzag-coded so that small negative numbers stay short.
void put_signed(std::string& out, int64_t value) {
  put_varint(out, (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63));
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool varint(uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos_ >= bytes_.size()) return false;
      auto byte = static_cast<uint8_t>(bytes_[pos_++]);
      value |= static_cast<uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) return true;
    }
    return false;
  }
  bool signed_value(int64_t& value) {
    uint64_t raw = 0;
    if (!varint(raw)) return false;
    value = static_cast<int64_t>((raw >> 1) ^ (~(raw & 1) + 1));
    return true;
  }
  bool text(std::string& out, size_t length) {
    if (bytes_.size() - pos_ < length) return false;
    out.assign(bytes_.substr(pos_, length));
    pos_ += length;
    return true;
  }
  bool at_end() const { return pos_ == bytes_.size(); }
  size_t left() const { return bytes_.size() - pos_; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

bool slot_ok(int64_t slot, uint32_t count) {
  return slot >= 0 && slot < count;
}

// Checks every operand that the machine uses as an index, so a damaged file cannot make it
// reach outside its tables.
bool operands_valid(const Program& p) {
  const auto size = static_cast<int64_t>(p.code.size());
  for (const Instruction& in : p.code) {
    switch (in.op) {
      case Op::push_string:
        if (in.arg < 0 || in.arg >= static_cast<int64_t>(p.strings.size())) return false;
        break;
      case Op::load_int:
      case Op::store_int:
        if (!slot_ok(in.arg, p.int_slots)) return false;
        break;
      case Op::load_string:
      case Op::store_string:
        if (!slot_ok(in.arg, p.string_slots)) return false;
        break;
      case Op::int_compare:
      case Op::string_compare:
        if (in.arg < 0 || in.arg > static_cast<int64_t>(Compare::ge)) return false;
        break;
      case Op::jump:
      case Op::jump_if_false:
      case Op::jump_if_true:
        if (in.arg < 0 || in.arg > size) return false;
        break;
      case Op::for_enter:
      case Op::for_next:
        if (in.arg < 0 || in.arg > size || !slot_ok(in.arg2, p.int_slots) ||
            !slot_ok(in.arg3, p.int_slots) || !slot_ok(in.arg3 + 1, p.int_slots)) {
          return false;
        }
        break;
      case Op::write_int:
      case Op::write_string:
        if (in.arg < 0 || in.arg > static_cast<int64_t>(Channel::error_line)) return false;
        break;
      case Op::call:
        if (in.arg < 0 || in.arg >= static_cast<int64_t>(Builtin::kCount)) return false;
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace

std::string serialize_program(const Program& program) {
  std::string out(kHeader);
  put_varint(out, program.int_slots);
  put_varint(out, program.string_slots);
  put_varint(out, program.strings.size());
  for (const std::string& s : program.strings) {
    put_varint(out, s.size());
    out += s;
  }
  put_varint(out, program.code.size());
  uint32_t line = 0;
  for (const Instruction& in : program.code) {
    out.push_back(static_cast<char>(in.op));
    put_signed(out, static_cast<int64_t>(in.line) - line);  // lines mostly repeat or step by one
    line = in.line;
    put_signed(out, in.arg);
    if (in.op == Op::for_enter || in.op == Op::for_next) {
      put_signed(out, in.arg2);
      put_signed(out, in.arg3);
    }
  }
  return out;
}

std::optional<Program> deserialize_program(std::string_view bytes) {
  if (bytes.substr(0, kHeader.size()) != kHeader) return std::nullopt;
  Reader r(bytes.substr(kHeader.size()));
  Program p;
  uint64_t ints = 0, strings = 0, count = 0;
  if (!r.varint(ints) || !r.varint(strings) || !r.varint(count)) return std::nullopt;
  if (ints > UINT32_MAX || strings > UINT32_MAX || count > r.left()) return std::nullopt;
  p.int_slots = static_cast<uint32_t>(ints);
  p.string_slots = static_cast<uint32_t>(strings);
  p.strings.resize(count);
  for (std::string& s : p.strings) {
    uint64_t length = 0;
    if (!r.varint(length) || length > r.left() || !r.text(s, length)) return std::nullopt;
  }
  if (!r.varint(count) || count > r.left()) return std::nullopt;
  p.code.resize(count);
  int64_t line = 0;
  for (Instruction& in : p.code) {
    std::string op;
    int64_t delta = 0;
    if (!r.text(op, 1) || static_cast<uint8_t>(op[0]) >= static_cast<uint8_t>(Op::kCount)) {
      return std::nullopt;
    }
    in.op = static_cast<Op>(op[0]);
    if (!r.signed_value(delta) || !r.signed_value(in.arg)) return std::nullopt;
    line += delta;
    if (line < 0 || line > UINT32_MAX) return std::nullopt;
    in.line = static_cast<uint32_t>(line);
    if (in.op == Op::for_enter || in.op == Op::for_next) {
      if (!r.signed_value(in.arg2) || !r.signed_value(in.arg3)) return std::nullopt;
    }
  }
  if (!r.at_end() || !operands_valid(p)) return std::nullopt;
  return p;
}

std::string make_trailer(uint64_t program_length) {
  std::string out;
  for (uint64_t v : {kTrailerMagic, program_length}) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  }
  return out;
}

std::optional<uint64_t> read_trailer(std::string_view trailer) {
  if (trailer.size() != kTrailerSize) return std::nullopt;
  auto word = [&](size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(trailer[at + i]);
    return v;
  };
  if (word(0) != kTrailerMagic) return std::nullopt;
  return word(8);
}

}  // namespace sr::zr

#include "compiler/stub/machine.h"

#include <cstdlib>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "compiler/stub/stream_io.h"
#include "compiler/stub/text_functions.h"

namespace sr::zr {
namespace {

struct RuntimeError {
  const char* message;
};

class Machine {
 public:
  Machine(const Program& program, int argc, char** argv)
      : program_(program),
        argc_(argc),
        argv_(argv),
        int_vars_(program.int_slots),
        string_vars_(program.string_slots) {}

  int run();
  uint32_t line() const { return line_; }
  OutputBuffer& out() { return out_; }

 private:
  int64_t pop_int() {
    if (ints_.empty()) throw RuntimeError{"the program is damaged"};
    int64_t v = ints_.back();
    ints_.pop_back();
    return v;
  }
  std::string pop_string() {
    if (strings_.empty()) throw RuntimeError{"the program is damaged"};
    std::string v = std::move(strings_.back());
    strings_.pop_back();
    return v;
  }
  void arithmetic(Op op);
  bool compare(Compare how, int order) const;
  void write(Channel channel, std::string_view text);
  void call(Builtin builtin);
  void call_text(Builtin builtin);
  bool for_within(const Instruction& in, int64_t value) const;

  const Program& program_;
  int argc_;
  char** argv_;
  std::vector<int64_t> int_vars_;
  std::vector<std::string> string_vars_;
  std::vector<int64_t> ints_;
  std::vector<std::string> strings_;
  OutputBuffer out_;
  InputReader in_;
  uint32_t line_ = 0;
};

// Arithmetic wraps around at the 64-bit limits instead of trapping.
void Machine::arithmetic(Op op) {
  uint64_t b = static_cast<uint64_t>(pop_int());
  uint64_t a = static_cast<uint64_t>(pop_int());
  int64_t sa = static_cast<int64_t>(a), sb = static_cast<int64_t>(b);
  int64_t result = 0;
  switch (op) {
    case Op::add:
      result = static_cast<int64_t>(a + b);
      break;
    case Op::sub:
      result = static_cast<int64_t>(a - b);
      break;
    case Op::mul:
      result = static_cast<int64_t>(a * b);
      break;
    default:
      if (sb == 0) throw RuntimeError{"Division by zero"};
      // The most negative value divided by -1 does not fit; it wraps to itself.
      if (sb == -1) {
        result = op == Op::div ? static_cast<int64_t>(0 - a) : 0;
      } else {
        result = op == Op::div ? sa / sb : sa % sb;
      }
  }
  ints_.push_back(result);
}

bool Machine::compare(Compare how, int order) const {
  switch (how) {
    case Compare::eq:
      return order == 0;
    case Compare::ne:
      return order != 0;
    case Compare::lt:
      return order < 0;
    case Compare::gt:
      return order > 0;
    case Compare::le:
      return order <= 0;
    default:
      return order >= 0;
  }
}

void Machine::write(Channel channel, std::string_view text) {
  if (channel == Channel::error_line) {
    std::string line(text);
    line.push_back('\n');
    write_fully(2, line);
    return;
  }
  out_.write(text);
  if (channel == Channel::out_line) out_.write("\n");
}

bool Machine::for_within(const Instruction& in, int64_t value) const {
  int64_t bound = int_vars_[in.arg3];
  return int_vars_[in.arg3 + 1] >= 0 ? value <= bound : value >= bound;
}

int Machine::run() {
  const std::vector<Instruction>& code = program_.code;
  for (size_t pc = 0; pc < code.size();) {
    const Instruction& in = code[pc++];
    line_ = in.line;
    switch (in.op) {
      case Op::push_int:
        ints_.push_back(in.arg);
        break;
      case Op::push_string:
        strings_.push_back(program_.strings[in.arg]);
        break;
      case Op::load_int:
        ints_.push_back(int_vars_[in.arg]);
        break;
      case Op::store_int:
        int_vars_[in.arg] = pop_int();
        break;
      case Op::load_string:
        strings_.push_back(string_vars_[in.arg]);
        break;
      case Op::store_string:
        string_vars_[in.arg] = pop_string();
        break;
      case Op::add:
      case Op::sub:
      case Op::mul:
      case Op::div:
      case Op::mod:
        arithmetic(in.op);
        break;
      case Op::negate:
        ints_.push_back(static_cast<int64_t>(0 - static_cast<uint64_t>(pop_int())));
        break;
      case Op::concat: {
        std::string b = pop_string();
        if (strings_.empty()) throw RuntimeError{"the program is damaged"};
        strings_.back() += b;
        break;
      }
      case Op::int_compare: {
        int64_t b = pop_int(), a = pop_int();
        ints_.push_back(compare(static_cast<Compare>(in.arg), a < b ? -1 : a > b ? 1 : 0));
        break;
      }
      case Op::string_compare: {
        std::string b = pop_string(), a = pop_string();
        int order = a.compare(b);  // std::string compares bytes as unsigned char
        ints_.push_back(compare(static_cast<Compare>(in.arg), order));
        break;
      }
      case Op::logical_not:
        ints_.push_back(pop_int() == 0 ? 1 : 0);
        break;
      case Op::jump:
        pc = static_cast<size_t>(in.arg);
        break;
      case Op::jump_if_false:
        if (pop_int() == 0) pc = static_cast<size_t>(in.arg);
        break;
      case Op::jump_if_true:
        if (pop_int() != 0) pc = static_cast<size_t>(in.arg);
        break;
      case Op::for_enter:
        if (!for_within(in, int_vars_[in.arg2])) pc = static_cast<size_t>(in.arg);
        break;
      case Op::for_next: {
        int64_t next = 0;
        // A step past the 64-bit limits ends the loop rather than wrapping back into it.
        if (__builtin_add_overflow(int_vars_[in.arg2], int_vars_[in.arg3 + 1], &next)) break;
        int_vars_[in.arg2] = next;
        if (for_within(in, next)) pc = static_cast<size_t>(in.arg);
        break;
      }
      case Op::write_int:
        write(static_cast<Channel>(in.arg), decimal(pop_int()));
        break;
      case Op::write_string:
        write(static_cast<Channel>(in.arg), pop_string());
        break;
      case Op::write_newline:
        out_.write("\n");
        break;
      case Op::flush:
        out_.flush();
        break;
      case Op::call:
        call(static_cast<Builtin>(in.arg));
        break;
      case Op::end:
        return static_cast<int>(pop_int() & 0xff);
      default:
        throw RuntimeError{"the program is damaged"};
    }
  }
  return 0;
}

void Machine::call(Builtin builtin) {
  switch (builtin) {
    case Builtin::env: {
      const char* value = std::getenv(pop_string().c_str());
      strings_.push_back(value ? value : "");
      break;
    }
    case Builtin::arg: {
      int64_t n = pop_int();
      strings_.push_back(n >= 1 && n < argc_ ? argv_[n] : "");
      break;
    }
    case Builtin::arg_count:
      ints_.push_back(argc_ > 0 ? argc_ - 1 : 0);
      break;
    case Builtin::read_all:
      strings_.push_back(in_.read_all());
      break;
    case Builtin::read_line:
      strings_.push_back(in_.read_line());
      break;
    case Builtin::len:
      ints_.push_back(static_cast<int64_t>(pop_string().size()));
      break;
    case Builtin::asc: {
      std::string s = pop_string();
      ints_.push_back(s.empty() ? 0 : static_cast<unsigned char>(s[0]));
      break;
    }
    case Builtin::chr: {
      int64_t n = pop_int();
      if (n < 0 || n > 255) throw RuntimeError{"Chr$ needs a value from 0 to 255"};
      strings_.push_back(std::string(1, static_cast<char>(n)));
      break;
    }
    case Builtin::str:
      strings_.push_back(decimal(pop_int()));
      break;
    case Builtin::val:
      ints_.push_back(leading_integer(pop_string()));
      break;
    case Builtin::time:
      ints_.push_back(static_cast<int64_t>(std::time(nullptr)));
      break;
    default:
      call_text(builtin);
  }
}

void Machine::call_text(Builtin builtin) {
  switch (builtin) {
    case Builtin::left:
    case Builtin::right:
    case Builtin::mid2: {
      int64_t n = pop_int();
      std::string s = pop_string();
      strings_.push_back(builtin == Builtin::left    ? left_part(s, n)
                         : builtin == Builtin::right ? right_part(s, n)
                                                     : mid_part(s, n, -1));
      break;
    }
    case Builtin::mid3: {
      int64_t count = pop_int(), start = pop_int();
      std::string s = pop_string();
      strings_.push_back(mid_part(s, start, count < 0 ? 0 : count));
      break;
    }
    case Builtin::find2:
    case Builtin::find3: {
      int64_t start = builtin == Builtin::find3 ? pop_int() : 1;
      std::string sought = pop_string(), s = pop_string();
      ints_.push_back(find_text(s, sought, start));
      break;
    }
    case Builtin::replace: {
      std::string by = pop_string(), sought = pop_string(), s = pop_string();
      strings_.push_back(replace_all(s, sought, by));
      break;
    }
    case Builtin::trim:
      strings_.push_back(trim_blanks(pop_string()));
      break;
    case Builtin::upper:
      strings_.push_back(upper_ascii(pop_string()));
      break;
    case Builtin::lower:
      strings_.push_back(lower_ascii(pop_string()));
      break;
    case Builtin::field: {
      std::string separator = pop_string();
      int64_t n = pop_int();
      strings_.push_back(field_of(pop_string(), n, separator));
      break;
    }
    case Builtin::url_decode:
      strings_.push_back(url_decode(pop_string()));
      break;
    case Builtin::html_escape:
      strings_.push_back(html_escape(pop_string()));
      break;
    default:
      throw RuntimeError{"the program is damaged"};
  }
}

void report(uint32_t line, const char* message) {
  std::string text = "Runtime error at line " + decimal(line) + ": " + message + "\n";
  write_fully(2, text);
}

}  // namespace

int run_program(const Program& program, int argc, char** argv) {
  Machine machine(program, argc, argv);
  int code = 1;
  const char* error = nullptr;
  try {
    code = machine.run();
  } catch (const RuntimeError& e) {
    error = e.message;
  } catch (const std::bad_alloc&) {
    error = "Out of memory";
  }
  // What the program wrote before an error still reaches its reader, ahead of the message.
  machine.out().flush();
  if (error != nullptr) report(machine.line(), error);
  return code;
}

}  // namespace sr::zr

// The stand-in compiler's front end on any source: it never crashes; a failed compile gives
// "Line N: message" lines in line order, N within the source, each message one non-empty line; a
// successful one gives a program that the stub's reader accepts and decodes to the same slots,
// string constants, procedures and instructions. The input after its first form feed is the
// file "part.inc", which the source may include; "lib.inc" is a fixed file of procedures.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/compile_program.h"
#include "compiler/include_expander.h"
#include "compiler/program_format.h"
#include "compiler/source_lines.h"
#include "compiler/stub/program_reader.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string describe(const sr::zr::Instruction& in) {
  return std::to_string(static_cast<int>(in.op)) + " " + std::to_string(in.arg) + " " +
         std::to_string(in.arg2) + " " + std::to_string(in.arg3) + " line " +
         std::to_string(in.line);
}

void check_same_program(const sr::zr::Program& written, const sr::zr::LoadedProgram& read) {
  using sr::fuzz::fail;
  if (read.int_slots != written.int_slots || read.string_slots != written.string_slots ||
      read.array_slots != written.array_slots) {
    fail("slot counts change on the way through the stub's reader",
         std::to_string(written.int_slots) + "/" + std::to_string(written.string_slots) + "/" +
             std::to_string(written.array_slots),
         std::to_string(read.int_slots) + "/" + std::to_string(read.string_slots) + "/" +
             std::to_string(read.array_slots));
  }
  if (read.procedures.size() != written.procedures.size()) {
    fail("procedure count changes", std::to_string(written.procedures.size()),
         std::to_string(read.procedures.size()));
  }
  for (size_t i = 0; i < written.procedures.size(); ++i) {
    const sr::zr::ProcedureInfo &w = written.procedures[i], &r = read.procedures[i];
    if (w.entry != r.entry || w.int_slots != r.int_slots || w.string_slots != r.string_slots ||
        w.array_slots != r.array_slots) {
      fail("a procedure changes", std::to_string(w.entry), std::to_string(r.entry));
    }
  }
  if (read.strings.size() != written.strings.size()) {
    fail("string count changes", std::to_string(written.strings.size()),
         std::to_string(read.strings.size()));
  }
  for (size_t i = 0; i < written.strings.size(); ++i) {
    const sr::zr::Bytes s = read.strings.view(i);
    if (std::string_view(s.data, s.size) != written.strings[i]) {
      fail("a string constant changes", written.strings[i], std::string_view(s.data, s.size));
    }
  }
  if (read.first_included_line != written.first_included_line ||
      read.include_lines.size() != written.included_lines.size()) {
    fail("included lines change", std::to_string(written.included_lines.size()),
         std::to_string(read.include_lines.size()));
  }
  for (size_t i = 0; i < written.included_lines.size(); ++i) {
    const sr::zr::Bytes place = read.included_places.view(i);
    if (read.include_lines[i] != written.included_lines[i].include_line ||
        std::string_view(place.data, place.size) != written.included_lines[i].where) {
      fail("an included line changes", written.included_lines[i].where,
           std::string_view(place.data, place.size));
    }
  }
  if (read.code.size() != written.code.size()) {
    fail("instruction count changes", std::to_string(written.code.size()),
         std::to_string(read.code.size()));
  }
  for (size_t i = 0; i < written.code.size(); ++i) {
    const std::string expected = describe(written.code[i]), actual = describe(read.code[i]);
    if (expected != actual) fail("an instruction changes", expected, actual);
  }
}

constexpr std::string_view kLibrary =
    "Function Twice$(s$)\nReturn s$ + s$\nEndFunction\n"
    "Sub Fill(list$(), n)\nReDim list$(n)\nGlobal count\ncount = count + 1\nEndSub\n"
    "Include \"part.inc\"\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using sr::fuzz::fail;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t form_feed = input.find('\f');
  const std::string_view source = input.substr(0, form_feed);
  const std::string part(form_feed == std::string_view::npos ? "" : input.substr(form_feed + 1));
  const sr::zr::IncludeReader reader = [&](const std::string& path, std::string& content,
                                           std::string& identity) {
    identity = path.substr(path.rfind('/') + 1);
    if (identity == "part.inc" && form_feed != std::string_view::npos) {
      content = part;
    } else if (identity == "lib.inc") {
      content = kLibrary;
    } else {
      return false;
    }
    return true;
  };
  std::vector<std::string> lines;
  std::string error;
  if (!sr::zr::split_source_lines(source, lines, error)) {
    // Reported as "Line 1: " + error.
    if (error.empty() || error.find_first_of("\r\n") != std::string::npos) {
      fail("source refused without a one-line reason", "a reason", error);
    }
    return 0;
  }
  for (const std::string& line : lines) {
    if (line.find_first_of("\r\n") != std::string::npos) fail("a line holds a line end", "", line);
  }

  sr::zr::Program program;
  std::vector<sr::zr::CompileError> errors;
  const bool compiled = sr::zr::compile_program("/fuzz/main.zr", lines, reader, program, errors);
  if (!compiled) {
    if (errors.empty()) fail("a failed compile names no error", "an error", "none");
    std::uint32_t previous = 0;
    for (const sr::zr::CompileError& e : errors) {
      const std::string shown = "Line " + std::to_string(e.line) + ": " + e.message;
      if (e.line < 1 || e.line > lines.size()) {
        fail("error line outside the source", "1.." + std::to_string(lines.size()), shown);
      }
      // A line may carry two errors (a faulty If that still opens its block), but in order.
      if (e.line < previous) fail("errors out of line order", std::to_string(previous), shown);
      previous = e.line;
      if (e.message.empty() ||
          e.message.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        fail("an error message that is not one printable line", "one line", shown);
      }
    }
    return 0;
  }
  if (!errors.empty()) fail("a successful compile reported errors", "", errors[0].message);

  const std::string bytes = sr::zr::serialize_program(program);
  sr::zr::LoadedProgram loaded;
  if (!sr::zr::read_program(sr::zr::Bytes{bytes.data(), bytes.size()}, loaded)) {
    fail("the stub's reader refuses a compiled program", "accepted", "refused");
  }
  check_same_program(program, loaded);
  return 0;
}

// The compiler's serialize_program against the stub's reader. The stub decodes whatever bytes
// sit before its trailer; damaged bytes must be refused, never followed outside the tables.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/program_format.h"
#include "compiler/resident_mark.h"
#include "compiler/stub/program_reader.h"

namespace sr::zr {
namespace {

Program sample() {
  Program p;
  p.int_slots = 3;
  p.string_slots = 1;
  p.strings = {"hello", std::string("a\0b", 3), ""};
  p.code = {{Op::push_string, 1, 0, 0, 2},
            {Op::store_string, 0, 0, 0, 2},
            {Op::push_int, -5, 0, 0, 3},
            {Op::store_int, 0, 0, 0, 3},
            {Op::for_enter, 6, 0, 1, 4},
            {Op::for_next, 5, 0, 1, 300},
            {Op::push_int, INT64_MIN, 0, 0, 1},
            {Op::push_int, INT64_MAX, 0, 0, 4000000000},
            {Op::end, 0, 0, 0, 1},
            // A procedure with two integer slots, one string slot and one array slot.
            {Op::store_int, 1, 0, 0, 5},
            {Op::load_global_string, 0, 0, 0, 5},
            {Op::array_dim, 0, 0, kArrayOfStrings | kArrayKeep, 5},
            {Op::array_load, 1, 1, 0, 5},
            {Op::for_next_global, 9, 2, 0, 6},
            {Op::call_procedure, 0, 0, 0, 6},
            {Op::return_procedure, 0, 0, 0, 7}};
  p.array_slots = 2;
  p.procedures = {{9, 2, 1, 1}};
  p.first_included_line = 6;
  p.included_lines = {{2, "lib.inc line 1: "}, {2, "lib.inc line 2: "}};
  return p;
}

Bytes bytes_view(const std::string& s) {
  return Bytes{s.data(), s.size()};
}

bool accepted(const std::string& bytes) {
  LoadedProgram loaded;
  return read_program(bytes_view(bytes), loaded);
}

// The bytes of a program with `count` instructions, hand-made so that the reader sees operand
// values the compiler would never write.
std::string with_code(std::string_view encoded_code, int count, int int_slots = 3) {
  std::string bytes = "ZRP2";
  bytes += static_cast<char>(int_slots);
  // One string slot, no array slots, no string constants, no procedures, no included lines.
  bytes += std::string("\x01\x00\x00\x00\x00\x00", 6);
  bytes += static_cast<char>(count);
  bytes += encoded_code;
  return bytes;
}

TEST(ProgramFormat, RoundTrip) {
  const Program p = sample();
  LoadedProgram back;
  ASSERT_TRUE(read_program(bytes_view(serialize_program(p)), back));
  EXPECT_EQ(back.int_slots, p.int_slots);
  EXPECT_EQ(back.string_slots, p.string_slots);
  ASSERT_EQ(back.strings.size(), p.strings.size());
  for (size_t i = 0; i < p.strings.size(); ++i) {
    Bytes s = back.strings.view(i);
    EXPECT_EQ(std::string_view(s.data, s.size), p.strings[i]);
  }
  ASSERT_EQ(back.code.size(), p.code.size());
  for (size_t i = 0; i < p.code.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(back.code[i].op, p.code[i].op);
    EXPECT_EQ(back.code[i].arg, p.code[i].arg);
    EXPECT_EQ(back.code[i].arg2, p.code[i].arg2);
    EXPECT_EQ(back.code[i].arg3, p.code[i].arg3);
    EXPECT_EQ(back.code[i].line, p.code[i].line);
  }
  EXPECT_EQ(back.array_slots, p.array_slots);
  ASSERT_EQ(back.procedures.size(), p.procedures.size());
  EXPECT_EQ(back.procedures[0].entry, 9u);
  EXPECT_EQ(back.procedures[0].int_slots, 2u);
  EXPECT_EQ(back.procedures[0].string_slots, 1u);
  EXPECT_EQ(back.procedures[0].array_slots, 1u);
  Bytes place;
  EXPECT_EQ(back.reported_line(5, place), 5u);
  EXPECT_TRUE(place.empty());
  EXPECT_EQ(back.reported_line(7, place), 2u);
  EXPECT_EQ(std::string_view(place.data, place.size), "lib.inc line 2: ");
  EXPECT_EQ(back.reported_line(8, place), 8u) << "past the table";
}

TEST(ProgramFormat, EveryTruncationIsRefused) {
  const std::string bytes = serialize_program(sample());
  for (size_t n = 0; n < bytes.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(accepted(bytes.substr(0, n)));
  }
  EXPECT_FALSE(accepted(bytes + "x"));
  EXPECT_FALSE(accepted("ZRP1" + bytes.substr(4)));
}

TEST(ProgramFormat, OperandsOutsideTheTablesAreRefused) {
  struct Case {
    const char* name;
    Instruction bad;
  };
  const Case cases[] = {
      {"string constant", {Op::push_string, 3, 0, 0, 1}},
      {"negative string constant", {Op::push_string, -1, 0, 0, 1}},
      {"integer slot", {Op::load_int, 3, 0, 0, 1}},
      {"negative slot", {Op::store_int, -1, 0, 0, 1}},
      {"string slot", {Op::load_string, 1, 0, 0, 1}},
      {"jump target", {Op::jump, 99, 0, 0, 1}},
      {"negative jump target", {Op::jump_if_true, -1, 0, 0, 1}},
      {"loop target", {Op::for_enter, 99, 0, 1, 1}},
      {"loop variable slot", {Op::for_enter, 0, 3, 1, 1}},
      {"loop bound slot", {Op::for_next, 0, 0, 3, 1}},
      {"loop step slot", {Op::for_next, 0, 0, 2, 1}},
      {"loop bound at the 64-bit limit", {Op::for_next, 0, 0, INT64_MAX, 1}},
      {"builtin", {Op::call, static_cast<int64_t>(Builtin::kCount), 0, 0, 1}},
      {"comparison", {Op::int_compare, 6, 0, 0, 1}},
      {"string comparison", {Op::string_compare, -1, 0, 0, 1}},
      {"channel", {Op::write_string, 3, 0, 0, 1}},
      {"global integer slot", {Op::store_global_int, 3, 0, 0, 1}},
      {"global string slot", {Op::load_global_string, 1, 0, 0, 1}},
      {"global loop variable", {Op::for_enter_global, 0, 3, 0, 1}},
      {"procedure", {Op::call_procedure, 1, 0, 0, 1}},
      {"negative procedure", {Op::call_procedure, -1, 0, 0, 1}},
      {"frame array slot", {Op::array_load, 2, 0, 0, 1}},
      {"global array slot", {Op::array_store, 2, 1, 0, 1}},
      {"array scope", {Op::array_ubound, 0, 2, 0, 1}},
      {"array flags", {Op::array_dim, 0, 0, 4, 1}},
      {"a parameter bound to a global slot", {Op::array_bind, 0, 1, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Program p = sample();
    p.code.push_back(c.bad);
    EXPECT_FALSE(accepted(serialize_program(p)));
  }
}

TEST(ProgramFormat, ProcedureEntriesOutsideTheCodeAreRefused) {
  Program p = sample();
  p.procedures[0].entry = static_cast<uint32_t>(p.code.size());
  EXPECT_FALSE(accepted(serialize_program(p)));
  p.procedures[0].entry = static_cast<uint32_t>(p.code.size() - 1);
  EXPECT_TRUE(accepted(serialize_program(p)));
}

TEST(ProgramFormat, OperandsAtTheEdgesOfTheTablesAreAccepted) {
  Program p = sample();
  const auto end = static_cast<int64_t>(p.code.size()) + 3;  // the code's length once appended
  p.code.push_back({Op::jump, end, 0, 0, 1});                // a jump to the very end
  p.code.push_back({Op::for_next, end, 2, 1, 1});            // step in the last slot
  p.code.push_back({Op::call, static_cast<int64_t>(Builtin::time), 0, 0, 1});
  EXPECT_TRUE(accepted(serialize_program(p)));
}

TEST(ProgramFormat, DamagedEncodingsAreRefused) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  // One instruction is opcode, line delta, argument; "\x00\x02\x02" is push_int on line 1, 1.
  const Case cases[] = {
      {"opcode past the last",
       with_code(std::string(1, static_cast<char>(Op::kCount)) + std::string("\x02\x02", 2), 1)},
      {"varint longer than ten bytes",
       with_code(std::string(1, '\0') + std::string(10, '\x80') + "\x01\x02", 1)},
      {"line before the first", with_code(std::string("\x00\x01\x02", 3), 1)},
      {"line past 32 bits", with_code(std::string("\x00\x80\x80\x80\x80\x20\x02", 7), 1)},
      {"more strings than bytes left", std::string("ZRP2\x03\x01\x00\x7f", 8) + "aaaaaaaaaa"},
      {"string longer than the bytes left", std::string("ZRP2\x03\x01\x00\x01\x09", 9) + "abc"},
      {"integer slots past 32 bits",
       std::string("ZRP2\x80\x80\x80\x80\x10\x00\x00\x00\x00\x00", 14)},
      {"string slots past 32 bits",
       std::string("ZRP2\x00\x80\x80\x80\x80\x10\x00\x00\x00\x00", 14)},
      {"array slots past 32 bits", std::string("ZRP2\x00\x00\x80\x80\x80\x80\x10\x00\x00\x00", 14)},
      {"more procedures than bytes left", std::string("ZRP2\x00\x00\x00\x00\x7f\x00", 10)},
  };
  EXPECT_TRUE(accepted(with_code(std::string("\x00\x02\x02", 3), 1))) << "the baseline";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(accepted(c.bytes));
  }
}

TEST(ProgramFormat, Trailer) {
  std::string t = make_trailer(123456789);
  uint64_t length = 0;
  EXPECT_EQ(t.size(), kTrailerSize);
  EXPECT_TRUE(read_trailer(bytes_view(t), length));
  EXPECT_EQ(length, 123456789u);
  t[0] ^= 1;
  EXPECT_FALSE(read_trailer(bytes_view(t), length));
  EXPECT_FALSE(read_trailer(bytes_of("short"), length));
  EXPECT_FALSE(read_trailer(bytes_view(make_trailer(1) + "x"), length));
  t[0] = static_cast<char>(kTrailerOnceVersion);  // executables that run once per process
  EXPECT_TRUE(read_trailer(bytes_view(t), length));
}

// Cached executables are not rebuilt when the compiler changes: a row inserted or moved in
// either list would run their programs with other instructions or functions.
TEST(ProgramFormat, CodesOfWrittenExecutablesStayTheSame) {
  auto words = [](std::string_view text) {
    std::vector<std::string_view> out;
    for (size_t at = 0, end = 0; at < text.size(); at = end + 1) {
      end = std::min(text.find(' ', at), text.size());
      out.push_back(text.substr(at, end - at));
    }
    return out;
  };
#define SR_TEST_NAME(name, ...) #name,
  const std::vector<std::string_view> ops = {SR_ZR_OPCODES(SR_TEST_NAME)};
  const std::vector<std::string_view> builtins = {SR_ZR_BUILTINS(SR_TEST_NAME)};
#undef SR_TEST_NAME
  const auto written_ops = words(
      "push_int push_string load_int store_int load_string store_string add sub mul div mod "
      "negate concat int_compare string_compare logical_not jump jump_if_false jump_if_true "
      "for_enter for_next write_int write_string write_newline flush call end load_global_int "
      "store_global_int load_global_string store_global_string for_enter_global "
      "for_next_global call_procedure return_procedure drop_int drop_string array_dim "
      "array_load array_store array_ubound array_push_ref array_bind lock_take lock_release "
      "map_load map_store take_string take_global_string call_on_string");
  const auto written_builtins = words(
      "env arg arg_count read_all read_line len asc chr str val left right mid2 mid3 find2 "
      "find3 replace trim upper lower field url_decode html_escape time abs min max url_encode "
      "json_escape form_value format_date random read_file write_file append_file file_exists "
      "file_size delete_file split join random_token random_hex sha256 hmac_sha256 "
      "password_hash password_verify safe_equal base64 unbase64 cookie header method set_cookie "
      "status redirect json_value json_type json_keys json_error make_folder list_folder keys "
      "has_key remove_key key_count json_parse_map json_parse_list json_map json_list json_array "
      "json_set form_error upload_count upload_name upload_type upload_size upload safe_file_name "
      "env_names json_parse_ints json_ints");
  ASSERT_GE(ops.size(), written_ops.size());
  ASSERT_GE(builtins.size(), written_builtins.size());
  EXPECT_EQ(std::vector(ops.begin(), ops.begin() + written_ops.size()), written_ops);
  EXPECT_EQ(std::vector(builtins.begin(), builtins.begin() + written_builtins.size()),
            written_builtins);
  for (size_t i = 0; i < written_ops.size(); ++i) {
    const bool three = written_ops[i].starts_with("for_") || written_ops[i].starts_with("array_") ||
                       written_ops[i].starts_with("map_") || written_ops[i] == "call_on_string";
    EXPECT_EQ(has_three_operands(static_cast<Op>(i)), three) << written_ops[i];
  }
}

// What a server reads from an opened executable before it starts one resident.
TEST(ProgramFormat, ResidentModeIsDeclaredInTheTrailer) {
  char folder[] = "/tmp/zrmark-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/exe";
  const std::string program = serialize_program(sample());
  auto declared = [&](const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
    const int fd = open(path.c_str(), O_RDONLY);
    lseek(fd, 3, SEEK_SET);
    const bool result = declares_resident_mode(fd);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3) << "the offset is left alone";
    close(fd);
    return result;
  };
  // Run once per process: those that declare no resident mode, and those of an older compiler,
  // whose stub speaks an older protocol.
  std::string once = make_trailer(program.size()), older = once;
  once[0] = static_cast<char>(kTrailerOnceVersion);
  older[0] = static_cast<char>(kTrailerResidentVersion - 1);
  EXPECT_TRUE(declared("stub" + program + make_trailer(program.size())));
  EXPECT_FALSE(declared("stub" + program + once));
  EXPECT_FALSE(declared("stub" + program + older));
  EXPECT_FALSE(declared("stub" + program + make_trailer(program.size() + 5)));
  EXPECT_FALSE(declared(make_trailer(0).substr(1)));
  const int folder_fd = open(folder, O_RDONLY | O_DIRECTORY);
  EXPECT_FALSE(declares_resident_mode(folder_fd));
  close(folder_fd);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace sr::zr

// The stub decodes whatever bytes sit before its trailer; damaged bytes must be refused, never
// followed outside the program's tables.
#include <gtest/gtest.h>

#include "compiler/program_format.h"

namespace sr::zr {
namespace {

Program sample() {
  Program p;
  p.int_slots = 3;
  p.string_slots = 1;
  p.strings = {"hello", std::string("a\0b", 3)};
  p.code = {{Op::push_string, 1, 0, 0, 2},      {Op::store_string, 0, 0, 0, 2},
            {Op::push_int, -5, 0, 0, 3},        {Op::store_int, 0, 0, 0, 3},
            {Op::for_enter, 6, 0, 1, 4},        {Op::for_next, 5, 0, 1, 300},
            {Op::push_int, INT64_MIN, 0, 0, 1}, {Op::end, 0, 0, 0, 1}};
  return p;
}

TEST(ProgramFormat, RoundTrip) {
  std::optional<Program> back = deserialize_program(serialize_program(sample()));
  ASSERT_TRUE(back);
  const Program p = sample();
  EXPECT_EQ(back->int_slots, p.int_slots);
  EXPECT_EQ(back->string_slots, p.string_slots);
  EXPECT_EQ(back->strings, p.strings);
  ASSERT_EQ(back->code.size(), p.code.size());
  for (size_t i = 0; i < p.code.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(back->code[i].op, p.code[i].op);
    EXPECT_EQ(back->code[i].arg, p.code[i].arg);
    EXPECT_EQ(back->code[i].arg2, p.code[i].arg2);
    EXPECT_EQ(back->code[i].arg3, p.code[i].arg3);
    EXPECT_EQ(back->code[i].line, p.code[i].line);
  }
}

TEST(ProgramFormat, EveryTruncationIsRefused) {
  const std::string bytes = serialize_program(sample());
  for (size_t n = 0; n < bytes.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(deserialize_program(bytes.substr(0, n)));
  }
  EXPECT_FALSE(deserialize_program(bytes + "x"));
}

TEST(ProgramFormat, OperandsOutsideTheTablesAreRefused) {
  struct Case {
    const char* name;
    Instruction bad;
  };
  const Case cases[] = {
      {"string constant", {Op::push_string, 2, 0, 0, 1}},
      {"integer slot", {Op::load_int, 3, 0, 0, 1}},
      {"negative slot", {Op::store_int, -1, 0, 0, 1}},
      {"string slot", {Op::load_string, 1, 0, 0, 1}},
      {"jump target", {Op::jump, 99, 0, 0, 1}},
      {"loop step slot", {Op::for_next, 0, 0, 2, 1}},
      {"builtin", {Op::call, static_cast<int64_t>(Builtin::kCount), 0, 0, 1}},
      {"comparison", {Op::int_compare, 6, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Program p = sample();
    p.code.push_back(c.bad);
    EXPECT_FALSE(deserialize_program(serialize_program(p)));
  }
}

TEST(ProgramFormat, Trailer) {
  std::string t = make_trailer(123456789);
  EXPECT_EQ(t.size(), kTrailerSize);
  EXPECT_EQ(read_trailer(t), 123456789u);
  t[0] ^= 1;
  EXPECT_FALSE(read_trailer(t));
  EXPECT_FALSE(read_trailer("short"));
}

}  // namespace
}  // namespace sr::zr

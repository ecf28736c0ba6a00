#include "runner/switches.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sr {
namespace {

using List = std::vector<std::string>;

TEST(Switches, FirstArgumentLosesEveryLineEnd) {
  EXPECT_EQ(clean_switch_string("-w -p\r"), "-w -p");
  EXPECT_EQ(clean_switch_string("-w\r\n-f\n"), "-w-f");
  EXPECT_EQ(clean_switch_string(""), "");
}

TEST(Switches, OnlyBlanksSeparateAndEmptyFieldsStay) {
  struct Row {
    const char* text;
    List list;
  };
  const Row rows[] = {
      {"", {}},
      {"-w", {"-w"}},
      {"-w -p", {"-w", "-p"}},
      {"-w  -f", {"-w", "", "-f"}},
      {" -w ", {"", "-w", ""}},
      {"-w\t-f", {"-w\t-f"}},
      {" ", {"", ""}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(split_switch_list(row.text), row.list);
  }
}

TEST(Switches, FormsMatchExactly) {
  RunState state;
  state.switch_list = split_switch_list("-W --Warn -wf --force -p");
  EXPECT_FALSE(has_switch(state, "-w"));
  EXPECT_FALSE(has_switch(state, "--warn"));
  EXPECT_FALSE(has_switch(state, "-f"));
  EXPECT_TRUE(has_switch(state, "--force"));
  EXPECT_TRUE(has_switch(state, "-p"));
  EXPECT_FALSE(has_switch(state, ""));
  state.switch_list = split_switch_list("-w  -f");
  EXPECT_TRUE(has_switch(state, ""));
}

}  // namespace
}  // namespace sr

#include "runner/switches.h"

#include <gtest/gtest.h>

#include <cctype>
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

// Each switch answers to its short and its long form, exactly, and to nothing else.
TEST(Switches, EachSwitchByItsOwnHelper) {
  struct Row {
    const char* name;
    bool (*on)(const RunState&);
    const char* short_form;
    const char* long_form;
  } rows[] = {
      {"force", force_mode, "-f", "--force"},
      {"parse", parse_mode, "-p", "--parse"},
      {"compress", compress_mode, "-c", "--compress"},
      {"warn", warn_mode, "-w", "--warn"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunState state;
    for (const std::string& text : {std::string(row.short_form), std::string(row.long_form),
                                    "-x " + std::string(row.long_form)}) {
      state.switch_list = split_switch_list(text);
      EXPECT_TRUE(row.on(state)) << text;
    }
    const std::string upper = std::string("-") + char(std::toupper(row.short_form[1]));
    for (const std::string& text : {std::string(""), upper, std::string(row.long_form) + "s",
                                    std::string(row.short_form) + "\t-x", std::string("-fpcw")}) {
      state.switch_list = split_switch_list(text);
      EXPECT_FALSE(row.on(state)) << text;
    }
  }
}

}  // namespace
}  // namespace sr

#include "runner/request_body.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace sr {
namespace {

// A web server passes any text; only the low 32 bits of its number count, taken as signed.
TEST(RequestBody, ContentLengthKeepsTheLow32BitsSigned) {
  struct Row {
    const char* name;
    const char* value;  // null: the variable is not set
    std::int32_t expected;
  };
  const Row rows[] = {
      {"unset", nullptr, 0},
      {"empty", "", 0},
      {"plain", "10", 10},
      {"past 32 bits wraps", "4294967306", 10},
      {"past the signed range turns negative", "2147483648", INT32_MIN},
      {"negative stays negative", "-5", -5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.value == nullptr) {
      unsetenv("CONTENT_LENGTH");
    } else {
      setenv("CONTENT_LENGTH", row.value, 1);
    }
    EXPECT_EQ(RequestBody::content_length(), row.expected);
  }
  unsetenv("CONTENT_LENGTH");
}

}  // namespace
}  // namespace sr

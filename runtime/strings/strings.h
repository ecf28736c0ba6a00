// Byte-string and path operations. Strings are 8-bit bytes; positions are 1-based and 0 means
// "not found". No operation fails visibly: out-of-range arguments give "", 0 or the whole text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sr {

// 1 when both hold exactly the same bytes, else 0.
int strings_equal(std::string_view a, std::string_view b);

// Compares at most `count` leading bytes like strncmp (mode 0) or strncasecmp (any other mode).
int compare_prefix(std::string_view a, std::string_view b, int mode, std::size_t count);

// Position of the first occurrence of `sought` at or after `start` (<= 0 counts as 1), or 0.
std::int64_t find_string(std::string_view text, std::string_view sought, std::int64_t start);

// Number of non-overlapping occurrences of `sought`; 0 for an empty `sought`.
std::int64_t count_string(std::string_view text, std::string_view sought);

// Field `field` (1-based, <= 0 counts as 1) of `text` split at the first byte of `separator`.
std::string string_field(std::string_view text, std::int64_t field, std::string_view separator);

std::string left_string(std::string_view text, std::int64_t count);
std::string mid_string(std::string_view text, std::int64_t start);

// A-Z and 0xC0-0xDE are raised by 0x20; every other byte stays.
std::string lower_case(std::string_view text);

// Removes runs of 0x20 at both ends; tabs stay.
std::string trim_spaces(std::string_view text);

// Every occurrence of `sought` taken out in one left-to-right scan.
std::string remove_string(std::string_view text, std::string_view sought);

std::string number_to_string(std::int64_t value);

// Leading blanks/tabs, an optional sign, then decimal, "$" hex or "%" binary digits; wraps
// modulo 2^64; 0 when there is no digit.
std::int64_t string_to_number(std::string_view text);

// The block's bytes up to its first zero byte, or all `size` bytes; "" for a null block.
std::string string_from_memory(const void* block, std::int64_t size);

// Everything up to and including the last "/" (a leading double quote is skipped); "" if none.
std::string path_part(std::string_view path);

}  // namespace sr

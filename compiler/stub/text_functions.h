// The language's string functions. Positions count from 1; out-of-range positions and counts
// give the part that exists (possibly ""), never an error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sr::zr {

std::string left_part(std::string_view s, int64_t n);
std::string right_part(std::string_view s, int64_t n);
std::string mid_part(std::string_view s, int64_t start, int64_t count);  // count < 0: to the end
int64_t find_text(std::string_view s, std::string_view sought, int64_t start);
std::string replace_all(std::string_view s, std::string_view sought, std::string_view by);
std::string trim_blanks(std::string_view s);  // blanks and tabs
std::string upper_ascii(std::string_view s);
std::string lower_ascii(std::string_view s);
std::string field_of(std::string_view s, int64_t n, std::string_view separator);
std::string url_decode(std::string_view s);
std::string html_escape(std::string_view s);
std::string decimal(int64_t n);
int64_t leading_integer(std::string_view s);  // saturates at the 64-bit limits

}  // namespace sr::zr

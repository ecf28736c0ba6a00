// Request text (a script's path may hold any bytes) as a string of the status page's structured
// forms: always valid UTF-8, each byte sequence that is not UTF-8 written as U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace sr::fcgi {

// A JSON string literal, quotes included: '"', '\' and every control byte escaped.
std::string json_string(std::string_view text);

// An OpenMetrics label value, quotes included: '"', '\' and the line feed escaped, the only
// escapes the format has.
std::string openmetrics_label_value(std::string_view text);

}  // namespace sr::fcgi

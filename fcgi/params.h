// Name-value pairs of FCGI_PARAMS and FCGI_GET_VALUES: each length is one byte below 128, else
// four bytes with the high bit set (31 bits), then the name's and the value's bytes.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sr::fcgi {

// Views into the bytes they were decoded from, valid while those live.
using NameValuePairs = std::vector<std::pair<std::string_view, std::string_view>>;

// Decodes the whole of `data` (the concatenated content of a stream). False when a length or
// a pair runs past its end; `pairs` then holds the pairs before the broken one.
bool decode_name_values(std::string_view data, NameValuePairs& pairs);

// Reads the two lengths of the pair at `at` and moves past them; false when `data` ends within
// them.
bool read_pair_lengths(std::string_view data, std::size_t& at, std::size_t& name_length,
                       std::size_t& value_length);

void append_name_value(std::string& out, std::string_view name, std::string_view value);

}  // namespace sr::fcgi

// Splits a source file into its lines, the way line numbers in messages count them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sr::zr {

// Drops a UTF-8 byte-order mark and splits at LF, CR LF and CR. Returns false and sets `error`
// for a source in a 16-bit encoding, which the language does not read.
bool split_source_lines(std::string_view text, std::vector<std::string>& lines, std::string& error);

}  // namespace sr::zr

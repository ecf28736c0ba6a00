// Buffered text files reached by handles, with byte-order-mark detection and six string formats.
// Handles are non-zero; 0 means the file could not be opened. A handle that is not open makes
// every operation do nothing and return its neutral result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sr {

using TextFile = int;

struct StringFormat {
  static constexpr int utf16le = 1;  // FF FE; one 16-bit unit per character
  static constexpr int utf8 = 2;     // EF BB BF; bytes 0x80-0xFF as two UTF-8 bytes
  static constexpr int ascii = 3;    // no marker; bytes as they are
  static constexpr int utf16be = 4;  // FE FF; bytes as they are
  static constexpr int utf32le = 5;  // FF FE 00 00; bytes as they are
  static constexpr int utf32be = 6;  // 00 00 FF FE; bytes as they are
};

void init_text_files();
// Flushes and closes every file still open.
void shutdown_text_files();

// Created or truncated, reading and writing. Never follows a symbolic link and never opens a
// file of another user.
TextFile create_text_file(std::string_view path);
// Reading and writing; an existing file keeps its contents, a missing one is created. The same
// safety rules as create_text_file.
TextFile open_text_file(std::string_view path);
// Reading only; only a regular file opens (a directory, pipe or device gives 0, never blocks).
TextFile open_text_file_read_only(std::string_view path);
void close_text_file(TextFile file);

// 1 when no further byte can be read, else 0.
int text_file_at_end(TextFile file);
// Ends at LF, CR, CR LF, a zero unit or the end of the file; no length limit.
std::string read_text_file_line(TextFile file, int format);
// Returns the bytes written to the file or its buffer.
int write_text_file_string(TextFile file, std::string_view text, int format);
int write_text_file_line(TextFile file, std::string_view text, int format);

// Format 1 to 6 from the marker at the current position; leaves the position behind it.
int detect_string_format(TextFile file);
int write_string_format_marker(TextFile file, int format);

// Logical position; -1 for a handle that is not open.
std::int64_t text_file_position(TextFile file);
void set_text_file_position(TextFile file, std::int64_t position);

}  // namespace sr

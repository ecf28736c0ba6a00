// The record behind a text-file handle and the buffered byte I/O that every text operation uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "runtime/files/unique_fd.h"

namespace sr {

inline constexpr int kTextFileBufferSize = 4096;

// In read mode `room` counts the buffered bytes not yet consumed (the last `room` of `filled`);
// in write mode it counts the free bytes, so `size - room` bytes are pending.
struct TextFileRecord {
  UniqueFd fd;
  std::unique_ptr<char[]> buffer;
  int size = kTextFileBufferSize;
  int room = 0;
  int filled = 0;
  bool reading = true;
};

// A record with its buffer, or null when the buffer cannot be allocated.
std::unique_ptr<TextFileRecord> make_text_file_record(int fd);

// Returns the bytes written to the file or to the buffer.
int buffered_write(TextFileRecord& file, const char* bytes, std::size_t count);
// Returns the bytes obtained; fewer than asked only at the end of the file.
int buffered_read(TextFileRecord& file, char* bytes, int count);
// Makes the next read return the last `count` bytes read again.
void push_back_bytes(TextFileRecord& file, int count);
// Writes pending bytes and leaves the file in read mode with an empty buffer.
void flush_and_discard(TextFileRecord& file);
std::int64_t logical_position(const TextFileRecord& file);
void reposition(TextFileRecord& file, std::int64_t position);

}  // namespace sr

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "runtime/files/full_io.h"
#include "runtime/textfile/text_file_record.h"

namespace sr {
namespace {

// Short or failed writes are not reported to the caller; the count tells what reached the file.
void write_pending(TextFileRecord& file) {
  write_full(file.fd.get(), file.buffer.get(), static_cast<std::size_t>(file.size - file.room));
  file.room = file.size;
}

// Reads until `count` bytes or the end of the file, as a stream read would.
int read_into(TextFileRecord& file, char* bytes, int count) {
  return static_cast<int>(read_full(file.fd.get(), bytes, static_cast<std::size_t>(count)));
}

void switch_to_writing(TextFileRecord& file) {
  // The stream stands `room` bytes ahead of the logical position; step back over them.
  if (file.room > 0) ::lseek(file.fd.get(), -static_cast<off_t>(file.room), SEEK_CUR);
  file.reading = false;
  file.room = file.size;
  file.filled = 0;
}

void switch_to_reading(TextFileRecord& file) {
  write_pending(file);
  file.reading = true;
  file.room = 0;
  file.filled = 0;
}

int clamp_to_int(std::size_t count) {
  return static_cast<int>(std::min<std::size_t>(count, INT_MAX));
}

}  // namespace

std::unique_ptr<TextFileRecord> make_text_file_record(int fd) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kTextFileBufferSize]);
  if (!buffer) return nullptr;
  std::unique_ptr<TextFileRecord> file(new (std::nothrow) TextFileRecord);
  if (!file) return nullptr;
  file->buffer = std::move(buffer);
  // Taken last, so that on failure above the caller still owns the descriptor.
  file->fd.reset(fd);
  return file;
}

int buffered_write(TextFileRecord& file, const char* bytes, std::size_t count) {
  if (file.reading) switch_to_writing(file);
  if (count < static_cast<std::size_t>(file.room)) {
    std::memcpy(file.buffer.get() + (file.size - file.room), bytes, count);
    file.room -= static_cast<int>(count);
    return static_cast<int>(count);
  }
  write_pending(file);
  if (count >= static_cast<std::size_t>(file.size)) {
    return clamp_to_int(write_full(file.fd.get(), bytes, count));
  }
  std::memcpy(file.buffer.get(), bytes, count);
  file.room -= static_cast<int>(count);
  return static_cast<int>(count);
}

int buffered_read(TextFileRecord& file, char* bytes, int count) {
  if (!file.reading) switch_to_reading(file);
  if (count <= 0) return 0;
  const char* unconsumed = file.buffer.get() + (file.filled - file.room);
  if (file.room >= count) {
    std::memcpy(bytes, unconsumed, static_cast<std::size_t>(count));
    file.room -= count;
    return count;
  }
  int taken = file.room;
  std::memcpy(bytes, unconsumed, static_cast<std::size_t>(taken));
  file.room = 0;
  int rest = count - taken;
  if (rest >= file.size) {
    file.filled = 0;
    return taken + read_into(file, bytes + taken, rest);
  }
  file.filled = read_into(file, file.buffer.get(), file.size);
  int more = std::min(rest, file.filled);
  std::memcpy(bytes + taken, file.buffer.get(), static_cast<std::size_t>(more));
  file.room = file.filled - more;
  return taken + more;
}

void push_back_bytes(TextFileRecord& file, int count) {
  if (file.room + count <= file.filled) {
    file.room += count;
    return;
  }
  // The bytes straddled a refill and are no longer all in the buffer: seek back instead of
  // letting `room` point in front of the buffer.
  reposition(file, logical_position(file) - count);
}

void flush_and_discard(TextFileRecord& file) {
  if (!file.reading) write_pending(file);
  file.reading = true;
  file.room = 0;
  file.filled = 0;
}

std::int64_t logical_position(const TextFileRecord& file) {
  off_t stream = ::lseek(file.fd.get(), 0, SEEK_CUR);
  if (stream < 0) return -1;
  if (file.reading) return stream - file.room;
  return stream + (file.size - file.room);
}

void reposition(TextFileRecord& file, std::int64_t position) {
  flush_and_discard(file);
  ::lseek(file.fd.get(), static_cast<off_t>(position), SEEK_SET);
}

}  // namespace sr

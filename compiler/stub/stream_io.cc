#include "compiler/stub/stream_io.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

namespace sr::zr {

void write_fully(int fd, Bytes data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data, data.size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data = data.part(static_cast<size_t>(n));
  }
}

void OutputBuffer::write(Bytes data) {
  if (used_ + data.size > kCapacity) {
    flush();
    // A piece larger than the whole buffer goes out directly instead of being copied.
    if (data.size >= kCapacity) {
      sent_anything_ = true;
      return host_.write_output(host_.context, data);
    }
  }
  move_bytes(buffer_ + used_, data.data, data.size);
  used_ += data.size;
}

void OutputBuffer::flush() {
  if (used_ != 0) sent_anything_ = true;
  host_.write_output(host_.context, Bytes{buffer_, used_});
  used_ = 0;
}

void OutputBuffer::finish() {
  if (host_.write_last_output == nullptr) return flush();
  if (used_ != 0) sent_anything_ = true;
  host_.write_last_output(host_.context, Bytes{buffer_, used_});
  used_ = 0;
}

bool InputReader::fill() {
  if (at_end_) return false;
  char block[65536];
  ssize_t n = host_.read_input(host_.context, block, sizeof block);
  if (n <= 0) {
    at_end_ = true;
    return false;
  }
  pending_.append(Bytes{block, static_cast<size_t>(n)});
  return true;
}

Text InputReader::read_line() {
  size_t searched = 0;
  size_t lf;
  while ((lf = find_bytes(pending_.view(), Bytes{"\n", 1}, searched)) == kNotFound) {
    searched = pending_.size();
    if (!fill()) break;
  }
  Text line;
  if (lf == kNotFound) {
    line.swap(pending_);
  } else {
    line.append(pending_.view().part(0, lf));
    pending_.drop_front(lf + 1);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

Text InputReader::read_all() {
  while (fill()) {
  }
  Text all;
  all.swap(pending_);
  return all;
}

}  // namespace sr::zr

#include "compiler/stub/run_failure.h"

#include <string.h>
#include <unistd.h>

#include "compiler/stub/decimal.h"
#include "compiler/stub/stream_io.h"

namespace sr::zr {
namespace {

// Plain pointers, set up before any run starts, so reporting needs no allocation.
OutputBuffer* watched_out = nullptr;
const uint32_t* watched_line = nullptr;

// Appends as much of `piece` as fits; the messages are short constants, so all of it does.
size_t append(char* into, size_t used, size_t capacity, Bytes piece) {
  size_t room = capacity - used;
  size_t count = piece.size < room ? piece.size : room;
  memcpy(into + used, piece.data, count);
  return used + count;
}

}  // namespace

void fail_run(const char* message) {
  if (watched_out != nullptr) watched_out->flush();
  char report[256];
  const size_t room = sizeof report - 1;  // the line end always fits
  size_t used = append(report, 0, room, bytes_of("Runtime error at line "));
  used = append(report, used, room, Decimal(watched_line ? *watched_line : 0).view());
  used = append(report, used, room, bytes_of(": "));
  used = append(report, used, room, bytes_of(message));
  report[used++] = '\n';
  write_fully(2, Bytes{report, used});
  // _exit, not exit: the whole run is abandoned here, with nothing left to tidy up.
  _exit(1);
}

WatchedRun::WatchedRun(OutputBuffer& out, const uint32_t& line) {
  watched_out = &out;
  watched_line = &line;
}

WatchedRun::~WatchedRun() {
  watched_out = nullptr;
  watched_line = nullptr;
}

}  // namespace sr::zr

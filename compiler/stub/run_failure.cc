#include "compiler/stub/run_failure.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "compiler/stub/decimal.h"
#include "compiler/stub/program_reader.h"
#include "compiler/stub/stream_io.h"

namespace sr::zr {
namespace {

// Plain pointers, set up before any run starts, so reporting needs no allocation.
OutputBuffer* watched_out = nullptr;
const uint32_t* watched_line = nullptr;
const LoadedProgram* watched_program = nullptr;

// Appends as much of `piece` as fits; the messages are short constants, so all of it does.
size_t append(char* into, size_t used, size_t capacity, Bytes piece) {
  size_t room = capacity - used;
  size_t count = piece.size < room ? piece.size : room;
  memcpy(into + used, piece.data, count);
  return used + count;
}

size_t append_escaped(char* into, size_t used, size_t capacity, Bytes piece) {
  for (size_t i = 0; i < piece.size; ++i) {
    const char c = piece[i];
    const char* entity = c == '&'    ? "&amp;"
                         : c == '<'  ? "&lt;"
                         : c == '>'  ? "&gt;"
                         : c == '"'  ? "&quot;"
                         : c == '\'' ? "&#39;"
                                     : nullptr;
    used = entity ? append(into, used, capacity, bytes_of(entity))
                  : append(into, used, capacity, Bytes{&c, 1});
  }
  return used;
}

// Under a web server's warning mode the visitor sees the error on the page too, after what the
// program wrote; a page that had sent nothing yet first gets a header, so the text is shown.
void report_on_page(Bytes line_number, Bytes place, const char* message) {
  const char* warn = getenv("ZR_Interpreter_ParamWarn");
  if (warn == nullptr || strcmp(warn, "1") != 0) return;
  char page[512];
  const size_t room = sizeof page;
  size_t used = 0;
  if (watched_out == nullptr || !watched_out->wrote_anything()) {
    used = append(page, used, room, bytes_of("Content-Type: text/html\n\n"));
  }
  used = append(page, used, room, bytes_of("<p>Runtime error at line "));
  used = append(page, used, room, line_number);
  used = append(page, used, room, bytes_of(": "));
  used = append_escaped(page, used, room - 6, place);
  used = append_escaped(page, used, room - 6, bytes_of(message));
  used = append(page, used, room, bytes_of("</p>\n"));
  write_fully(1, Bytes{page, used});
}

}  // namespace

void fail_run(const char* message) {
  // A failure while reporting one (memory runs out on the way) reports only the first.
  static bool failing = false;
  if (failing) _exit(1);
  failing = true;
  if (watched_out != nullptr) watched_out->flush();
  Bytes place;
  uint32_t number = watched_line ? *watched_line : 0;
  if (watched_program != nullptr) number = watched_program->reported_line(number, place);
  const Decimal line(number);
  char report[256];
  const size_t room = sizeof report - 1;  // the line end always fits
  size_t used = append(report, 0, room, bytes_of("Runtime error at line "));
  used = append(report, used, room, line.view());
  used = append(report, used, room, bytes_of(": "));
  used = append(report, used, room, place);
  used = append(report, used, room, bytes_of(message));
  report[used++] = '\n';
  write_fully(2, Bytes{report, used});
  report_on_page(line.view(), place, message);
  // _exit, not exit: the whole run is abandoned here, with nothing left to tidy up.
  _exit(1);
}

WatchedRun::WatchedRun(OutputBuffer& out, const uint32_t& line, const LoadedProgram& program) {
  watched_out = &out;
  watched_line = &line;
  watched_program = &program;
}

WatchedRun::~WatchedRun() {
  watched_out = nullptr;
  watched_line = nullptr;
  watched_program = nullptr;
}

}  // namespace sr::zr

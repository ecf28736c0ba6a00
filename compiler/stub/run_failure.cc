#include "compiler/stub/run_failure.h"

#include <string.h>
#include <unistd.h>

#include "compiler/stub/decimal.h"
#include "compiler/stub/host.h"
#include "compiler/stub/program_reader.h"
#include "compiler/stub/stream_io.h"

namespace sr::zr {
namespace {

// The run being watched; null between runs. Reporting needs no allocation.
WatchedRun* watched = nullptr;
bool unwatched_output_is_page = true;

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

// A page that had sent nothing yet answers 500 (what it had buffered is dropped), so that a
// failure never passes for a whole page. Under a web server's warning mode the visitor sees the
// error on the page too: after what the program sent, or as that 500's text/html body.
void report_on_page(const Host& host, bool page_started, Bytes line_number, Bytes place,
                    const char* message) {
  const char* warn_value = host.environment(host.context, "ZR_Interpreter_ParamWarn");
  const bool warn = warn_value != nullptr && strcmp(warn_value, "1") == 0;
  char page[512];
  const size_t room = sizeof page;
  size_t used = 0;
  if (!page_started) {
    used = append(page, used, room, bytes_of("Status: 500 Internal Server Error\n"));
    used = append(page, used, room,
                  bytes_of(warn ? "Content-Type: text/html\n\n" : "Content-Type: text/plain\n\n"));
  }
  if (!warn) {
    if (used != 0) host.write_output(host.context, Bytes{page, used});
    return;
  }
  used = append(page, used, room, bytes_of("<p>Runtime error at line "));
  used = append(page, used, room, line_number);
  used = append(page, used, room, bytes_of(": "));
  used = append_escaped(page, used, room - 6, place);
  used = append_escaped(page, used, room - 6, bytes_of(message));
  used = append(page, used, room, bytes_of("</p>\n"));
  host.write_output(host.context, Bytes{page, used});
}

// "Runtime error at line N: place message" and a line end, in `report`.
size_t error_line(char (&report)[256], Bytes line_number, Bytes place, const char* message) {
  const size_t room = sizeof report - 1;  // the line end always fits
  size_t used = append(report, 0, room, bytes_of("Runtime error at line "));
  used = append(report, used, room, line_number);
  used = append(report, used, room, bytes_of(": "));
  used = append(report, used, room, place);
  used = append(report, used, room, bytes_of(message));
  report[used++] = '\n';
  return used;
}

}  // namespace

void fail_run(const char* message) {
  char report[256];
  if (watched == nullptr) {
    // No run yet: the process's own world, and nothing written.
    DescriptorWorld world{0, 1, 2, environ};
    const Host host = descriptor_host(world, 0, nullptr);
    const Bytes zero = bytes_of("0");
    host.write_error(host.context, Bytes{report, error_line(report, zero, Bytes{}, message)});
    if (unwatched_output_is_page) report_on_page(host, false, zero, Bytes{}, message);
    _exit(1);
  }
  WatchedRun& run = *watched;
  // A failure while reporting one only ends the run: the first report stands.
  if (run.failing) longjmp(run.failed, 1);
  run.failing = true;
  const bool page_started = run.out.sent_anything();
  if (page_started) {
    run.out.flush();
  } else {
    run.out.discard();
  }
  Bytes place;
  const Decimal line(run.program.reported_line(run.line, place));
  run.host.write_error(run.host.context,
                       Bytes{report, error_line(report, line.view(), place, message)});
  report_on_page(run.host, page_started, line.view(), place, message);
  longjmp(run.failed, 1);
}

void set_unwatched_output_is_page(bool is_page) {
  unwatched_output_is_page = is_page;
}

WatchedRun::WatchedRun(OutputBuffer& run_out, const uint32_t& run_line,
                       const LoadedProgram& run_program, const Host& run_host)
    : out(run_out), line(run_line), program(run_program), host(run_host) {
  watched = this;
}

WatchedRun::~WatchedRun() {
  watched = nullptr;
}

}  // namespace sr::zr

// The server's end of a resident executable (compiler/README.md, "Resident mode"): starting it
// on a socket, handing it one request at a time, and reading how each run ended.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/files/unique_fd.h"

namespace sr::fcgi {

// The file that a cache decision opened and checked: a rebuilt, replaced or planted file has
// another identity, so it never reaches a process started from the old one.
struct ExecutableIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t change_ns = 0;
  bool operator==(const ExecutableIdentity&) const = default;
};

// Starts `executable` (an open, checked file) as {"zr-resident", N} with a unix stream socket at
// N, in a process group of its own, /dev/null as its standard input and output and the server's
// log as its error stream, with `memory_limit` (RLIMIT_AS, 0: unlimited). False when no socket
// or process could be made (errno) or the exec failed (`exec_error`).
bool start_resident(int executable, unsigned long long memory_limit, pid_t& pid, UniqueFd& socket,
                    int& exec_error);

struct ResidentRequest {
  int streams[3];  // the run's standard input, output and error
  // The web server's connection, which a run that writes little may answer itself (-1: none),
  // the request's id on it, and whether the connection ends with the request.
  int connection = -1;
  std::uint16_t request_id = 0;
  bool last_on_connection = false;
  std::string folder;
  const std::vector<std::string>* arguments;  // entry 0 is the program's name
  const std::vector<char*>* environment;      // "NAME=VALUE" entries, null-terminated
};

// Sends one request to an idle process, blocking within the socket's send time-out (an idle
// process reads at once). False when it was not all sent: the process cannot be trusted with
// another request.
bool send_resident_request(int socket, const ResidentRequest& request);

enum class ReplyRead { incomplete, ended, broken };

// How a run ended, as its process tells: what it wrote to the output and error pipes, and the
// last of its output, which comes with the reply instead of through the pipe.
struct ResidentReply {
  std::uint64_t output_bytes = 0;
  std::uint64_t error_bytes = 0;
  std::string last_output;
  // The run answered on the connection itself: its records of `delivered_bytes` of output and
  // the request's end are written there, or about to be.
  bool delivered = false;
  std::uint64_t delivered_bytes = 0;
};

// Reads what the socket holds into `pending` (at most one reply). `ended` once the reply is
// whole, with `reply` filled in; `broken` for a closed socket, a read error or a reply that is
// not one.
ReplyRead read_resident_reply(int socket, std::string& pending, ResidentReply& reply);

}  // namespace sr::fcgi

// Resident mode: one process runs its program for request after request, each request's world
// (working folder, arguments, environment, three streams) received over a unix stream socket.
// The layout of the messages is in compiler/README.md, "Resident mode".
#pragma once

#include "compiler/stub/program_reader.h"

namespace sr::zr {

// Whether a server started this process resident: its argument vector is exactly
// {"zr-resident", N}, N the socket's descriptor number (3 or more). A web server sets argv[0] to
// the script's path and a request can add arguments but not change argv[0], so no request can
// ask for this. `socket_fd` is N.
bool started_resident(int argc, char** argv, int& socket_fd);

// Serves requests on `socket_fd` until it is closed between requests (returns 0). A socket that
// is none, or a malformed request, ends the service with 2 after a line on descriptor 2.
// Cold: kept apart from the code that every CGI start touches.
[[gnu::cold]] int serve_resident(const LoadedProgram& program, int socket_fd);

}  // namespace sr::zr

// The pipes between this process and a child program.
#pragma once

#include "runtime/files/unique_fd.h"

namespace sr {

struct PipeEnds {
  UniqueFd read;
  UniqueFd write;
};

enum class OwnEnd { none, read, write, both };

// Both ends close-on-exec; the end(s) that this process keeps are non-blocking, the child's end
// stays blocking because the program expects ordinary standard streams. False when no pipe.
bool make_pipe(PipeEnds& ends, OwnEnd own);

// What a pipe holds unread, through its read end; 0 for a closed descriptor.
long bytes_in_pipe(const UniqueFd& read_end);

}  // namespace sr

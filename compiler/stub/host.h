// What a run takes from the world around it: its environment, its arguments and its three
// streams. The machine reaches them only through a Host, so the same machine serves one run per
// process (a CGI request) or many runs in one process, each with a world of its own. The streams
// are buffered by the machine; the host sees whole blocks only.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "compiler/stub/bytes.h"

namespace sr::zr {

struct Host {
  void* context;
  // The variable's value, or null when it is not set.
  const char* (*environment)(void* context, const char* name);
  // Calls `take` with every entry of the environment ("NAME=value"), in its own order.
  void (*each_variable)(void* context, void (*take)(void* into, const char* entry), void* into);
  // Up to `size` bytes of standard input: their count, 0 at its end, -1 on an error.
  ssize_t (*read_input)(void* context, char* into, size_t size);
  // Writes all of `data`; gives up silently when the reader has gone.
  void (*write_output)(void* context, Bytes data);
  // The last of a run's output, when it ends normally; a host may keep it to hand over with the
  // run's end instead of writing it. Null: it goes to write_output like the rest.
  void (*write_last_output)(void* context, Bytes data);
  void (*write_error)(void* context, Bytes data);
  int argc;  // the program's argument vector, argv[0] its own name
  char** argv;
};

// A world of file descriptors and an environment array ("NAME=value" entries, null-terminated).
struct DescriptorWorld {
  int input;
  int output;
  int error;
  char** environment;
};

// A Host over `world`, which must outlive every run that uses it.
Host descriptor_host(DescriptorWorld& world, int argc, char** argv);

}  // namespace sr::zr

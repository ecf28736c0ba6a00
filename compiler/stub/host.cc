#include "compiler/stub/host.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "compiler/stub/stream_io.h"

namespace sr::zr {
namespace {

DescriptorWorld& world_of(void* context) {
  return *static_cast<DescriptorWorld*>(context);
}

const char* find_variable(void* context, const char* name) {
  // As getenv: a name that is empty or holds "=" names no variable.
  const size_t length = strlen(name);
  if (length == 0 || strchr(name, '=') != nullptr) return nullptr;
  for (char** entry = world_of(context).environment; entry && *entry; ++entry) {
    if (strncmp(*entry, name, length) == 0 && (*entry)[length] == '=') return *entry + length + 1;
  }
  return nullptr;
}

void each_variable(void* context, void (*take)(void* into, const char* entry), void* into) {
  for (char** entry = world_of(context).environment; entry && *entry; ++entry) take(into, *entry);
}

ssize_t read_descriptor(void* context, char* into, size_t size) {
  for (;;) {
    ssize_t n = ::read(world_of(context).input, into, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

void write_output(void* context, Bytes data) {
  write_fully(world_of(context).output, data);
}

void write_error(void* context, Bytes data) {
  write_fully(world_of(context).error, data);
}

}  // namespace

Host descriptor_host(DescriptorWorld& world, int argc, char** argv) {
  return Host{.context = &world,
              .environment = find_variable,
              .each_variable = each_variable,
              .read_input = read_descriptor,
              .write_output = write_output,
              .write_last_output = nullptr,
              .write_error = write_error,
              .argc = argc,
              .argv = argv};
}

}  // namespace sr::zr

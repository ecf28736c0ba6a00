#include <optional>
#include <string>

#include "runtime/console/console.h"
#include "runtime/console/read_link.h"

namespace sr {
namespace {

int argument_count_ = 0;
char** argument_vector_ = nullptr;

}  // namespace

void set_program_arguments(int argc, char** argv) {
  argument_count_ = argc;
  argument_vector_ = argv;
}

std::string program_filename() {
  // The link names this process's file for its whole life, and a request asks more than once.
  static const std::optional<std::string> own_file = read_link("/proc/self/exe");
  if (own_file) return *own_file;
  if (argument_count_ < 1 || argument_vector_ == nullptr || argument_vector_[0] == nullptr)
    return {};
  return argument_vector_[0];
}

std::string program_parameter(int index) {
  if (index < 0 || index >= argument_count_ - 1 || argument_vector_ == nullptr) return {};
  const char* parameter = argument_vector_[index + 1];
  return parameter == nullptr ? std::string() : std::string(parameter);
}

}  // namespace sr

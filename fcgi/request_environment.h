// A request's process environment, built in the order the runner would build its own with setenv:
// the FastCGI params, then --env, then what the runner exports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fcgi/params.h"

namespace sr::fcgi {

class RequestEnvironment {
 public:
  // setenv's rules: a name set again keeps its place and takes the new value; an empty name, or
  // one holding "=" or a NUL, is refused; a NUL ends the value.
  void set(std::string_view name, std::string_view value);
  // The value, "" when the name is not set.
  std::string get(std::string_view name) const;
  bool has(std::string_view name) const;

  // "NAME=VALUE" entries and a null, valid until the next set.
  std::vector<char*> entries();

  // Remembers what each later set() changes, so that rollback() can undo exactly that: the
  // runner's exports can be taken back without building the environment again.
  void checkpoint();
  void rollback();

 private:
  // An entry's bytes in text_: "NAME=VALUE", with a NUL after it. A request's params are bounded
  // by the argument space (megabytes), so 32 bits reach every byte.
  struct Span {
    std::uint32_t start = 0;
    std::uint32_t size = 0;
  };
  struct Change {
    std::size_t at;
    Span previous;  // size 0 when the entry was added
  };
  std::string_view entry(std::size_t at) const {
    return {text_.data() + spans_[at].start, spans_[at].size};
  }
  // Where `name` is in slots_: the slot that holds its entry, or the empty one where it goes.
  std::size_t slot_of(std::string_view name) const;
  void index_all();

  // Every entry as it was set, one after another: a request's forty-odd variables take one
  // buffer, not one each. A value set again is added anew; the old bytes stay until the end.
  std::string text_;
  std::vector<Span> spans_;  // the current entries, in their order
  // An open-addressed index of spans_ (entry + 1, 0 for empty), keyed by the entries' own names.
  std::vector<std::uint32_t> slots_;
  bool recording_ = false;
  std::vector<Change> changes_;
};

// The runner's own variables: what the runner exports and reads (ZR_Interpreter_*,
// TAMRIVOLE_HOME). A request's params by these names are dropped; --env may set them.
bool runner_variable(std::string_view name);

// The params (without the runner's own variables), then --env: the whole environment that a web
// server's CGI child would get.
RequestEnvironment request_environment(
    const NameValuePairs& params, const std::vector<std::pair<std::string, std::string>>& extra);

}  // namespace sr::fcgi

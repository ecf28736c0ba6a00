#include "runtime/textfile/handle_table.h"

#include <climits>
#include <map>

namespace sr {
namespace {

struct HandleTable {
  std::map<TextFile, std::unique_ptr<TextFileRecord>> files;
  // Handles are not reused soon, so a stale handle does not reach a file opened later.
  TextFile last = 0;
};

HandleTable& table() {
  static HandleTable instance;
  return instance;
}

TextFile next_free_handle(HandleTable& t) {
  do {
    t.last = t.last == INT_MAX ? 1 : t.last + 1;
  } while (t.files.count(t.last) != 0);
  return t.last;
}

}  // namespace

TextFile add_text_file(std::unique_ptr<TextFileRecord> file) {
  HandleTable& t = table();
  TextFile handle = next_free_handle(t);
  t.files.emplace(handle, std::move(file));
  return handle;
}

TextFileRecord* find_text_file(TextFile handle) {
  auto& files = table().files;
  auto it = files.find(handle);
  return it == files.end() ? nullptr : it->second.get();
}

void remove_text_file(TextFile handle) {
  table().files.erase(handle);
}

std::vector<TextFile> open_text_file_handles() {
  std::vector<TextFile> handles;
  for (const auto& [handle, file] : table().files) handles.push_back(handle);
  return handles;
}

}  // namespace sr

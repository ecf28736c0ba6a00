// The entries of a folder; see folder_listing.h.
#include "compiler/stub/folder_listing.h"

#include "compiler/stub/pod_array.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sr::zr {
namespace {

int by_bytes(const void* a, const void* b) {
  return compare_bytes(*static_cast<const Bytes*>(a), *static_cast<const Bytes*>(b));
}

// The kept entries of the open folder, in the order the folder gives them.
void read_entries(DIR* dir, TextList& found) {
  const int fd = dirfd(dir);
  while (const struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
    Text name(bytes_of(entry->d_name));
    if (S_ISDIR(st.st_mode)) name.push_back('/');
    found.push(moved(name));
  }
}

}  // namespace

bool list_folder(Text& path, TextList& names) {
  names.shrink_to(0);
  const char* p = path.c_str();
  if (path.empty() || strlen(p) != path.size()) return false;
  const int fd = open(p, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return false;
  }
  TextList found;
  read_entries(dir, found);
  closedir(dir);
  // Sorted as views into `found`, whose texts stay where they are.
  PodArray<Bytes> order;
  for (size_t i = 0; i < found.size(); ++i) order.push(found.view(i));
  if (!order.empty()) qsort(order.data(), order.size(), sizeof(Bytes), by_bytes);
  for (size_t i = 0; i < order.size(); ++i) names.push(Text(order[i]));
  return true;
}

}  // namespace sr::zr

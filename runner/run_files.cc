#include "runner/run_files.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace sr {
namespace {

// A source, an executable and a private folder at the most; paths are copied in beforehand so
// that the handler needs no allocation. The flags lie apart from the paths: a run that
// remembered nothing reads one line of them at its end, not a page of each path.
constexpr int kSlots = 4;
struct RunFiles {
  volatile sig_atomic_t live[kSlots];
  bool folder[kSlots];
  char path[kSlots][PATH_MAX];
};
RunFiles run_files;

void remember(const std::string& path, bool folder) {
  if (path.size() >= PATH_MAX) return;
  for (int i = 0; i < kSlots; ++i) {
    if (run_files.live[i]) continue;
    std::memcpy(run_files.path[i], path.c_str(), path.size() + 1);
    run_files.folder[i] = folder;
    run_files.live[i] = 1;
    return;
  }
}

struct DirectoryEntry {
  ino64_t inode;
  off64_t offset;
  unsigned short size;
  unsigned char type;
  char name[];
};

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The folder is ours (mode 0700), so only what this run and its compiler put there is in it.
void remove_folder(const char* path) {
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    alignas(DirectoryEntry) char buffer[4096];
    long n;
    while ((n = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
      for (long at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const DirectoryEntry*>(buffer + at);
        if (!is_dot_or_dot_dot(entry->name)) {
          if (unlinkat(fd, entry->name, 0) != 0) unlinkat(fd, entry->name, AT_REMOVEDIR);
        }
        at += entry->size;
      }
    }
    close(fd);
  }
  rmdir(path);
}

void on_termination(int signal) {
  remove_run_files();
  ::signal(signal, SIG_DFL);
  raise(signal);
}

}  // namespace

void remove_run_files_on_termination() {
  struct sigaction action {};
  action.sa_handler = on_termination;
  sigfillset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

void remember_run_file(const std::string& path) {
  remember(path, false);
}

void remember_run_folder(const std::string& path) {
  remember(path, true);
}

void forget_run_file(const std::string& path) {
  for (int i = 0; i < kSlots; ++i) {
    if (run_files.live[i] && path == run_files.path[i]) run_files.live[i] = 0;
  }
}

void remove_run_files() {
  // Files first: a remembered file may lie inside the remembered folder.
  for (int i = 0; i < kSlots; ++i) {
    if (run_files.live[i] && !run_files.folder[i]) unlink(run_files.path[i]);
  }
  for (int i = 0; i < kSlots; ++i) {
    if (run_files.live[i] && run_files.folder[i]) remove_folder(run_files.path[i]);
  }
  for (int i = 0; i < kSlots; ++i) {
    if (run_files.live[i]) run_files.live[i] = 0;
  }
}

}  // namespace sr

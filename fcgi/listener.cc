#include "fcgi/listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace sr::fcgi {
namespace {

constexpr int kBacklog = 1024;
// systemd passes the first socket as this descriptor.
constexpr int kFirstActivatedFd = 3;

std::string system_error(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool is_listening_socket(int fd) {
  int listening = 0;
  socklen_t size = sizeof listening;
  return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

// Moves an inherited socket to a close-on-exec, non-blocking descriptor of our own.
std::string adopt(int fd, Listener& listener, const std::string& description) {
  if (!is_listening_socket(fd)) return description + " is not a listening socket";
  listener.socket.reset(::fcntl(fd, F_DUPFD_CLOEXEC, kFirstActivatedFd + 1));
  if (!listener.socket) return system_error("cannot take over " + description);
  ::fcntl(listener.socket.get(), F_SETFL, O_NONBLOCK);
  ::close(fd);
  // The standard streams stay open, so that no later descriptor takes their numbers.
  if (fd <= STDERR_FILENO) {
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  listener.description = description;
  return {};
}

std::string open_inherited(Listener& listener) {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (pid != nullptr && fds != nullptr && std::atol(pid) == ::getpid() && std::atoi(fds) >= 1) {
    return adopt(kFirstActivatedFd, listener, "the socket passed by systemd");
  }
  if (is_listening_socket(STDIN_FILENO)) return adopt(STDIN_FILENO, listener, "the socket on fd 0");
  return "no --listen given and no listening socket inherited (systemd or fd 0)";
}

// A socket file left by a server that is gone may be replaced; a live one or any other file
// may not.
std::string clear_stale_socket(const std::string& path, const sockaddr_un& address) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) return {};
  if (!S_ISSOCK(status.st_mode)) return path + " exists and is not a socket";
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (probe &&
      ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return path + " is in use by a running server";
  }
  if (::unlink(path.c_str()) != 0) return system_error("cannot remove stale " + path);
  return {};
}

std::string open_unix(const std::string& path, mode_t mode, Listener& listener) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return "bad socket path " + path;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (std::string error = clear_stale_socket(path, address); !error.empty()) return error;
  listener.socket.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener.socket) return system_error("socket");
  // The file is born with the wanted mode: no moment in which others may connect.
  const mode_t saved = ::umask(~mode & 0777);
  const int bound =
      ::bind(listener.socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::umask(saved);
  if (bound != 0) return system_error("cannot bind " + path);
  listener.unix_path = path;
  ::chmod(path.c_str(), mode);
  listener.description = "unix:" + path;
  if (::listen(listener.socket.get(), kBacklog) != 0) return system_error("listen");
  return {};
}

// Numeric addresses only (and "localhost"): a static binary cannot load the resolver's modules.
bool parse_address(const std::string& host, int port, sockaddr_storage& address, socklen_t& size) {
  const std::string numeric = host == "localhost" ? "127.0.0.1" : host;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  std::memset(&address, 0, sizeof address);
  if (numeric.empty() || numeric == "*") {
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (::inet_pton(AF_INET, numeric.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
  } else if (::inet_pton(AF_INET6, numeric.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    size = sizeof *v6;
    return true;
  } else {
    return false;
  }
  v4->sin_port = htons(static_cast<std::uint16_t>(port));
  size = sizeof *v4;
  return true;
}

std::string open_tcp(const std::string& host_port, Listener& listener) {
  const std::size_t colon = host_port.rfind(':');
  if (colon == std::string::npos) return "--listen needs unix:PATH or HOST:PORT";
  std::string host = host_port.substr(0, colon);
  const std::string port_text = host_port.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  int port = 0;
  const auto [end, error] =
      std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  sockaddr_storage address;
  socklen_t size = 0;
  if (error != std::errc() || end != port_text.data() + port_text.size() || port < 0 ||
      port > 65535 || !parse_address(host, port, address, size)) {
    return "cannot listen on " + host_port + " (a numeric address and a port are needed)";
  }
  listener.socket.reset(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener.socket) return system_error("socket");
  const int on = 1;
  ::setsockopt(listener.socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener.socket.get(), reinterpret_cast<const sockaddr*>(&address), size) != 0) {
    return system_error("cannot bind " + host_port);
  }
  if (::listen(listener.socket.get(), kBacklog) != 0) return system_error("listen");
  listener.description = host_port;
  return {};
}

}  // namespace

std::string open_listener(const Options& options, Listener& listener) {
  if (options.listen.empty()) return open_inherited(listener);
  if (options.listen.starts_with("unix:")) {
    return open_unix(options.listen.substr(5), options.socket_mode, listener);
  }
  return open_tcp(options.listen, listener);
}

}  // namespace sr::fcgi

#include "fcgi/resident_link.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "fcgi/worker.h"

namespace sr::fcgi {
namespace {

constexpr std::uint32_t kRequestMagic = 0x5a52'5251;
constexpr std::uint32_t kReplyMagic = 0x5a52'444e;
constexpr std::uint32_t kProtocolVersion = 3;
constexpr std::size_t kHeaderSize = 28;
constexpr std::size_t kReplySize = 32;
constexpr std::uint32_t kEndingDelivered = 3;
// The most output a reply carries: one output buffer of the executable.
constexpr std::size_t kLongestLastOutput = 64 * 1024;
// An idle process takes its request at once; one that does not is not waited for long.
constexpr int kSendTimeoutSeconds = 2;

void put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::uint32_t word32(const char* at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(at[i]);
  return v;
}

// The header and the body: the folder, the arguments and the environment, each ending in a zero;
// built in place, as it is built for every request.
std::string request_bytes(const ResidentRequest& request) {
  std::size_t body_size = request.folder.size() + 1;
  for (const std::string& argument : *request.arguments) body_size += argument.size() + 1;
  std::uint32_t envc = 0;
  for (; (*request.environment)[envc] != nullptr; ++envc) {
    body_size += std::strlen((*request.environment)[envc]) + 1;
  }
  std::string bytes;
  bytes.reserve(kHeaderSize + body_size);
  put32(bytes, kRequestMagic);
  put32(bytes, kProtocolVersion);
  put32(bytes, static_cast<std::uint32_t>(request.arguments->size()));
  put32(bytes, envc);
  const std::uint64_t size = body_size;
  put32(bytes, static_cast<std::uint32_t>(size));
  put32(bytes, static_cast<std::uint32_t>(size >> 32));
  const std::uint32_t last = request.last_on_connection ? 1u << 16 : 0u;
  put32(bytes, request.connection >= 0 ? request.request_id | last : 0);
  const auto append_string = [&bytes](std::string_view text) {
    bytes.append(text);
    bytes.push_back('\0');
  };
  append_string(request.folder);
  for (const std::string& argument : *request.arguments) append_string(argument);
  for (std::uint32_t i = 0; i < envc; ++i) append_string((*request.environment)[i]);
  return bytes;
}

}  // namespace

bool start_resident(int executable, unsigned long long memory_limit, pid_t& pid, UniqueFd& socket,
                    int& exec_error) {
  exec_error = 0;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
  UniqueFd ours(pair[0]), theirs(pair[1]);
  // The process's end must survive its exec; the server starts no other process meanwhile.
  UniqueFd passed(::fcntl(theirs.get(), F_DUPFD, 3));
  UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!passed || !null) return false;
  std::string name = "zr-resident", number = std::to_string(passed.get());
  char* argv[] = {name.data(), number.data(), nullptr};
  char* no_environment[] = {nullptr};
  ChildSetup setup;
  setup.executable = executable;
  setup.arguments = argv;
  setup.environment = no_environment;
  setup.input = null.get();
  setup.output = null.get();
  setup.own_group = true;
  setup.address_space_limit = memory_limit;
  const pid_t started = start_reported(setup, exec_error);
  if (started < 0) return false;
  timeval limit{kSendTimeoutSeconds, 0};
  ::setsockopt(ours.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  pid = started;
  socket = std::move(ours);
  return true;
}

bool send_resident_request(int socket, const ResidentRequest& request) {
  const std::string bytes = request_bytes(request);
  int descriptors[4] = {request.streams[0], request.streams[1], request.streams[2],
                        request.connection};
  const std::size_t descriptors_size = sizeof(int) * (request.connection >= 0 ? 4 : 3);
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof descriptors)] = {};
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    iovec part{const_cast<char*>(bytes.data()) + sent, bytes.size() - sent};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (sent == 0) {
      // The streams travel with the first byte of the header.
      message.msg_control = control;
      message.msg_controllen = CMSG_SPACE(descriptors_size);
      cmsghdr* c = CMSG_FIRSTHDR(&message);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(descriptors_size);
      std::memcpy(CMSG_DATA(c), descriptors, descriptors_size);
    }
    const ssize_t n = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

ReplyRead read_resident_reply(int socket, std::string& pending, ResidentReply& reply) {
  static char buffer[kReplySize + kLongestLastOutput];
  for (;;) {
    if (pending.size() >= kReplySize) {
      // A delivered run's L counts what went to the connection: nothing follows the reply.
      const bool delivered = word32(pending.data() + 4) == kEndingDelivered;
      const std::size_t last = delivered ? 0 : word32(pending.data() + 12);
      // The process sends nothing more until its next request: more than the reply is none.
      if (word32(pending.data()) != kReplyMagic ||
          word32(pending.data() + 12) > kLongestLastOutput || pending.size() > kReplySize + last) {
        return ReplyRead::broken;
      }
      if (pending.size() == kReplySize + last) break;
    }
    const ssize_t n = ::recv(socket, buffer, sizeof buffer - pending.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReplyRead::incomplete;
    if (n <= 0) return ReplyRead::broken;
    pending.append(buffer, static_cast<std::size_t>(n));
  }
  const char* at = pending.data();
  reply.output_bytes = word32(at + 16) | std::uint64_t{word32(at + 20)} << 32;
  reply.error_bytes = word32(at + 24) | std::uint64_t{word32(at + 28)} << 32;
  reply.last_output.assign(at + kReplySize, pending.size() - kReplySize);
  reply.delivered = word32(at + 4) == kEndingDelivered;
  reply.delivered_bytes = reply.delivered ? word32(at + 12) : 0;
  return ReplyRead::ended;
}

}  // namespace sr::fcgi

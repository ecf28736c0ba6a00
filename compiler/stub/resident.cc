#include "compiler/stub/resident.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "compiler/stub/allocation.h"
#include "compiler/stub/host.h"
#include "compiler/stub/machine.h"
#include "compiler/stub/pod_array.h"
#include "compiler/stub/stream_io.h"
#include "compiler/stub/text.h"

namespace sr::zr {
namespace {

constexpr uint32_t kRequestMagic = 0x5a52'5251;  // "QRRZ" in the stream: a request
constexpr uint32_t kReplyMagic = 0x5a52'444e;    // "NDRZ": a run's end
constexpr uint32_t kProtocolVersion = 3;
constexpr size_t kHeaderSize = 28;
constexpr size_t kReplySize = 32;
// The server gives every process its socket at N; moved to 3 at start, so that one close_range
// from 4 closes whatever a run brought or left open.
constexpr int kSocketFd = 3;
constexpr uint64_t kLargestBody = 64u << 20;
constexpr uint32_t kMostStrings = 1u << 20;
constexpr int kStreamCount = 3;
// The run's three streams, and the web server's connection when the server hands it over.
constexpr int kMostDescriptors = kStreamCount + 1;
// The most that a run writes to the connection itself: what one write puts on a unix socket as
// one piece, so that no write of the server's can land inside it.
constexpr size_t kLongestDelivery = 32 * 1024;
// How long a delivery waits for a web server that does not read, each time it is stuck.
constexpr int kDeliveryWaitMs = 2000;

// 3: it ran, and its whole output went to the connection (the reply's L is its length).
enum class Ending : uint32_t { ran = 0, failed = 1, not_run = 2, delivered = 3 };

uint32_t word32(const char* at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(at[i]);
  return v;
}

uint64_t word64(const char* at) {
  return static_cast<uint64_t>(word32(at + 4)) << 32 | word32(at);
}

void put32(char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

void put64(char* at, uint64_t v) {
  put32(at, static_cast<uint32_t>(v));
  put32(at + 4, static_cast<uint32_t>(v >> 32));
}

[[noreturn]] void give_up(const char* why) {
  write_fully(2, bytes_of("zr-resident: "));
  write_fully(2, bytes_of(why));
  write_fully(2, bytes_of("\n"));
  _exit(2);
}

// What one request brought or a failed run left open must not reach the next.
void close_from_to(unsigned first, unsigned last) {
  if (syscall(SYS_close_range, first, last, 0u) == 0) return;
  for (unsigned fd = first; fd <= last && fd < 65536; ++fd) close(static_cast<int>(fd));
}

// Closes every descriptor from `first` up but `kept` (none when it is below `first`).
void close_from_but(int first, int kept) {
  if (kept < first) return close_from_to(static_cast<unsigned>(first), ~0u);
  if (kept > first) close_from_to(static_cast<unsigned>(first), static_cast<unsigned>(kept - 1));
  close_from_to(static_cast<unsigned>(kept + 1), ~0u);
}

// A run's world: the request's descriptors and environment, and what it wrote. The descriptors
// come first, so that the plain descriptor host's functions take a RunWorld as their context.
struct RunWorld {
  DescriptorWorld descriptors;
  uint64_t output_bytes = 0;
  uint64_t error_bytes = 0;
  size_t last_output_size = 0;
};
static_assert(offsetof(RunWorld, descriptors) == 0, "the descriptor host's context is a RunWorld");

// The reply, and after it the run's last output (at most one output buffer), sent as one.
char reply_message[kReplySize + OutputBuffer::kCapacity];

RunWorld& run_world(void* context) {
  return *static_cast<RunWorld*>(context);
}

// Writes all it can, as write_fully does, and counts what reached the pipe: the server reads
// exactly that much of it.
uint64_t write_counted(int fd, Bytes data) {
  uint64_t written = 0;
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data, data.size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<uint64_t>(n);
    data = data.part(static_cast<size_t>(n));
  }
  return written;
}

void write_run_output(void* context, Bytes data) {
  RunWorld& world = run_world(context);
  world.output_bytes += write_counted(world.descriptors.output, data);
}

void write_run_error(void* context, Bytes data) {
  RunWorld& world = run_world(context);
  world.error_bytes += write_counted(world.descriptors.error, data);
}

void keep_last_output(void* context, Bytes data) {
  RunWorld& world = run_world(context);
  if (data.size > OutputBuffer::kCapacity) return write_run_output(context, data);
  memcpy(reply_message + kReplySize, data.data, data.size);
  world.last_output_size = data.size;
}

// Adds the descriptors that came with `message` to `streams`; past four (or when some were cut
// off), `count` says more than four and the extra ones are closed.
void take_descriptors(msghdr& message, int (&streams)[kMostDescriptors], int& count) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t fds = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < fds; ++i) {
      int fd;
      memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      if (count < kMostDescriptors) {
        streams[count++] = fd;
      } else {
        close(fd);
        count = kMostDescriptors + 1;
      }
    }
  }
  if ((message.msg_flags & MSG_CTRUNC) != 0) count = kMostDescriptors + 1;
}

// One read into `parts`, taking any descriptors that come with it.
size_t receive_once(int socket_fd, iovec* parts, size_t part_count,
                    int (&streams)[kMostDescriptors], int& count) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMostDescriptors)];
  for (;;) {
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = part_count;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(socket_fd, &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) give_up("the socket cannot be read");
    take_descriptors(message, streams, count);
    return static_cast<size_t>(n);
  }
}

// Receives exactly `size` bytes in the middle of a request.
void receive(int socket_fd, char* into, size_t size, int (&streams)[kMostDescriptors], int& count) {
  for (size_t got = 0; got < size;) {
    iovec part{into + got, size - got};
    const size_t n = receive_once(socket_fd, &part, 1, streams, count);
    if (n == 0) give_up("the socket closed in the middle of a request");
    got += n;
  }
}

// One request's world, pointing into its body.
struct Request {
  Text body;
  const char* folder = nullptr;
  PodArray<char*> argv;
  PodArray<char*> environment;  // null-terminated
  int streams[kStreamCount] = {};
  // The web server's connection and the request's id on it, when the run may answer there, and
  // whether the connection ends with this request.
  int connection = -1;
  uint16_t request_id = 0;
  bool last_on_connection = false;
};

// Splits the body into the folder, `argc` arguments and `envc` variables, each ending in a zero
// byte; false when the body does not hold exactly those.
bool parse_body(Request& request, uint32_t argc, uint32_t envc) {
  char* at = request.body.bytes();
  char* end = at + request.body.size();
  const uint64_t strings = 1ull + argc + envc;
  for (uint64_t i = 0; i < strings; ++i) {
    char* zero = at == end ? nullptr : static_cast<char*>(memchr(at, 0, end - at));
    if (zero == nullptr) return false;
    if (i == 0) {
      request.folder = at;
    } else if (i <= argc) {
      request.argv.push(at);
    } else {
      request.environment.push(at);
    }
    at = zero + 1;
  }
  request.environment.push(nullptr);
  return at == end;
}

// The start of a request's body, read with its header: one read for a whole request of usual size.
char body_start[16 * 1024];

// Waits for the next request in poll rather than in recvmsg: a wait in recvmsg is woken each
// time the server takes in the last reply (the socket's room to write grows), a poll only by
// what it waits for, so a process costs one wake-up per request, not two.
void wait_for_request(int socket_fd) {
  pollfd readable{socket_fd, POLLIN, 0};
  while (poll(&readable, 1, -1) < 0 && errno == EINTR) {
  }
}

// Reads the next request, or returns false when the socket closed between requests.
bool receive_request(int socket_fd, Request& request) {
  wait_for_request(socket_fd);
  char header[kHeaderSize];
  int count = 0;
  int streams[kMostDescriptors];
  iovec parts[2] = {{header, sizeof header}, {body_start, sizeof body_start}};
  size_t got = receive_once(socket_fd, parts, 2, streams, count);
  if (got == 0) return false;
  if (got < sizeof header) receive(socket_fd, header + got, sizeof header - got, streams, count);
  const size_t early = got > sizeof header ? got - sizeof header : 0;
  const uint32_t argc = word32(header + 8), envc = word32(header + 12);
  const uint64_t body = word64(header + 16);
  const uint32_t connection_word = word32(header + 24);
  const uint32_t request_id = connection_word & 0xffff;
  if (count != kStreamCount + (request_id != 0) || (connection_word >> 17) != 0 ||
      (request_id == 0 && connection_word != 0) || word32(header) != kRequestMagic ||
      word32(header + 4) != kProtocolVersion || argc == 0 || argc > kMostStrings ||
      envc > kMostStrings || body == 0 || body > kLargestBody || early > body) {
    give_up("malformed request");
  }
  memcpy(request.streams, streams, sizeof request.streams);
  if (request_id != 0) {
    request.connection = streams[kStreamCount];
    request.request_id = static_cast<uint16_t>(request_id);
    request.last_on_connection = (connection_word >> 16) != 0;
  }
  int more = 0;
  int none[kMostDescriptors];
  char* into = request.body.extend(body);
  memcpy(into, body_start, early);
  receive(socket_fd, into + early, body - early, none, more);
  if (more != 0) give_up("malformed request");
  if (!parse_body(request, argc, envc)) give_up("malformed request");
  return true;
}

// Sends the reply and the `carried` bytes of last output after it.
void reply(int socket_fd, Ending ending, int exit_code, const RunWorld& world, size_t carried) {
  char* message = reply_message;
  put32(message, kReplyMagic);
  put32(message + 4, static_cast<uint32_t>(ending));
  put32(message + 8, static_cast<uint32_t>(exit_code));
  put32(message + 12, static_cast<uint32_t>(world.last_output_size));
  put64(message + 16, world.output_bytes);
  put64(message + 24, world.error_bytes);
  const size_t size = kReplySize + carried;
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = send(socket_fd, message + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(0);  // the server has gone
    sent += static_cast<size_t>(n);
  }
}

// FastCGI: a record's header, and the records around a delivered page.
constexpr size_t kRecordHeader = 8;
constexpr size_t kRecordsAround = 3 * kRecordHeader + 8;
constexpr uint8_t kStdoutRecord = 6;
constexpr uint8_t kEndRequestRecord = 3;

void put_record_header(char* at, uint8_t type, uint16_t id, size_t length) {
  const unsigned char header[kRecordHeader] = {1,
                                               type,
                                               static_cast<unsigned char>(id >> 8),
                                               static_cast<unsigned char>(id & 0xff),
                                               static_cast<unsigned char>(length >> 8),
                                               static_cast<unsigned char>(length & 0xff),
                                               0,
                                               0};
  memcpy(at, header, sizeof header);
}

// The whole answer as the server writes it: the page as one FCGI_STDOUT record, the stream's
// end, and FCGI_END_REQUEST with application status 0 (the runner's, whatever the script's).
// One writev; the socket is the server's, non-blocking, so a web server that does not read is
// waited for a while each time it is full, not for ever.
void deliver(int connection, uint16_t id, Bytes page) {
  char head[kRecordHeader], tail[2 * kRecordHeader + 8] = {};
  put_record_header(head, kStdoutRecord, id, page.size);
  put_record_header(tail, kStdoutRecord, id, 0);
  put_record_header(tail + kRecordHeader, kEndRequestRecord, id, 8);
  iovec parts[3] = {
      {head, sizeof head}, {const_cast<char*>(page.data), page.size}, {tail, sizeof tail}};
  iovec* next = parts;
  int left = 3;
  while (left > 0) {
    ssize_t n = writev(connection, next, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd writable{connection, POLLOUT, 0};
      if (poll(&writable, 1, kDeliveryWaitMs) > 0) continue;
      return;
    }
    if (n <= 0) return;  // the web server has gone
    size_t done = static_cast<size_t>(n);
    for (; left > 0 && done >= next->iov_len; --left, ++next) done -= next->iov_len;
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
}

// The web server's connection, if it came with a request.
struct Connection {
  int fd = -1;
  uint16_t request_id = 0;
  bool last = false;  // the connection ends with this request
};

// Runs one request in its folder; false when the socket closed instead.
bool run_request(const LoadedProgram& program, Ending& ending, int& exit_code, RunWorld& world,
                 Connection& connection) {
  Request request;
  if (!receive_request(kSocketFd, request)) return false;
  connection = Connection{request.connection, request.request_id, request.last_on_connection};
  world.descriptors = DescriptorWorld{request.streams[0], request.streams[1], request.streams[2],
                                      request.environment.data()};
  ending = Ending::not_run;
  exit_code = 1;
  // Relative to what the previous request left, a relative folder would name different places.
  if (request.folder[0] != '/' || chdir(request.folder) != 0) {
    write_run_error(&world, bytes_of("Cannot enter the working folder\n"));
  } else {
    Host host = descriptor_host(world.descriptors, static_cast<int>(request.argv.size()),
                                request.argv.data());
    host.context = &world;
    host.write_output = write_run_output;
    host.write_last_output = keep_last_output;
    host.write_error = write_run_error;
    const RunEnd end = run_program(program, host);
    ending = end.failed ? Ending::failed : Ending::ran;
    exit_code = end.exit_code;
  }
  return true;
}

// Serves one request; false when the socket closed instead. The server hears of the run's end
// only once nothing of it is left: its blocks and descriptors (the request's streams among them)
// freed and its folder left. A run that wrote nothing but its last output, and little, answers
// the web server itself when the server handed over the connection; the reply goes first, so
// that a server which stops the process after it knows that the connection may hold the answer.
// Otherwise its output goes to the server: the counted bytes in the pipes, the last with the reply.
bool serve_one(const LoadedProgram& program) {
  Ending ending;
  int exit_code;
  RunWorld world{};
  Connection connection;
  begin_run_blocks();
  if (!run_request(program, ending, exit_code, world, connection)) return false;
  release_run_blocks();
  const bool answers_itself = connection.fd >= 0 && ending == Ending::ran &&
                              world.output_bytes == 0 && world.error_bytes == 0 &&
                              world.last_output_size > 0 &&
                              world.last_output_size + kRecordsAround <= kLongestDelivery;
  close_from_but(kSocketFd + 1, answers_itself ? connection.fd : -1);
  if (chdir("/") != 0) give_up("cannot leave the request's folder");
  if (!answers_itself) {
    reply(kSocketFd, ending, exit_code, world, world.last_output_size);
    return true;
  }
  reply(kSocketFd, Ending::delivered, exit_code, world, 0);
  deliver(connection.fd, connection.request_id,
          Bytes{reply_message + kReplySize, world.last_output_size});
  // What the server does once it has written a connection's last answer: the web server learns
  // that it is whole, while the server still reads the rest of what it sends.
  if (connection.last) shutdown(connection.fd, SHUT_WR);
  close(connection.fd);
  return true;
}

bool is_unix_stream_socket(int fd) {
  int type = 0;
  socklen_t length = sizeof type;
  sockaddr address{};
  socklen_t address_length = sizeof address;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM &&
         getsockname(fd, &address, &address_length) == 0 && address.sa_family == AF_UNIX;
}

}  // namespace

bool started_resident(int argc, char** argv, int& socket_fd) {
  if (argc != 2 || strcmp(argv[0], "zr-resident") != 0) return false;
  socket_fd = 0;
  for (const char* c = argv[1]; *c != 0; ++c) {
    if (*c < '0' || *c > '9' || socket_fd > 100000) return false;
    socket_fd = socket_fd * 10 + (*c - '0');
  }
  return argv[1][0] != 0 && socket_fd >= 3;
}

int serve_resident(const LoadedProgram& program, int socket_fd) {
  if (!is_unix_stream_socket(socket_fd)) give_up("the descriptor named is no unix stream socket");
  // A visitor who goes away must end a write, not the process that serves the next one.
  signal(SIGPIPE, SIG_IGN);
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) give_up("no descriptor 0-2");
  }
  close_from_but(3, socket_fd);
  if (socket_fd != kSocketFd) {
    if (dup3(socket_fd, kSocketFd, O_CLOEXEC) != kSocketFd) give_up("cannot move the socket");
    close(socket_fd);
  }
  if (chdir("/") != 0) give_up("cannot enter /");
  while (serve_one(program)) {
  }
  return 0;
}

}  // namespace sr::zr

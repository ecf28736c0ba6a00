#include "fcgi/options.h"

#include <charconv>
#include <string_view>

namespace sr::fcgi {
namespace {

bool parse_number(std::string_view text, int base, long long max, long long& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size() && value >= 0 && value <= max;
}

// MiB, or a number with K, M or G (powers of 1024).
bool parse_size(std::string_view text, unsigned long long& bytes) {
  int shift = 20;
  if (!text.empty()) {
    const char unit = text.back();
    const int unit_shift = unit == 'K' ? 10 : unit == 'M' ? 20 : unit == 'G' ? 30 : -1;
    if (unit_shift >= 0) {
      shift = unit_shift;
      text.remove_suffix(1);
    }
  }
  long long number = 0;
  if (!parse_number(text, 10, (1ll << 40) - 1, number)) return false;
  bytes = static_cast<unsigned long long>(number) << shift;
  return true;
}

std::string apply(Options& options, std::string_view name, std::string_view value) {
  long long number = 0;
  if (name == "--listen") {
    if (value.empty()) return "--listen needs unix:PATH or HOST:PORT";
    options.listen = value;
  } else if (name == "--socket-mode") {
    if (!parse_number(value, 8, 0777, number)) return "--socket-mode needs an octal mode";
    options.socket_mode = static_cast<mode_t>(number);
  } else if (name == "--max-children") {
    if (!parse_number(value, 10, 100000, number) || number == 0)
      return "--max-children needs a number from 1";
    options.max_children = static_cast<int>(number);
  } else if (name == "--timeout") {
    if (!parse_number(value, 10, 86400 * 365, number)) return "--timeout needs seconds";
    options.timeout_seconds = static_cast<int>(number);
  } else if (name == "--request-read-timeout") {
    if (!parse_number(value, 10, 3600, number) || number == 0)
      return "--request-read-timeout needs seconds from 1";
    options.request_read_timeout_seconds = static_cast<int>(number);
  } else if (name == "--memory-limit") {
    if (!parse_size(value, options.memory_limit_bytes)) {
      return "--memory-limit needs MiB, or a size with K, M or G";
    }
  } else if (name == "--resident-idle") {
    if (!parse_number(value, 10, 86400, number) || number == 0)
      return "--resident-idle needs seconds from 1";
    options.resident_idle_seconds = static_cast<int>(number);
  } else if (name == "--max-requests") {
    if (!parse_number(value, 10, 1000000000, number))
      return "--max-requests needs a number, 0 for no limit";
    options.max_requests = static_cast<int>(number);
  } else if (name == "--status-path" || name == "--ping-path") {
    if (!value.starts_with('/')) return std::string(name) + " needs a path from /";
    (name == "--status-path" ? options.status_path : options.ping_path) = value;
  } else if (name == "--slow-log") {
    if (!parse_number(value, 10, 86400, number)) return "--slow-log needs seconds";
    options.slow_log_seconds = static_cast<int>(number);
  } else if (name == "--log") {
    if (value.empty()) return "--log needs a file";
    options.log_file = value;
  } else if (name == "--env") {
    const std::size_t equals = value.find('=');
    if (equals == 0 || equals == std::string_view::npos) return "--env needs NAME=VALUE";
    options.env.emplace_back(value.substr(0, equals), value.substr(equals + 1));
  } else {
    return "unknown option " + std::string(name);
  }
  return {};
}

}  // namespace

std::string parse_options(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      options.help = true;
      continue;
    }
    if (argument == "--no-resident") {
      options.resident = false;
      continue;
    }
    std::string_view name = argument;
    std::string_view value;
    const std::size_t equals = argument.find('=');
    if (argument.starts_with("--") && equals != std::string_view::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return "missing value after " + std::string(argument);
    }
    if (std::string error = apply(options, name, value); !error.empty()) return error;
  }
  if (!options.status_path.empty() && options.status_path == options.ping_path)
    return "--status-path and --ping-path need different paths";
  return {};
}

std::string usage_text() {
  return "Usage: scriptrunner-fcgi [OPTION]...\n"
         "Serves scripts for the scriptrunner beside this program over FastCGI: a warm request\n"
         "goes to a resident process of the cached executable (or starts it), any other to the\n"
         "runner; runs in the foreground and logs to standard error.\n"
         "\n"
         "  --listen unix:PATH    listen on a unix socket made at PATH\n"
         "  --listen HOST:PORT    listen on a TCP address\n"
         "                        (without --listen: the socket passed by systemd, or fd 0)\n"
         "  --socket-mode MODE    permissions of the unix socket, octal (default 0660)\n"
         "  --max-children N      requests served at once (default 8)\n"
         "  --timeout SECONDS     kill a request's script after this long; 0 = never (default 0)\n"
         "  --request-read-timeout SECONDS\n"
         "                        close a connection whose request has not arrived whole\n"
         "                        within this long (default 5)\n"
         "  --memory-limit SIZE   address space of every process started, in MiB or with\n"
         "                        K, M or G; 0 = unlimited (default 1024)\n"
         "  --no-resident         start the cached executable for every warm request\n"
         "  --resident-idle SECONDS\n"
         "                        retire a resident process idle this long (default 60)\n"
         "  --max-requests N      requests a resident process serves before it retires\n"
         "                        (default 1000; 0 = no limit)\n"
         "  --env NAME=VALUE      add a variable to every request's environment (repeatable)\n"
         "  --status-path PATH    answer the server's status page at PATH (?json, ?openmetrics,\n"
         "                        ?full); keep it to trusted addresses in the web server\n"
         "  --ping-path PATH      answer \"pong\" at PATH\n"
         "  --slow-log SECONDS    log a request still running after this long, and its end;\n"
         "                        0 = off (default 0)\n"
         "  --log FILE            append the log to FILE instead of standard error; SIGUSR1\n"
         "                        reopens it\n"
         "  --help                show this text\n"
         "\n"
         "SIGTERM, SIGINT or SIGHUP: stop accepting, let running requests finish (within\n"
         "--timeout), then exit 0; a second signal stops the running requests at once.\n"
         "SIGUSR1: reopen the --log file (after it was rotated).\n";
}

}  // namespace sr::fcgi

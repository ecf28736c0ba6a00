// The built-in functions on the request (its cookies, headers and method) and on the header
// lines a page sends back (its status, cookies and redirects).
#include "compiler/stub/builtin_calls.h"
#include "compiler/stub/request_text.h"

namespace sr::zr {
namespace {

Bytes variable(MachineState& m, const char* name) {
  const char* value = m.host.environment(m.host.context, name);
  return bytes_of(value ? value : "");
}

void send(MachineState& m, Text& line) {
  m.out.write(line.view());
  m.push_int(1);
}

}  // namespace

void call_cookie(MachineState& m) {
  Text name = m.pop_text();
  m.push_text(cookie_value(variable(m, "HTTP_COOKIE"), name.view()));
}

void call_header(MachineState& m) {
  Text header = m.pop_text(), name;
  if (!header_variable(header.view(), name)) return m.push_text(Text());
  m.push_text(Text(variable(m, name.c_str())));
}

void call_method(MachineState& m) {
  m.push_text(Text(variable(m, "REQUEST_METHOD")));
}

void call_set_cookie(MachineState& m) {
  Text options = m.pop_text(), value = m.pop_text(), name = m.pop_text(), line;
  if (const char* refused = set_cookie_line(name.view(), value.view(), options.view(), line)) {
    fail_run(refused);
  }
  send(m, line);
}

void call_status(MachineState& m) {
  Text line;
  if (!status_line(m.pop_int(), line)) fail_run("Status needs a code from 100 to 599");
  send(m, line);
}

void call_redirect(MachineState& m) {
  Text url = m.pop_text(), location, line;
  Bytes host = variable(m, "HTTP_HOST");
  if (!is_host_name(host)) host = variable(m, "SERVER_NAME");
  const PageAddress page{variable(m, "HTTPS"), host, variable(m, "SCRIPT_NAME"),
                         variable(m, "SERVER_PORT")};
  if (const char* refused = absolute_url(url.view(), page, location)) fail_run(refused);
  line.append(bytes_of("Status: 302 Found\nLocation: "));
  line.append(location.view());
  line.append(bytes_of("\n\n"));
  send(m, line);
}

}  // namespace sr::zr

// The request's cookies and headers as CGI hands them over, and the header lines a page sends
// back: pure functions on texts. A line that would break the header is refused (false / null),
// never written.
#pragma once

#include <stdint.h>

#include "compiler/stub/text.h"

namespace sr::zr {

// The raw value of the first cookie called `name` in an HTTP Cookie header ("a=1; b=2"), without
// the double quotes that may surround it; "" when there is none.
Text cookie_value(Bytes cookies, Bytes name);
// The variable that CGI puts a request header in: "User-Agent" -> HTTP_USER_AGENT,
// Content-Type and Content-Length without HTTP_; false for a name that no header can have.
bool header_variable(Bytes header, Text& variable);
// "Status: 404 Not Found" and its line end; false for a code outside 100 to 599.
bool status_line(int64_t code, Text& line);
// "Set-Cookie: name=value; options" and its line end; null, or the reason the line is refused.
const char* set_cookie_line(Bytes name, Bytes value, Bytes options, Text& line);

// Where a page is served from, for making a redirect's address absolute.
struct PageAddress {
  Bytes https;        // HTTPS: "on" (any value but "" and "off") for https
  Bytes host;         // HTTP_HOST, or SERVER_NAME when that is missing or not a host name
  Bytes script_name;  // SCRIPT_NAME, for an address relative to the page's folder
  Bytes port;         // SERVER_PORT, for a host that names no port of its own
};
// The address as an absolute URL; null, or the reason it cannot be one.
const char* absolute_url(Bytes url, const PageAddress& page, Text& absolute);
// Whether `host` is a host name with an optional port, as a Host header may carry one.
bool is_host_name(Bytes host);

}  // namespace sr::zr

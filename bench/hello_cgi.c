// The hello page as a plain static C program: the direct-CGI yardstick.
#include <unistd.h>

static const char kPage[] = "Content-Type: text/html\n\n<p>Hello, world!</p>\n";

int main(void) {
  return write(STDOUT_FILENO, kPage, sizeof kPage - 1) == sizeof kPage - 1 ? 0 : 1;
}

/* The ceiling of any FastCGI design: persistent responder processes that answer from memory.
 * fcgi_responder SOCKET_PATH PROCESSES: listens on a unix socket (mode 0666) and forks PROCESSES
 * processes that accept on it, each answering one request at a time with the hello page, or
 * with 1,000 lines when SCRIPT_NAME ends in "lines". Stops on SIGTERM to its process group. */
#include <fcgiapp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static void serve(int listener) {
  FCGX_Request request;
  FCGX_InitRequest(&request, listener, 0);
  while (FCGX_Accept_r(&request) == 0) {
    const char* name = FCGX_GetParam("SCRIPT_NAME", request.envp);
    const size_t length = name ? strlen(name) : 0;
    FCGX_PutS("Content-Type: text/html; charset=utf-8\r\n\r\n", request.out);
    if (length >= 5 && strcmp(name + length - 5, "lines") == 0) {
      for (int i = 1; i <= 1000; ++i) FCGX_FPrintF(request.out, "<p>Line %d</p>\n", i);
    } else {
      FCGX_PutS("<p>Hello, world!</p>\n", request.out);
    }
    FCGX_Finish_r(&request);
  }
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: fcgi_responder SOCKET_PATH PROCESSES\n");
    return 2;
  }
  const int processes = atoi(argv[2]);
  unlink(argv[1]);
  if (FCGX_Init() != 0) return 1;
  const int listener = FCGX_OpenSocket(argv[1], 128);
  if (listener < 0 || chmod(argv[1], 0666) != 0) return 1;
  for (int i = 0; i < processes; ++i) {
    if (fork() == 0) {
      serve(listener);
      _exit(0);
    }
  }
  while (wait(NULL) > 0) {
  }
  return 0;
}

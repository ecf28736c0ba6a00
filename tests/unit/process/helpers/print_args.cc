// Prints every entry of its argument vector, entry 0 included, as "[entry]" on a line.
#include <cstdio>

int main(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) std::printf("[%s]\n", argv[i]);
  return 0;
}

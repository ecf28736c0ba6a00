// The one fortified C library function that the distribution's static libsodium calls and musl
// lacks; the library passes the size it knows, which explicit_bzero does not need.
#include <string.h>

extern "C" void __explicit_bzero_chk(void* dst, size_t len, size_t /*dstlen*/) {
  explicit_bzero(dst, len);
}

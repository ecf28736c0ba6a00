#include "compiler/resident_mark.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "compiler/program_codes.h"

namespace sr::zr {

bool declares_resident_mode(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size < static_cast<off_t>(kTrailerSize)) {
    return false;
  }
  unsigned char trailer[kTrailerSize];
  if (pread(fd, trailer, sizeof trailer, st.st_size - static_cast<off_t>(kTrailerSize)) !=
      static_cast<ssize_t>(sizeof trailer)) {
    return false;
  }
  uint64_t magic = 0, length = 0;
  for (int i = 7; i >= 0; --i) {
    magic = (magic << 8) | trailer[i];
    length = (length << 8) | trailer[8 + i];
  }
  return magic == (kTrailerMagicBase | kTrailerResidentVersion) &&
         length <= static_cast<uint64_t>(st.st_size) - kTrailerSize;
}

}  // namespace sr::zr

#include "compiler/stub/zone_offset.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace sr::zr {
namespace {

constexpr char kZoneFolder[] = "/usr/share/zoneinfo/";

// Whether `tz` is the name of a zone file ("Europe/Berlin", "EST5EDT") rather than only a rule.
// Such a name is read from its file first, as the GNU C library does: read as a rule alone,
// "EST5EDT" would keep summer time all year under musl, which has no default for its changes.
bool names_zone_file(const char* tz) {
  const size_t length = strlen(tz);
  if (tz[0] == ':' || tz[0] == '/' || strchr(tz, '.') || strchr(tz, ',')) return false;
  char path[sizeof kZoneFolder + 256];
  if (length >= sizeof path - sizeof kZoneFolder) return false;
  memcpy(path, kZoneFolder, sizeof kZoneFolder - 1);
  memcpy(path + sizeof kZoneFolder - 1, tz, length + 1);
  return access(path, R_OK) == 0;
}

// Makes the C library's zone the one `tz` names; false when it cannot.
bool use_zone(const char* tz) {
  char file_name[258];
  if (names_zone_file(tz)) {
    file_name[0] = ':';
    memcpy(file_name + 1, tz, strlen(tz) + 1);
    tz = file_name;
  }
  // The C library takes the zone from the process's own TZ. A run started as a process has its
  // environment there already; a run in a resident process brings its own.
  const char* current = getenv("TZ");
  if (current != nullptr && strcmp(current, tz) == 0) return true;
  if (setenv("TZ", tz, 1) != 0) return false;
  tzset();
  return true;
}

}  // namespace

int64_t zone_offset(const char* tz, int64_t seconds) {
  if (tz == nullptr || *tz == '\0' || !use_zone(tz)) return 0;
  const time_t when = static_cast<time_t>(seconds);
  struct tm fields {};
  if (static_cast<int64_t>(when) != seconds || localtime_r(&when, &fields) == nullptr) return 0;
  return fields.tm_gmtoff;
}

}  // namespace sr::zr

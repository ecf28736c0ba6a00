// Local time for FormatDate$: the offset that a TZ value gives, read by the C library.
#pragma once

#include <stdint.h>

namespace sr::zr {

// Seconds east of UTC in the zone `tz` names (a POSIX rule such as "EST5EDT,M3.2.0,M11.1.0" or a
// zoneinfo name) at `seconds` after 1970-01-01 UTC. 0 (UTC) when `tz` is null or "", and for a
// time the C library cannot place in a zone.
int64_t zone_offset(const char* tz, int64_t seconds);

}  // namespace sr::zr

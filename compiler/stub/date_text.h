// Dates as text, computed from the count of seconds alone, so that no C library limit on years
// plays a part (the caller adds a zone's offset, compiler/stub/zone_offset.h).
#pragma once

#include <stdint.h>

#include "compiler/stub/bytes.h"
#include "compiler/stub/text.h"

namespace sr::zr {

// `format` with %Y (the year, at least four digits), %m, %d, %H, %M, %S (two digits each) and
// %% replaced for the time `seconds` after 1970-01-01 (UTC, or local with the offset added); every
// other byte is kept as it is.
Text format_date(Bytes format, int64_t seconds);

}  // namespace sr::zr

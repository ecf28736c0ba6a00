// The language's string functions. Positions count from 1; out-of-range positions and counts
// give the part that exists (possibly ""), never an error.
#pragma once

#include <stdint.h>

#include "compiler/stub/bytes.h"
#include "compiler/stub/text.h"

namespace sr::zr {

Text left_part(Bytes s, int64_t n);
Text right_part(Bytes s, int64_t n);
Text mid_part(Bytes s, int64_t start, int64_t count);  // count < 0: to the end
int64_t find_text(Bytes s, Bytes sought, int64_t start);
Text replace_all(Bytes s, Bytes sought, Bytes by);
Text trim_blanks(Bytes s);  // blanks and tabs
Text upper_ascii(Bytes s);
Text lower_ascii(Bytes s);
Text field_of(Bytes s, int64_t n, Bytes separator);
Text url_decode(Bytes s);
Text html_escape(Bytes s);
Text url_encode(Bytes s);   // letters, digits and -_.~ kept, every other byte as %XX
Text json_escape(Bytes s);  // for use between double quotes in JSON
// The decoded value of the first field of form-encoded `form` whose decoded name is `name`.
Text form_value(Bytes form, Bytes name);
Text decimal(int64_t n);
int64_t leading_integer(Bytes s);  // saturates at the 64-bit limits

}  // namespace sr::zr

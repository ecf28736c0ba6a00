// The built-in functions on texts: parts, searches, conversions, forms and dates.
#include "compiler/stub/builtin_calls.h"
#include "compiler/stub/date_text.h"
#include "compiler/stub/text_functions.h"
#include "compiler/stub/zone_offset.h"

namespace sr::zr {
namespace {

// The functions that take one text and give one text.
void convert_text(MachineState& m, Text (*convert)(Bytes)) {
  Text s = m.pop_text();
  m.push_text(convert(s.view()));
}

// The functions whose one text is their first argument: they run as they do on a variable's.
void call_on_popped_text(MachineState& m, Builtin builtin) {
  Text s = m.pop_text();
  call_on_text(m, builtin, s.view());
}

Text mid_to_end(Bytes s, int64_t start) {
  return mid_part(s, start, -1);
}

void find_from(MachineState& m, int64_t start) {
  Text sought = m.pop_text(), s = m.pop_text();
  m.push_int(find_text(s.view(), sought.view(), start));
}

}  // namespace

void call_len(MachineState& m) {
  call_on_popped_text(m, Builtin::len);
}

void call_asc(MachineState& m) {
  call_on_popped_text(m, Builtin::asc);
}

void call_left(MachineState& m) {
  call_on_popped_text(m, Builtin::left);
}

void call_right(MachineState& m) {
  call_on_popped_text(m, Builtin::right);
}

void call_mid2(MachineState& m) {
  call_on_popped_text(m, Builtin::mid2);
}

void call_mid3(MachineState& m) {
  call_on_popped_text(m, Builtin::mid3);
}

void call_find2(MachineState& m) {
  find_from(m, 1);
}

void call_find3(MachineState& m) {
  find_from(m, m.pop_int());
}

void call_on_text(MachineState& m, Builtin builtin, Bytes s) {
  switch (builtin) {
    case Builtin::len:
      return m.push_int(static_cast<int64_t>(s.size));
    case Builtin::asc:
      return m.push_int(s.size == 0 ? 0 : static_cast<unsigned char>(s[0]));
    case Builtin::left:
      return m.push_text(left_part(s, m.pop_int()));
    case Builtin::right:
      return m.push_text(right_part(s, m.pop_int()));
    case Builtin::mid2:
      return m.push_text(mid_to_end(s, m.pop_int()));
    case Builtin::mid3: {
      const int64_t count = m.pop_int(), start = m.pop_int();
      return m.push_text(mid_part(s, start, count < 0 ? 0 : count));
    }
    case Builtin::find2:
    case Builtin::find3: {
      const int64_t start = builtin == Builtin::find3 ? m.pop_int() : 1;
      Text sought = m.pop_text();
      return m.push_int(find_text(s, sought.view(), start));
    }
    case Builtin::field: {
      Text separator = m.pop_text();
      const int64_t n = m.pop_int();
      return m.push_text(field_of(s, n, separator.view()));
    }
    default:
      fail_run("the program is damaged");
  }
}

void call_replace(MachineState& m) {
  Text by = m.pop_text(), sought = m.pop_text(), s = m.pop_text();
  m.push_text(replace_all(s.view(), sought.view(), by.view()));
}

void call_field(MachineState& m) {
  Text separator = m.pop_text();
  const int64_t n = m.pop_int();
  Text s = m.pop_text();
  m.push_text(field_of(s.view(), n, separator.view()));
}

void call_trim(MachineState& m) {
  convert_text(m, trim_blanks);
}

void call_upper(MachineState& m) {
  convert_text(m, upper_ascii);
}

void call_lower(MachineState& m) {
  convert_text(m, lower_ascii);
}

void call_url_decode(MachineState& m) {
  convert_text(m, url_decode);
}

void call_html_escape(MachineState& m) {
  convert_text(m, html_escape);
}

void call_url_encode(MachineState& m) {
  convert_text(m, url_encode);
}

void call_json_escape(MachineState& m) {
  convert_text(m, json_escape);
}

// The local time of the run's TZ; UTC without one, and where the local time would pass the
// 64-bit limits.
void call_format_date(MachineState& m) {
  const int64_t seconds = m.pop_int();
  Text format = m.pop_text();
  int64_t local = seconds;
  const int64_t offset = zone_offset(m.host.environment(m.host.context, "TZ"), seconds);
  if (__builtin_add_overflow(seconds, offset, &local)) local = seconds;
  m.push_text(format_date(format.view(), local));
}

}  // namespace sr::zr

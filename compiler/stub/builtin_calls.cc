// The builtin functions as the machine calls them: arguments come off the stacks in reverse.
#include <time.h>

#include "compiler/stub/date_text.h"
#include "compiler/stub/file_functions.h"
#include "compiler/stub/machine_state.h"
#include "compiler/stub/random_numbers.h"
#include "compiler/stub/text_functions.h"

namespace sr::zr {
namespace {

void call_part(MachineState& m, Builtin builtin) {
  if (builtin == Builtin::mid3) {
    int64_t count = m.pop_int(), start = m.pop_int();
    Text s = m.pop_text();
    m.push_text(mid_part(s.view(), start, count < 0 ? 0 : count));
    return;
  }
  int64_t n = m.pop_int();
  Text s = m.pop_text();
  m.push_text(builtin == Builtin::left    ? left_part(s.view(), n)
              : builtin == Builtin::right ? right_part(s.view(), n)
                                          : mid_part(s.view(), n, -1));
}

void call_search(MachineState& m, Builtin builtin) {
  if (builtin == Builtin::replace) {
    Text by = m.pop_text(), sought = m.pop_text(), s = m.pop_text();
    m.push_text(replace_all(s.view(), sought.view(), by.view()));
    return;
  }
  if (builtin == Builtin::field) {
    Text separator = m.pop_text();
    int64_t n = m.pop_int();
    Text s = m.pop_text();
    m.push_text(field_of(s.view(), n, separator.view()));
    return;
  }
  int64_t start = builtin == Builtin::find3 ? m.pop_int() : 1;
  Text sought = m.pop_text(), s = m.pop_text();
  m.push_int(find_text(s.view(), sought.view(), start));
}

// The functions that take one text and give one text.
void call_conversion(MachineState& m, Text (*convert)(Bytes)) {
  Text s = m.pop_text();
  m.push_text(convert(s.view()));
}

void call_environment(MachineState& m, Builtin builtin) {
  switch (builtin) {
    case Builtin::env: {
      Text name = m.pop_text();
      const char* value = m.host.environment(m.host.context, name.c_str());
      m.push_text(Text(bytes_of(value ? value : "")));
      break;
    }
    case Builtin::arg: {
      int64_t n = m.pop_int();
      m.push_text(Text(bytes_of(n >= 1 && n < m.host.argc ? m.host.argv[n] : "")));
      break;
    }
    case Builtin::arg_count:
      m.push_int(m.host.argc > 0 ? m.host.argc - 1 : 0);
      break;
    case Builtin::read_all:
      m.push_text(m.in.read_all());
      break;
    case Builtin::read_line:
      m.push_text(m.in.read_line());
      break;
    default:
      m.push_int(static_cast<int64_t>(time(nullptr)));
  }
}

void call_scalar(MachineState& m, Builtin builtin) {
  switch (builtin) {
    case Builtin::len:
      m.push_int(static_cast<int64_t>(m.pop_text().size()));
      break;
    case Builtin::asc: {
      Text s = m.pop_text();
      m.push_int(s.empty() ? 0 : static_cast<unsigned char>(s.view()[0]));
      break;
    }
    case Builtin::chr: {
      int64_t n = m.pop_int();
      if (n < 0 || n > 255) fail_run("Chr$ needs a value from 0 to 255");
      const char byte = static_cast<char>(n);
      m.push_text(Text(Bytes{&byte, 1}));
      break;
    }
    case Builtin::str:
      m.push_text(decimal(m.pop_int()));
      break;
    default: {
      Text s = m.pop_text();
      m.push_int(leading_integer(s.view()));
    }
  }
}

void call_arithmetic(MachineState& m, Builtin builtin) {
  if (builtin == Builtin::abs) {
    // As with unary minus, the lowest integer has no positive counterpart and stays as it is.
    const int64_t n = m.pop_int();
    m.push_int(n < 0 ? static_cast<int64_t>(0 - static_cast<uint64_t>(n)) : n);
    return;
  }
  if (builtin == Builtin::random) {
    const int64_t n = m.pop_int();
    if (n < 1) fail_run("Random needs a value of 1 or more");
    m.push_int(random_below(n));
    return;
  }
  const int64_t b = m.pop_int(), a = m.pop_int();
  m.push_int(builtin == Builtin::min ? (a < b ? a : b) : (a > b ? a : b));
}

void call_form(MachineState& m, Builtin builtin) {
  if (builtin == Builtin::format_date) {
    const int64_t seconds = m.pop_int();
    Text format = m.pop_text();
    m.push_text(format_date(format.view(), seconds));
    return;
  }
  Text name = m.pop_text(), form = m.pop_text();
  m.push_text(form_value(form.view(), name.view()));
}

void call_file(MachineState& m, Builtin builtin) {
  if (builtin == Builtin::write_file || builtin == Builtin::append_file) {
    Text text = m.pop_text(), path = m.pop_text();
    m.push_int(builtin == Builtin::write_file ? write_file(path, text.view())
                                              : append_file(path, text.view()));
    return;
  }
  Text path = m.pop_text();
  switch (builtin) {
    case Builtin::read_file:
      return m.push_text(read_file(path));
    case Builtin::file_exists:
      return m.push_int(file_exists(path));
    case Builtin::file_size:
      return m.push_int(file_size(path));
    default:
      return m.push_int(delete_file(path));
  }
}

}  // namespace

void call_builtin(MachineState& m, Builtin builtin) {
  switch (builtin) {
    case Builtin::env:
    case Builtin::arg:
    case Builtin::arg_count:
    case Builtin::read_all:
    case Builtin::read_line:
    case Builtin::time:
      return call_environment(m, builtin);
    case Builtin::len:
    case Builtin::asc:
    case Builtin::chr:
    case Builtin::str:
    case Builtin::val:
      return call_scalar(m, builtin);
    case Builtin::left:
    case Builtin::right:
    case Builtin::mid2:
    case Builtin::mid3:
      return call_part(m, builtin);
    case Builtin::find2:
    case Builtin::find3:
    case Builtin::replace:
    case Builtin::field:
      return call_search(m, builtin);
    case Builtin::trim:
      return call_conversion(m, trim_blanks);
    case Builtin::upper:
      return call_conversion(m, upper_ascii);
    case Builtin::lower:
      return call_conversion(m, lower_ascii);
    case Builtin::url_decode:
      return call_conversion(m, url_decode);
    case Builtin::html_escape:
      return call_conversion(m, html_escape);
    case Builtin::url_encode:
      return call_conversion(m, url_encode);
    case Builtin::json_escape:
      return call_conversion(m, json_escape);
    case Builtin::abs:
    case Builtin::min:
    case Builtin::max:
    case Builtin::random:
      return call_arithmetic(m, builtin);
    case Builtin::form_value:
    case Builtin::format_date:
      return call_form(m, builtin);
    case Builtin::read_file:
    case Builtin::write_file:
    case Builtin::append_file:
    case Builtin::file_exists:
    case Builtin::file_size:
    case Builtin::delete_file:
      return call_file(m, builtin);
    default:
      fail_run("the program is damaged");
  }
}

}  // namespace sr::zr

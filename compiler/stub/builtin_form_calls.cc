// The built-in functions on posted forms: FormValue$ for both kinds of form, the files of a
// multipart/form-data body (compiler/stub/multipart.h reads it, by the request's CONTENT_TYPE)
// and SafeFileName$.
#include "compiler/stub/builtin_calls.h"
#include "compiler/stub/multipart.h"
#include "compiler/stub/text_functions.h"

namespace sr::zr {
namespace {

// The part a call wants: the first field called `name` (a part without a filename), or the
// `index`-th file of that name, from 1. A file input left empty sends a part with the filename
// "", which is neither.
struct Choice {
  Bytes name;
  bool file = false;
  int64_t index = 1;
  int64_t files = 0;  // the files of that name
  bool found = false;
  Text filename;
  Bytes type;
  Bytes data;
};

bool is_file(const FormPart& part) {
  return part.has_filename && !part.filename.empty();
}

void choose(void* context, const FormPart& part) {
  Choice& choice = *static_cast<Choice*>(context);
  if (compare_bytes(part.name.view(), choice.name) != 0) return;
  if (choice.file ? !is_file(part) : part.has_filename) return;
  if (choice.file && ++choice.files != choice.index) return;
  if (choice.found) return;
  choice.found = true;
  choice.filename = Text(part.filename.view());
  choice.type = part.type;
  choice.data = part.data;
}

Bytes content_type(MachineState& m) {
  const char* type = m.host.environment(m.host.context, "CONTENT_TYPE");
  return bytes_of(type ? type : "");
}

// Reads the whole body, letting `choice` (unless null) pick its part. False, with `fault` as
// FormError$ gives it, when CONTENT_TYPE names no boundary or the body is malformed;
// `in_body` tells the two apart.
bool read_request_form(MachineState& m, Bytes body, Choice* choice, Text& fault, bool& in_body) {
  Text boundary;
  in_body = false;
  if (const char* refused = form_boundary(content_type(m), boundary)) {
    fault = Text(bytes_of(refused));
    return false;
  }
  FormError error;
  if (read_form(body, boundary.view(), choice ? choose : nullptr, choice, error)) return true;
  in_body = true;
  fault = Text(bytes_of("byte "));
  fault.append(decimal(static_cast<int64_t>(error.at)).view());
  fault.append(bytes_of(": "));
  fault.append(bytes_of(error.message));
  return false;
}

// Finds the part of `choice` in the body, or ends the run with what is wrong with it.
void find_part(MachineState& m, Bytes body, Choice& choice) {
  Text fault;
  bool in_body;
  if (read_request_form(m, body, &choice, fault, in_body)) return;
  Text message(bytes_of(in_body ? "Invalid form data at " : "Invalid form data: "));
  message.append(fault.view());
  fail_run(message.c_str());
}

// Takes (body$, name$, n) off the stacks and finds the n-th file of that name.
void find_file(MachineState& m, Text& body, Text& name, Choice& choice) {
  choice.index = m.pop_int();
  name = m.pop_text();
  body = m.pop_text();
  choice.name = name.view();
  choice.file = true;
  find_part(m, body.view(), choice);
}

// Whether `form` is the body of a multipart/form-data request rather than a query or a posted
// form: CONTENT_TYPE names a boundary, and the form holds its delimiter at its start or after
// a line end (a query, which holds no line end, is read as one even in an upload's request).
bool is_multipart_body(MachineState& m, Bytes form) {
  Text boundary;
  if (form_boundary(content_type(m), boundary) != nullptr) return false;
  Text delimiter(bytes_of("\r\n--"));
  delimiter.append(boundary.view());
  const Bytes opening = delimiter.view().part(2);
  return (form.size >= opening.size && compare_bytes(form.part(0, opening.size), opening) == 0) ||
         find_bytes(form, delimiter.view(), 0) != kNotFound;
}

}  // namespace

void call_form_value(MachineState& m) {
  Text name = m.pop_text(), form = m.pop_text();
  if (!is_multipart_body(m, form.view())) return m.push_text(form_value(form.view(), name.view()));
  Choice choice;
  choice.name = name.view();
  find_part(m, form.view(), choice);
  m.push_text(Text(choice.data));
}

void call_form_error(MachineState& m) {
  Text body = m.pop_text(), fault;
  bool in_body;
  read_request_form(m, body.view(), nullptr, fault, in_body);
  m.push_text(moved(fault));
}

void call_upload_count(MachineState& m) {
  Text name = m.pop_text(), body = m.pop_text();
  Choice choice;
  choice.name = name.view();
  choice.file = true;
  choice.index = 0;
  find_part(m, body.view(), choice);
  m.push_int(choice.files);
}

void call_upload_name(MachineState& m) {
  Text body, name;
  Choice choice;
  find_file(m, body, name, choice);
  m.push_text(moved(choice.filename));
}

void call_upload_type(MachineState& m) {
  Text body, name;
  Choice choice;
  find_file(m, body, name, choice);
  m.push_text(Text(choice.type));
}

void call_upload_size(MachineState& m) {
  Text body, name;
  Choice choice;
  find_file(m, body, name, choice);
  m.push_int(choice.found ? static_cast<int64_t>(choice.data.size) : -1);
}

void call_upload(MachineState& m) {
  Text body, name;
  Choice choice;
  find_file(m, body, name, choice);
  m.push_text(Text(choice.data));
}

void call_safe_file_name(MachineState& m) {
  Text name = m.pop_text();
  m.push_text(safe_file_name(name.view()));
}

}  // namespace sr::zr

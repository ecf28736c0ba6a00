// Reading multipart/form-data bodies, as a browser posts a form with a file input: the boundary
// from the request's Content-Type, then every part between its delimiters with its
// Content-Disposition name and filename and its Content-Type. A part's bytes are a view into the
// body and may hold any byte. The whole body is read before anything is taken from it; a fault is
// reported as a message and the byte it was found at, never by a partial result.
#pragma once

#include <stddef.h>

#include "compiler/stub/bytes.h"
#include "compiler/stub/text.h"

namespace sr::zr {

inline constexpr size_t kFormMostBoundaryBytes = 70;
inline constexpr size_t kFormMostParts = 1000;
inline constexpr size_t kFormMostHeaderBytes = 16 * 1024;  // a part's header lines together

struct FormError {
  const char* message = nullptr;  // null when the body is sound
  size_t at = 0;                  // the byte, from 1
};

// The boundary named by a "multipart/form-data; boundary=..." content type (the value quoted or
// not, at most kFormMostBoundaryBytes of the bytes a boundary may hold); null, or the reason
// there is none.
const char* form_boundary(Bytes content_type, Text& boundary);

struct FormPart {
  Text name;          // the Content-Disposition name, \" and \\ undone; never empty
  Text filename;      // the filename as the client sent it, \" and \\ undone
  bool has_filename;  // whether a filename was given at all (a file input sends "" when empty)
  Bytes type;         // the part's Content-Type, "" when it has none
  Bytes data;         // the part's bytes, within the body
};

// Reads the whole `body` and calls `take` (unless null) for each part in order. False, with
// `error` set, when the body is malformed or exceeds the limits above; the parts taken until then
// must not be used.
bool read_form(Bytes body, Bytes boundary, void (*take)(void* context, const FormPart& part),
               void* context, FormError& error);

// A name that a file can be saved under in a folder of the page's own: the last component of a
// client's path (after "/" or "\"), without control bytes; every byte but letters, digits, sound
// UTF-8, blanks and . - _ ( ) + , becomes "_"; no leading or trailing "." or blank; at most
// kSafeNameMostBytes. May be "" when nothing of the name is left.
inline constexpr size_t kSafeNameMostBytes = 200;
Text safe_file_name(Bytes name);

}  // namespace sr::zr

// The entries of a folder, for ListFolder: regular files by name, folders with a trailing "/",
// sorted byte by byte; links (never followed), devices and the like are left out, as are "." and
// "..". A link at the end of the path is not followed either.
#pragma once

#include "compiler/stub/text.h"

namespace sr::zr {

// False, with `names` empty, when `path` is no folder that can be read.
bool list_folder(Text& path, TextList& names);

}  // namespace sr::zr

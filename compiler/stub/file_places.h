// What the file functions and Lock share about a path: the open folder it is acted on through,
// the refusal of the runner's cached programs and the test for a file planted by another user.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include "compiler/stub/text.h"

namespace sr::zr {

inline constexpr int kSafeOpen = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The path for the C library; null when it is empty, or holds a zero byte and so names another
// file.
const char* c_path(Text& path);

// A path as every file call uses it: its folder, opened once (links in it followed, as an open
// of the whole path would), and the last name in that folder. Acting on the open folder means
// that a link in the folder part swapped after the checks cannot redirect the call elsewhere.
struct Place {
  int folder = -1;  // -1 when the folder cannot be opened: then no call succeeds
  const char* name = nullptr;
};

// Opens the place of `path` (a C path); a path to the runner's cache ends the run.
Place place_of(const char* path);
void close_place(Place& place);

// Whether `file` in `folder` was left by another user in a shared sticky folder that is not
// theirs: such a file is someone's plant, not ours to read or extend.
bool planted_by_another(int folder, const struct stat& file);

}  // namespace sr::zr

// Whether an executable declares that it can run resident: started once by a server and then
// fed request after request over a socket (compiler/README.md, "Resident mode"). Reads only the
// executable's 16-byte trailer, with pread, so the descriptor's offset stays where it was.
#pragma once

namespace sr::zr {

// True when `fd` is a regular file whose trailer is the bundled compiler's with the resident
// version; false for anything else, including a read error (then it is simply not run resident).
bool declares_resident_mode(int fd);

}  // namespace sr::zr

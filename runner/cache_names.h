// Every name that the cache phase uses in /tmp, in one place.
#pragma once

#include <cstddef>
#include <string>

namespace sr {

// "/tmp/zr-executable_" + the script path with every "/" removed.
std::string specified_executable_name(const std::string& script_path);

// The specified name + "_" + 16 hex digits derived from the whole script path: the name of a
// script whose specified name is taken by another script (/a/bc.cgi and /ab/c.cgi).
std::string colliding_executable_name(const std::string& script_path);

// "_" + date and time + "_CanBeDeleted_" + a random number + ".tmp", appended in force mode.
std::string force_suffix();

// What lies beside an executable: the record of the script it was built from (also the lock of
// its builds), the temporary source, and the prefix of the compiler's half-written files.
std::string record_name(const std::string& executable);
std::string source_name(const std::string& executable);
std::string partial_prefix(const std::string& executable);

// How much the longest name beside an executable adds to the executable's name: the compiler's
// half-written file (".tmp-" and six characters), longer than the record's ".script" and the
// temporary source's ".zr".
inline constexpr std::size_t kLongestBesideSuffix = sizeof ".tmp-XXXXXX" - 1;
// The longest force_suffix: the date and time, seven digits and ".tmp".
inline constexpr std::size_t kLongestForceSuffix =
    sizeof "_yyyy-mm-dd_hh-ii-ss_CanBeDeleted_9999999.tmp" - 1;

// The private folders of force mode and of a blocked cache name: mkdtemp's template.
inline constexpr char kPrivateFolderTemplate[] = "/tmp/zr-private_XXXXXX";

}  // namespace sr

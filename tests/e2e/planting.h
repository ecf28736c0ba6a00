// What the /tmp tests plant where the runner keeps its files: a program that must never run,
// dated after any script so that a runner going by dates alone would take it for current.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {

constexpr uid_t kNobody = 65534;
constexpr long kFuture = 4'000'000'000;  // 2096: newer than any script
inline const std::string kEvil = "#!/bin/sh\necho EVIL\n";

// Replaces whatever is at `path` with a file of `content`, mode and owner as given.
inline void plant_file(const std::string& path, const std::string& content, mode_t mode,
                       uid_t owner) {
  std::filesystem::remove_all(path);
  { std::ofstream(path, std::ios::binary) << content; }
  ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// A name that the runner may neither use nor remove costs a private build and this log line.
inline std::string blocked_line(const std::string& exe, const std::string& blocker) {
  struct stat info {};
  lstat(blocker.c_str(), &info);
  return "The cached executable " + exe + " is blocked by " + blocker + " (owner uid " +
         std::to_string(info.st_uid) + "); this request is served by a private build. Removing " +
         blocker + " restores the cache.\n";
}

// Served with this script's own code: without a word, or with the log line for `blocker`.
inline bool served_despite(const RunResult& result, const std::string& exe,
                           const std::string& blocker) {
  return result.out == "GOOD\n" && (result.err.empty() || result.err == blocked_line(exe, blocker));
}

}  // namespace sr::test

#include "runner/cache_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace sr {
namespace {

class CacheFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/sr-cache-files-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string file(const std::string& name, mode_t mode) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << "x";
    chmod(path.c_str(), mode);
    return path;
  }

  std::string dir_;
};

TEST_F(CacheFilesTest, OnlyAnUnwritableRegularFileOfOursIsTrusted) {
  EXPECT_EQ(inspect_cached_file(dir_ + "/missing"), CachedFile::missing);
  EXPECT_EQ(inspect_cached_file(file("ok", 0555)), CachedFile::trusted);
  // Any program of the runner's user (another author's script) could rewrite it.
  EXPECT_EQ(inspect_cached_file(file("owner", 0755)), CachedFile::rewritable);
  EXPECT_EQ(inspect_cached_file(file("group", 0575)), CachedFile::rewritable);
  EXPECT_EQ(inspect_cached_file(file("other", 0557)), CachedFile::rewritable);
  EXPECT_EQ(inspect_cached_file(dir_), CachedFile::foreign);

  const std::string link = dir_ + "/link";
  ASSERT_EQ(symlink(file("target", 0755).c_str(), link.c_str()), 0);
  EXPECT_EQ(inspect_cached_file(link), CachedFile::foreign);

  const std::string theirs = file("theirs", 0755);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  EXPECT_EQ(inspect_cached_file(theirs), CachedFile::foreign);
}

TEST_F(CacheFilesTest, OwnerReadOnlyLeavesNothingToWriteAndNothingToOthers) {
  const std::string path = file("exe", 0777);
  make_owner_read_only(path);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0500u);
  EXPECT_EQ(inspect_cached_file(path), CachedFile::trusted);
}

TEST_F(CacheFilesTest, OnlyATrustedExecutableOpens) {
  struct Row {
    const char* name;
    std::string path;
    bool opens;
  };
  const std::string link = dir_ + "/link";
  ASSERT_EQ(symlink(file("target", 0700).c_str(), link.c_str()), 0);
  const std::string theirs = file("theirs", 0500);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  const Row rows[] = {
      {"private file", file("ok", 0500), true},
      {"writable by its owner", file("owner", 0700), false},
      {"group-writable", file("group", 0570), false},
      {"link", link, false},
      {"folder", dir_, false},
      {"another user's", theirs, false},
      {"missing", dir_ + "/missing", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    struct stat st;
    EXPECT_EQ(static_cast<bool>(open_trusted_executable(row.path, st)), row.opens);
  }
}

TEST_F(CacheFilesTest, PrivateFileIsNewAndOwnerOnly) {
  const std::string path = dir_ + "/source.zr";
  ASSERT_TRUE(create_private_file(path));
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(create_private_file(path)) << "an existing name is never reused";
  const std::string link = dir_ + "/link.zr";
  ASSERT_EQ(symlink((dir_ + "/nowhere").c_str(), link.c_str()), 0);
  EXPECT_FALSE(create_private_file(link));
  EXPECT_FALSE(std::ifstream(dir_ + "/nowhere").good()) << "created through a link";
}

TEST_F(CacheFilesTest, OnlyARegularFileOfOursMakesWay) {
  const std::string link = dir_ + "/link";
  ASSERT_EQ(symlink("/etc/passwd", link.c_str()), 0);
  const std::string folder = dir_ + "/folder";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string theirs = file("theirs", 0644);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  struct Row {
    const char* name;
    std::string path;
    bool removed;
  } rows[] = {
      {"file of ours", file("f", 0644), true},
      {"missing", dir_ + "/missing", true},
      {"link", link, false},
      {"folder", folder, false},
      {"another user's file", theirs, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(remove_own_file(row.path), row.removed);
    EXPECT_EQ(owner_of(row.path) == -1, row.removed);
  }
}

// Large values in every field: no digit of a device, inode, size or nanosecond count is lost.
const ScriptIdentity kBuiltFrom{0xfd01, 0x1234567890ull, 4096, 1'765'000'000, 999'999'999};

// A record that names the script but not its file (as older runners wrote it) binds nothing.
TEST_F(CacheFilesTest, RecordWithoutTheScriptFileBindsNothing) {
  const std::string record_path = file("old.script", 0600);
  { std::ofstream(record_path) << "/srv/a.cgi"; }
  EXPECT_EQ(read_record(record_path).script, "/srv/a.cgi");
  EXPECT_EQ(read_record(record_path).built_from, std::nullopt);
}

TEST_F(CacheFilesTest, RecordRoundTripsAndRefusesForeignFiles) {
  const std::string record_path = dir_ + "/exe.script";
  {
    ScriptRecord record;
    ASSERT_TRUE(record.open_locked(record_path));
    EXPECT_EQ(record.read().script, "");
    record.write("/srv/cgi/a long name.cgi", {});
    EXPECT_EQ(record.read().script, "/srv/cgi/a long name.cgi");
    record.write("/a", kBuiltFrom);
    EXPECT_EQ(record.read().script, "/a");
    EXPECT_FALSE(record.read().failed);
  }
  EXPECT_EQ(read_record(record_path).script, "/a");
  EXPECT_EQ(read_record(record_path).built_from, kBuiltFrom) << "the script file is bound";
  {
    ScriptRecord record;
    ASSERT_TRUE(record.open_locked(record_path));
    record.clear();
  }
  EXPECT_EQ(read_record(record_path).script, "");

  const std::string planted = dir_ + "/planted.script";
  ASSERT_EQ(symlink(file("elsewhere", 0644).c_str(), planted.c_str()), 0);
  ScriptRecord record;
  EXPECT_FALSE(record.open_locked(planted));
  EXPECT_EQ(read_record(planted).script, "");
}

TEST_F(CacheFilesTest, FailureIsKeptWithItsTimeAndMessage) {
  const std::string record_path = dir_ + "/exe.script";
  const std::int64_t before = wall_clock_ns();
  ScriptRecord record;
  ASSERT_TRUE(record.open_locked(record_path));
  record.write_failure("/srv/a.cgi",
                       "Compilation process did not finish correctly. Error: \"x\ny\".");
  const RecordedBuild build = read_record(record_path);
  EXPECT_EQ(build.script, "/srv/a.cgi");
  EXPECT_TRUE(build.failed);
  EXPECT_GE(build.failed_at_ns, before);
  EXPECT_LE(build.failed_at_ns, wall_clock_ns());
  EXPECT_EQ(build.message, "Compilation process did not finish correctly. Error: \"x\ny\".");
  EXPECT_EQ(build.built_from, std::nullopt) << "a failure binds no executable";
  record.write("/srv/a.cgi", kBuiltFrom);
  EXPECT_FALSE(record.read().failed) << "a later success replaces the failure";
}

}  // namespace
}  // namespace sr

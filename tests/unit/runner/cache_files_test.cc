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

TEST_F(CacheFilesTest, OnlyAPrivateRegularFileOfOursIsTrusted) {
  EXPECT_EQ(inspect_cached_file(dir_ + "/missing"), CachedFile::missing);
  EXPECT_EQ(inspect_cached_file(file("ok", 0755)), CachedFile::trusted);
  EXPECT_EQ(inspect_cached_file(file("group", 0775)), CachedFile::rewritable);
  EXPECT_EQ(inspect_cached_file(file("other", 0757)), CachedFile::rewritable);
  EXPECT_EQ(inspect_cached_file(dir_), CachedFile::foreign);

  const std::string link = dir_ + "/link";
  ASSERT_EQ(symlink(file("target", 0755).c_str(), link.c_str()), 0);
  EXPECT_EQ(inspect_cached_file(link), CachedFile::foreign);

  const std::string theirs = file("theirs", 0755);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  EXPECT_EQ(inspect_cached_file(theirs), CachedFile::foreign);
}

TEST_F(CacheFilesTest, MakePrivateTakesOffGroupAndOtherWrite) {
  const std::string path = file("exe", 0777);
  make_private(path);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(inspect_cached_file(path), CachedFile::trusted);
}

TEST_F(CacheFilesTest, RecordRoundTripsAndRefusesForeignFiles) {
  const std::string exe = dir_ + "/exe";
  {
    ScriptRecord record;
    ASSERT_TRUE(record.open_locked(exe));
    EXPECT_EQ(record.read(), "");
    record.write("/srv/cgi/a long name.cgi");
    EXPECT_EQ(record.read(), "/srv/cgi/a long name.cgi");
    record.write("/a");
    EXPECT_EQ(record.read(), "/a");
  }
  EXPECT_EQ(read_script_record(exe), "/a");
  {
    ScriptRecord record;
    ASSERT_TRUE(record.open_locked(exe));
    record.clear();
  }
  EXPECT_EQ(read_script_record(exe), "");

  const std::string planted = dir_ + "/planted";
  ASSERT_EQ(symlink(file("elsewhere", 0644).c_str(), script_record_path(planted).c_str()), 0);
  ScriptRecord record;
  EXPECT_FALSE(record.open_locked(planted));
  EXPECT_EQ(read_script_record(planted), "");
}

}  // namespace
}  // namespace sr

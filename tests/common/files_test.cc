#include "common/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/error.h"

namespace vantory {
namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vantory-files-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(FilesTest, AtomicWriteReplacesWholeAndLeavesNoTemporaries) {
  std::string path = dir_ + "/a/b/file.json";
  make_directories(dir_ + "/a/b");
  make_directories(dir_ + "/a/b");  // existing is fine
  write_file_atomic(path, "first");
  write_file_atomic(path, "second");
  EXPECT_EQ(read_file(path), "second");
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir_ + "/a/b")) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST_F(FilesTest, TemporariesOfDeadWritersAreRemovedByTheNextWrite) {
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  std::string orphan = dir_ + "/.file.json.tmp." + std::to_string(dead) + ".3";
  std::string recent = dir_ + "/.file.json.tmp." + std::to_string(dead) + ".4";
  std::string live = dir_ + "/.file.json.tmp." + std::to_string(getpid()) + ".999";
  std::string other = dir_ + "/.other.json.tmp." + std::to_string(dead) + ".0";
  std::string odd = dir_ + "/.file.json.tmp.notapid.1";
  const timespec hours_ago[2] = {{::time(nullptr) - 7200, 0}, {::time(nullptr) - 7200, 0}};
  for (const std::string& path : {orphan, recent, live, other, odd}) {
    write_file_atomic(path, "x");
    if (path != recent) {
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), hours_ago, 0), 0);
    }
  }

  write_file_atomic(dir_ + "/file.json", "content");
  EXPECT_FALSE(path_exists(orphan));  // its writer is gone
  EXPECT_TRUE(path_exists(recent));   // may be a live writer's that another namespace runs
  EXPECT_TRUE(path_exists(live));     // a writer of a running process may still commit
  EXPECT_TRUE(path_exists(other));    // another file's
  EXPECT_TRUE(path_exists(odd));      // not a name a writer makes
  EXPECT_EQ(read_file(dir_ + "/file.json"), "content");
}

TEST_F(FilesTest, FailuresCarryPythonStyleText) {
  try {
    read_file(dir_ + "/missing");
    FAIL();
  } catch (const OSError& e) {
    EXPECT_EQ(std::string(e.what()), "[Errno 2] No such file or directory: '" + dir_ + "/missing'");
  }
  EXPECT_THROW(read_file(dir_), OSError);  // a directory
  EXPECT_THROW(write_file_atomic(dir_ + "/nodir/x", "y"), OSError);
  write_file_atomic(dir_ + "/f", "x");
  EXPECT_THROW(make_directories(dir_ + "/f/sub"), OSError);
  EXPECT_TRUE(path_exists(dir_ + "/f"));
  EXPECT_FALSE(is_directory(dir_ + "/f"));
  remove_file(dir_ + "/f");
  EXPECT_FALSE(path_exists(dir_ + "/f"));
  EXPECT_THROW(remove_file(dir_ + "/f"), OSError);
}

// Source files are read whole, so only regular files within the limit are read at all; the
// rest is refused before a byte is read, and a FIFO nobody writes to does not block.
TEST_F(FilesTest, RegularFileReadsRefuseEverythingElseAtOnce) {
  write_file_atomic(dir_ + "/f", "12345");
  EXPECT_EQ(read_regular_file(dir_ + "/f", 5), "12345");
  EXPECT_EQ(check_regular_file(dir_ + "/f", 5), 5u);
  ASSERT_EQ(mkfifo((dir_ + "/pipe").c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::string message;
  };
  const Case cases[] = {
      {dir_ + "/f", "'" + dir_ + "/f' is 5 bytes, over the limit of 4 bytes"},
      {dir_ + "/pipe", "'" + dir_ + "/pipe' is a FIFO, not a regular file"},
      {"/dev/null", "'/dev/null' is a character device, not a regular file"},
      {dir_, "[Errno 21] Is a directory: '" + dir_ + "'"},
      {dir_ + "/missing", "[Errno 2] No such file or directory: '" + dir_ + "/missing'"},
  };
  for (const Case& c : cases) {
    for (bool reading : {true, false}) {
      try {
        reading ? (void)read_regular_file(c.path, 4) : (void)check_regular_file(c.path, 4);
        ADD_FAILURE() << c.path;
      } catch (const OSError& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
      }
    }
  }
}

TEST_F(FilesTest, PieceWiseWriterCommitsOrLeavesTheOldFile) {
  std::string path = dir_ + "/big.json";
  write_file_atomic(path, "old");
  {
    AtomicFileWriter writer(path);
    writer.append("never ");
    writer.append("committed");
  }
  EXPECT_EQ(read_file(path), "old");
  {
    AtomicFileWriter writer(path);
    writer.append("{\"a\": ");
    writer.append("[1.0]}");
    writer.commit();
    EXPECT_THROW(writer.append("late"), OSError);
  }
  EXPECT_EQ(read_file(path), "{\"a\": [1.0]}");
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir_)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

}  // namespace
}  // namespace vantory

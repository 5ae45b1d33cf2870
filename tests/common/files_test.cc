#include "common/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

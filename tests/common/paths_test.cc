#include "common/paths.h"

#include <gtest/gtest.h>

namespace vantory {
namespace {

TEST(Paths, NormalizeLikePosixNormpath) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", "."},          {".", "."},           {"./src//app.py", "src/app.py"},
      {"a/./b/", "a/b"},  {"a/../b", "b"},      {"../a", "../a"},
      {"a/../../b", "../b"}, {"../../x", "../../x"}, {"/../a", "/a"},
      {"/a/b/../..", "/"}, {"//a//b", "//a/b"}, {"///a", "/a"},
      {"a/..", "."},      {"./pkg//mod.py", "pkg/mod.py"}, {"/", "/"}, {"//", "//"},
  };
  for (const auto& c : cases) EXPECT_EQ(normalize_path(c.in), c.out) << c.in;
}

TEST(Paths, BaseNameAndStem) {
  EXPECT_EQ(base_name("src/pkg/util.py"), "util.py");
  EXPECT_EQ(base_name("util.py"), "util.py");
  EXPECT_EQ(base_name("src/"), "");
  EXPECT_EQ(file_stem("src/pkg/util.py"), "util");
  EXPECT_EQ(file_stem("a.tar.gz"), "a.tar");
  EXPECT_EQ(file_stem(".profile"), ".profile");
  EXPECT_EQ(file_stem("..x"), "..x");
  EXPECT_EQ(file_stem("dir.d/Makefile"), "Makefile");
  EXPECT_EQ(file_stem("a."), "a");
  EXPECT_EQ(file_stem(".a.b"), ".a");
}

TEST(Paths, AbsoluteIsLexical) {
  EXPECT_EQ(absolute_path("./.vantory_data", "/srv"), "/srv/.vantory_data");
  EXPECT_EQ(absolute_path("a/../b", "/srv"), "/srv/a/../b");
  EXPECT_EQ(absolute_path("/x//y/.", "/srv"), "/x/y");
  EXPECT_EQ(absolute_path("", "/srv/"), "/srv");
}

}  // namespace
}  // namespace vantory

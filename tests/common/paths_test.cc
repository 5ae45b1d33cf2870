#include "common/paths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// Every path over a small alphabet up to six characters: the quick test must agree with
// normalising, which is what it stands in for.
TEST(Paths, IsNormalizedAgreesWithNormalizing) {
  const std::string alphabet = "/.a";
  std::vector<std::string> paths{""};
  for (std::size_t begin = 0, length = 0; length < 6; ++length) {
    std::size_t end = paths.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (char c : alphabet) paths.push_back(paths[i] + c);
    }
    begin = end;
  }
  for (const std::string& path : paths) {
    EXPECT_EQ(is_normalized_path(path), normalize_path(path) == path) << '"' << path << '"';
  }
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

TEST(Paths, AtOrBelowIsWholeSegments) {
  struct Case {
    const char* path;
    const char* folder;
    bool below;
  };
  for (const Case& c : std::initializer_list<Case>{{"src/a.py", "src", true},
                                                   {"src", "src", true},
                                                   {"src2/a.py", "src", false},
                                                   {"/srv/x", "/", true},
                                                   {"x", "/", false},
                                                   {"a/b", ".", true},
                                                   {"../a", ".", false},
                                                   {"..", ".", false},
                                                   {"/a", ".", false},
                                                   {"..a/b", ".", true}}) {
    EXPECT_EQ(is_at_or_below(c.path, c.folder), c.below) << c.path << " in " << c.folder;
  }
}

}  // namespace
}  // namespace vantory

#include "apps/host/gitignore.h"

#include <gtest/gtest.h>

namespace vantory::host {
namespace {

TEST(GlobMatch, FollowsGitWildcards) {
  struct Case {
    const char* pattern;
    const char* path;
    bool matches;
  };
  const Case cases[] = {
      {"*.log", "debug.log", true},
      {"*.log", "dir/debug.log", false},  // "*" stops at "/"
      {"debug?.log", "debug1.log", true},
      {"debug?.log", "debug/.log", false},
      {"file[0-9].txt", "file7.txt", true},
      {"file[!0-9].txt", "file7.txt", false},
      {"file[!0-9].txt", "filex.txt", true},
      {"[", "[", true},
      {"\\*star", "*star", true},
      {"\\*star", "xstar", false},
      {"**/logs", "logs", true},
      {"**/logs", "a/b/logs", true},
      {"logs/**", "logs/a/b.txt", true},
      {"logs/**", "logs", false},
      {"a/**/b", "a/b", true},
      {"a/**/b", "a/x/y/b", true},
      {"a/**/b", "a/x/c", false},
      {"src/*.c", "src/x.c", true},
      {"src/*.c", "src/sub/x.c", false},
      {"a*b*c*d*e*f*g*h*z", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(glob_match(c.pattern, c.path), c.matches) << c.pattern << " vs " << c.path;
  }
}

TEST(GitignoreRules, LastMatchDecidesAndDeeperFilesApplyBelowTheirFolder) {
  GitignoreRules rules;
  rules.add_file("",
                 "# comment\n"
                 "\n"
                 "*.log\n"
                 "!keep.log\n"
                 "build/\n"
                 "/top.txt\n"
                 "docs/*.pdf\n"
                 "trailing.txt   \n"
                 "\\#hash\n");
  rules.add_file("sub", "*.tmp\n!important.log\n");
  struct Case {
    const char* path;
    bool is_directory;
    bool ignored;
  };
  const Case cases[] = {
      {"a.log", false, true},
      {"deep/down/a.log", false, true},
      {"keep.log", false, false},
      {"build", true, true},
      {"x/build", true, true},
      {"build", false, false},  // "build/" names folders only
      {"top.txt", false, true},
      {"x/top.txt", false, false},  // anchored to the root
      {"docs/a.pdf", false, true},
      {"x/docs/a.pdf", false, false},
      {"trailing.txt", false, true},
      {"#hash", false, true},
      {"sub/x.tmp", false, true},
      {"x.tmp", false, false},  // the rule of sub/.gitignore stays below sub
      {"sub/important.log", false, false},
      {"sub/other.log", false, true},
      {"comment", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rules.is_ignored(c.path, c.is_directory), c.ignored) << c.path;
  }
}

}  // namespace
}  // namespace vantory::host

#include "apps/host/source_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "common/error.h"
#include "tests/apps/test_support.h"

namespace vantory::host {
namespace {

using testing::TempDir;
using testing::write_text;

TEST(CollectSourceFiles, KeepsTextSourcesAndSaysWhyTheRestWasLeftOut) {
  TempDir root;
  write_text(root / "main.py", "print('hi')\n");
  write_text(root / "src/lib.c", "int f(void) { return 1; }\n");
  write_text(root / "src/notes.md", "# notes\n");
  write_text(root / "src/.hidden.py", "x = 1\n");
  write_text(root / ".git/config", "[core]\n");
  write_text(root / "node_modules/pkg/index.js", "module.exports = 1;\n");
  write_text(root / "build/out.c", "int x;\n");
  write_text(root / "cmake-build-debug/gen.c", "int y;\n");
  write_text(root / "env/pyvenv.cfg", "home = /usr\n");
  write_text(root / "env/lib/site.py", "x = 1\n");
  write_text(root / "image.png", std::string("\x89PNG\r\n\x1a\n\0\0\0", 11));
  write_text(root / "big.txt", std::string(Tarnel::kDefaultMaxFileBytes + 1, 'a'));
  write_text(root / "edge.txt", std::string(Tarnel::kDefaultMaxFileBytes, 'a'));
  write_text(root / "latin1.txt", "caf\xe9\n");
  write_text(root / ".gitignore", "*.log\ngenerated/\n");
  write_text(root / "debug.log", "log\n");
  write_text(root / "generated/a.py", "x = 1\n");
  write_text(root / "src/.gitignore", "secret.py\n");
  write_text(root / "src/secret.py", "key = 1\n");
  std::filesystem::create_symlink(root / "main.py", root / "link.py");

  SourceTree tree = collect_source_files(root.path());
  std::vector<std::string> expected = {root / "edge.txt", root / "latin1.txt", root / "main.py",
                                       root / "src/lib.c", root / "src/notes.md"};
  EXPECT_EQ(tree.files, expected);
  // Files: two .gitignore, .hidden.py, debug.log, secret.py, image.png, big.txt, link.py.
  EXPECT_EQ(tree.skipped_files, 8);
  EXPECT_EQ(tree.skipped_folders, 6);  // .git, node_modules, build, cmake-build, env, generated
  std::map<std::string, std::int64_t> reasons = {
      {"hidden", 4},    {".gitignore", 3},    {"binary", 1},
      {"over 1 MB", 1}, {"symbolic link", 1}, {"build or dependency folder", 4}};
  EXPECT_EQ(tree.skipped_reasons, reasons);
}

TEST(CollectSourceFiles, TheSizeLimitIsTheFilters) {
  TempDir root;
  write_text(root / "a.py", std::string(2048, '#'));
  write_text(root / "b.py", std::string(2049, '#'));
  SourceFilter filter;
  filter.max_file_bytes = 2048;
  SourceTree tree = collect_source_files(root.path(), filter);
  EXPECT_EQ(tree.files, std::vector<std::string>{root / "a.py"});
  EXPECT_EQ(tree.skipped_reasons, (std::map<std::string, std::int64_t>{{"over 2 KB", 1}}));
  EXPECT_EQ(collect_source_files(root / "b.py", filter).skipped_reasons,
            (std::map<std::string, std::int64_t>{{"over 2 KB", 1}}));
  EXPECT_EQ(size_text(1000), "1000 bytes");
  EXPECT_EQ(size_text(3u << 30), "3 GB");
}

#ifdef VANTORY_GIT
// Git's own answer for the untracked files below `root`: with `ignored`, those its ignore
// rules exclude, otherwise the rest. Paths relative to `root`.
std::set<std::string> git_files(const std::string& root, bool ignored, const std::string& home) {
  std::vector<std::string> argv = {VANTORY_GIT, "ls-files", "-z", "--others", "--exclude-standard"};
  if (ignored) argv.push_back("--ignored");
  // No user or system configuration: only the ignore files of the tree count.
  testing::RunResult listed = testing::run(
      argv, root, {{"HOME", home}, {"XDG_CONFIG_HOME", home}, {"GIT_CONFIG_NOSYSTEM", "1"}});
  EXPECT_EQ(listed.status, 0) << listed.err;
  std::set<std::string> files;
  for (std::size_t start = 0, end; (end = listed.out.find('\0', start)) != std::string::npos;
       start = end + 1) {
    files.insert(listed.out.substr(start, end - start));
  }
  return files;
}

std::set<std::string> kept_below(const std::string& root, const std::string& folder) {
  std::set<std::string> kept;
  for (const std::string& file : collect_source_files(root + "/" + folder).files) {
    kept.insert(file.substr(root.size() + 1));
  }
  return kept;
}
#endif

// The files below `root` that SourceRules keeps when asked one at a time, in an order unlike
// the walk's (deepest first), so that no answer leans on ignore files read for an earlier one.
std::set<std::string> kept_one_by_one(const std::string& root, const SourceFilter& filter = {}) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string().substr(root.size() + 1));
  }
  std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
  });
  SourceRules rules(root, filter);
  std::set<std::string> kept;
  for (const std::string& file : files) {
    if (rules.keeps_file(file)) kept.insert(file);
  }
  return kept;
}

std::set<std::string> relative_files(const std::string& root, const SourceTree& tree) {
  std::set<std::string> files;
  for (const std::string& file : tree.files) files.insert(file.substr(root.size() + 1));
  return files;
}

#ifdef VANTORY_GIT

// What git ignores is skipped, and what it does not is kept (but for the ignore files, which
// are hidden), from the repository's top and from a folder inside it; .vantoryignore files in
// their place give the same.
TEST(CollectSourceFiles, SkipsWhatGitIgnores) {
  TempDir root, home;
  testing::RunResult init =
      testing::run({VANTORY_GIT, "init", "-q"}, root.path(), {{"HOME", home.path()}});
  ASSERT_EQ(init.status, 0) << init.err;
  write_text(root / ".git/info/exclude", "info-excluded.txt\n");
  write_text(root / ".gitignore",
             "*.log\n!keep.log\n/anchored.txt\nout/\n**/deep/*.tmp\ndocs/**/draft.md\n"
             "file[0-9].txt\n[[:upper:]]*.cfg\nname[!a-c].py\n\\#hash.txt\n\\!bang.txt\n"
             "space.txt\\ \ntrail.txt   \nlogs/**\n!logs/keep/\n# comment.txt\n");
  write_text(root / "sub/.gitignore", "!b.log\n*.py\n");
  write_text(root / "sub/inner/.gitignore", "!*.py\nout\n");
  for (const char* file :
       {"a.log", "keep.log", "sub/b.log", "sub/c.log", "anchored.txt", "sub/anchored.txt",
        "out/x.c", "sub/out", "a/deep/x.tmp", "deep/y.tmp", "x.tmp", "docs/draft.md",
        "docs/v1/old/draft.md", "file1.txt", "filex.txt", "Upper.cfg", "lower.cfg", "named.py",
        "namea.py", "#hash.txt", "!bang.txt", "space.txt ", "space.txt", "trail.txt",
        "logs/a.c", "logs/keep/b.c", "comment.txt", "sub/s.py", "sub/inner/t.py",
        "sub/inner/out/u.c", "info-excluded.txt", "sub/info-excluded.txt", "plain.c"}) {
    write_text(root / file, "x\n");
  }
  std::set<std::string> ignored = git_files(root.path(), true, home.path());
  std::set<std::string> kept;
  for (const std::string& file : git_files(root.path(), false, home.path())) {
    if (file.find(".gitignore") == std::string::npos) kept.insert(file);
  }
  ASSERT_GT(ignored.size(), 15u);
  EXPECT_EQ(kept_below(root.path(), ""), kept);
  std::set<std::string> kept_in_sub;
  for (const std::string& file : kept) {
    if (file.rfind("sub/", 0) == 0) kept_in_sub.insert(file);
  }
  EXPECT_EQ(kept_below(root.path(), "sub"), kept_in_sub);
  EXPECT_EQ(kept_one_by_one(root.path()), kept);

  for (const char* folder : {"", "sub/", "sub/inner/"}) {
    std::filesystem::rename(root / (std::string(folder) + ".gitignore"),
                            root / (std::string(folder) + ".vantoryignore"));
  }
  EXPECT_EQ(kept_below(root.path(), ""), kept);
}
#endif

// A .vantoryignore overrides the .gitignore beside it; the filter's patterns override both.
TEST(CollectSourceFiles, VantoryignoreAndPatternsHaveTheLastWord) {
  TempDir root;
  write_text(root / ".gitignore", "*.gen.py\n");
  write_text(root / ".vantoryignore", "!keep.gen.py\nnotes/\n");
  for (const char* file : {"a.gen.py", "keep.gen.py", "notes/n.md", "src/a.py", "src/b.c",
                           "src/tests/t.py", "lib/c.py", "README.md"}) {
    write_text(root / file, "x = 1\n");
  }
  SourceTree all = collect_source_files(root.path());
  EXPECT_EQ(all.files, (std::vector<std::string>{root / "README.md", root / "keep.gen.py",
                                                  root / "lib/c.py", root / "src/a.py",
                                                  root / "src/b.c", root / "src/tests/t.py"}));
  EXPECT_EQ(all.total_bytes, 36u);
  EXPECT_EQ(all.skipped_reasons,
            (std::map<std::string, std::int64_t>{
                {".gitignore", 1}, {".vantoryignore", 1}, {"hidden", 2}}));

  SourceFilter filter;
  filter.include = {"src/", "*.md"};
  filter.exclude = {"tests/", "keep.gen.py"};
  SourceTree some = collect_source_files(root.path(), filter);
  EXPECT_EQ(some.files, (std::vector<std::string>{root / "README.md", root / "src/a.py",
                                                   root / "src/b.c"}));
  EXPECT_EQ(some.skipped_reasons["excluded"], 2);      // keep.gen.py, src/tests
  EXPECT_EQ(some.skipped_reasons["not included"], 1);  // lib/c.py
  EXPECT_EQ(kept_one_by_one(root.path(), filter), relative_files(root.path(), some));
}

// The rules asked a path at a time agree with the walk: on files, on the folders it enters
// (listed in the tree), and on part of a tree collected alone.
TEST(SourceRules, AgreeWithTheWalk) {
  TempDir root;
  write_text(root / "main.py", "x = 1\n");
  write_text(root / ".gitignore", "gen/\n*.log\n");
  write_text(root / "src/lib/a.c", "int a;\n");
  write_text(root / "src/lib/.vantoryignore", "*.c\n!keep.c\n");
  write_text(root / "src/lib/keep.c", "int k;\n");
  write_text(root / "src/x.log", "log\n");
  write_text(root / "gen/g.py", "x = 1\n");
  write_text(root / "node_modules/m/index.js", "x\n");
  write_text(root / "src/.cache/c.py", "x = 1\n");
  write_text(root / "src/blob.py", std::string("\0\1", 2));
  std::filesystem::create_symlink(root / "src", root / "link");

  SourceTree tree = collect_source_files(root.path());
  EXPECT_EQ(kept_one_by_one(root.path()), relative_files(root.path(), tree));
  EXPECT_EQ(tree.folders, (std::vector<std::string>{"", "src", "src/lib"}));
  SourceRules rules(root.path());
  for (const char* folder : {"", "src", "src/lib"}) EXPECT_TRUE(rules.enters_folder(folder));
  for (const char* folder : {"gen", "node_modules", "src/.cache", "link", "main.py", "none"}) {
    EXPECT_FALSE(rules.enters_folder(folder)) << folder;
  }
  EXPECT_FALSE(rules.keeps_file("src"));
  EXPECT_FALSE(rules.keeps_file("none.py"));
  SourceTree part = rules.collect("src");
  EXPECT_EQ(part.files, std::vector<std::string>{root / "src/lib/keep.c"});
  EXPECT_EQ(part.folders, (std::vector<std::string>{"src", "src/lib"}));
}

// The stores of the process that indexes a tree are never indexed, however their folders are
// named: by a path with a trailing slash or through the root's parent, or not made yet.
TEST(CollectSourceFiles, LeavesOutTheIndexersOwnStores) {
  TempDir root;
  write_text(root / "main.py", "x = 1\n");
  write_text(root / "index/code/code_memory.sqlite3-wal", "pages\n");
  write_text(root / "index/notes.txt", "kept\n");
  SourceFilter filter;
  filter.own_folders = {root / "index/code/", root / "pkg/../later", root / "index/../index/data"};
  write_text(root / "index/data/vectors.json", "[]\n");
  SourceTree tree = collect_source_files(root.path(), filter);
  EXPECT_EQ(tree.files, (std::vector<std::string>{root / "index/notes.txt", root / "main.py"}));
  EXPECT_EQ(tree.skipped_reasons, (std::map<std::string, std::int64_t>{{"excluded", 2}}));
  write_text(root / "later/a.py", "x = 1\n");
  SourceRules rules(root.path(), filter);
  EXPECT_FALSE(rules.keeps_file("later/a.py"));
  EXPECT_FALSE(rules.keeps_file("index/code/code_memory.sqlite3-wal"));
  EXPECT_TRUE(rules.keeps_file("index/notes.txt"));
}

TEST(CollectSourceFiles, JoinsRelativeRootsLexically) {
  TempDir root;
  write_text(root / "pkg/a.py", "x = 1\n");
  SourceTree tree = collect_source_files(root.path() + "/./pkg/");
  EXPECT_EQ(tree.files, std::vector<std::string>{root / "pkg/a.py"});
}

TEST(CollectSourceFiles, AFileStandsForItself) {
  TempDir root;
  write_text(root / ".hidden.py", "x = 1\n");
  write_text(root / "blob.bin", std::string("\0\1", 2));
  EXPECT_EQ(collect_source_files(root / "./.hidden.py").files,
            std::vector<std::string>{root / ".hidden.py"});
  SourceTree binary = collect_source_files(root / "blob.bin");
  EXPECT_TRUE(binary.files.empty());
  EXPECT_EQ(binary.skipped_reasons, (std::map<std::string, std::int64_t>{{"binary", 1}}));
  EXPECT_THROW(collect_source_files(root / "missing"), OSError);
}

TEST(LooksLikeBinary, TellsTextFromBinary) {
  EXPECT_FALSE(looks_like_binary(""));
  EXPECT_FALSE(looks_like_binary("plain text\twith tabs\r\n"));
  EXPECT_FALSE(looks_like_binary("caf\xe9 in latin-1"));
  EXPECT_TRUE(looks_like_binary(std::string("a\0b", 3)));
  EXPECT_TRUE(looks_like_binary("\x01\x02\x03\x04 text"));
}

}  // namespace
}  // namespace vantory::host

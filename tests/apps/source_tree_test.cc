#include "apps/host/source_tree.h"

#include <gtest/gtest.h>

#include <filesystem>

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
  SourceTree tree = collect_source_files(root.path(), SourceFilter{2048});
  EXPECT_EQ(tree.files, std::vector<std::string>{root / "a.py"});
  EXPECT_EQ(tree.skipped_reasons, (std::map<std::string, std::int64_t>{{"over 2 KB", 1}}));
  EXPECT_EQ(collect_source_files(root / "b.py", SourceFilter{2048}).skipped_reasons,
            (std::map<std::string, std::int64_t>{{"over 2 KB", 1}}));
  EXPECT_EQ(size_text(1000), "1000 bytes");
  EXPECT_EQ(size_text(3u << 30), "3 GB");
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

#include "apps/host/allowed_roots.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/apps/test_support.h"

namespace vantory::host {
namespace {

TEST(AllowedRootsTest, ConfinesResolvedPathsNotSpellings) {
  testing::TempDir dir;
  testing::write_text(dir / "root/src/app.py", "x = 1\n");
  testing::write_text(dir / "outside/secret.py", "x = 2\n");
  testing::write_text(dir / "root-sibling/b.py", "x = 3\n");
  std::filesystem::create_directory_symlink(dir / "outside", dir / "root/src/escape");
  std::filesystem::create_symlink(dir / "outside/secret.py", dir / "root/link.py");
  std::filesystem::create_directory_symlink(dir / "root", dir / "alias");
  AllowedRoots roots({dir / "alias"});
  ASSERT_EQ(roots.roots(), std::vector<std::string>{dir / "root"});

  struct Case {
    std::string path;
    bool allowed;
  };
  const Case cases[] = {
      {dir / "root", true},
      {dir / "root/src/app.py", true},
      {dir / "alias/src/app.py", true},
      {dir / "root/src/not/yet/made.py", true},
      {dir / "root/src/../src/app.py", true},
      {dir / "root/../outside/secret.py", false},
      {dir / "root/src/nothing/../../../outside/secret.py", false},
      {dir / "root/src/escape/secret.py", false},
      {dir / "root/link.py", false},
      {dir / "root-sibling/b.py", false},
      {"/etc/hostname", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(roots.contains(c.path), c.allowed) << c.path;
  }
  EXPECT_FALSE(AllowedRoots().contains(dir / "root"));

  try {
    roots.check(dir / "root/link.py");
    FAIL() << "a link out of the root is refused";
  } catch (const PermissionError& e) {
    EXPECT_EQ(std::string(e.what()), "'" + dir / "root/link.py" + "' (which leads to '" +
                                         dir / "outside/secret.py" +
                                         "') is outside the allowed roots: " + dir / "root");
  }
}

TEST(AllowedRootsTest, RelativePathsAndTheEnvironment) {
  testing::TempDir dir;
  testing::write_text(dir / "a/x.py", "");
  std::string previous = std::filesystem::current_path();
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  {
    testing::ScopedEnv unset("VANTORY_ALLOWED_ROOTS", nullptr);
    AllowedRoots cwd(AllowedRoots::from_environment());
    EXPECT_TRUE(cwd.contains("a/x.py"));
    EXPECT_TRUE(cwd.contains(""));
    EXPECT_FALSE(cwd.contains("../x.py"));
  }
  {
    testing::ScopedEnv set("VANTORY_ALLOWED_ROOTS", ":a::/srv/b:");
    EXPECT_EQ(AllowedRoots::from_environment(), (std::vector<std::string>{"a", "/srv/b"}));
    AllowedRoots roots(AllowedRoots::from_environment());
    EXPECT_EQ(roots.describe(), dir / "a, /srv/b");
    EXPECT_TRUE(roots.contains("a/x.py"));
    EXPECT_FALSE(roots.contains("."));
  }
  ASSERT_EQ(::chdir(previous.c_str()), 0);
}

}  // namespace
}  // namespace vantory::host

#include "apps/host/directory_indexer.h"

#include <gtest/gtest.h>

#include "tests/apps/host_fixture.h"

namespace vantory::host {
namespace {

class DirectoryIndexerTest : public testing::HostTest {
 protected:
  Json index(std::vector<std::string>* progress_lines = nullptr) {
    return index_directory(host_->tarnel(), "tester", dir_ / "repo", {},
                           [&](std::int64_t done, std::int64_t total, const std::string& label) {
                             if (progress_lines) {
                               progress_lines->push_back(std::to_string(done) + "/" +
                                                         std::to_string(total) + " " + label);
                             }
                           });
  }

  std::vector<std::int64_t> counts(const Json& answer) {
    std::vector<std::int64_t> values;
    for (const char* key : {"files", "indexed", "updated", "unchanged", "failed"}) {
      values.push_back(answer[key].get<std::int64_t>());
    }
    return values;
  }
};

TEST_F(DirectoryIndexerTest, IndexesNewFilesUpdatesChangedOnesAndLeavesTheRest) {
  testing::write_text(dir_ / "repo/a.py", "def alpha():\n    return 1\n");
  testing::write_text(dir_ / "repo/pkg/b.py", "def beta():\n    return 2\n");
  testing::write_text(dir_ / "repo/.secret.py", "x = 1\n");

  std::vector<std::string> progress;
  Json first = index(&progress);
  EXPECT_EQ(first["status"], "ok");
  EXPECT_EQ(counts(first), (std::vector<std::int64_t>{2, 2, 0, 0, 0}));
  EXPECT_EQ(first["skipped"], 1);
  EXPECT_EQ(progress, (std::vector<std::string>{"0/2 2 files to index", "1/2 " + dir_ / "repo/a.py",
                                                "2/2 " + dir_ / "repo/pkg/b.py"}));

  EXPECT_EQ(counts(index()), (std::vector<std::int64_t>{2, 0, 0, 2, 0}));

  testing::write_text(dir_ / "repo/a.py",
                      "def alpha():\n    return 1\n\ndef gamma():\n    return 3\n");
  testing::write_text(dir_ / "repo/c.py", "def delta():\n    return 4\n");
  Json third = index();
  EXPECT_EQ(counts(third), (std::vector<std::int64_t>{3, 1, 1, 1, 0}));
  Json hits = host_->tarnel().search_codebase("tester", "gamma", 1);
  EXPECT_EQ(hits["results"][0]["chunk"]["name"], "gamma");
}

TEST_F(DirectoryIndexerTest, AnswersAnErrorObjectForAMissingFolder) {
  Json answer = index_directory(host_->tarnel(), "tester", dir_ / "missing");
  EXPECT_EQ(answer["status"], "error");
  EXPECT_NE(answer["message"].get<std::string>().find("No such file or directory"),
            std::string::npos);
}

}  // namespace
}  // namespace vantory::host

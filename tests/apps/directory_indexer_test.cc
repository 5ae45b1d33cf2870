#include "apps/host/directory_indexer.h"

#include <gtest/gtest.h>

#include <filesystem>

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

// A change of embedding model embeds the unchanged files again, once, instead of leaving their
// chunks with the old model's vectors.
TEST_F(DirectoryIndexerTest, AnotherModelEmbedsTheUnchangedFilesAgain) {
  testing::write_text(dir_ / "repo/a.py", "def alpha():\n    return 1\n");
  testing::write_text(dir_ / "repo/b.py", "def beta():\n    return 2\n");
  EXPECT_EQ(index()["indexed"], 2);

  testing::ScopedEnv url("REMOTE_EMBEDDING_URL", service_.openai_url().c_str());
  testing::ScopedEnv model("EMBEDDING_MODEL", "other-model");
  host::HostConfig config;
  config.coding_root = dir_ / "coding";
  config.data_root = dir_ / "data";
  config.agent_id = "tester";
  config.roots = {dir_.path()};
  host_ = std::make_unique<host::Host>(config);
  Json stats = host_->tarnel().cache_stats("tester");
  EXPECT_EQ(stats["embedder"]["name"], "openai:other-model:768@" + service_.openai_url());
  EXPECT_EQ(stats["chunks_without_vectors"], 2);

  std::size_t requests = service_.request_count();
  Json again = index();
  EXPECT_EQ(again["reembedded"], 2);
  EXPECT_EQ(again["unchanged"], 0);
  EXPECT_EQ(service_.request_count(), requests + 2);  // one request a file
  EXPECT_EQ(host_->tarnel().cache_stats("tester")["chunks_without_vectors"], 0);
  Json third = index();
  EXPECT_EQ(third["reembedded"], 0);
  EXPECT_EQ(third["unchanged"], 2);
  Json hits = host_->tarnel().search_codebase("tester", "beta", 1);
  EXPECT_EQ(hits["results"][0]["chunk"]["name"], "beta");
}

// A dry run lists what the same call would index and writes nothing, not even the memory.
TEST_F(DirectoryIndexerTest, ADryRunListsWhatWouldBeIndexedAndWritesNothing) {
  testing::write_text(dir_ / "repo/a.py", "def alpha():\n    return 1\n");
  testing::write_text(dir_ / "repo/tests/t.py", "def test():\n    pass\n");
  testing::write_text(dir_ / "repo/notes.md", "# notes\n");
  Json arguments = {{"directory", dir_ / "repo"},
                    {"include", {"*.py"}},
                    {"exclude", {"tests/"}},
                    {"dry_run", true}};
  Json preview = host_->call_tool("index_directory", arguments);
  EXPECT_EQ(preview["paths"], Json({dir_ / "repo/a.py"}));
  EXPECT_EQ(preview["files"], 1);
  EXPECT_EQ(preview["total_bytes"], 26);
  EXPECT_EQ(preview["skipped_reasons"], Json({{"excluded", 1}, {"not included", 1}}));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "coding"));

  arguments["dry_run"] = false;
  Json indexed = host_->call_tool("index_directory", arguments);
  EXPECT_EQ(indexed["indexed"], 1);
  EXPECT_EQ(indexed["skipped_reasons"], preview["skipped_reasons"]);
}

TEST_F(DirectoryIndexerTest, AnswersAnErrorObjectForAMissingFolder) {
  Json answer = index_directory(host_->tarnel(), "tester", dir_ / "missing");
  EXPECT_EQ(answer["status"], "error");
  EXPECT_NE(answer["message"].get<std::string>().find("No such file or directory"),
            std::string::npos);
}

}  // namespace
}  // namespace vantory::host

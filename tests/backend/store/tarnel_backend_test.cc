// Tarnel driving this backend: files indexed from disk, searched, summarised, reported on,
// invalidated and snapshotted.
#include <gmock/gmock.h>

#include "backend/storage/database.h"
#include "backend_fixture.h"
#include "coding/batched_writes.h"
#include "coding/tarnel.h"
#include "common/error.h"
#include "tests/coding/fakes.h"

namespace vantory::testing {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class TarnelBackendTest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    config_ = write("app/config.py",
                    "import json\n\n"
                    "def parse_config(path):\n    return json.load(open(path))\n");
    server_ =
        write("app/server.py",
              "from app import config\n\n"
              "class RequestHandler:\n    def handle(self, request):\n        return request\n");
    tarnel_ = std::make_unique<Tarnel>(
        root_, std::shared_ptr<ComponentProvider>(vantory_backend_component_provider()));
    for (const std::string& path : {config_, server_}) {
      ASSERT_EQ(tarnel_->index_file("agent", path)["status"], "indexed");
    }
  }
  void TearDown() override {
    tarnel_.reset();
    BackendTest::TearDown();
  }
  std::string config_, server_;
  std::unique_ptr<Tarnel> tarnel_;
};

TEST_F(TarnelBackendTest, IndexesSearchesAndSummarisesFilesFromDisk) {
  Json found = tarnel_->search_codebase("agent", "parse config", 3);
  ASSERT_FALSE(found["results"].empty());
  EXPECT_EQ(found["results"][0]["chunk"]["file_path"], config_);
  Json only_server =
      tarnel_->search_codebase("agent", "parse config request", 5, Json::array({server_}));
  for (const Json& result : only_server["results"]) EXPECT_EQ(result["file_path"], server_);

  Json normal = tarnel_->summarize_context("agent", config_, "normal");
  EXPECT_EQ(normal["status"], "ok");
  EXPECT_EQ(normal["freshness"], "fresh");

  // A changed file is re-indexed before it is summarised.
  write("app/config.py", "def load_settings():\n    return {}\n");
  Json detailed = tarnel_->summarize_context("agent", config_, "detailed");
  EXPECT_EQ(detailed["status"], "ok");
  std::string contents;
  for (const Json& chunk : detailed["chunks"]) contents += chunk["content"].get<std::string>();
  EXPECT_THAT(contents, HasSubstr("load_settings"));
  EXPECT_THAT(contents, ::testing::Not(HasSubstr("parse_config")));

  Json listing = tarnel_->list_directory("agent");
  EXPECT_EQ(listing["count"], 1);
  EXPECT_EQ(listing["items"][0]["name"], "python");
  EXPECT_EQ(tarnel_->list_indexed_files("agent")["total"], 2);

  Json savings = tarnel_->get_token_savings("agent");
  EXPECT_EQ(savings["files_indexed"], 2);
  EXPECT_EQ(savings["searches"]["count"], 2);
  EXPECT_GT(savings["tokens_if_files_read"].get<int>(), 0);
}

TEST_F(TarnelBackendTest, ReportsRecommendWhatToReindexAndInvalidationFollowsThem) {
  write("app/server.py", "class RequestHandler:\n    pass\n");
  Json stats = tarnel_->cache_stats("agent");
  EXPECT_EQ(stats["stale_files"], 1);
  EXPECT_THAT(stats["recommendations"][0].get<std::string>(), HasSubstr(server_));

  Json stale = tarnel_->invalidate_cache("agent", std::nullopt, "stale");
  EXPECT_EQ(stale["invalidated"], 1);
  EXPECT_GT(stale["vectors_cleaned"].get<int>(), 0);
  EXPECT_EQ(tarnel_->usage_report("agent")["files_indexed"], 1);

  Json file = tarnel_->invalidate_cache("agent", config_, "file");
  EXPECT_EQ(file["status"], "invalidated");
  EXPECT_EQ(tarnel_->usage_report("agent")["vectors"], 0);
  EXPECT_EQ(tarnel_->invalidate_cache("agent", config_, "file")["status"], "not_found");
}

TEST_F(TarnelBackendTest, InvalidatingEverythingLeavesOtherAgentsAlone) {
  tarnel_->index_file("other", config_);
  Json all = tarnel_->invalidate_cache("agent", std::nullopt, "all");
  EXPECT_EQ(all["invalidated"], 2);
  EXPECT_EQ(tarnel_->usage_report("agent")["vectors"], 0);
  EXPECT_EQ(tarnel_->list_indexed_files("agent")["total"], 0);
  EXPECT_THAT(tarnel_->search_codebase("agent", "parse config")["results"], IsEmpty());
  EXPECT_EQ(tarnel_->list_indexed_files("other")["total"], 1);
  EXPECT_FALSE(tarnel_->search_codebase("other", "parse config")["results"].empty());
  auto& store = dynamic_cast<backend::ContextStore&>(tarnel_->store());
  EXPECT_TRUE(store._global_index.contains("other"));
  EXPECT_FALSE(store._global_index.contains("agent"));
}

TEST_F(TarnelBackendTest, SnapshotsCompareTheCodeMemoryOverTime) {
  Json first = tarnel_->create_snapshot("agent");
  ASSERT_EQ(first["status"], "ok");
  write("app/config.py", "def parse_config(path):\n    return {}\n");
  tarnel_->reindex_file("agent", config_);
  Json second = tarnel_->create_snapshot("agent", "after edit");
  Json diff = tarnel_->compare_snapshots("agent", first["sha"], second["sha"]);
  ASSERT_EQ(diff["status"], "ok");
  EXPECT_EQ(strings(diff["diff"]["modified"]), std::vector<std::string>{config_});
  EXPECT_THAT(diff["diff"]["added"], IsEmpty());
  EXPECT_EQ(tarnel_->compare_snapshots("agent", first["sha"], "unknown")["status"], "error");
}

TEST_F(TarnelBackendTest, UnreadableInputIsAnsweredAndStoresNothing) {
  std::string binary = write("blob.py", std::string("\x7f"
                                                    "ELF\0\0\1\2",
                                                    8));
  Json answer = tarnel_->index_file("agent", binary);
  EXPECT_EQ(answer["status"], "error");
  EXPECT_THAT(answer["message"].get<std::string>(), HasSubstr("Auto-chunking failed: "));
  Json gone = tarnel_->index_file("agent", dir_ + "/missing.py");
  EXPECT_EQ(gone["status"], "error");
  EXPECT_EQ(tarnel_->list_indexed_files("agent")["total"], 2);

  std::string latin1 = write("latin1.py", "name = 'caf\xe9'\r\ndef f():\r\n    pass\r\n");
  std::string big;
  for (int i = 0; big.size() < 1500000; ++i)
    big += "def f" + std::to_string(i) + "():\n    return 1\n";
  std::string large = write("large.py", big);
  std::string nested =
      write("nested.py", "x = " + std::string(20000, '[') + std::string(20000, ']') +
                             "\ndef broken(:\n    pass\n");
  for (const std::string& path : {latin1, large, nested}) {
    Json indexed = tarnel_->index_file("agent", path);
    // Chunked or refused with an answer, never a crash; what is stored reads back fresh.
    if (indexed["status"] == "indexed") {
      EXPECT_EQ(tarnel_->summarize_context("agent", path, "normal")["freshness"], "fresh") << path;
    } else {
      EXPECT_EQ(indexed["status"], "error") << path;
    }
  }
  EXPECT_EQ(tarnel_->index_file("agent", latin1)["status"], "indexed");
  EXPECT_EQ(tarnel_->delta_update("agent", latin1)["chunks_added"], 0);
}

// A batch's keyword-index writes are held back until it commits, or run between two files
// past a few MB of held text. A file that fails halfway (its imports are refused) leaves none
// of its words behind, not even on the chunk rows that later files reuse, and the files
// written before it in the batch stay as they were.
class HeldKeywordWritesTest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    {
      backend::Database db(root_);
      db.exec(
          "CREATE TRIGGER refuse_boom BEFORE INSERT ON imports WHEN NEW.module = 'boom' "
          "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    }
    open();
  }
  // Indexes `contents` (one unit each), then a file that fails, then one more, in one batch;
  // checks that the words of every stored file are found and the failed file's are not.
  void batch_with_a_failure(const std::vector<std::string>& contents) {
    auto& batches = dynamic_cast<BatchedWrites&>(*c_->builder);
    batches.begin_batch();
    for (std::size_t i = 0; i < contents.size(); ++i) {
      std::string name = "unit" + std::to_string(i);
      index(dir_ + "/" + name + ".py", Json::array({chunk(name, "function", contents[i])}));
    }
    EXPECT_ANY_THROW(index(dir_ + "/b.py", Json::array({chunk("beta_narwhal", "function",
                                                               "import boom\nnarwhal = 1")})));
    index(dir_ + "/c.py",
          Json::array({chunk("gamma_tapir", "function", "def gamma_tapir(): pass")}));
    batches.commit_batch();

    EXPECT_EQ(matches("narwhal"), 0u);
    EXPECT_EQ(matches("tapir"), 1u);
    backend::Database db(root_);
    EXPECT_NO_THROW(db.exec("INSERT INTO chunk_fts(chunk_fts) VALUES('integrity-check')"));
    // The files written before the failure are there once each, with their vector and their
    // count of indexing runs; the failed file is not.
    auto count = [&db](const char* sql) {
      backend::Statement st = db.prepare(sql);
      return st.step() ? st.column_int(0) : -1;
    };
    auto stored = static_cast<std::int64_t>(contents.size() + 1);
    EXPECT_EQ(count("SELECT count(*) FROM contexts"), stored);
    EXPECT_EQ(count("SELECT count(*) FROM vectors"), stored);
    EXPECT_EQ(count("SELECT index_runs FROM agents WHERE agent_id = 'agent'"), stored);
  }
  std::size_t matches(const std::string& word) {
    Json answer = c_->retriever->search("agent", word, 5, nullptr);
    std::size_t matched = 0;
    for (const Json& result : answer["results"]) {
      matched += result["keyword_score"].get<double>() > 0 ? 1 : 0;
    }
    return matched;
  }
};

TEST_F(HeldKeywordWritesTest, HeldUntilTheCommit) {
  batch_with_a_failure({"def alpha_walrus(): pass"});
  EXPECT_EQ(matches("walrus"), 1u);
}

TEST_F(HeldKeywordWritesTest, RunBetweenFilesPastTheirLimit) {
  std::string filler;
  for (int i = 0; i < 450000; ++i) filler += "x" + std::to_string(i % 1000) + " ";
  batch_with_a_failure({filler + "walrus", filler + "okapi"});  // 5 MB held before the failure
  EXPECT_EQ(matches("walrus"), 1u);
  EXPECT_EQ(matches("okapi"), 1u);
}

TEST_F(BackendTest, TarnelWithoutArgumentsUsesThisBackend) {
  std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  {
    Tarnel tarnel;
    EXPECT_EQ(
        tarnel.index_file("agent", "m.py", Json::array({chunk("m", "block", "m = 1")}))["status"],
        "indexed");
    EXPECT_EQ(tarnel.search_codebase("agent", "m")["results"].size(), 1u);
  }
  std::filesystem::current_path(previous);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/.vantory_coding/code_memory.sqlite3"));
}

TEST(BackendProvider, RefusesComponentsOfAnotherImplementation) {
  std::unique_ptr<ComponentProvider> provider(vantory_backend_component_provider());
  MockStore store;
  MockAmbrel ambrel;
  EXPECT_THROW(provider->make_builder(store, ambrel), TypeError);
  EXPECT_THROW(provider->make_retriever(store, ambrel), TypeError);
  EXPECT_THROW(provider->make_filesystem(store), TypeError);
}

// Many files at once: cut on worker threads, stored in batches, answered as
// index_file would.
TEST_F(TarnelBackendTest, IndexFilesAnswersAsIndexFileDoesInTheGivenOrder) {
  std::vector<std::string> paths;
  for (int i = 0; i < 40; ++i) {
    std::string n = std::to_string(i);
    paths.push_back(write("many/m" + n + ".py",
                          "import app.config\n\ndef f" + n + "(x):\n    return x + " + n + "\n"));
  }
  paths.insert(paths.begin() + 7, dir_ + "/many/missing.py");
  paths.insert(paths.begin() + 20, write("many/data.bin", std::string("\x00\x01\x02", 3)));
  std::vector<int> calls(paths.size());
  std::vector<Json> answers(paths.size());
  tarnel_->index_files(
      "agent", paths,
      [&](std::size_t i, const Json* answer, std::exception_ptr error) {
        ++calls[i];
        ASSERT_FALSE(error);
        answers[i] = *answer;
      },
      3);
  EXPECT_THAT(calls, ::testing::Each(1));
  EXPECT_EQ(answers[7]["message"], "File not found for auto-chunking: " + paths[7]);

  // The same files one by one, in another agent, answer the same.
  for (std::size_t i = 0; i < paths.size(); ++i) {
    Json one = tarnel_->index_file("other", paths[i]);
    Json many = answers[i];
    one.erase("time_ms");
    many.erase("time_ms");
    EXPECT_EQ(many, one) << paths[i];
  }
  // Stored in the order given, after the two files indexed before.
  Json listing = tarnel_->list_indexed_files("agent", 100, 0);
  std::vector<std::string> stored = strings(listing["files"], "file_path");
  std::vector<std::string> expected{config_, server_};
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (answers[i]["status"] == "indexed") expected.push_back(paths[i]);
  }
  EXPECT_EQ(stored, expected);
  EXPECT_EQ(tarnel_->search_codebase("agent", "f33", 1)["results"][0]["file_path"],
            dir_ + "/many/m33.py");
  EXPECT_EQ(tarnel_->performance_profile("agent")["profile"]["indexing"]["count"],
            2 + 2 * (stored.size() - 2));
}

// Changed files updated many at once answer and store what delta_update does one by one,
// the vectors of their removed chunks deleted alike.
TEST_F(TarnelBackendTest, DeltaUpdateFilesAnswersAndStoresAsDeltaUpdateDoes) {
  std::vector<std::string> paths;
  for (int i = 0; i < 12; ++i) {
    std::string n = std::to_string(i);
    paths.push_back(write("d/m" + n + ".py", "def keep" + n + "(x):\n    return x\n\n\n"
                                             "def old" + n + "(y):\n    return y * 2\n"));
  }
  for (const char* agent : {"batched", "one-by-one"}) {
    tarnel_->index_files(agent, paths, [](std::size_t, const Json*, std::exception_ptr) {});
  }
  for (int i = 0; i < 12; i += 2) {  // half of them changed: one unit replaced, one kept
    std::string n = std::to_string(i);
    write("d/m" + n + ".py", "def keep" + n + "(x):\n    return x\n\n\n"
                             "def new" + n + "(z):\n    return z - 1\n");
  }
  paths.push_back(dir_ + "/d/missing.py");
  paths.push_back(write("d/data.bin", std::string("\x00\x01\x02", 3)));
  std::vector<Json> answers(paths.size());
  tarnel_->delta_update_files(
      "batched", paths,
      [&](std::size_t i, const Json* answer, std::exception_ptr error) {
        ASSERT_FALSE(error);
        answers[i] = *answer;
      },
      2);
  EXPECT_EQ(answers[0]["chunks_added"], 1);
  EXPECT_EQ(answers[0]["chunks_removed"], 1);
  EXPECT_EQ(answers[1]["chunks_unchanged"], 2);
  auto vectors_of = [&](const char* agent) {
    backend::Database db(root_);
    backend::Statement st = db.prepare("SELECT count(*) FROM vectors WHERE agent_id = ?1");
    st.bind(1, std::string(agent));
    EXPECT_TRUE(st.step());
    return st.column_int(0);
  };
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(answers[i], tarnel_->delta_update("one-by-one", paths[i])) << paths[i];
  }
  EXPECT_EQ(vectors_of("batched"), vectors_of("one-by-one"));
  auto chunks_of = [&](const char* agent) {
    Json chunks = Json::array();
    for (const Json& context : *tarnel_->store()._load_agent_data(agent, "file_contexts")) {
      chunks.push_back(context["chunks"]);
    }
    return chunks;
  };
  EXPECT_EQ(chunks_of("batched"), chunks_of("one-by-one"));
  EXPECT_EQ(tarnel_->search_codebase("batched", "new0", 1)["results"][0]["file_path"], paths[0]);
}

// A file that fails among many cut on worker threads: its batch is rolled back and its
// other files are written again from what was kept of them, texts worked out afresh.
TEST_F(TarnelBackendTest, IndexFilesWritesABatchAgainAfterAFileFails) {
  {
    backend::Database db(root_);
    db.exec("CREATE TRIGGER refuse_boom BEFORE INSERT ON imports WHEN NEW.module = 'boom' "
            "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  }
  std::vector<std::string> paths;
  for (int i = 0; i < 30; ++i) {
    std::string n = std::to_string(i);
    std::string imports = i == 17 ? "import boom\n" : "import os\n";
    paths.push_back(write("b/m" + n + ".py", imports + "def walrus" + n + "(x):\n    return x\n"));
  }
  std::vector<std::string> failed;
  tarnel_->index_files(
      "agent", paths,
      [&](std::size_t i, const Json*, std::exception_ptr error) {
        if (error) failed.push_back(paths[i]);
      },
      2);
  EXPECT_EQ(failed, std::vector<std::string>{paths[17]});
  for (int i : {0, 16, 18, 29}) {
    Json found = tarnel_->search_codebase("agent", "walrus" + std::to_string(i), 1);
    ASSERT_EQ(found["results"].size(), 1u) << i;
    EXPECT_EQ(found["results"][0]["file_path"], paths[i]);
  }
  EXPECT_TRUE(tarnel_->search_codebase("agent", "walrus17", 1)["results"].empty());
  backend::Database db(root_);
  EXPECT_NO_THROW(db.exec("INSERT INTO chunk_fts(chunk_fts) VALUES('integrity-check')"));
  backend::Statement st = db.prepare("SELECT count(*) FROM contexts");
  ASSERT_TRUE(st.step());
  EXPECT_EQ(st.column_int(0), 2 + 29);
}

}  // namespace
}  // namespace vantory::testing

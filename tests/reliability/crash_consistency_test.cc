// Writers killed with SIGKILL while they save, over and over: after every kill each file
// still loads and every write the writer had acknowledged is there, intact.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "backend/storage/database.h"
#include "coding/batched_writes.h"
#include "common/json_text.h"
#include "tests/backend/store/backend_fixture.h"
#include "tests/reliability/crash_fixture.h"
#include "tests/reliability/kill_loop.h"

namespace vantory::testing {
namespace {

TEST_F(CrashConsistency, EmbeddingCacheFileSurvivesKillsDuringSaves) {
  const std::string cache_dir = dir_ + "/.embedding_cache";
  std::set<std::int64_t> acknowledged;
  std::int64_t next = 0;
  const int rounds = kill_rounds(25);
  for (int round = 0; round < rounds; ++round) {
    // Every text is embedded and the cache saved before the write is reported. The client
    // exists only in the child: made at its first write.
    std::unique_ptr<LocalServiceClient> client;
    KilledRun run = run_until_killed(
        [&](std::int64_t id) {
          if (!client) client = std::make_unique<LocalServiceClient>(cache_dir);
          client->embed(text_of(id));
          client->save_cache();
        },
        next, std::uniform_int_distribution<int>(1, 6)(random_));
    ASSERT_EQ(run.failure, "") << "round " << round;
    acknowledged.insert(run.acknowledged.begin(), run.acknowledged.end());
    if (!run.acknowledged.empty()) next = run.acknowledged.back() + 1;

    LocalServiceClient reader(cache_dir);
    ASSERT_GE(reader.cache_size(), acknowledged.size()) << "round " << round;
    for (std::int64_t id : acknowledged) {
      PythonVector got = reader.embed(text_of(id));
      ASSERT_EQ(got.tolist(), embedding_of(id).tolist()) << "text " << id << ", round " << round;
    }
    ASSERT_EQ(reader.calls, 0) << "an acknowledged embedding was lost in round " << round;
  }
  RecordProperty("kills", rounds);
  RecordProperty("acknowledged_writes", static_cast<int>(acknowledged.size()));
  RecordProperty("interrupted_saves_left", interrupted_saves(cache_dir));
}

Json chunks_of(std::int64_t id) {
  std::string f = "f" + std::to_string(id);
  return Json::array({chunk(f, "function", "def " + f + "(x):\n    return helper(x)", {"helper"}),
                      chunk("helper", "function", "def helper(x):\n    return x")});
}

std::string file_of(std::int64_t id) { return "src/module" + std::to_string(id) + ".py"; }

TEST_F(CrashConsistency, BackendDatabaseSurvivesKillsDuringIndexing) {
  const std::string root = dir_ + "/.vantory_coding";
  std::set<std::int64_t> acknowledged;
  std::int64_t next = 0;
  const int rounds = kill_rounds(25);
  for (int round = 0; round < rounds; ++round) {
    std::unique_ptr<Components> components;  // the child's, made at its first write
    KilledRun run = run_until_killed(
        [&](std::int64_t id) {
          if (!components) components = std::make_unique<Components>(root);
          components->builder->process_file_chunks("agent", file_of(id), chunks_of(id), "python");
          // Writes that only record use happen between indexing writes as well.
          components->retriever->search("agent", "helper", 3, nullptr);
        },
        next, std::uniform_int_distribution<int>(1, 8)(random_));
    ASSERT_EQ(run.failure, "") << "round " << round;
    acknowledged.insert(run.acknowledged.begin(), run.acknowledged.end());
    if (!run.acknowledged.empty()) next = run.acknowledged.back() + 1;

    {
      backend::Database db(root);
      backend::Statement check = db.prepare("PRAGMA integrity_check");
      ASSERT_TRUE(check.step());
      ASSERT_EQ(check.column_text(0), "ok") << "round " << round;
      ASSERT_NO_THROW(db.exec("INSERT INTO chunk_fts(chunk_fts) VALUES('integrity-check')"));
    }
    Components c(root);
    Json listing = c.store->list_code_mems("agent", 1000000, 0);
    std::set<std::string> listed;
    for (const Json& file : listing["files"]) listed.insert(file["file_path"].get<std::string>());
    for (std::int64_t id : acknowledged) {
      ASSERT_TRUE(listed.count(file_of(id))) << file_of(id) << " lost in round " << round;
    }
    for (const Json& file : listing["files"]) {
      ASSERT_EQ(file["chunk_count"], 2) << file.dump();
    }
  }
  RecordProperty("kills", rounds);
  RecordProperty("acknowledged_writes", static_cast<int>(acknowledged.size()));
}

// Many files per transaction: a kill inside a batch loses that batch alone,
// never a file of a batch that was committed.
TEST_F(CrashConsistency, BackendDatabaseSurvivesKillsDuringBatches) {
  const std::string root = dir_ + "/.vantory_coding";
  constexpr std::int64_t kFilesPerBatch = 6;
  std::set<std::int64_t> acknowledged;
  std::int64_t next = 0;
  const int rounds = kill_rounds(25);
  for (int round = 0; round < rounds; ++round) {
    std::unique_ptr<Components> components;  // the child's, made at its first write
    KilledRun run = run_until_killed(
        [&](std::int64_t batch) {
          if (!components) components = std::make_unique<Components>(root);
          auto& batches = dynamic_cast<BatchedWrites&>(*components->builder);
          batches.begin_batch();
          for (std::int64_t i = 0; i < kFilesPerBatch; ++i) {
            std::int64_t id = batch * kFilesPerBatch + i;
            components->builder->process_file_chunks("agent", file_of(id), chunks_of(id), "python");
          }
          batches.commit_batch();
        },
        next, std::uniform_int_distribution<int>(1, 5)(random_));
    ASSERT_EQ(run.failure, "") << "round " << round;
    acknowledged.insert(run.acknowledged.begin(), run.acknowledged.end());
    if (!run.acknowledged.empty()) next = run.acknowledged.back() + 1;

    {
      backend::Database db(root);
      backend::Statement check = db.prepare("PRAGMA integrity_check");
      ASSERT_TRUE(check.step());
      ASSERT_EQ(check.column_text(0), "ok") << "round " << round;
      ASSERT_NO_THROW(db.exec("INSERT INTO chunk_fts(chunk_fts) VALUES('integrity-check')"));
    }
    Components c(root);
    Json listing = c.store->list_code_mems("agent", 1000000, 0);
    std::set<std::string> listed;
    for (const Json& file : listing["files"]) listed.insert(file["file_path"].get<std::string>());
    EXPECT_EQ(listed.size() % kFilesPerBatch, 0u) << "a batch was stored in part";
    for (std::int64_t batch : acknowledged) {
      for (std::int64_t i = 0; i < kFilesPerBatch; ++i) {
        ASSERT_TRUE(listed.count(file_of(batch * kFilesPerBatch + i))) << "round " << round;
      }
    }
  }
  RecordProperty("kills", rounds);
}

}  // namespace
}  // namespace vantory::testing

// index_files with a builder that stores in batches: where the batches are cut, and what a
// file that fails inside one leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "coding/batched_writes.h"
#include "common/error.h"
#include "tests/coding/test_support.h"

namespace vantory {
namespace {

using ::testing::_;
using ::testing::Invoke;
using ::testing::Return;
using namespace vantory::testing;

// Keeps the files of each committed batch; a failing file's call throws and stores nothing.
class BatchingBuilder : public CodingMemoryBuilder, public BatchedWrites {
 public:
  Json process_file_chunks(const std::string&, const std::string& file_path, const Json&,
                           const std::string&) override {
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    if (file_path == failing) throw RuntimeError("disk full");
    (open ? pending : unbatched).push_back(file_path);
    return {{"status", "indexed"}};
  }
  void begin_batch() override { open = true; }
  void commit_batch() override {
    committed.push_back(std::move(pending));
    pending.clear();
    open = false;
  }
  void abort_batch() noexcept override {
    pending.clear();
    open = false;
  }
  bool batch_full() const override { return full_after > 0 && pending.size() >= full_after; }

  std::string failing;
  std::size_t full_after = 0;  // the batch asks for its commit after this many files
  std::chrono::milliseconds delay{0};
  bool open = false;
  std::vector<std::string> pending, unbatched;
  std::vector<std::vector<std::string>> committed;
};

class BatchingProvider : public FakeProvider {
 public:
  std::unique_ptr<CodingMemoryBuilder> make_builder(CodingContextStore&, CodingAmbrel&) override {
    auto made = std::make_unique<BatchingBuilder>();
    batching = made.get();
    return made;
  }
  BatchingBuilder* batching = nullptr;
};

class IndexFilesTest : public ::testing::Test {
 protected:
  IndexFilesTest() {
    EXPECT_CALL(*provider->chunking, detect_language(_)).WillRepeatedly(Return("python"));
    EXPECT_CALL(*provider->chunking, get_chunker("python")).WillRepeatedly(Invoke([](auto&) {
      return std::unique_ptr<Chunker>(std::make_unique<RecordingChunker>(
          std::vector<Json>{Json{{"name", "f"}, {"content", "def f(): pass"}}}, nullptr,
          nullptr));
    }));
  }

  std::vector<std::string> files(int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
      paths.push_back(dir.write("f" + std::to_string(i) + ".py", "def f(): pass\n"));
    }
    return paths;
  }

  // Indexes `paths`: per file, its answer's status or the failure's text.
  std::vector<std::string> index(const std::vector<std::string>& paths) {
    std::vector<std::string> outcome(paths.size());
    tarnel.index_files("a", paths, [&](std::size_t i, const Json* answer, std::exception_ptr e) {
      if (e) {
        try {
          std::rethrow_exception(e);
        } catch (const std::exception& error) {
          outcome[i] = error.what();
        }
      } else {
        outcome[i] = (*answer)["status"].get<std::string>();
      }
    });
    return outcome;
  }

  std::shared_ptr<BatchingProvider> provider = std::make_shared<BatchingProvider>();
  Tarnel tarnel{"./.vantory_coding", provider};
  BatchingBuilder& builder = *provider->batching;
  ScratchDir dir;
};

TEST_F(IndexFilesTest, BatchesHoldAtMost512FilesAndAFailureLeavesTheOthersStored) {
  std::vector<std::string> paths = files(1040);
  builder.failing = paths[600];
  std::vector<std::string> outcome = index(paths);
  // A batch is cut after 512 stored files (or sooner, after a second, on a slow machine);
  // the failing one is in none.
  ASSERT_GE(builder.committed.size(), 3u);
  std::size_t stored = 0;
  for (const auto& batch : builder.committed) {
    EXPECT_LE(batch.size(), 512u);
    EXPECT_EQ(std::count(batch.begin(), batch.end(), paths[600]), 0);
    stored += batch.size();
  }
  EXPECT_EQ(stored, 1039u);
  if (builder.committed[0].size() == 512u) {
    EXPECT_EQ(builder.committed[1].front(), paths[512]);
  }
  EXPECT_TRUE(builder.unbatched.empty());
  EXPECT_EQ(outcome[600], "disk full");
  EXPECT_EQ(std::count(outcome.begin(), outcome.end(), "indexed"), 1039);
}

TEST_F(IndexFilesTest, ABatchIsCommittedWhenItsBuilderHoldsEnough) {
  builder.full_after = 100;
  std::vector<std::string> outcome = index(files(250));
  EXPECT_EQ(std::count(outcome.begin(), outcome.end(), "indexed"), 250);
  ASSERT_EQ(builder.committed.size(), 3u);
  EXPECT_EQ(builder.committed[0].size(), 100u);
  EXPECT_EQ(builder.committed[1].size(), 100u);
}

TEST_F(IndexFilesTest, ABatchOpenForASecondIsCommitted) {
  builder.delay = std::chrono::milliseconds(120);
  std::vector<std::string> paths = files(12);
  index(paths);
  ASSERT_GE(builder.committed.size(), 2u);
  // The first batch closes with the first file stored after it has been open a second.
  EXPECT_GE(builder.committed[0].size(), 3u);
  EXPECT_LE(builder.committed[0].size(), 9u);
  std::size_t stored = 0;
  for (const auto& batch : builder.committed) stored += batch.size();
  EXPECT_EQ(stored, paths.size());
}

// Changed files are stored in batches, and the vectors of their removed chunks are deleted
// once the batch holding them is committed, outside it.
TEST_F(IndexFilesTest, DeltaUpdatesDeleteRemovedVectorsAfterTheirBatch) {
  std::vector<std::string> paths = files(3);
  Json contexts = Json::array();
  for (const std::string& path : paths) {
    contexts.push_back({{"file_path", path},
                        {"chunks", Json::array({{{"hash_id", "gone"}}, {{"hash_id", "gone"}}})}});
  }
  EXPECT_CALL(*provider->store, _load_agent_data("a", "file_contexts"))
      .WillRepeatedly(Invoke([&](auto&, auto&) { return snapshot(contexts); }));
  int deletes = 0;
  EXPECT_CALL(*provider->ambrel, delete_vectors("a", Json::array({"gone"})))
      .Times(3)
      .WillRepeatedly(Invoke([&](auto&, auto&) {
        EXPECT_FALSE(builder.open);
        EXPECT_EQ(builder.committed.size(), 1u);
        ++deletes;
      }));
  std::vector<Json> answers(paths.size());
  tarnel.delta_update_files("a", paths, [&](std::size_t i, const Json* answer, auto error) {
    ASSERT_FALSE(error);
    EXPECT_EQ(deletes, static_cast<int>(i) + 1);  // told once its vectors are gone
    answers[i] = *answer;
  });
  EXPECT_EQ(builder.committed, std::vector<std::vector<std::string>>{paths});
  EXPECT_EQ(answers[2]["chunks_added"], 1);
  EXPECT_EQ(answers[2]["chunks_removed"], 1);
}

}  // namespace
}  // namespace vantory

// GoogleMock fakes of the outside code-memory components, and a provider that hands them to a
// Tarnel while the test keeps pointers to set expectations and inspect calls.
#pragma once

#include <gmock/gmock.h>

#include <memory>
#include <string>
#include <vector>

#include "coding/component_provider.h"
#include "coding/tarnel.h"

namespace vantory::testing {

class MockStore : public CodingContextStore {
 public:
  MOCK_METHOD(Json, retrieve_file_context, (const std::string&, const std::string&), (override));
  MOCK_METHOD(std::shared_ptr<const Json>, _load_agent_data, (const std::string&, const std::string&),
              (override));
  MOCK_METHOD(void, _save_agent_data, (const std::string&, const std::string&, const Json&),
              (override));
  MOCK_METHOD(void, _save_global_index, (), (override));
  MOCK_METHOD(void, drop_global_index_entries, (const std::string&), (override));
  // The index a store keeps beside the calls: Tarnel must leave it alone.
  Json _global_index = Json::object();
  MOCK_METHOD(bool, delete_code_mem, (const std::string&, const std::string&), (override));
  MOCK_METHOD(Json, list_code_mems, (const std::string&, std::int64_t, std::int64_t), (override));
  MOCK_METHOD(Json, get_token_savings_report, (const std::string&), (override));
  MOCK_METHOD(Json, get_detailed_cache_stats, (const std::string&), (override));
  MOCK_METHOD(Json, get_usage_report, (const std::string&), (override));
  MOCK_METHOD(Json, invalidate_with_vectors, (const std::string&, const std::string&), (override));
  MOCK_METHOD(Json, invalidate_stale, (const std::string&), (override));
  MOCK_METHOD(Json, get_file_imports, (const std::string&, const std::string&), (override));
  MOCK_METHOD(Json, find_importers, (const std::string&, const std::string&), (override));
};

// `value` as a store hands it out from _load_agent_data.
inline std::shared_ptr<const Json> snapshot(Json value) {
  return std::make_shared<const Json>(std::move(value));
}

class MockAmbrel : public CodingAmbrel {
 public:
  MOCK_METHOD(void, delete_vectors, (const std::string&, const Json&), (override));
};

class MockBuilder : public CodingMemoryBuilder {
 public:
  MOCK_METHOD(Json, process_file_chunks,
              (const std::string&, const std::string&, const Json&, const std::string&),
              (override));
};

class MockRetriever : public CodingHybridRetriever {
 public:
  MOCK_METHOD(Json, search, (const std::string&, const std::string&, std::int64_t, const Json&),
              (override));
};

class MockFileSystem : public CodingFileSystem {
 public:
  MOCK_METHOD(Json, list_dir, (const std::string&, const std::string&), (override));
  MOCK_METHOD(Json, commit_snapshot, (const std::string&, const std::string&), (override));
  MOCK_METHOD(Json, get_diff, (const std::string&, const std::string&, const std::string&),
              (override));
};

// A code unit whose to_dict answers a fixed record (or throws, when `fail` is set).
class FakeUnit : public CodeUnit {
 public:
  explicit FakeUnit(Json record, bool fail = false) : record_(std::move(record)), fail_(fail) {}
  Json to_dict() const override {
    if (fail_) throw std::runtime_error("unit conversion failed");
    return record_;
  }

 private:
  Json record_;
  bool fail_;
};

class MockChunker : public Chunker {
 public:
  MOCK_METHOD(std::vector<std::unique_ptr<CodeUnit>>, chunk_file,
              (const std::string&, const std::string&), (override));
};

class MockChunking : public ChunkingComponent {
 public:
  MOCK_METHOD(std::string, detect_language, (const std::string&), (override));
  MOCK_METHOD(std::unique_ptr<Chunker>, get_chunker, (const std::string&), (override));
};

// Hands out one instance of each mock. Raw pointers stay valid while the Tarnel lives.
class FakeProvider : public ComponentProvider {
 public:
  FakeProvider()
      : store_(std::make_unique<::testing::StrictMock<MockStore>>()),
        ambrel_(std::make_unique<::testing::StrictMock<MockAmbrel>>()),
        builder_(std::make_unique<::testing::StrictMock<MockBuilder>>()),
        retriever_(std::make_unique<::testing::StrictMock<MockRetriever>>()),
        filesystem_(std::make_unique<::testing::StrictMock<MockFileSystem>>()),
        chunking_(std::make_shared<::testing::StrictMock<MockChunking>>()) {
    store = store_.get();
    ambrel = ambrel_.get();
    builder = builder_.get();
    retriever = retriever_.get();
    filesystem = filesystem_.get();
    chunking = chunking_.get();
  }

  std::unique_ptr<CodingContextStore> make_store(const std::string& root_path) override {
    construction_order.push_back("store:" + root_path);
    return std::move(store_);
  }
  std::unique_ptr<CodingAmbrel> make_ambrel(const std::string& root_path) override {
    construction_order.push_back("ambrel:" + root_path);
    return std::move(ambrel_);
  }
  std::unique_ptr<CodingMemoryBuilder> make_builder(CodingContextStore&, CodingAmbrel&) override {
    construction_order.push_back("builder");
    return std::move(builder_);
  }
  std::unique_ptr<CodingHybridRetriever> make_retriever(CodingContextStore&,
                                                        CodingAmbrel&) override {
    construction_order.push_back("retriever");
    return std::move(retriever_);
  }
  std::unique_ptr<CodingFileSystem> make_filesystem(CodingContextStore&) override {
    construction_order.push_back("filesystem");
    return std::move(filesystem_);
  }
  std::shared_ptr<ChunkingComponent> bind_chunking() override {
    ++chunking_binds;
    if (fail_chunking_bind) throw std::runtime_error("No module named 'chunking_engine'");
    return chunking_;
  }

  MockStore* store;
  MockAmbrel* ambrel;
  MockBuilder* builder;
  MockRetriever* retriever;
  MockFileSystem* filesystem;
  MockChunking* chunking;
  std::vector<std::string> construction_order;
  int chunking_binds = 0;
  bool fail_chunking_bind = false;

 private:
  std::unique_ptr<MockStore> store_;
  std::unique_ptr<MockAmbrel> ambrel_;
  std::unique_ptr<MockBuilder> builder_;
  std::unique_ptr<MockRetriever> retriever_;
  std::unique_ptr<MockFileSystem> filesystem_;
  std::shared_ptr<MockChunking> chunking_;
};

// A Tarnel over fresh strict mocks; `mocks` keeps the pointers for expectations.
struct TarnelWithFakes {
  std::shared_ptr<FakeProvider> mocks = std::make_shared<FakeProvider>();
  Tarnel tarnel{"./.vantory_coding", mocks};
};

}  // namespace vantory::testing

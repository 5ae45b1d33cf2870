// A stand-in for the backend library, loaded by the default-provider tests through dlopen.
// Its components answer just enough for a test to tell that they came from here.
#include <atomic>

#include "coding/component_provider.h"

namespace {

std::atomic<int> live_providers{0};

class Store : public vantory::CodingContextStore {
 public:
  explicit Store(std::string root) : root_(std::move(root)) {}
  vantory::Json retrieve_file_context(const std::string&, const std::string&) override {
    return vantory::Json{{"status", "cache_miss"}};
  }
  vantory::Json _load_agent_data(const std::string&, const std::string&) override {
    return vantory::Json::array();
  }
  void _save_agent_data(const std::string&, const std::string&, const vantory::Json&) override {}
  void _save_global_index() override {}
  void _drop_global_index_entries(const std::string&) override {}
  bool delete_code_mem(const std::string&, const std::string&) override { return false; }
  vantory::Json list_code_mems(const std::string&, std::int64_t, std::int64_t) override {
    return vantory::Json{{"root", root_}};
  }
  vantory::Json get_token_savings_report(const std::string&) override { return nullptr; }
  vantory::Json get_detailed_cache_stats(const std::string&) override { return nullptr; }
  vantory::Json get_usage_report(const std::string&) override { return nullptr; }
  vantory::Json invalidate_with_vectors(const std::string&, const std::string&) override {
    return vantory::Json{{"removed", false}};
  }
  vantory::Json invalidate_stale(const std::string&) override { return nullptr; }
  vantory::Json get_file_imports(const std::string&, const std::string&) override {
    return vantory::Json::array();
  }
  vantory::Json find_importers(const std::string&, const std::string&) override {
    return vantory::Json::array();
  }

 private:
  std::string root_;
};

class Ambrel : public vantory::CodingAmbrel {
 public:
  void delete_vectors(const std::string&, const vantory::Json&) override {}
};

class Builder : public vantory::CodingMemoryBuilder {
 public:
  vantory::Json process_file_chunks(const std::string&, const std::string&,
                                    const vantory::Json& chunks, const std::string&) override {
    return vantory::Json{{"stored", chunks.size()}};
  }
};

class Retriever : public vantory::CodingHybridRetriever {
 public:
  vantory::Json search(const std::string&, const std::string&, std::int64_t,
                       const vantory::Json&) override {
    return vantory::Json::object();
  }
};

class FileSystem : public vantory::CodingFileSystem {
 public:
  vantory::Json list_dir(const std::string&, const std::string&) override {
    return vantory::Json{"from-test-backend"};
  }
  vantory::Json commit_snapshot(const std::string&, const std::string&) override {
    return nullptr;
  }
  vantory::Json get_diff(const std::string&, const std::string&, const std::string&) override {
    return nullptr;
  }
};

class Provider : public vantory::ComponentProvider {
 public:
  Provider() { ++live_providers; }
  ~Provider() override { --live_providers; }
  std::unique_ptr<vantory::CodingContextStore> make_store(const std::string& root) override {
    return std::make_unique<Store>(root);
  }
  std::unique_ptr<vantory::CodingAmbrel> make_ambrel(const std::string&) override {
    return std::make_unique<Ambrel>();
  }
  std::unique_ptr<vantory::CodingMemoryBuilder> make_builder(vantory::CodingContextStore&,
                                                             vantory::CodingAmbrel&) override {
    return std::make_unique<Builder>();
  }
  std::unique_ptr<vantory::CodingHybridRetriever> make_retriever(
      vantory::CodingContextStore&, vantory::CodingAmbrel&) override {
    return std::make_unique<Retriever>();
  }
  std::unique_ptr<vantory::CodingFileSystem> make_filesystem(
      vantory::CodingContextStore&) override {
    return std::make_unique<FileSystem>();
  }
  std::shared_ptr<vantory::ChunkingComponent> bind_chunking() override {
    throw std::runtime_error("the test backend has no chunking");
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) vantory::ComponentProvider*
vantory_backend_component_provider() {
  return new Provider();
}

// How many providers of this library are alive, so a test can see that they are released.
extern "C" __attribute__((visibility("default"))) int vantory_test_backend_live_providers() {
  return live_providers.load();
}

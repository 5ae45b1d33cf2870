// A stand-in for the backend library, loaded by the default-provider tests through dlopen.
// Its components answer just enough for a test to tell that they came from here.
#include <atomic>

#include "coding/component_provider.h"

namespace vantory {
namespace {

std::atomic<int> live_providers{0};

struct Store : CodingContextStore {
  explicit Store(std::string root) : root(std::move(root)) {}
  Json retrieve_file_context(const std::string&, const std::string&) override { return {}; }
  std::shared_ptr<const Json> _load_agent_data(const std::string&, const std::string&) override {
    return std::make_shared<const Json>();
  }
  void _save_agent_data(const std::string&, const std::string&, const Json&) override {}
  void _save_global_index() override {}
  void drop_global_index_entries(const std::string&) override {}
  bool delete_code_mem(const std::string&, const std::string&) override { return false; }
  Json list_code_mems(const std::string&, std::int64_t, std::int64_t) override {
    return Json{{"root", root}};
  }
  Json get_token_savings_report(const std::string&) override { return {}; }
  Json get_detailed_cache_stats(const std::string&) override { return {}; }
  Json get_usage_report(const std::string&) override { return {}; }
  Json invalidate_with_vectors(const std::string&, const std::string&) override { return {}; }
  Json invalidate_stale(const std::string&) override { return {}; }
  Json get_file_imports(const std::string&, const std::string&) override { return {}; }
  Json find_importers(const std::string&, const std::string&) override { return {}; }
  std::string root;
};

struct Ambrel : CodingAmbrel {
  void delete_vectors(const std::string&, const Json&) override {}
};

struct Builder : CodingMemoryBuilder {
  Json process_file_chunks(const std::string&, const std::string&, const Json&,
                           const std::string&) override {
    return {};
  }
};

struct Retriever : CodingHybridRetriever {
  Json search(const std::string&, const std::string&, std::int64_t, const Json&) override {
    return {};
  }
};

struct FileSystem : CodingFileSystem {
  Json list_dir(const std::string&, const std::string&) override {
    return Json{"from-test-backend"};
  }
  Json commit_snapshot(const std::string&, const std::string&) override { return {}; }
  Json get_diff(const std::string&, const std::string&, const std::string&) override { return {}; }
};

struct Provider : ComponentProvider {
  Provider() { ++live_providers; }
  ~Provider() override { --live_providers; }
  std::unique_ptr<CodingContextStore> make_store(const std::string& root) override {
    return std::make_unique<Store>(root);
  }
  std::unique_ptr<CodingAmbrel> make_ambrel(const std::string&) override {
    return std::make_unique<Ambrel>();
  }
  std::unique_ptr<CodingMemoryBuilder> make_builder(CodingContextStore&, CodingAmbrel&) override {
    return std::make_unique<Builder>();
  }
  std::unique_ptr<CodingHybridRetriever> make_retriever(CodingContextStore&,
                                                        CodingAmbrel&) override {
    return std::make_unique<Retriever>();
  }
  std::unique_ptr<CodingFileSystem> make_filesystem(CodingContextStore&) override {
    return std::make_unique<FileSystem>();
  }
  std::shared_ptr<ChunkingComponent> bind_chunking() override {
    throw std::runtime_error("the test backend has no chunking");
  }
};

}  // namespace
}  // namespace vantory

extern "C" __attribute__((visibility("default"))) vantory::ComponentProvider*
vantory_backend_component_provider() {
  return new vantory::Provider();
}

// How many providers of this library are alive, so a test can see that they are released.
extern "C" __attribute__((visibility("default"))) int vantory_test_backend_live_providers() {
  return vantory::live_providers.load();
}

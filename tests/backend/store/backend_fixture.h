// A temporary root directory with the backend's five components over it, and helpers that
// make chunk records and files.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "backend/store/context_store.h"
#include "coding/component_provider.h"
#include "common/json.h"

extern "C" vantory::ComponentProvider* vantory_backend_component_provider();

namespace vantory::testing {

// The five components over one root, built in Tarnel's order.
struct Components {
  explicit Components(const std::string& root)
      : provider(vantory_backend_component_provider()),
        store(provider->make_store(root)),
        ambrel(provider->make_ambrel(root)),
        builder(provider->make_builder(*store, *ambrel)),
        retriever(provider->make_retriever(*store, *ambrel)),
        filesystem(provider->make_filesystem(*store)) {}
  std::unique_ptr<ComponentProvider> provider;
  std::unique_ptr<CodingContextStore> store;
  std::unique_ptr<CodingAmbrel> ambrel;
  std::unique_ptr<CodingMemoryBuilder> builder;
  std::unique_ptr<CodingHybridRetriever> retriever;
  std::unique_ptr<CodingFileSystem> filesystem;
};

class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vantory-backend-XXXXXX";
    dir_ = mkdtemp(tmpl);
    root_ = dir_ + "/.vantory_coding";
    open();
  }
  void TearDown() override {
    c_.reset();
    std::filesystem::remove_all(dir_);
  }
  // (Re)opens the components over the root, as a new process would.
  void open() {
    c_.reset();
    c_ = std::make_unique<Components>(root_);
  }
  // Writes `text` to `name` below the temporary directory; answers the full path.
  std::string write(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  Json index(const std::string& path, const Json& chunks, const std::string& language = "python",
             const std::string& agent = "agent") {
    return c_->builder->process_file_chunks(agent, path, chunks, language);
  }
  CodingContextStore& store() { return *c_->store; }
  // The same store as the backend's own class, for what the interface does not show.
  backend::ContextStore& context_store() {
    return dynamic_cast<backend::ContextStore&>(*c_->store);
  }
  // The agent's stored contexts, as the store hands them out.
  const Json& contexts(const std::string& agent = "agent") {
    loaded_ = store()._load_agent_data(agent, "file_contexts");
    return *loaded_;
  }

  std::string dir_;
  std::string root_;
  std::unique_ptr<Components> c_;
  std::shared_ptr<const Json> loaded_;
};

// A chunk record; `calls` are call targets.
inline Json chunk(const std::string& name, const std::string& type, const std::string& content,
                  std::initializer_list<const char*> calls = {}) {
  Json record = {{"name", name}, {"type", type}, {"content", content}, {"start_line", 1}};
  Json call_records = Json::array();
  for (const char* target : calls) call_records.push_back({{"target", target}, {"line", 1}});
  record["calls"] = std::move(call_records);
  return record;
}

// The strings of a JSON array (or of one member of each of its objects).
inline std::vector<std::string> strings(const Json& array, const char* member = nullptr) {
  std::vector<std::string> out;
  for (const Json& item : array) out.push_back(member ? item.at(member) : item);
  return out;
}

}  // namespace vantory::testing

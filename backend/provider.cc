// The entry point of libvantory_backend: Tarnel's default provider loads this library and
// asks it for the components.
#include "backend/builder/memory_builder.h"
#include "backend/chunking/chunking_engine.h"
#include "backend/filesystem/virtual_file_system.h"
#include "backend/retriever/hybrid_retriever.h"
#include "backend/store/cached_chunking.h"
#include "backend/store/chunk_cache.h"
#include "backend/store/context_store.h"
#include "backend/vectors/vector_store.h"
#include "coding/component_provider.h"

namespace vantory::backend {

namespace {

// The components it makes share one chunk cache: the stores are its sources, the builders
// mark the chunks they store, and the bound chunking component answers from it.
class BackendProvider : public ComponentProvider {
 public:
  std::unique_ptr<CodingContextStore> make_store(const std::string& root_path) override {
    return std::make_unique<ContextStore>(root_path, chunk_cache_);
  }
  std::unique_ptr<CodingAmbrel> make_ambrel(const std::string& root_path) override {
    return std::make_unique<VectorStore>(root_path);
  }
  std::unique_ptr<CodingMemoryBuilder> make_builder(CodingContextStore& store,
                                                    CodingAmbrel& ambrel) override {
    return std::make_unique<MemoryBuilder>(store, ambrel, chunk_cache_);
  }
  std::unique_ptr<CodingHybridRetriever> make_retriever(CodingContextStore& store,
                                                        CodingAmbrel& ambrel) override {
    return std::make_unique<HybridRetriever>(store, ambrel);
  }
  std::unique_ptr<CodingFileSystem> make_filesystem(CodingContextStore& store) override {
    return std::make_unique<VirtualFileSystem>(store);
  }
  std::shared_ptr<ChunkingComponent> bind_chunking() override {
    return make_cached_chunking(make_chunking_component(), chunk_cache_);
  }

 private:
  std::shared_ptr<ChunkCache> chunk_cache_ = std::make_shared<ChunkCache>();
};

}  // namespace

}  // namespace vantory::backend

// A new provider, owned by the caller.
extern "C" __attribute__((visibility("default"))) vantory::ComponentProvider*
vantory_backend_component_provider() {
  return new vantory::backend::BackendProvider();
}

// The entry point of libvantory_backend: Tarnel's default provider loads this library and
// asks it for the components.
#include <unordered_map>

#include "backend/builder/memory_builder.h"
#include "backend/chunking/chunking_engine.h"
#include "backend/filesystem/virtual_file_system.h"
#include "backend/retriever/hybrid_retriever.h"
#include "backend/store/cached_chunking.h"
#include "backend/store/chunk_cache.h"
#include "backend/store/context_store.h"
#include "backend/vectors/vector_store.h"
#include "coding/component_provider.h"
#include "common/error.h"
#include "common/mutex.h"

namespace vantory::backend {

namespace {

// The components a Tarnel asks for are adapters over one core per data folder:
// the store's core, made with the store, is the one its ambrel (of the same
// root, asked for next), builder, retriever and file-system view share. All
// cores share one chunk cache: the stores are its sources, the builders mark
// the chunks they store, and the bound chunking component answers from it.
class BackendProvider : public ComponentProvider {
 public:
  std::unique_ptr<CodingContextStore> make_store(const std::string& root_path) override {
    auto core = std::make_shared<BackendCore>(root_path, chunk_cache_);
    auto store = std::make_unique<ContextStore>(core);
    MutexLock lock(mutex_);
    std::erase_if(cores_, [](const auto& entry) { return entry.second.expired(); });
    cores_[store.get()] = core;
    latest_[root_path] = core;
    return store;
  }
  std::unique_ptr<CodingAmbrel> make_ambrel(const std::string& root_path) override {
    MutexLock lock(mutex_);
    std::shared_ptr<BackendCore> core = latest_[root_path].lock();
    if (!core) core = std::make_shared<BackendCore>(root_path, chunk_cache_);
    auto ambrel = std::make_unique<VectorStore>(core);
    cores_[ambrel.get()] = core;
    return ambrel;
  }
  std::unique_ptr<CodingMemoryBuilder> make_builder(CodingContextStore& store,
                                                    CodingAmbrel& ambrel) override {
    return std::make_unique<MemoryBuilder>(core_of(store, ambrel, "the memory builder"));
  }
  std::unique_ptr<CodingHybridRetriever> make_retriever(CodingContextStore& store,
                                                        CodingAmbrel& ambrel) override {
    return std::make_unique<HybridRetriever>(core_of(store, ambrel, "the retriever"));
  }
  std::unique_ptr<CodingFileSystem> make_filesystem(CodingContextStore& store) override {
    return std::make_unique<VirtualFileSystem>(core_of(&store, "the file-system view"));
  }
  std::shared_ptr<ChunkingComponent> bind_chunking() override {
    return make_cached_chunking(make_chunking_component(), chunk_cache_);
  }

 private:
  // The core of a component this provider made. TypeError naming `user`
  // otherwise.
  std::shared_ptr<BackendCore> core_of(const void* component, const char* user) {
    MutexLock lock(mutex_);
    auto it = cores_.find(component);
    std::shared_ptr<BackendCore> core = it == cores_.end() ? nullptr : it->second.lock();
    if (!core) throw TypeError(std::string(user) + " needs components made by this backend");
    return core;
  }
  // The store's core; the ambrel must be this provider's too. Both are one core
  // when made in Tarnel's order; otherwise the ambrel's connection only deletes
  // vectors.
  std::shared_ptr<BackendCore> core_of(CodingContextStore& store, CodingAmbrel& ambrel,
                                       const char* user) {
    core_of(&ambrel, user);
    return core_of(&store, user);
  }

  std::shared_ptr<ChunkCache> chunk_cache_ = std::make_shared<ChunkCache>();
  // Keyed by the components' addresses: a component made later at the address
  // of one destroyed replaces its entry.
  // One provider serves every Tarnel of a process: `mutex_` guards the two maps, held only
  // to look up or record a core.
  Mutex mutex_;
  std::unordered_map<const void*, std::weak_ptr<BackendCore>> cores_ GUARDED_BY(mutex_);
  std::unordered_map<std::string, std::weak_ptr<BackendCore>> latest_ GUARDED_BY(mutex_);
};

}  // namespace

}  // namespace vantory::backend

// A new provider, owned by the caller.
extern "C" __attribute__((visibility("default"))) vantory::ComponentProvider*
vantory_backend_component_provider() {
  return new vantory::backend::BackendProvider();
}

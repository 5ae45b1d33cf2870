// ComponentProvider: how a Tarnel obtains the outside code-memory components.
//
// Tarnel's constructor asks for the five owned components in this order: store, ambrel,
// builder, retriever, filesystem. The chunking component is bound anew at every call that
// needs it, so a provider can refuse it (and a test can make the binding fail).
#pragma once

#include <memory>
#include <string>

#include "coding/chunking.h"
#include "coding/coding_ambrel.h"
#include "coding/coding_context_store.h"
#include "coding/coding_file_system.h"
#include "coding/coding_hybrid_retriever.h"
#include "coding/coding_memory_builder.h"

namespace vantory {

class ComponentProvider {
 public:
  virtual ~ComponentProvider() = default;
  virtual std::unique_ptr<CodingContextStore> make_store(const std::string& root_path) = 0;
  virtual std::unique_ptr<CodingAmbrel> make_ambrel(const std::string& root_path) = 0;
  virtual std::unique_ptr<CodingMemoryBuilder> make_builder(CodingContextStore& store,
                                                            CodingAmbrel& ambrel) = 0;
  virtual std::unique_ptr<CodingHybridRetriever> make_retriever(CodingContextStore& store,
                                                                CodingAmbrel& ambrel) = 0;
  virtual std::unique_ptr<CodingFileSystem> make_filesystem(CodingContextStore& store) = 0;
  // Binds the chunking component. Throws when it cannot be bound.
  virtual std::shared_ptr<ChunkingComponent> bind_chunking() = 0;
};

// The project's own backend (SQLite store, vectors, builder, retriever, file-system view,
// tree-sitter chunking), loaded at run time: the library named by the environment variable
// VANTORY_BACKEND_LIBRARY when it is set, otherwise libvantory_backend.so beside libtarnel,
// otherwise libvantory_backend.so on the loader's search path. The library stays loaded while
// the provider (and so any Tarnel built over it) lives. Throws RuntimeError with the loader's
// reason when the library cannot be loaded or lacks its entry point.
std::shared_ptr<ComponentProvider> default_component_provider();

}  // namespace vantory

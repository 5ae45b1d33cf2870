// The host's own memory entries: what an agent asked to remember, kept per agent as a JSON
// array in memories.json beside the agent's vectors (<data root>/agents/<safe id>/), so the
// store's searches can be handed the entries they rank.
//
// The file is replaced atomically on every change, and changes are serialised across
// processes by an advisory lock on memories.lock in the same folder: a command line and a
// server that change one agent's entries at once lose nothing.
//
// Thread safety: each operation may be called from any thread.
#pragma once

#include <functional>
#include <string>

#include "common/json.h"

namespace vantory::host {

class MemoryEntryFile {
 public:
  // The entries of the agent whose folder is `agent_directory`.
  explicit MemoryEntryFile(std::string agent_directory);

  // The entries, in the order they were added; [] when there is no file. Throws ValueError
  // when the file is not a JSON array of objects (it is left as it is: a damaged file is
  // never overwritten), OSError when it cannot be read.
  Json read() const;

  // Reads the entries, lets `change` change them and writes them back if it answers true, all
  // under the lock. Creates the folder when needed. A damaged file is never saved over: it is
  // kept beside as memories.json.damaged-<UTC time> (said on standard error) and `change`
  // starts from no entries. Throws OSError when the file cannot be read, when the folder, the
  // lock or the file cannot be written, and what `change` throws (nothing is written then).
  void update(const std::function<bool(Json& entries)>& change);

  const std::string& path() const { return path_; }

 private:
  std::string directory_;
  std::string path_;
};

}  // namespace vantory::host

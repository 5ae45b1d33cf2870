// VirtualFileSystem: the backend's CodingFileSystem. It shows an agent's indexed files as a
// tree organised by language: the root holds one folder per language, and below each the
// indexed paths of that language as folders and files (a leading "/" of absolute paths is
// dropped; a chain of folders that hold nothing but one folder is shown as one entry, so
// /usr/lib/python3.11/json/decoder.py shows under python as usr/lib/python3.11/json).
// Snapshots and their comparison are delegated to snapshots.h.
//
// It is an adapter over its BackendCore.
//
// Thread safety: as its core.
#pragma once

#include <memory>
#include <string>

#include "backend/core/backend_core.h"
#include "coding/coding_file_system.h"

namespace vantory::backend {

class VirtualFileSystem : public CodingFileSystem {
 public:
  explicit VirtualFileSystem(std::shared_ptr<BackendCore> core) : core_(std::move(core)) {}

  // The entries below `path` ("" or "/" for the root), folders first, each group by name:
  // folders {"name", "type": "directory", "path", "file_count"}; files {"name", "type":
  // "file", "path", "file_path" (as stored), "language", "chunk_count"}. `path` is the
  // "path" of a folder entry; a file's "path" lists that file alone; an unknown path, [].
  Json list_dir(const std::string& agent_id, const std::string& path) override;

  // The new snapshot's identifier (see snapshots.h).
  Json commit_snapshot(const std::string& agent_id, const std::string& message) override;

  // The diff between two snapshots (identifiers or unique prefixes of at least 7
  // characters); null when either is unknown.
  Json get_diff(const std::string& agent_id, const std::string& sha_a,
                const std::string& sha_b) override;

 private:
  std::shared_ptr<BackendCore> core_;
};

}  // namespace vantory::backend

// Snapshots of an agent's code memory: content-addressed, immutable records of which files
// were indexed with which context hash. Each snapshot names its parent (the agent's previous
// snapshot), so an agent's snapshots form a DAG; its identifier is the SHA-256 of the parent,
// the message and the manifest, so equal histories give equal identifiers.
//
// Thread safety: as the Database passed in.
#pragma once

#include <optional>
#include <string>

#include "common/json.h"

namespace vantory::backend {

class Database;

// Freezes the agent's current contexts under `message` and makes the snapshot the agent's
// head. Answers its identifier (64 hex digits).
std::string commit_snapshot(Database& db, const std::string& agent_id, const std::string& message);

// The full identifier of the agent's snapshot named by `id`: the identifier itself or a
// unique prefix of at least kMinSnapshotPrefix characters; nothing when there is no such
// snapshot (or the prefix is ambiguous).
std::optional<std::string> resolve_snapshot(Database& db, const std::string& agent_id,
                                            const std::string& id);
inline constexpr std::size_t kMinSnapshotPrefix = 7;

// {"from", "to", "added": [paths], "removed": [paths], "modified": [paths], "unchanged":
//  count, "summary": text} between the snapshots `from` and `to`; null when either is unknown.
Json diff_snapshots(Database& db, const std::string& agent_id, const std::string& from,
                    const std::string& to);

}  // namespace vantory::backend

// Which agent id owns an agent's folder. The store names an agent's folder after its id with
// every character other than letters, digits, "-" and "_" made "_" (stored data relies on
// those names), so different ids can meet in one folder: "a b", "a/b" and "a:b" all give a_b.
// The host lets only one id use a folder: the first id to use it is recorded in the folder
// (the file .agent-id holds it, byte for byte), and any other id is refused. A folder made by
// an older version, without the record, goes to the first id that uses it now.
//
// Thread safety: claim_agent_folder may be called from any thread and any process; two ids
// that race for a new folder are decided by the file system (the record is created once).
#pragma once

#include <string>

#include "memory/ambrel/local_ambrel.h"

namespace vantory::host {

// The longest folder name the file systems in use accept, in bytes.
inline constexpr std::size_t kMaxAgentFolderName = 255;

// The folder of `agent_id` in `store`, once the id is known to own it: recorded as its owner
// when the folder exists without a record. A folder that does not exist yet is claimed by
// the first call after it was made. Throws ValueError for the empty id, an id whose folder
// name would be longer than kMaxAgentFolderName bytes, and an id whose folder another id
// owns (the message names both ids); OSError when the record cannot be read or written.
std::string claim_agent_folder(const LocalAmbrel& store, const std::string& agent_id);

}  // namespace vantory::host

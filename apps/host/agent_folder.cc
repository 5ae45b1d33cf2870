#include "apps/host/agent_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <thread>
#include <utility>

#include "common/error.h"
#include "common/files.h"
#include "common/message_text.h"
#include "common/mutex.h"

namespace vantory::host {

namespace {

// Ids already found to own their folder in this process, per store root: the record is read
// once per id, not at every call.
Mutex owners_mutex;
std::set<std::pair<std::string, std::string>> known_owners GUARDED_BY(owners_mutex);

// Creates `record` holding `agent_id` unless it exists; answers false when it did. The text is
// written aside first and linked into place, so no reader ever sees a partial record.
bool create_record(const std::string& record, const std::string& agent_id) {
  std::string aside = record + ".tmp-" + std::to_string(::getpid()) + "-" +
                      std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
  write_file_atomic(aside, agent_id);
  int linked = ::link(aside.c_str(), record.c_str());
  int error = errno;
  ::unlink(aside.c_str());
  if (linked == 0) return true;
  if (error == EEXIST) return false;
  throw OSError(os_error_text(error, record));
}

}  // namespace

std::string claim_agent_folder(const LocalAmbrel& store, const std::string& agent_id) {
  if (agent_id.empty()) throw ValueError("an agent id must not be empty");
  std::size_t name_bytes = LocalAmbrel::safe_id(agent_id).size();
  if (name_bytes > kMaxAgentFolderName) {
    throw ValueError("the agent id is too long: its folder name would have " +
                     std::to_string(name_bytes) + " bytes, the most is " +
                     std::to_string(kMaxAgentFolderName));
  }
  std::string folder = store._get_agent_path(agent_id);
  std::pair<std::string, std::string> key{store.root_path, agent_id};
  {
    MutexLock guard(owners_mutex);
    if (known_owners.count(key)) return folder;
  }
  if (!is_directory(folder)) return folder;
  std::string record = folder + "/.agent-id";
  if (!create_record(record, agent_id)) {
    std::string owner = read_file(record);
    if (owner != agent_id) {
      throw ValueError("the agent id " + value_repr(agent_id) + " shares its folder " + folder +
                       " with the agent id " + value_repr(owner) +
                       ", which uses it already; choose an id that differs in its letters, "
                       "digits, '-' or '_'");
    }
  }
  MutexLock guard(owners_mutex);
  known_owners.insert(std::move(key));
  return folder;
}

}  // namespace vantory::host

#include "apps/host/memory_entries.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "common/diagnostics.h"
#include "common/error.h"
#include "common/files.h"
#include "common/json_text.h"

namespace vantory::host {

namespace {

// Holds an exclusive advisory lock on a file for its lifetime.
class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw OSError(os_error_text(errno, path));
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        int error = errno;
        ::close(fd_);
        throw OSError(os_error_text(error, path));
      }
    }
  }
  ~FileLock() { ::close(fd_); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

MemoryEntryFile::MemoryEntryFile(std::string agent_directory)
    : directory_(std::move(agent_directory)), path_(directory_ + "/memories.json") {}

Json MemoryEntryFile::read() const {
  if (!path_exists(path_)) return Json::array();
  Json entries;
  try {
    entries = parse_json(read_file(path_));
  } catch (const ValueError& e) {
    throw ValueError("the memories file " + path_ + " is damaged: " + e.what());
  }
  if (!entries.is_array()) {
    throw ValueError("the memories file " + path_ + " is damaged: it does not hold an array");
  }
  for (const Json& entry : entries) {
    if (!entry.is_object()) {
      throw ValueError("the memories file " + path_ + " is damaged: an entry is not an object");
    }
  }
  return entries;
}

void MemoryEntryFile::update(const std::function<bool(Json& entries)>& change) {
  make_directories(directory_);
  FileLock lock(directory_ + "/memories.lock");
  Json entries;
  try {
    entries = read();
  } catch (const ValueError& e) {
    // Never saved over: the damaged file is kept beside, and the change starts a new one.
    std::string kept = set_aside_damaged(path_);
    write_error_line("[vantory] ", std::string(e.what()) + "; kept it as " + kept);
    entries = Json::array();
  }
  if (change(entries)) write_file_atomic(path_, dump_json(entries));
}

}  // namespace vantory::host

#include "backend/store/file_facts.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "common/error.h"
#include "common/files.h"
#include "common/sha256.h"

namespace vantory::backend {

namespace {

// Stored times pass through a double of seconds, good to well under a microsecond today.
constexpr std::int64_t kMtimeToleranceNs = 2000;

}  // namespace

FileFacts stat_file(const std::string& path) {
  FileFacts facts;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return facts;
  facts.size = static_cast<std::int64_t>(st.st_size);
  facts.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return facts;
}

FileFacts read_file_facts(const std::string& path, std::string* bytes) {
  FileFacts facts = stat_file(path);
  if (!facts.size) return facts;
  try {
    std::string data = read_file(path);
    facts.size = static_cast<std::int64_t>(data.size());
    facts.sha256 = sha256_hex(data);
    if (bytes) *bytes = std::move(data);
  } catch (const OSError&) {
    return FileFacts{};  // vanished or unreadable between the stat and the read
  }
  return facts;
}

Freshness check_freshness(const FileFacts& indexed, const std::string& path) {
  FileFacts now = stat_file(path);
  if (!indexed.size) return now.size ? Freshness::kCreated : Freshness::kFresh;
  if (!now.size) return Freshness::kDeleted;
  if (*now.size != *indexed.size) return Freshness::kModified;
  if (indexed.mtime_ns && std::llabs(*now.mtime_ns - *indexed.mtime_ns) <= kMtimeToleranceNs) {
    return Freshness::kFresh;
  }
  if (!indexed.sha256) return Freshness::kModified;
  FileFacts hashed = read_file_facts(path);
  if (!hashed.sha256) return Freshness::kDeleted;
  return *hashed.sha256 == *indexed.sha256 ? Freshness::kFresh : Freshness::kModified;
}

const char* freshness_name(Freshness freshness) {
  return freshness == Freshness::kFresh ? "fresh" : "stale";
}

const char* staleness_reason(Freshness freshness) {
  switch (freshness) {
    case Freshness::kFresh:
      return "";
    case Freshness::kModified:
      return "modified";
    case Freshness::kDeleted:
      return "deleted";
    case Freshness::kCreated:
      return "created";
  }
  return "";
}

double now_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ns_to_seconds(std::int64_t ns) { return static_cast<double>(ns) / 1e9; }

std::int64_t seconds_to_ns(double seconds) { return std::llround(seconds * 1e9); }

}  // namespace vantory::backend

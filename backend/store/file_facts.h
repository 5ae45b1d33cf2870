// What the store remembers about a file on disk when it indexes it (size, modification time,
// content hash), and the freshness test that compares those facts with the file as it is now.
//
// Thread-safe: pure functions over the file system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vantory::backend {

struct FileFacts {
  std::optional<std::int64_t> size;
  std::optional<std::int64_t> mtime_ns;
  std::optional<std::string> sha256;  // lower-case hex of the file's bytes

  bool operator==(const FileFacts&) const = default;
};

// Size and modification time of the regular file at `path`; nothing when there is no regular
// file there (missing, a directory, unreadable).
FileFacts stat_file(const std::string& path);

// stat_file plus the SHA-256 of the bytes. `bytes`, when given, receives the file's bytes.
FileFacts read_file_facts(const std::string& path, std::string* bytes = nullptr);

enum class Freshness {
  kFresh,     // unchanged since indexing (or there was no file and there still is none)
  kModified,  // the content differs from what was indexed
  kDeleted,   // a file was indexed and nothing is there now
  kCreated,   // no file existed when indexed and one exists now
};

// Compares `indexed` with the file at `path` now. The content is hashed only when the size
// matches and the modification time does not, so an untouched file costs one stat.
Freshness check_freshness(const FileFacts& indexed, const std::string& path);

// "fresh" or "stale".
const char* freshness_name(Freshness freshness);
// Why a file is stale: "modified", "deleted", "created"; "" for a fresh one.
const char* staleness_reason(Freshness freshness);

// Seconds since the epoch now, with the clock's fraction.
double now_seconds();

// Seconds since the epoch of a nanosecond time stamp, and back (to the nearest nanosecond).
double ns_to_seconds(std::int64_t ns);
std::int64_t seconds_to_ns(double seconds);

}  // namespace vantory::backend

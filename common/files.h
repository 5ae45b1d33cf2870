// Whole-file reads and writes with the failure texts users know from Python
// ("[Errno 2] No such file or directory: '/x/y'"). Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantory {

// The bytes of the file at `path`. Throws OSError (a directory, a missing or unreadable file).
std::string read_file(const std::string& path);

// The bytes of the regular file at `path`, which must hold at most `max_bytes`. Anything else
// is refused at once, before a byte is read: a directory, a device (/dev/zero never ends), a
// FIFO (opened without blocking, so a FIFO that no one writes to does not stall the caller),
// a socket, or a file over the limit (also one that grows past it while being read). Throws
// OSError naming the path and why: "[Errno 21] Is a directory: 'x'", "'/dev/zero' is a
// character device, not a regular file", "'big.c' is 2000000 bytes, over the limit of
// 1048576 bytes".
std::string read_regular_file(const std::string& path, std::uint64_t max_bytes);

// Throws what read_regular_file throws for the kind and size of the file at `path`, without
// opening it (symbolic links followed); answers its size.
std::uint64_t check_regular_file(const std::string& path, std::uint64_t max_bytes);

// Reads a file from its start, piece by piece. Not thread-safe.
class FileReader {
 public:
  // Opens the file. Throws OSError (a directory, a missing or unreadable file).
  explicit FileReader(const std::string& path);
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Reads up to `size` more bytes into `data`; answers how many, 0 at the end. Throws
  // OSError.
  std::size_t read(char* data, std::size_t size);

  // The size of the file when it was opened.
  std::size_t size_hint() const { return size_hint_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::size_t size_hint_ = 0;
};

// Replaces the file at `path` with `data` atomically: written to a temporary file in the same
// directory, flushed to disk, renamed over the old file. A crash leaves either the old or the
// new content, never a truncated file. Throws OSError; the temporary file is removed then.
void write_file_atomic(const std::string& path, std::string_view data);

// A file replaced atomically but written piece by piece, for files too large to assemble in
// memory first: the pieces go to a temporary file in the same directory and commit() flushes
// it to disk and renames it over `path`. A writer destroyed before commit() removes its
// temporary file and leaves `path` as it was. Creating a writer also removes the temporary
// files of `path` that writers of processes no longer running left behind. Not thread-safe.
class AtomicFileWriter {
 public:
  // Creates the temporary file. Throws OSError.
  explicit AtomicFileWriter(std::string path);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Appends `data`. Throws OSError.
  void append(std::string_view data);

  // Makes the written data the content of `path`. Throws OSError.
  void commit();

 private:
  [[noreturn]] void fail(int err);

  std::string path_;
  std::string tmp_;
  int fd_ = -1;
};

// Creates `path` and its missing parents; an existing directory is fine. Throws OSError.
void make_directories(const std::string& path);

// True when something exists at `path` (symbolic links followed).
bool path_exists(const std::string& path);

// True when `path` is an existing directory (symbolic links followed).
bool is_directory(const std::string& path);

// Deletes the file at `path`. Throws OSError (missing file included).
void remove_file(const std::string& path);

// The identity of the file at `path` (device, inode, size, modification time) as text; empty
// when there is none. A file replaced atomically gets a new inode, so a save by any process
// changes it even within one tick of the clock.
std::string file_identity(const std::string& path);

// An exclusive advisory lock (flock) on a directory, held for the lifetime of the object: how
// the writers of the files in one folder (vectors, embedding cache) are serialised across
// processes. A directory that does not exist is not locked (nothing in it can be lost). Not
// thread-safe: threads of one process serialise with a mutex first.
class DirectoryLock {
 public:
  // Waits for the lock. Throws OSError when the directory exists but cannot be locked.
  explicit DirectoryLock(const std::string& directory);
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_ = -1;
};

// Moves the file at `path`, one that could not be parsed, out of the way instead of letting a
// save replace it: renamed to "<path>.damaged-<UTC time>" (20261208T224130Z; "-2", "-3" ...
// added when that name is taken) in the same folder. Answers the new path. Throws OSError;
// the file then stays where it was. Callers serialise this with the writers of `path`.
std::string set_aside_damaged(const std::string& path);

// The Python-style text of an OS failure: "[Errno N] <strerror>: '<path>'".
std::string os_error_text(int err, const std::string& path);

}  // namespace vantory

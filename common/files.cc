#include "common/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "common/error.h"
#include "common/message_text.h"

namespace vantory {

std::string os_error_text(int err, const std::string& path) {
  return "[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": " + value_repr(path);
}

namespace {

[[noreturn]] void throw_os(int err, const std::string& path) {
  throw OSError(os_error_text(err, path));
}

std::string parent_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A temporary file untouched for this long, whose writer's process id names no running
// process, is an orphan. The age guards writers in another process-id namespace sharing the
// folder: theirs look dead from here but are being written to.
constexpr time_t kOrphanAgeSeconds = 600;

// Removes the temporary files that writers of `name` in `dir` left when their process died
// before committing (a kill, a power cut): no one can ever commit them, and each may be as
// large as the file itself.
void remove_orphaned_temporaries(const std::string& dir, const std::string& name) {
  const std::string prefix = "." + name + ".tmp.";
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = ::readdir(listing)) {
    std::string_view file(entry->d_name);
    if (file.substr(0, prefix.size()) != prefix) continue;
    std::string_view rest = file.substr(prefix.size());  // "<pid>.<counter>"
    long pid = 0;
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9' && pid < 1 << 30) {
      pid = pid * 10 + (rest[digits++] - '0');
    }
    if (digits == 0 || digits >= rest.size() || rest[digits] != '.' || pid <= 0) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::string path = dir + "/" + std::string(file);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && st.st_mtime + kOrphanAgeSeconds < ::time(nullptr)) {
      ::unlink(path.c_str());
    }
  }
  ::closedir(listing);
}

// What a file that is not a regular one is, for messages; nullptr when it is none of these.
const char* kind_of_file(mode_t mode) {
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return nullptr;
}

std::string limit_text(std::uint64_t max_bytes) {
  return "the limit of " + std::to_string(max_bytes) + " bytes";
}

void expect_regular_file(const struct stat& st, std::uint64_t max_bytes,
                         const std::string& path) {
  if (S_ISDIR(st.st_mode)) throw_os(EISDIR, path);
  if (!S_ISREG(st.st_mode)) {
    const char* kind = kind_of_file(st.st_mode);
    throw OSError(value_repr(path) + " is " +
                  (kind ? std::string(kind) + ", not a regular file" : "not a regular file"));
  }
  auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > max_bytes) {
    throw OSError(value_repr(path) + " is " + std::to_string(size) + " bytes, over " +
                  limit_text(max_bytes));
  }
}

}  // namespace

std::uint64_t check_regular_file(const std::string& path, std::uint64_t max_bytes) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw_os(errno, path);
  expect_regular_file(st, max_bytes, path);
  return static_cast<std::uint64_t>(st.st_size);
}

std::string read_regular_file(const std::string& path, std::uint64_t max_bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw_os(errno, path);
  std::string data;
  try {
    struct stat st;
    if (::fstat(fd, &st) != 0) throw_os(errno, path);
    expect_regular_file(st, max_bytes, path);
    data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[1 << 16];
    while (true) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw_os(errno, path);
      }
      if (n == 0) break;
      if (static_cast<std::uint64_t>(n) > max_bytes - data.size()) {
        throw OSError(value_repr(path) + " grew past " + limit_text(max_bytes));
      }
      data.append(buf, static_cast<std::size_t>(n));
    }
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  return data;
}

FileReader::FileReader(const std::string& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw_os(errno, path);
  struct stat st;
  int err = ::fstat(fd_, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (err != 0) {
    ::close(fd_);
    throw_os(err, path);
  }
  size_hint_ = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

FileReader::~FileReader() { ::close(fd_); }

std::size_t FileReader::read(char* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd_, data + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os(errno, path_);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

std::string read_file(const std::string& path) {
  FileReader file(path);
  std::string data;
  data.reserve(file.size_hint());
  char buf[1 << 16];
  while (std::size_t n = file.read(buf, sizeof buf)) data.append(buf, n);
  return data;
}

AtomicFileWriter::AtomicFileWriter(std::string path) : path_(std::move(path)) {
  static std::atomic<unsigned> counter{0};
  std::string dir = parent_of(path_);
  std::size_t slash = path_.rfind('/');
  std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  tmp_ = (dir == "/" ? "" : dir) + "/." + name + ".tmp." + std::to_string(::getpid()) + "." +
         std::to_string(counter.fetch_add(1));
  fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0) throw_os(errno, path_);
  remove_orphaned_temporaries(dir, name);
}

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(tmp_.c_str());
  }
}

void AtomicFileWriter::fail(int err) {
  ::close(fd_);
  fd_ = -1;
  ::unlink(tmp_.c_str());
  throw_os(err, path_);
}

void AtomicFileWriter::append(std::string_view data) {
  if (fd_ < 0) throw_os(EBADF, path_);
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void AtomicFileWriter::commit() {
  if (fd_ < 0) throw_os(EBADF, path_);
  if (::fsync(fd_) != 0) fail(errno);
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tmp_.c_str());
    throw_os(err, path_);
  }
  if (::rename(tmp_.c_str(), path_.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp_.c_str());
    throw_os(err, path_);
  }
}

void write_file_atomic(const std::string& path, std::string_view data) {
  AtomicFileWriter writer(path);
  writer.append(data);
  writer.commit();
}

void make_directories(const std::string& path) {
  if (path.empty()) return;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return;
    throw_os(EEXIST, path);
  }
  std::string parent = parent_of(path);
  if (parent != path && parent != "." && parent != "/") make_directories(parent);
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) throw_os(errno, path);
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw_os(EEXIST, path);
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) throw_os(errno, path);
}

std::string file_identity(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return {};
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
         std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
         std::to_string(info.st_mtim.tv_nsec);
}

DirectoryLock::DirectoryLock(const std::string& directory) {
  fd_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) return;
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      int error = errno;
      ::close(fd_);
      fd_ = -1;
      throw_os(error, directory);
    }
  }
}

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) ::close(fd_);
}

std::string set_aside_damaged(const std::string& path) {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &parts);
  std::string base = path + ".damaged-" + stamp;
  for (int n = 1;; ++n) {
    std::string target = n == 1 ? base : base + "-" + std::to_string(n);
    // A hard link never replaces an existing name, so an earlier damaged copy is kept.
    if (::link(path.c_str(), target.c_str()) == 0) {
      if (::unlink(path.c_str()) != 0) {
        int error = errno;
        ::unlink(target.c_str());
        throw_os(error, path);
      }
      return target;
    }
    if (errno == EEXIST) continue;
    // A file system without hard links: a rename, once the name is seen to be free.
    if ((errno == EPERM || errno == EOPNOTSUPP) && !path_exists(target)) {
      if (::rename(path.c_str(), target.c_str()) == 0) return target;
    }
    throw_os(errno, path);
  }
}

}  // namespace vantory

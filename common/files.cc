#include "common/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

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

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::string parent_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string read_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw_os(errno, path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw_os(errno, path);
  if (S_ISDIR(st.st_mode)) throw_os(EISDIR, path);
  std::string data;
  if (st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
  char buf[1 << 16];
  while (true) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os(errno, path);
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  return data;
}

void write_file_atomic(const std::string& path, std::string_view data) {
  static std::atomic<unsigned> counter{0};
  std::string dir = parent_of(path);
  std::size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string tmp = (dir == "/" ? "" : dir) + "/." + name + ".tmp." + std::to_string(::getpid()) +
                    "." + std::to_string(counter.fetch_add(1));
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (fd.get() < 0) throw_os(errno, path);
  auto fail = [&](int err) {
    ::unlink(tmp.c_str());
    throw_os(err, path);
  };
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd.get(), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::fsync(fd.get()) != 0) fail(errno);
  if (::close(fd.release()) != 0) fail(errno);
  if (::rename(tmp.c_str(), path.c_str()) != 0) fail(errno);
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

}  // namespace vantory

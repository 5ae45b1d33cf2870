// The folders whose files the host's tools may read: a path that a tool is given must lie
// below one of them once every symbolic link on the way is followed. The libraries read any
// path they are handed; keeping an agent inside the folders it was given is the host's policy.
//
// Thread safety: an AllowedRoots is immutable once made; every operation may be called from
// any thread.
#pragma once

#include <string>
#include <vector>

#include "common/error.h"

namespace vantory::host {

// A path that the host refuses to let a tool read.
class PermissionError : public Error {
 public:
  using Error::Error;
  const char* kind() const noexcept override { return "PermissionError"; }
};

class AllowedRoots {
 public:
  // No root at all: every path is refused.
  AllowedRoots() = default;

  // The folders `roots`, each made absolute against the working directory and resolved to
  // its real path (symbolic links followed). A root that does not exist is kept as it is
  // written (lexically normalised): nothing can be below it until it is made.
  explicit AllowedRoots(const std::vector<std::string>& roots);

  // The roots from VANTORY_ALLOWED_ROOTS (colon-separated, empty parts ignored) when it names
  // any, else the working directory.
  static std::vector<std::string> from_environment();

  // The real paths of the roots, in the order given, without repeats.
  const std::vector<std::string>& roots() const { return roots_; }

  // "/a, /b": the roots as a message names them.
  std::string describe() const;

  // True when `path` (relative to the working directory, or absolute) lies at or below a
  // root once resolved: symbolic links followed as far as the path exists, the rest taken
  // lexically. The file need not exist.
  bool contains(const std::string& path) const;

  // Throws PermissionError, naming `path`, where it leads when a symbolic link took it
  // elsewhere, and the roots, when contains(path) is false.
  void check(const std::string& path) const;

 private:
  // True when the resolved path `real` is at or below a root.
  bool holds(const std::string& real) const;

  std::vector<std::string> roots_;
};

// The real path of `path` (relative to the working directory, or absolute): symbolic links
// followed as far as the path exists, the rest normalised lexically.
std::string resolved_path(const std::string& path);

}  // namespace vantory::host

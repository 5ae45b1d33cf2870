// Finding the source files below a folder, the way a person would pick them for indexing:
// everything that is text, except what version control, builds and package managers put
// there.
//
// Thread safety: collect_source_files shares no state; a SourceRules serves one caller at a
// time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "coding/tarnel.h"

namespace vantory::host {

// What collect_source_files leaves out beyond its fixed rules.
struct SourceFilter {
  // Larger files are left out: generated or data files, rarely code to read.
  std::uint64_t max_file_bytes = Tarnel::kDefaultMaxFileBytes;
  // Patterns in the syntax of ignore files, relative to the root ("*.py", "src/", "docs/**").
  // With include patterns, only the files that one of them matches (or matches a folder of)
  // are kept; what an exclude pattern matches is left out, whatever the ignore files say.
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  // Folders never entered, counted as "excluded": the stores of the process indexing the
  // tree, which may lie inside it (a database's log changes at every commit, and a watch
  // would index its own writes). Absolute or relative to the working directory; they need
  // not exist yet.
  std::vector<std::string> own_folders;
};

struct SourceTree {
  // The files to index, each as the root joined with its relative path (lexically
  // normalised), in a stable order: folder by folder, names sorted bytewise.
  std::vector<std::string> files;
  // Their sizes added up.
  std::uint64_t total_bytes = 0;
  // Files left out.
  std::int64_t skipped_files = 0;
  // Folders not entered.
  std::int64_t skipped_folders = 0;
  // Why, with how many files or folders each: "hidden", ".gitignore", ".vantoryignore",
  // ".git/info/exclude", "excluded", "not included", "binary", "over 1 MB" (with the filter's
  // limit), "symbolic link", "unreadable", "build or dependency folder".
  std::map<std::string, std::int64_t> skipped_reasons;
  // The folders entered, as paths relative to the root ("" for the root itself), each before
  // the folders below it.
  std::vector<std::string> folders;
};

// Walks the folder `root`. Leaves out hidden files and folders (a name starting with "."; this
// covers .git), build and dependency folders (build, dist, target, _build, cmake-build-*,
// node_modules, bower_components, vendor, __pycache__, site-packages, and any folder holding a
// pyvenv.cfg), the filter's own folders, what its patterns leave out, what ignore files
// exclude, symbolic links, binary files (looks_like_binary of their first 8000 bytes), and
// what is not a regular file or is over the filter's size limit. The ignore files are those
// git reads (the .gitignore files met on the way, and, when `root` lies in a repository, its
// .git/info/exclude and the .gitignore files from its top down to `root`) and .vantoryignore
// files, read like .gitignore files but overriding the .gitignore of their folder. A `root`
// that is a file stands for itself: it is kept unless it is binary or over the limit. Throws
// OSError when `root` does not exist, is not a regular file or folder, or a folder cannot be
// read; unreadable entries below it are counted as skipped.
SourceTree collect_source_files(const std::string& root, const SourceFilter& filter = {});

class SourceWalker;

// The rules of collect_source_files for one root, applied a path at a time: for a watcher
// that hears of changes to single files and folders. The ignore files of a folder are read the
// first time a path below it is looked at, and kept: make a new SourceRules when one of them
// changes. Paths are relative to the root and '/'-separated.
class SourceRules {
 public:
  // Reads the ignore files above `root` (those of its repository) at once.
  SourceRules(std::string root, SourceFilter filter = {});
  ~SourceRules();
  SourceRules(const SourceRules&) = delete;
  SourceRules& operator=(const SourceRules&) = delete;

  // True when collect_source_files(root, filter) would list the file at `relative` as it is on
  // disk now: every folder on its way is one the walk enters, and the file itself is kept.
  bool keeps_file(const std::string& relative);

  // True when the walk would enter the folder at `relative` ("" is the root).
  bool enters_folder(const std::string& relative);

  // What collect_source_files(root, filter) finds below the folder `relative` ("" for all of
  // it), with the paths of `files` joined to the root as there and those of `folders` relative
  // to the root. `entering`, when given, is called with each folder the walk enters, before
  // that folder is listed. Throws OSError when that folder cannot be read, and what `entering`
  // throws.
  SourceTree collect(const std::string& relative = "",
                     const std::function<void(const std::string&)>& entering = {});

 private:
  std::unique_ptr<SourceWalker> walker_;
};

// A size limit as people read it: "1 MB", "512 KB", "1000 bytes".
std::string size_text(std::uint64_t bytes);

// True when `head` (the first bytes of a file) looks like binary content rather than text: it
// holds a NUL byte, or more than one byte in ten is a control character that text does not use.
// Bytes that are not UTF-8 do not make text binary (files in legacy encodings are indexed).
bool looks_like_binary(std::string_view head);

}  // namespace vantory::host

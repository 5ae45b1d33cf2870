// Lexical path operations on POSIX paths: no file-system access.
//
// Thread-safe: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace vantory {

// Runs of "/" become one; "." segments are dropped; ".." removes the preceding ordinary
// segment (it stays at the start of a relative path or after another ".."; right after a
// leading "/" it is dropped); a trailing "/" is dropped; an empty result becomes "."; a path
// that starts with exactly two slashes keeps both.
std::string normalize_path(std::string_view path);

// True when normalize_path(path) == path, decided without building the normalised path: a
// stored path is usually normalised already, and comparing it as it stands is cheaper.
bool is_normalized_path(std::string_view path);

// True when the normalised path `path` is the normalised folder `folder` or lies below it,
// lexically: "a/b" is below "a" and "a2" is not; "/" holds every absolute path and "." every
// relative one that does not climb out with "..".
bool is_at_or_below(std::string_view path, std::string_view folder);

// The part after the last "/": the whole path when it holds none, empty when it ends in "/".
std::string_view base_name(std::string_view path);

// The base name without its last extension. Dots at the start of the base name start no
// extension: ".profile" stays ".profile", "a.tar.gz" gives "a.tar".
std::string_view file_stem(std::string_view path);

// `path` made absolute against `cwd` lexically: empty and "." segments are dropped, ".."
// segments and symbolic links stay as they are ("./data" in /srv gives "/srv/data").
std::string absolute_path(std::string_view path, std::string_view cwd);

// The process's current working directory.
std::string current_directory();

}  // namespace vantory

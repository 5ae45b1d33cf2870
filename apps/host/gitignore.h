// The exclusions of ignore files (.gitignore, .git/info/exclude, .vantoryignore), as git reads
// them: blank lines and "#" comments are skipped; "!" re-includes; a trailing "/" matches
// folders only; a pattern with a "/" before its end is anchored to the folder of its file, one
// without matches a name at any depth below it; "*", "?" and "[...]" (ranges, "!" or "^"
// negation, classes such as [:digit:]) do not match "/"; "**/", "/**/" and "/**" span folders;
// "\" escapes the next character. The last matching pattern decides: patterns of files added
// later (deeper .gitignore files after shallower ones) override those of files added before.
//
// Thread safety: const operations may run concurrently; add_file may not.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantory::host {

// True when the glob `pattern` matches all of `path` (both '/'-separated), with the
// wildcards above.
bool glob_match(std::string_view pattern, std::string_view path);

class GitignoreRules {
 public:
  // Adds the patterns of the ignore file whose text is `text`, found in the folder `directory`
  // ('/'-separated, relative to the walk's root; "" for the root itself). `source` names the
  // file in what excluded_by answers.
  void add_file(const std::string& directory, std::string_view text,
                std::string_view source = ".gitignore");

  // Adds the patterns of an ignore file of a folder above the walk's root (the repository's
  // top, say); `below` is the way from that folder down to the root, ending in "/" ("src/").
  void add_file_above(const std::string& below, std::string_view text, std::string_view source);

  // The source of the last pattern that matches the entry at `path` (relative to the walk's
  // root) when that pattern excludes it; nullptr when the entry is not excluded.
  const std::string* excluded_by(std::string_view path, bool is_directory) const;

  // True when the patterns exclude the entry at `path`.
  bool is_ignored(std::string_view path, bool is_directory) const {
    return excluded_by(path, is_directory) != nullptr;
  }

 private:
  struct Rule {
    std::string directory;  // "" or "a/b/": the folder of the file below the root, with a slash
    std::string above;      // "" or "src/": the way down to the root from a file above it
    std::string pattern;
    std::size_t source;     // index into sources_
    bool negated;
    bool directory_only;
    bool anchored;
  };
  void add_rules(Rule kind, std::string_view text, std::string_view source);

  std::vector<Rule> rules_;
  std::vector<std::string> sources_;
};

}  // namespace vantory::host

// The exclusions of .gitignore files, as git reads them: blank lines and "#" comments are
// skipped; "!" re-includes; a trailing "/" matches folders only; a pattern with a "/" before
// its end is anchored to the folder of its .gitignore, one without matches a name at any depth
// below it; "*", "?" and "[...]" do not match "/"; "**/", "/**/" and "/**" span folders; "\"
// escapes the next character. The last matching pattern decides, and patterns of deeper
// .gitignore files come after those of shallower ones.
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
  // Adds the patterns of the .gitignore file whose text is `text`, found in the folder
  // `directory` ('/'-separated, relative to the walk's root; "" for the root itself).
  void add_file(const std::string& directory, std::string_view text);

  // True when the patterns exclude the entry at `path` (relative to the walk's root).
  bool is_ignored(std::string_view path, bool is_directory) const;

 private:
  struct Rule {
    std::string directory;  // "" or "a/b/": the folder of the .gitignore, with a slash
    std::string pattern;
    bool negated;
    bool directory_only;
    bool anchored;
  };
  std::vector<Rule> rules_;
};

}  // namespace vantory::host

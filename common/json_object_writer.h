// A JSON object written to a file member by member, for files too large to assemble as one
// text first (the embedding cache, the vectors files): the text is handed on in pieces of
// about a megabyte, and the file is replaced atomically on commit().
//
// Thread safety: none; one writer per file.
#pragma once

#include <string>
#include <string_view>

#include "common/files.h"

namespace vantory {

class JsonObjectWriter {
 public:
  // Starts the object in a temporary file next to `path`. Throws OSError.
  explicit JsonObjectWriter(std::string path);

  // Writes the separator and the quoted `key` with ": "; the caller appends the member's
  // value as JSON text to the buffer answered, which is valid until the next call. Throws
  // OSError.
  std::string& member(std::string_view key);

  // Closes the object and makes it the content of `path`. Throws OSError; without commit the
  // old file stays.
  void commit();

 private:
  void flush_if_full();

  AtomicFileWriter file_;
  std::string piece_;
  bool first_ = true;
};

}  // namespace vantory

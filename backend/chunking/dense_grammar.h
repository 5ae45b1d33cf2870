// A tree-sitter grammar whose parse table answers every state in one step.
//
// A generated grammar keeps a full row of its parse table (a value for each symbol) only for
// its busiest states; every other state is a list of groups (a value and the symbols that
// have it), which the runtime scans on each lookup. On C and C++ headers those scans were
// about a seventh of the chunker's time. A DenseGrammar is a copy of a grammar in which every
// state has its full row: the same values, laid out so that a lookup is one read. Parsing with
// it builds the same trees.
//
// Thread safety: immutable once made; its grammar is shared by every parser.
#pragma once

#include <tree_sitter/api.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vantory::backend {

class DenseGrammar {
 public:
  // The copy of `grammar` with a full row for every state, or null when there is nothing to
  // gain (every state has its row already), when the grammar's tables are not of the layout
  // this build reads (language version 14), or when the rows would take more than
  // `max_bytes`.
  static std::unique_ptr<DenseGrammar> make(const TSLanguage* grammar, std::size_t max_bytes);

  ~DenseGrammar();
  DenseGrammar(const DenseGrammar&) = delete;
  DenseGrammar& operator=(const DenseGrammar&) = delete;

  const TSLanguage* grammar() const { return language_.get(); }

 private:
  struct LanguageDeleter {
    void operator()(TSLanguage* language) const;
  };
  DenseGrammar() = default;
  std::unique_ptr<TSLanguage, LanguageDeleter> language_;
  std::vector<std::uint16_t> table_;
};

}  // namespace vantory::backend

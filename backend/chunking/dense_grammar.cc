#include "backend/chunking/dense_grammar.h"

#include <cstdint>

// The layout of a grammar's tables (language version 14), as the grammars are generated with.
// The runtime's api.h may not name the type of a parse state, which that layout uses.
typedef std::uint16_t TSStateId;
#include <tree_sitter/parser.h>

#include <algorithm>

namespace vantory::backend {

void DenseGrammar::LanguageDeleter::operator()(TSLanguage* language) const { delete language; }

DenseGrammar::~DenseGrammar() = default;

std::unique_ptr<DenseGrammar> DenseGrammar::make(const TSLanguage* grammar,
                                                 std::size_t max_bytes) {
  if (grammar == nullptr || ts_language_version(grammar) != 14) return nullptr;
  const std::size_t states = grammar->state_count;
  const std::size_t symbols = grammar->symbol_count;
  const std::size_t large = grammar->large_state_count;
  if (large >= states || states * symbols > max_bytes / sizeof(std::uint16_t)) return nullptr;
  std::unique_ptr<DenseGrammar> dense(new DenseGrammar());
  dense->table_.assign(states * symbols, 0);
  std::uint16_t* rows = dense->table_.data();
  std::copy(grammar->parse_table, grammar->parse_table + large * symbols, rows);
  for (std::size_t state = large; state < states; ++state) {
    // A small state: a count of groups, then each group's value, its count of symbols and
    // the symbols.
    const std::uint16_t* data =
        grammar->small_parse_table + grammar->small_parse_table_map[state - large];
    std::uint16_t groups = *data++;
    std::uint16_t* row = rows + state * symbols;
    for (std::uint16_t g = 0; g < groups; ++g) {
      std::uint16_t value = *data++;
      std::uint16_t count = *data++;
      for (std::uint16_t i = 0; i < count; ++i) {
        std::uint16_t symbol = *data++;
        // The runtime answers the first group that names a symbol.
        if (symbol < symbols && row[symbol] == 0) row[symbol] = value;
      }
    }
  }
  dense->language_.reset(new TSLanguage(*grammar));
  dense->language_->parse_table = rows;
  dense->language_->large_state_count = static_cast<std::uint32_t>(states);
  return dense;
}

}  // namespace vantory::backend

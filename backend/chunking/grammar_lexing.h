/* Included ahead of each generated parser whose lexer tests characters against sorted ranges
   (set_contains, from the grammar's own tree_sitter/parser.h): source text is nearly all
   ASCII, which lies in the first few ranges, so ASCII is tested against those in order
   instead of a binary search over hundreds of Unicode ranges. The answer is the same: the
   ranges are sorted and do not overlap. */
#ifndef VANTORY_GRAMMAR_LEXING_H_
#define VANTORY_GRAMMAR_LEXING_H_

#include <tree_sitter/parser.h>

static inline bool vantory_set_contains(const TSCharacterRange *ranges, uint32_t len,
                                        int32_t lookahead) {
  if (lookahead < 0x80) {
    for (uint32_t i = 0; i < len && ranges[i].start <= lookahead; ++i) {
      if (lookahead <= ranges[i].end) return true;
    }
    return false;
  }
  return set_contains((TSCharacterRange *)ranges, len, lookahead);
}

#define set_contains vantory_set_contains

#endif

// TermLinks: what the words of an agent's documentation say about the words of its code.
//
// Learned from the units that carry a doc comment: for each documentation word (stemmed), the code
// words (the unit's name and its sub-words) that occur with it far more often than they occur
// elsewhere, each with a strength. A question asked in plain words is widened with them, so that
// the vocabulary of the documented code lets "pretty print" reach pformat and the like, without any
// word list made by hand.
//
// The links live in a table of their own in the code-memory database, one row per agent and
// documentation word, each stamped with kTermLinksVersion: links learned by another version are
// never read. A search reads only the rows of its own words, so a new process opens them without
// loading anything.
//
// Thread safety: none; the database connection is used by one caller at a time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vantory::backend {

class Database;

inline constexpr std::int64_t kTermLinksVersion = 1;

struct TermLink {
  std::string word;  // a code word as the keyword index holds it (lower case)
  double strength = 0;
};

// Learns the links of `agent_id` from its stored units and replaces the stored ones, in one
// transaction. Units of test, fixture, generated and data files teach nothing. Answers the number
// of units stored when learning (the size the links were learned at). Throws RuntimeError when the
// database fails.
std::int64_t rebuild_term_links(Database& db, const std::string& agent_id);

// The number of units the agent's links were learned at; 0 when it has none of this version.
std::int64_t term_links_size(Database& db, const std::string& agent_id);

// The code words linked to the documentation word `stem` (a stem_word), strongest first; empty when
// there are none or no links are stored.
std::vector<TermLink> linked_words(Database& db, const std::string& agent_id,
                                   const std::string& stem);

}  // namespace vantory::backend

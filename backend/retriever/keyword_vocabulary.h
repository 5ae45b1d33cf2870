// KeywordVocabulary: how many chunks hold each term of the keyword index, and how many chunks
// there are, as a search weighs its terms by them. The index counts a term's chunks by reading
// the whole list of them, which for a common word is most of the cost of choosing the terms;
// the counts read are kept until the store changes. Every change to the keyword index bumps
// its agent's generation in the same transaction, and generations only grow (agents are
// never removed), so the agents' count and the sum of their generations name the state the
// counts were read in: a search that finds them moved on reads the counts again, and answers
// as a new process would.
//
// Thread safety: none; owned by one core.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace vantory::backend {

class Database;

class KeywordVocabulary {
 public:
  // Forgets the kept counts when the store changed since they were read.
  void refresh(Database& db);
  // The number of chunks (of every agent) whose keyword texts hold `term`.
  std::int64_t chunks_holding(Database& db, const std::string& term);
  // The number of chunks of every agent.
  std::int64_t total_chunks(Database& db);

 private:
  // More distinct terms than any few hundred searches ask for: past it, the counts start over.
  static constexpr std::size_t kMaxKept = 100000;

  std::int64_t agents_ = -1;
  std::int64_t generations_ = -1;
  std::int64_t total_ = -1;
  std::unordered_map<std::string, std::int64_t> docs_;
};

}  // namespace vantory::backend

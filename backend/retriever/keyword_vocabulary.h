// KeywordVocabulary: how many chunks hold each term of the keyword index, and how many chunks
// there are, as a search weighs its terms by them; and the length in tokens of the index's
// rows, as its ranking function (keyword_rank.h) weighs them. The index counts a term's
// chunks by reading the whole list of them, which for a common word is most of the cost of
// choosing the terms; the counts read are kept until the store changes. Every change to the
// keyword index bumps its agent's generation in the same transaction, and generations only
// grow (agents are never removed), so the agents' count and the sum of their generations name
// the state the counts were read in: a search that finds them moved on reads the counts again,
// and answers as a new process would. A row's id may be given to another chunk once its own
// is gone, so the kept lengths are forgotten with the counts.
//
// Thread safety: none; owned by one core.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vantory::backend {

class Database;

class KeywordVocabulary {
 public:
  // Forgets the kept counts and lengths when the store changed since they were read; reads the
  // length of every row when enough were looked up one by one (keep_row_length).
  void refresh(Database& db);
  // The number of chunks (of every agent) whose keyword texts hold `term`.
  std::int64_t chunks_holding(Database& db, const std::string& term);
  // The number of chunks of every agent.
  std::int64_t total_chunks(Database& db);

  // The kept length in tokens of the keyword index's row `rowid`, or kUnknownLength.
  static constexpr std::uint32_t kUnknownLength = UINT32_MAX;
  std::uint32_t row_length(std::int64_t rowid) const {
    auto at = static_cast<std::uint64_t>(rowid);
    return at < row_lengths_.size() ? row_lengths_[at] : kUnknownLength;
  }
  // Keeps the length of row `rowid`, which was looked up alone; rows past kMaxRowLengths are
  // not kept. Once an eighth of the chunks were looked up so, the next refresh reads the
  // lengths of every row.
  void keep_row_length(std::int64_t rowid, std::uint32_t length);

 private:
  // More distinct terms than any few hundred searches ask for: past it, the counts start over.
  static constexpr std::size_t kMaxKept = 100000;
  // Row ids run about as high as the chunks ever stored: 4 million rows of lengths take 16 MB.
  static constexpr std::int64_t kMaxRowLengths = std::int64_t{1} << 22;

  void store_row_length(std::int64_t rowid, std::uint32_t length);
  void read_row_lengths(Database& db);

  std::int64_t agents_ = -1;
  std::int64_t generations_ = -1;
  std::int64_t total_ = -1;
  std::unordered_map<std::string, std::int64_t> docs_;
  std::vector<std::uint32_t> row_lengths_;  // by row id
  std::int64_t lengths_looked_up_ = 0;
  bool all_lengths_read_ = false;
};

}  // namespace vantory::backend

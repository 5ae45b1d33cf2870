#include "backend/retriever/keyword_vocabulary.h"

#include <algorithm>

#include "backend/storage/database.h"

namespace vantory::backend {

void KeywordVocabulary::refresh(Database& db) {
  Statement st = db.prepare("SELECT COUNT(*), COALESCE(SUM(generation), 0) FROM agents");
  std::int64_t agents = 0;
  std::int64_t generations = 0;
  if (st.step()) {
    agents = st.column_int(0);
    generations = st.column_int(1);
  }
  if (agents != agents_ || generations != generations_) {
    agents_ = agents;
    generations_ = generations;
    total_ = -1;
    docs_.clear();
    row_lengths_.clear();
    lengths_looked_up_ = 0;
    all_lengths_read_ = false;
    return;
  }
  if (docs_.size() > kMaxKept) docs_.clear();
  // Once the rows looked up one at a time add up to an eighth of the chunks, the rest are read
  // at once: reading every row costs about what looking up an eighth of them one by one does.
  if (!all_lengths_read_ && lengths_looked_up_ * 8 > total_chunks(db)) read_row_lengths(db);
}

void KeywordVocabulary::keep_row_length(std::int64_t rowid, std::uint32_t length) {
  ++lengths_looked_up_;
  store_row_length(rowid, length);
}

void KeywordVocabulary::store_row_length(std::int64_t rowid, std::uint32_t length) {
  if (rowid < 0 || rowid >= kMaxRowLengths) return;
  auto at = static_cast<std::size_t>(rowid);
  if (at >= row_lengths_.size()) {
    // Grown by halves at least, so that rows met in rising order cost no copy each.
    row_lengths_.resize(std::max(at + 1, row_lengths_.size() + row_lengths_.size() / 2),
                        kUnknownLength);
  }
  row_lengths_[at] = length;
}

void KeywordVocabulary::read_row_lengths(Database& db) {
  // The keyword table keeps each row's length in tokens, column by column, as SQLite varints
  // (big-endian groups of seven bits, the high bit set on all but the last; a ninth byte
  // gives eight).
  Statement st = db.prepare("SELECT id, sz FROM chunk_fts_docsize");
  while (st.step()) {
    std::string_view sizes = st.column_blob(1);
    std::uint64_t total = 0;
    std::size_t i = 0;
    while (i < sizes.size()) {
      std::uint64_t value = 0;
      for (int byte = 0; i < sizes.size(); ++byte) {
        auto b = static_cast<unsigned char>(sizes[i++]);
        if (byte == 8) {
          value = (value << 8) | b;
          break;
        }
        value = (value << 7) | (b & 0x7f);
        if ((b & 0x80) == 0) break;
      }
      total += value;
    }
    store_row_length(st.column_int(0), static_cast<std::uint32_t>(
                                           std::min<std::uint64_t>(total, kUnknownLength - 1)));
  }
  all_lengths_read_ = true;
}

std::int64_t KeywordVocabulary::chunks_holding(Database& db, const std::string& term) {
  auto it = docs_.find(term);
  if (it != docs_.end()) return it->second;
  Statement st = db.prepare("SELECT doc FROM chunk_vocab WHERE term = ?1");
  st.bind(1, term);
  std::int64_t docs = st.step() ? st.column_int(0) : 0;
  docs_.emplace(term, docs);
  return docs;
}

std::int64_t KeywordVocabulary::total_chunks(Database& db) {
  if (total_ < 0) {
    Statement st = db.prepare("SELECT COALESCE(SUM(chunk_count), 0) FROM contexts");
    total_ = st.step() ? st.column_int(0) : 0;
  }
  return total_;
}

}  // namespace vantory::backend

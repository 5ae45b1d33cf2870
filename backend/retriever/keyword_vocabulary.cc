#include "backend/retriever/keyword_vocabulary.h"

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
  if (agents == agents_ && generations == generations_ && docs_.size() <= kMaxKept) return;
  agents_ = agents;
  generations_ = generations;
  total_ = -1;
  docs_.clear();
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

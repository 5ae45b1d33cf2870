#include "backend/retriever/namesakes.h"

#include "backend/retriever/result_priors.h"
#include "backend/store/chunk_body.h"
#include "backend/text/identifiers.h"
#include "backend/text/search_text.h"
#include "common/json_text.h"

namespace vantory::backend {

namespace {

// The rows of the keyword index whose name column holds a name's words in a row, at most: more
// say the name is a common one, and each row is a chunk to read.
constexpr std::int64_t kMostNameRows = 16;

}  // namespace

std::vector<Namesake> find_namesakes(Database& db, const std::string& agent_id,
                                     const std::string& name, std::int64_t own_file) {
  // A name with no letter or digit has no words to look up.
  if (words_of(name).empty()) return {};
  // The name's words as one quoted phrase of the name column: nothing in a name is read as
  // query syntax.
  std::string phrase = "fts_name : " + match_any({name});
  Statement rows = db.prepare("SELECT rowid FROM chunk_fts WHERE chunk_fts MATCH ?1 LIMIT ?2");
  rows.bind(1, phrase).bind(2, kMostNameRows + 1);
  std::vector<std::int64_t> ids;
  while (rows.step()) ids.push_back(rows.column_int(0));
  if (ids.size() > static_cast<std::size_t>(kMostNameRows)) return {};

  std::vector<Namesake> found;
  for (std::int64_t id : ids) {
    // The row's chunk and its copies, whose keyword index row it is.
    Statement st = db.prepare(
        "SELECT c.id, c.context_id, x.file_path, COALESCE(o.body, c.body) FROM chunks c "
        "JOIN contexts x ON x.id = c.context_id LEFT JOIN chunks o ON o.id = c.body_of "
        "WHERE (c.id = ?1 OR c.body_of = ?1) AND c.agent_id = ?2");
    st.bind(1, id).bind(2, agent_id);
    while (st.step()) {
      if (st.column_int(1) == own_file || is_secondary_path(st.column_text_view(2))) continue;
      Json record = parse_json(unpack_chunk_body(st.column_blob(3), db.text_dictionaries()).record);
      auto named = record.find("name");
      if (named == record.end() || !named->is_string() || *named != name) continue;
      auto type = record.find("type");
      std::string_view kind =
          type != record.end() && type->is_string() ? type->get_ref<const std::string&>() : "";
      if (is_anonymous_unit(kind)) continue;
      found.push_back({st.column_int(0), st.column_int(1), is_declaration_unit(kind)});
      if (found.size() > kMostNamesakes) return {};
    }
  }
  return found;
}

}  // namespace vantory::backend

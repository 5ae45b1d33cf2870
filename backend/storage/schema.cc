#include "backend/storage/schema.h"

#include <string>

#include "backend/storage/database.h"
#include "backend/store/chunk_body.h"
#include "backend/text/run_together.h"
#include "common/error.h"

namespace vantory::backend {

namespace {

constexpr const char* kCreateVersion1 = R"sql(
CREATE TABLE agents(
  agent_id TEXT PRIMARY KEY,
  generation INTEGER NOT NULL DEFAULT 0,
  head_snapshot TEXT,
  retrievals INTEGER NOT NULL DEFAULT 0,
  retrieval_misses INTEGER NOT NULL DEFAULT 0,
  searches INTEGER NOT NULL DEFAULT 0,
  search_results INTEGER NOT NULL DEFAULT 0,
  search_tokens_served INTEGER NOT NULL DEFAULT 0,
  search_tokens_baseline INTEGER NOT NULL DEFAULT 0,
  index_runs INTEGER NOT NULL DEFAULT 0,
  index_ms REAL NOT NULL DEFAULT 0,
  chunks_embedded INTEGER NOT NULL DEFAULT 0,
  chunks_reused INTEGER NOT NULL DEFAULT 0,
  last_indexed_at REAL
) WITHOUT ROWID;
CREATE TABLE contexts(
  id INTEGER PRIMARY KEY,
  agent_id TEXT NOT NULL,
  seq INTEGER NOT NULL,
  file_path TEXT NOT NULL,
  language TEXT NOT NULL,
  record TEXT NOT NULL,
  context_hash TEXT NOT NULL,
  chunk_count INTEGER NOT NULL,
  file_size INTEGER,
  file_mtime_ns INTEGER,
  file_hash TEXT,
  indexed_at REAL NOT NULL,
  access_count INTEGER NOT NULL DEFAULT 0,
  last_access REAL,
  tokens_served INTEGER NOT NULL DEFAULT 0,
  tokens_baseline INTEGER NOT NULL DEFAULT 0,
  UNIQUE(agent_id, file_path)
);
CREATE INDEX contexts_by_seq ON contexts(agent_id, seq);
CREATE TABLE chunks(
  id INTEGER PRIMARY KEY,
  context_id INTEGER NOT NULL,
  agent_id TEXT NOT NULL,
  ord INTEGER NOT NULL,
  hash_id TEXT,
  record TEXT NOT NULL,
  content_moved INTEGER NOT NULL,
  fts_name TEXT NOT NULL,
  summary TEXT NOT NULL,
  keywords TEXT NOT NULL,
  content TEXT NOT NULL,
  subwords TEXT NOT NULL,
  path_terms TEXT NOT NULL
);
CREATE INDEX chunks_by_context ON chunks(context_id, ord);
CREATE INDEX chunks_by_hash ON chunks(agent_id, hash_id);
CREATE VIRTUAL TABLE chunk_fts USING fts5(
  fts_name, summary, keywords, content, subwords, path_terms,
  content='chunks', content_rowid='id',
  tokenize="unicode61 remove_diacritics 2 tokenchars '_'");
CREATE TABLE imports(
  context_id INTEGER NOT NULL,
  ord INTEGER NOT NULL,
  agent_id TEXT NOT NULL,
  module TEXT NOT NULL,
  stem TEXT NOT NULL,
  record TEXT NOT NULL,
  PRIMARY KEY(context_id, ord)
) WITHOUT ROWID;
CREATE INDEX imports_by_stem ON imports(agent_id, stem);
CREATE TABLE vectors(
  id INTEGER PRIMARY KEY,
  agent_id TEXT NOT NULL,
  hash_id TEXT NOT NULL,
  embedder TEXT NOT NULL,
  dim INTEGER NOT NULL,
  vector BLOB NOT NULL,
  UNIQUE(agent_id, hash_id)
);
CREATE TABLE sections(
  agent_id TEXT NOT NULL,
  section TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY(agent_id, section)
) WITHOUT ROWID;
CREATE TABLE global_index(
  agent_id TEXT NOT NULL,
  file_path TEXT NOT NULL,
  entry TEXT NOT NULL,
  PRIMARY KEY(agent_id, file_path)
) WITHOUT ROWID;
CREATE TABLE snapshots(
  agent_id TEXT NOT NULL,
  sha TEXT NOT NULL,
  parent TEXT,
  message TEXT NOT NULL,
  created_at REAL NOT NULL,
  manifest TEXT NOT NULL,
  PRIMARY KEY(agent_id, sha)
) WITHOUT ROWID;
CREATE VIRTUAL TABLE chunk_vocab USING fts5vocab(chunk_fts, 'row');
INSERT INTO chunk_fts(chunk_fts, rank) VALUES('pgsz', 4050);
INSERT INTO chunk_fts(chunk_fts, rank) VALUES('automerge', 8);
PRAGMA user_version = 1;
)sql";

// Version 2: the chunk key of contexts whose chunks are what the chunker made of a text
// (ChunkCache), whether all of a context's vectors are stored, the revision a reader that
// holds the contexts compares to read again only what changed, and the embedders of an
// agent's vectors, found without reading the vectors.
constexpr const char* kUpgradeTo2 = R"sql(
ALTER TABLE contexts ADD COLUMN chunk_key TEXT;
ALTER TABLE contexts ADD COLUMN vectors_complete INTEGER NOT NULL DEFAULT 0;
ALTER TABLE contexts ADD COLUMN revision INTEGER NOT NULL DEFAULT 0;
CREATE INDEX contexts_by_chunk_key ON contexts(chunk_key) WHERE chunk_key IS NOT NULL;
CREATE INDEX vectors_by_embedder ON vectors(agent_id, embedder);
PRAGMA user_version = 2;
)sql";

// Version 3: each text stored once. A chunk's record, content and keyword-index
// texts are one packed blob (compressed when that pays); the keyword index
// keeps no copy of them (contentless), and is told what to forget from the
// blob. The chunks are moved into the new table and the index is rebuilt from
// them, so nothing indexed is lost.
constexpr const char* kCreateChunks3 = R"sql(
CREATE TABLE chunks_packed(
  id INTEGER PRIMARY KEY,
  context_id INTEGER NOT NULL,
  agent_id TEXT NOT NULL,
  ord INTEGER NOT NULL,
  hash_id TEXT,
  body BLOB NOT NULL
);
)sql";
constexpr const char* kFinishChunks3 = R"sql(
DROP TABLE chunk_vocab;
DROP TABLE chunk_fts;
DROP TABLE chunks;
ALTER TABLE chunks_packed RENAME TO chunks;
CREATE INDEX chunks_by_context ON chunks(context_id, ord);
CREATE INDEX chunks_by_hash ON chunks(agent_id, hash_id);
CREATE VIRTUAL TABLE chunk_fts USING fts5(
  fts_name, summary, keywords, content, subwords, path_terms, content='',
  tokenize="unicode61 remove_diacritics 2 tokenchars '_'");
CREATE VIRTUAL TABLE chunk_vocab USING fts5vocab(chunk_fts, 'row');
INSERT INTO chunk_fts(chunk_fts, rank) VALUES('pgsz', 4050);
INSERT INTO chunk_fts(chunk_fts, rank) VALUES('automerge', 8);
)sql";

void upgrade_to_3(Database& db) {
  db.exec(kCreateChunks3);
  Statement rows = db.prepare(
      "SELECT id, context_id, agent_id, ord, hash_id, record, content_moved, "
      "fts_name, summary, "
      "keywords, content, subwords, path_terms FROM chunks ORDER BY id");
  while (rows.step()) {
    ChunkSearchText text{rows.column_text(7),  rows.column_text(8),  rows.column_text(9),
                         rows.column_text(10), rows.column_text(11), rows.column_text(12)};
    MovedValues moved;
    moved.content = rows.column_int(6) != 0;
    std::string body = pack_chunk_body(rows.column_text_view(5), moved, text);
    Statement put = db.prepare(
        "INSERT INTO chunks_packed(id, context_id, "
        "agent_id, ord, hash_id, body) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    put.bind(1, rows.column_int(0)).bind(2, rows.column_int(1)).bind(3, rows.column_text_view(2));
    put.bind(4, rows.column_int(3)).bind(5, rows.column_optional_text(4));
    put.bind_blob(6, body.data(), body.size());
    put.run();
  }
  db.exec(kFinishChunks3);
  Statement bodies = db.prepare("SELECT id, body FROM chunks ORDER BY id");
  while (bodies.step()) {
    ChunkSearchText text = unpack_chunk_body(bodies.column_blob(1), db.text_dictionaries()).text;
    Statement fts = db.prepare(
        "INSERT INTO chunk_fts(rowid, fts_name, summary, keywords, "
        "content, subwords, "
        "path_terms) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    fts.bind(1, bodies.column_int(0)).bind(2, text.name).bind(3, text.summary);
    fts.bind(4, text.keywords).bind(5, text.content).bind(6, text.subwords).bind(7, text.path);
    fts.run();
  }
  db.exec("PRAGMA user_version = 3;");
}

// Version 4: the dictionaries that packed texts are compressed with (text_dictionaries.h);
// bodies packed before stay as they are. Hash ids kept as hash_keys.h says.
constexpr const char* kUpgradeTo4 = R"sql(
CREATE TABLE text_dictionaries(
  id INTEGER PRIMARY KEY,
  dictionary BLOB NOT NULL
);
UPDATE chunks SET hash_id = stored_hash_id(hash_id) WHERE hash_id IS NOT NULL;
UPDATE vectors SET hash_id = stored_hash_id(hash_id);
PRAGMA user_version = 4;
)sql";

// Version 5: the chunks of a copy of a file read the bodies of the original's chunks, and the
// keyword index holds only those (schema.h). Chunks stored before keep their own bodies. The
// index by hash id leaves the copies out: each shares its hash id with the chunk it reads.
// It holds body_of (always null there) so that the queries, which must say body_of IS NULL
// to use it, are answered from it alone instead of reading each chunk's row and body.
constexpr const char* kUpgradeTo5 = R"sql(
ALTER TABLE chunks ADD COLUMN body_of INTEGER;
CREATE INDEX chunks_by_body_of ON chunks(body_of) WHERE body_of IS NOT NULL;
DROP INDEX chunks_by_hash;
CREATE INDEX chunks_by_hash ON chunks(agent_id, hash_id, body_of) WHERE body_of IS NULL;
PRAGMA user_version = 5;
)sql";

// Version 6: each context holds the words of its chunks as a filter (word_filter.h), and how
// many there are, so that a search weighs a unit by how much of the question its file holds
// without reading the file's chunks. Filled here from the stored chunks. The index serves
// the mean count; partial, so that no query by agent alone mistakes it for a way in.
constexpr const char* kUpgradeTo6 = R"sql(
ALTER TABLE contexts ADD COLUMN words BLOB;
ALTER TABLE contexts ADD COLUMN word_count INTEGER NOT NULL DEFAULT 0;
CREATE INDEX contexts_by_word_count ON contexts(agent_id, word_count) WHERE word_count > 0;
)sql";

void upgrade_to_6(Database& db) {
  db.exec(kUpgradeTo6);
  Statement contexts = db.prepare("SELECT id FROM contexts ORDER BY id");
  while (contexts.step()) {
    std::int64_t id = contexts.column_int(0);
    // A copy's chunks have no bodies of their own: it reads its original's words, as it reads
    // its bodies, and takes their count below.
    Statement bodies =
        db.prepare("SELECT body FROM chunks WHERE context_id = ?1 AND body_of IS NULL");
    bodies.bind(1, id);
    FileWords words;
    while (bodies.step()) {
      words.add_text(unpack_chunk_body(bodies.column_blob(0), db.text_dictionaries()).text.content);
    }
    WordFilter filter = words.filter();
    if (filter.size() == 0) continue;
    std::string stored = filter.bytes();
    Statement put = db.prepare("UPDATE contexts SET words = ?2, word_count = ?3 WHERE id = ?1");
    put.bind(1, id).bind_blob(2, stored.data(), stored.size());
    put.bind(3, static_cast<std::int64_t>(filter.size())).run();
  }
  db.exec(
      "UPDATE contexts SET word_count = (SELECT x.word_count FROM chunks c "
      "JOIN chunks o ON o.id = c.body_of JOIN contexts x ON x.id = o.context_id "
      "WHERE c.context_id = contexts.id LIMIT 1) "
      "WHERE words IS NULL AND EXISTS (SELECT 1 FROM chunks WHERE context_id = contexts.id "
      "AND body_of IS NOT NULL)");
  db.exec("PRAGMA user_version = 6;");
}

// Version 7: the contexts' chunk counts indexed, so that their sum, which a new process's
// first search weighs the question's words by, is read from the index instead of from every
// context's row (0.6 MB against 42 MB for a tree of 71,432 files).
constexpr const char* kUpgradeTo7 = R"sql(
CREATE INDEX IF NOT EXISTS contexts_by_chunk_count ON contexts(chunk_count);
PRAGMA user_version = 7;
)sql";

int user_version(Database& db) {
  Statement st = db.prepare("PRAGMA user_version");
  return st.step() ? static_cast<int>(st.column_int(0)) : 0;
}

}  // namespace

void ensure_schema(Database& db) {
  if (user_version(db) == kSchemaVersion) return;
  // Another process may be creating the schema at the same moment: decide under the write
  // lock.
  Transaction tx(db);
  int version = user_version(db);
  if (version > kSchemaVersion) {
    throw RuntimeError("the code-memory database " + db.path() + " has schema version " +
                       std::to_string(version) + ", newer than this build reads (" +
                       std::to_string(kSchemaVersion) + ")");
  }
  if (version == 0) db.exec(kCreateVersion1);
  if (version <= 1) db.exec(kUpgradeTo2);
  if (version <= 2) upgrade_to_3(db);
  if (version <= 3) db.exec(kUpgradeTo4);
  if (version <= 4) db.exec(kUpgradeTo5);
  if (version <= 5) upgrade_to_6(db);
  if (version <= 6) db.exec(kUpgradeTo7);
  tx.commit();
}

}  // namespace vantory::backend

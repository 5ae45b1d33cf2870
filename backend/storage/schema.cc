#include "backend/storage/schema.h"

#include <string>

#include "backend/storage/database.h"
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
  tx.commit();
}

}  // namespace vantory::backend

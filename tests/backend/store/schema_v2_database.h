// A code-memory database of schema version 2, as the builds before packed chunk
// bodies wrote it: their schema's SQL, then one agent's file with two chunks,
// its import, its vectors and its keyword index.
#pragma once

namespace vantory::testing {

inline constexpr const char* kSchemaVersion2Database = R"sql(
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

ALTER TABLE contexts ADD COLUMN chunk_key TEXT;
ALTER TABLE contexts ADD COLUMN vectors_complete INTEGER NOT NULL DEFAULT 0;
ALTER TABLE contexts ADD COLUMN revision INTEGER NOT NULL DEFAULT 0;
CREATE INDEX contexts_by_chunk_key ON contexts(chunk_key) WHERE chunk_key IS NOT NULL;
CREATE INDEX vectors_by_embedder ON vectors(agent_id, embedder);
PRAGMA user_version = 2;

INSERT INTO agents(agent_id, generation) VALUES('agent', 3);
INSERT INTO contexts(id, agent_id, seq, file_path, language, record, context_hash, chunk_count,
  file_size, file_mtime_ns, file_hash, indexed_at, chunk_key, vectors_complete, revision)
VALUES(1, 'agent', 0, '/src/app/config.py', 'python',
  '{"file_path": "/src/app/config.py", "language": "python", "chunks": null, ' ||
  '"imports": null, "external_imports": null, "file_size": null, "file_mtime": null, ' ||
  '"file_hash": null, "indexed_at": 1.5}',
  'c0ffee', 2, NULL, NULL, NULL, 1.5, NULL, 1, 3);
INSERT INTO chunks(id, context_id, agent_id, ord, hash_id, record, content_moved, fts_name,
  summary, keywords, content, subwords, path_terms)
VALUES(1, 1, 'agent', 0, 'hash-parse',
  '{"name": "parse_config", "type": "function", "content": null, ' ||
  '"summary": "Reads the settings file", "keywords": ["json"], "start_line": 3, ' ||
  '"hash_id": "hash-parse"}',
  1, 'parse_config parse config', 'Reads the settings file', 'json',
  'def parse_config(path):' || char(10) || '    return json.load(open(path))', 'parse config',
  'src app config'),
(2, 1, 'agent', 1, 'hash-handler',
  '{"name": "RequestHandler", "type": "class", "content": null, "summary": "", ' ||
  '"keywords": [], "start_line": 6, "hash_id": "hash-handler"}',
  1, 'RequestHandler request handler', '', '',
  'class RequestHandler:' || char(10) || '    pass', 'request handler', 'src app config');
INSERT INTO chunk_fts(chunk_fts) VALUES('rebuild');
INSERT INTO imports(context_id, ord, agent_id, module, stem, record)
VALUES(1, 0, 'agent', 'json', 'json', '{"module": "json"}');
INSERT INTO vectors(agent_id, hash_id, embedder, dim, vector)
VALUES('agent', 'hash-parse', 'local-hash-256', 256, zeroblob(1024)),
      ('agent', 'hash-handler', 'local-hash-256', 256, zeroblob(1024));
INSERT INTO global_index(agent_id, file_path, entry) VALUES('agent', '/src/app/config.py',
  '{"language": "python", "chunk_count": 2, "context_hash": "c0ffee", "indexed_at": 1.5}');
)sql";

}  // namespace vantory::testing

// The tables of the code-memory database and their versioning.
//
//   agents        one row per agent: a generation counter bumped by every change to its
//                 contexts or vectors (readers cache by it), the head snapshot, and counters
//                 for the usage and savings reports.
//   contexts      one row per indexed file of an agent, in indexing order (seq): the context
//                 record without its chunks and imports, the facts of the file on disk when
//                 it was indexed (size, mtime, SHA-256), access counters, the chunk key
//                 when its chunks are what the chunker made of a known text (ChunkCache),
//                 whether all of its chunks' vectors are stored, and the words of its
//                 chunks as a filter (word_filter.h) with their count.
//   chunks        the chunk records of each context in order, each with its content and the
//                 texts the keyword index was given packed into one compressed body
//                 (chunk_body.h); chunk_fts is the keyword index (FTS5, contentless),
//                 chunk_vocab tells how many chunks hold each term. A chunk of a copy of
//                 another file of its agent (the same chunk key) has no body and no keyword
//                 index row of its own: body_of names the chunk whose body it reads, with its
//                 own file's path.
//   imports       the import records of each context in order, with the module's stem.
//   vectors       one float32 vector per chunk hash per agent, with the embedder that made it.
//   sections      other named sections of an agent's data.
//   global_index  the index over every agent's files, keyed by agent.
//   snapshots     content-addressed snapshots of an agent's contexts.
//   text_dictionaries  the zstd dictionaries chunk bodies are compressed with
//                 (text_dictionaries.h).
//
// The schema version lives in PRAGMA user_version.
#pragma once

namespace vantory::backend {

class Database;

inline constexpr int kSchemaVersion = 7;

// Creates the tables of an empty database, or brings those of an older version up to date.
// Throws RuntimeError for a database written by a
// newer schema than this build knows, or on any SQLite failure.
void ensure_schema(Database& db);

}  // namespace vantory::backend

// Hash ids as the database keeps them. Most are SHA-256 digests written as 64 lowercase hex
// digits: those are kept as their 32 bytes (a BLOB), which halves them in every row and index
// that holds them (chunks, chunks_by_hash, vectors and its key). Any other id (callers may
// give their own) is kept as the text it is. Either form reads back as the id it was given as,
// and the two forms never compare equal, so no id can be taken for another.
//
// Thread safety: as the Statement's.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>

namespace vantory::backend {

class Statement;

// Binds the kept form of `hash_id` at `index`.
void bind_hash_id(Statement& st, int index, std::string_view hash_id);

// The id a column holds in the kept form; nullopt for NULL.
std::optional<std::string> column_hash_id(const Statement& st, int column);

// Registers the SQL function stored_hash_id(x) on the connection: the kept form of a text
// id, any other value as it is. Used where ids come from within a statement (JSON), and to
// bring older databases over. Throws RuntimeError when SQLite refuses it.
void register_hash_id_function(sqlite3* db);

}  // namespace vantory::backend

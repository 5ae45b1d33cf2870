// The units that bear a unit's whole name in other files: the same function written for another
// platform (ntpath's and posixpath's relpath), a module built twice (as ES and CommonJS
// modules), a vendored copy, a function's definition and its declaration. A question that one of
// them answers well, the others answer too, though their own text may not say so: a variant is
// often left undocumented beside the one that is, and a copy's documentation may differ.
//
// Thread safety: as the database's connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "backend/storage/database.h"

namespace vantory::backend {

// A name borne by more units than this in other files is a common one (`__init__`, `run`,
// `close`): sharing it says nothing of what a unit does.
inline constexpr std::size_t kMostNamesakes = 3;

struct Namesake {
  std::int64_t chunk = 0;
  std::int64_t file = 0;  // its context's id
  bool declaration = false;
};

// `agent_id`'s named units outside `own_file` and outside tests, fixtures, generated and data
// files whose name is exactly `name`, found through the name column of the keyword index. Empty
// when more than kMostNamesakes units bear it, or when the name's words are in the names of so
// many units that it is a common one anyway (the lookup stays a few rows).
std::vector<Namesake> find_namesakes(Database& db, const std::string& agent_id,
                                     const std::string& name, std::int64_t own_file);

}  // namespace vantory::backend

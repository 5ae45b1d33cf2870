// A writer process killed while it works: the child runs numbered writes one after another
// and reports each finished write through a pipe; the parent kills it with SIGKILL after a
// number of reports, wherever it then is (as a rule inside the next write).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vantory::testing {

struct KilledRun {
  std::vector<std::int64_t> acknowledged;  // writes reported finished before the kill
  std::string failure;                     // how the child ended, when not by the kill
};

// Forks a child that calls `write(id)` for id = first, first + 1, ... and reports each id
// once `write` returned. Kills the child after `reports_before_kill` reports, then collects
// every report that was already on its way. The child must not return from `write` by
// throwing; it exits with status 1 if it does.
KilledRun run_until_killed(const std::function<void(std::int64_t id)>& write, std::int64_t first,
                           int reports_before_kill);

// How many kills each subject gets: VANTORY_RELIABILITY_KILLS, else `fallback`.
int kill_rounds(int fallback);

}  // namespace vantory::testing

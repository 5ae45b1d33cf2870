#include "tests/reliability/kill_loop.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace vantory::testing {

namespace {

// Reads one report; false at the end of the pipe.
bool read_report(int fd, std::int64_t& id) {
  char* out = reinterpret_cast<char*>(&id);
  std::size_t got = 0;
  while (got < sizeof id) {
    ssize_t n = ::read(fd, out + got, sizeof id - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // a report cut short by the kill was never made
    got += static_cast<std::size_t>(n);
  }
  return true;
}

[[noreturn]] void child_main(const std::function<void(std::int64_t)>& write, std::int64_t first,
                             int fd) {
  try {
    for (std::int64_t id = first;; ++id) {
      write(id);
      // One report is 8 bytes, far below PIPE_BUF: it arrives whole or not at all.
      if (::write(fd, &id, sizeof id) != sizeof id) _exit(2);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "writer failed: %s\n", e.what());
  }
  _exit(1);
}

}  // namespace

KilledRun run_until_killed(const std::function<void(std::int64_t id)>& write, std::int64_t first,
                           int reports_before_kill) {
  KilledRun run;
  int fds[2];
  if (::pipe(fds) != 0) {
    run.failure = "pipe failed";
    return run;
  }
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) {
    run.failure = "fork failed";
    return run;
  }
  if (pid == 0) {
    ::close(fds[0]);
    child_main(write, first, fds[1]);
  }
  ::close(fds[1]);
  std::int64_t id = 0;
  bool killed = false;
  while (read_report(fds[0], id)) {
    run.acknowledged.push_back(id);
    if (!killed && static_cast<int>(run.acknowledged.size()) >= reports_before_kill) {
      ::kill(pid, SIGKILL);
      killed = true;  // reports already in the pipe still count: they were made
    }
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) {
    run.failure = WIFEXITED(status) ? "writer exited with status " +
                                          std::to_string(WEXITSTATUS(status))
                                    : "writer ended by signal " + std::to_string(WTERMSIG(status));
  }
  return run;
}

int kill_rounds(int fallback) {
  const char* text = std::getenv("VANTORY_RELIABILITY_KILLS");
  int rounds = text ? std::atoi(text) : 0;
  return rounds > 0 ? rounds : fallback;
}

}  // namespace vantory::testing

// Helpers shared by the tests of the programs: temporary folders, environment variables set
// for one test, and child processes driven through pipes.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace vantory::testing {

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes `text` to `path`, creating its folders.
void write_text(const std::string& path, const std::string& text);

// Sets (or, with a null value, unsets) an environment variable until destroyed.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_value_;
  std::string old_value_;
};

// A child process with pipes on its standard input and output; its standard error goes to a
// file. Writing to a child that has exited fails instead of raising SIGPIPE.
class Subprocess {
 public:
  // Starts `argv` in `working_directory` with the variables of `environment` added to this
  // process's environment.
  Subprocess(const std::vector<std::string>& argv, const std::string& working_directory,
             const std::map<std::string, std::string>& environment = {});
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // Writes to the child's standard input; false when the child closed it.
  bool write(const std::string& text);
  void close_stdin();
  // Stops reading the child's standard output: its next write fails.
  void close_stdout();
  // Reads one line of standard output (without its line feed); false at its end.
  bool read_line(std::string& line);
  // Reads standard output to its end.
  std::string read_all();
  // Sends `signal` to the child, unless it was waited for already.
  void kill(int signal);
  // Waits for the child; answers its exit status, or 128 + signal number when killed.
  int wait();
  // What the child wrote to standard error so far.
  std::string stderr_text() const;

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string stderr_path_;
  std::string buffer_;
  int status_ = -1;
};

// Runs `argv` to its end with `input` on standard input; answers {exit status, stdout,
// stderr}.
struct RunResult {
  int status;
  std::string out;
  std::string err;
};
RunResult run(const std::vector<std::string>& argv, const std::string& working_directory,
              const std::map<std::string, std::string>& environment = {},
              const std::string& input = "");

}  // namespace vantory::testing

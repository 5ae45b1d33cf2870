#include "tests/apps/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vantory::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vantory-apps-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_text(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_value_ = old != nullptr;
  if (old) old_value_ = old;
  if (value) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_value_) {
    ::setenv(name_.c_str(), old_value_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

Subprocess::Subprocess(const std::vector<std::string>& argv, const std::string& working_directory,
                       const std::map<std::string, std::string>& environment) {
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  char stderr_template[] = "/tmp/vantory-apps-stderr-XXXXXX";
  int err = ::mkstemp(stderr_template);
  stderr_path_ = stderr_template;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  posix_spawn_file_actions_addchdir_np(&actions, working_directory.c_str());

  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    std::size_t equals = text.find('=');
    variables[text.substr(0, equals)] = equals == std::string::npos ? "" : text.substr(equals + 1);
  }
  for (const auto& [name, value] : environment) variables[name] = value;
  std::vector<std::string> env_texts;
  for (const auto& [name, value] : variables) env_texts.push_back(name + "=" + value);
  std::vector<char*> envp, args;
  for (std::string& text : env_texts) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (std::string& arg : argv_copy) args.push_back(arg.data());
  args.push_back(nullptr);

  int spawned = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err);
  if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);
  in_ = in[1];
  out_ = out[0];
}

Subprocess::~Subprocess() {
  close_stdin();
  close_stdout();
  if (status_ < 0 && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  ::unlink(stderr_path_.c_str());
}

bool Subprocess::write(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(in_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void Subprocess::close_stdout() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

void Subprocess::close_stdin() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

bool Subprocess::read_line(std::string& line) {
  while (true) {
    std::size_t feed = buffer_.find('\n');
    if (feed != std::string::npos) {
      line = buffer_.substr(0, feed);
      buffer_.erase(0, feed + 1);
      return true;
    }
    char chunk[65536];
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (buffer_.empty()) return false;
      line = std::move(buffer_);
      buffer_.clear();
      return true;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string Subprocess::read_all() {
  std::string text, line;
  while (read_line(line)) text += line + "\n";
  return text;
}

void Subprocess::kill(int signal) {
  if (status_ < 0) ::kill(pid_, signal);
}

int Subprocess::wait() {
  if (status_ >= 0) return status_;
  int raw = 0;
  while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
  }
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return status_;
}

std::string Subprocess::stderr_text() const {
  std::ifstream in(stderr_path_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

RunResult run(const std::vector<std::string>& argv, const std::string& working_directory,
              const std::map<std::string, std::string>& environment, const std::string& input) {
  Subprocess child(argv, working_directory, environment);
  // Written from a thread of its own: a child that answers while it reads would otherwise
  // fill its output pipe and wait for us while we wait for it.
  std::thread writer([&] {
    child.write(input);
    child.close_stdin();
  });
  std::string out = child.read_all();
  writer.join();
  int status = child.wait();
  return {status, out, child.stderr_text()};
}

}  // namespace vantory::testing

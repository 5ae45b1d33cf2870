#include "apps/host/diagnostic_filter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "common/error.h"
#include "common/files.h"
#include "common/mutex.h"

namespace vantory::host {

namespace {

constexpr std::string_view kPrefixes[] = {"[Embedding] ", "[Ambrel] "};
// Lines held before route_diagnostics beyond this are dropped: only the libraries' load-time
// lines come before main.
constexpr std::size_t kMaxHeldBytes = 64 * 1024;

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The filter on standard error. Made before anything else runs and never destroyed, so that
// lines written while the program ends still pass.
class Filter {
 public:
  // Takes what the C library's stream hands on. Ordinary text goes to descriptor 2 at once,
  // partial lines too (a progress bar redraws one line); a line that starts with a library's
  // prefix is kept until its line feed and then sorted.
  void write(std::string_view data) {
    MutexLock lock(mutex_);
    while (!data.empty()) {
      if (state_ == State::kPassing) {
        std::size_t feed = data.find('\n');
        std::size_t end = feed == std::string_view::npos ? data.size() : feed + 1;
        write_all(STDERR_FILENO, data.substr(0, end));
        if (feed != std::string_view::npos) state_ = State::kLineStart;
        data.remove_prefix(end);
        continue;
      }
      char c = data.front();
      data.remove_prefix(1);
      line_ += c;
      if (state_ == State::kLibraryLine) {
        if (c == '\n') end_library_line();
        continue;
      }
      // At a line's start: is it a library's line?
      bool could_be = false;
      for (std::string_view prefix : kPrefixes) {
        if (line_.size() <= prefix.size() && prefix.substr(0, line_.size()) == line_) {
          could_be = true;
          if (line_.size() == prefix.size()) state_ = State::kLibraryLine;
        }
      }
      if (state_ == State::kLibraryLine) continue;
      state_ = could_be && c != '\n' ? State::kLineStart : State::kPassing;
      if (state_ == State::kPassing) {
        write_all(STDERR_FILENO, line_);
        if (c == '\n') state_ = State::kLineStart;
        line_.clear();
      }
    }
  }

  void route(const DiagnosticsOptions& options) {
    int log = -1;
    if (!options.log_file.empty()) {
      log = ::open(options.log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (log < 0) throw OSError(os_error_text(errno, options.log_file));
    }
    MutexLock lock(mutex_);
    verbose_ = options.verbose;
    log_ = log;
    routed_ = true;
    if (log_ >= 0) write_all(log_, held_);
    if (verbose_) write_all(STDERR_FILENO, held_);
    held_.clear();
    held_.shrink_to_fit();
  }

 private:
  enum class State { kLineStart, kPassing, kLibraryLine };

  void end_library_line() REQUIRES(mutex_) {
    std::string line;
    line.swap(line_);
    state_ = State::kLineStart;
    if (log_ >= 0) write_all(log_, line);
    if (is_failure_line(line.substr(0, line.size() - 1))) {
      // Shown now, and not again when the held lines find their place.
      write_all(STDERR_FILENO, line);
      return;
    }
    if (verbose_) {
      write_all(STDERR_FILENO, line);
    } else if (!routed_ && held_.size() + line.size() <= kMaxHeldBytes) {
      held_ += line;
    }
  }

  // `mutex_` guards the state of the line being sorted and where lines go; it is held while a
  // line is written, so that lines of several threads never interleave.
  Mutex mutex_;
  State state_ GUARDED_BY(mutex_) = State::kLineStart;
  std::string line_ GUARDED_BY(mutex_);
  std::string held_ GUARDED_BY(mutex_);
  bool routed_ GUARDED_BY(mutex_) = false;
  bool verbose_ GUARDED_BY(mutex_) = false;
  int log_ GUARDED_BY(mutex_) = -1;
};

Filter* filter = nullptr;

ssize_t filter_write(void*, const char* data, std::size_t size) {
  filter->write(std::string_view(data, size));
  return static_cast<ssize_t>(size);
}

// Runs before the shared libraries' initialisers (an executable's pre-initialisation array
// comes first), so their load-time lines already meet the filter.
void install_filter(int, char**, char**) {
  filter = new Filter();
  cookie_io_functions_t functions{nullptr, filter_write, nullptr, nullptr};
  FILE* stream = fopencookie(nullptr, "w", functions);
  if (!stream) return;
  std::setvbuf(stream, nullptr, _IONBF, 0);
  stderr = stream;
}

__attribute__((section(".preinit_array"),
               used)) void (*install_filter_entry)(int, char**, char**) = install_filter;

}  // namespace

bool is_failure_line(const std::string& line) {
  for (std::string_view prefix : kPrefixes) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string_view text = std::string_view(line).substr(prefix.size());
    return text.substr(0, 6) == "Failed" || text.substr(0, 4) == "API " ||
           text.substr(0, 18) == "Gradio API timeout" || text.substr(0, 16) == "Kept the damaged" ||
           text.substr(0, 18) == "Vectors of lengths";
  }
  return false;
}

bool take_diagnostics_flag(const std::vector<std::string>& args, std::size_t& i,
                           DiagnosticsOptions& options) {
  const std::string& arg = args[i];
  if (arg == "--verbose") {
    options.verbose = true;
    ++i;
    return true;
  }
  std::string value;
  if (arg == "--log-file") {
    if (i + 1 >= args.size() || args[i + 1].empty()) throw ValueError("--log-file needs a value");
    value = args[i + 1];
    i += 2;
  } else if (arg.rfind("--log-file=", 0) == 0) {
    value = arg.substr(11);
    if (value.empty()) throw ValueError("--log-file needs a value");
    ++i;
  } else {
    return false;
  }
  options.log_file = value;
  return true;
}

const char* diagnostics_flags_help() {
  return "  --verbose          show the libraries' diagnostic lines, not only their failures\n"
         "  --log-file FILE    append the libraries' diagnostic lines to FILE\n";
}

void route_diagnostics(const DiagnosticsOptions& options) {
  if (filter) filter->route(options);
}

}  // namespace vantory::host

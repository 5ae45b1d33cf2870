#include "apps/cli/progress_bar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "apps/cli/table.h"

namespace vantory::cli {

namespace {

constexpr std::int64_t kBarCells = 30;

std::size_t stderr_width() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

}  // namespace

ProgressBar::ProgressBar() : enabled_(::isatty(STDERR_FILENO)) {}

ProgressBar::~ProgressBar() { clear(); }

void ProgressBar::update(std::int64_t done, std::int64_t total, const std::string& label) {
  if (!enabled_) return;
  std::int64_t filled = total > 0 ? std::clamp<std::int64_t>(done * kBarCells / total, 0, kBarCells)
                                  : 0;
  std::string line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                     std::string(static_cast<std::size_t>(kBarCells - filled), '.') + "] " +
                     std::to_string(done) + "/" + std::to_string(total) + " ";
  std::size_t width = stderr_width() - 1;
  if (line.size() < width) line += one_line(label, width - line.size());
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressBar::clear() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace vantory::cli

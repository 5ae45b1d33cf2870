// A progress bar on standard error for long work, drawn only when standard error is a
// terminal (a log file gets no carriage returns).
//
// Thread safety: none.
#pragma once

#include <cstdint>
#include <string>

namespace vantory::cli {

class ProgressBar {
 public:
  // Draws nothing unless standard error is a terminal.
  ProgressBar();
  // Clears the bar.
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Redraws the bar at `done` of `total` with `label` (cut to fit) after it.
  void update(std::int64_t done, std::int64_t total, const std::string& label);

  // Removes the bar from the screen.
  void clear();

 private:
  bool enabled_;
  bool drawn_ = false;
};

}  // namespace vantory::cli

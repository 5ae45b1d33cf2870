// Keeping the libraries' diagnostic lines out of a person's way. The libraries write one line
// each to standard error, prefixed "[Embedding] " or "[Ambrel] ", from the moment they are
// loaded ("numpy not available, ..."), and people read every such line as an error. The
// programs sort them instead:
//
//   - a line that reports a failure ("Failed ...", "API ... error", "Gradio API timeout ...",
//     "Kept the damaged ...", "Vectors of lengths ... are not comparable") is shown, as every
//     other line of standard error is (the programs' own errors, a crash);
//   - any other line of the libraries is shown with --verbose only;
//   - with --log-file FILE every line of the libraries is appended to FILE as well.
//
// The sorting starts before the libraries are loaded: linking this file into a program puts
// a filter on the C library's standard error stream ahead of every other initialisation.
// Lines written before route_diagnostics are held, and given their place when it is called.
//
// Thread safety: lines may be written from any thread; route_diagnostics is called once, by
// main, before other threads start.
#pragma once

#include <string>
#include <vector>

namespace vantory::host {

struct DiagnosticsOptions {
  bool verbose = false;
  std::string log_file;  // empty for none
};

// When args[i] is --verbose, or --log-file FILE (or --log-file=FILE), stores it in `options`,
// advances `i` past it and answers true. Throws ValueError when --log-file has no value.
bool take_diagnostics_flag(const std::vector<std::string>& args, std::size_t& i,
                           DiagnosticsOptions& options);

// The lines of --help that describe the flags above.
const char* diagnostics_flags_help();

// Sends the libraries' lines where `options` says, from now on and for those held so far.
// Throws OSError when the log file cannot be opened for appending.
void route_diagnostics(const DiagnosticsOptions& options);

// True when `line` (without its line feed) is a diagnostic line of a library that reports a
// failure.
bool is_failure_line(const std::string& line);

}  // namespace vantory::host

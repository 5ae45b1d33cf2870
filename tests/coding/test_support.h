// Helpers for the Tarnel tests: a scratch directory with real files, a chunker that records what
// it was given, and a clock the test moves by hand.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "coding/chunking.h"
#include "common/files.h"
#include "common/json_text.h"
#include "tests/coding/fakes.h"

namespace vantory::testing {

// A fresh directory below /tmp, removed with everything in it at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/vantory-coding-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

  // Writes `bytes` to `name` below the directory; answers the file's path.
  std::string write(const std::string& name, const std::string& bytes) const {
    std::string file = path_ + "/" + name;
    write_file_atomic(file, bytes);
    return file;
  }

 private:
  std::string path_;
};

// Answers one FakeUnit per record and remembers the text and path it was asked to cut.
class RecordingChunker : public Chunker {
 public:
  RecordingChunker(std::vector<Json> records, std::string* seen_text, std::string* seen_path)
      : records_(std::move(records)), seen_text_(seen_text), seen_path_(seen_path) {}

  std::vector<std::unique_ptr<CodeUnit>> chunk_file(const std::string& text,
                                                    const std::string& file_path) override {
    if (seen_text_) *seen_text_ = text;
    if (seen_path_) *seen_path_ = file_path;
    std::vector<std::unique_ptr<CodeUnit>> units;
    for (const Json& record : records_) units.push_back(std::make_unique<FakeUnit>(record));
    return units;
  }

 private:
  std::vector<Json> records_;
  std::string* seen_text_;
  std::string* seen_path_;
};

// Throws from chunk_file, or (with `in_units`) answers one unit whose conversion throws.
class BrokenChunker : public Chunker {
 public:
  explicit BrokenChunker(bool in_units) : in_units_(in_units) {}
  std::vector<std::unique_ptr<CodeUnit>> chunk_file(const std::string&,
                                                    const std::string&) override {
    if (!in_units_) throw std::runtime_error("parse error at line 1");
    std::vector<std::unique_ptr<CodeUnit>> units;
    units.push_back(std::make_unique<FakeUnit>(Json::object(), true));
    return units;
  }

 private:
  bool in_units_;
};

// The text of the error object with `message`.
inline std::string error_text(const std::string& message) {
  return dump_json(Json{{"status", "error"}, {"message", message}});
}

// A clock that stands still until the test (or a fake component) moves it. Installed into a
// Tarnel, it shows exactly which calls fall inside a timed interval.
struct ManualClock {
  double seconds = 100.0;
  void install(Tarnel& tarnel) {
    tarnel.set_clock_for_testing([this] { return seconds; });
  }
  void advance_ms(double ms) { seconds += ms / 1000.0; }
};

// The "count" and "avg_ms" that performance_profile reports for `op`.
inline Json profile_of(Tarnel& tarnel, const std::string& op) {
  return tarnel.performance_profile("any")["profile"][op];
}

}  // namespace vantory::testing

// The Python chunker over the installed Python standard library: real code of every shape.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "backend/chunking/chunking_engine.h"
#include "common/files.h"
#include "common/unicode.h"
#include "tests/backend/chunking/chunk_test_util.h"

namespace vantory::backend::testing {
namespace {

namespace fs = std::filesystem;

// The Lib folder of the newest python3 under /usr/lib (the one that holds os.py), or empty.
// VANTORY_PYTHON_LIB names another one (a Python built with its test suite is a good test).
fs::path stdlib_dir() {
  if (const char* dir = std::getenv("VANTORY_PYTHON_LIB")) return dir;
  fs::path best;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator("/usr/lib", ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("python3.", 0) == 0 && fs::exists(entry.path() / "os.py") &&
        (best.empty() || name > best.filename().string())) {
      best = entry.path();
    }
  }
  return best;
}

// The text of a file as the coding API hands it to a chunker.
std::string read_as_text(const fs::path& path) {
  return translate_newlines(decode_utf8_lossy(read_file(path.string())));
}

std::vector<fs::path> stdlib_files(const fs::path& root) {
  std::vector<fs::path> files;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied);
  for (; it != fs::recursive_directory_iterator(); ++it) {
    std::string name = it->path().filename().string();
    if (it->is_directory() && (name == "site-packages" || name == "dist-packages")) {
      it.disable_recursion_pending();
    } else if (it->is_regular_file() && it->path().extension() == ".py") {
      files.push_back(it->path());
    }
  }
  return files;
}

TEST(PythonStdlib, EveryFileChunksConsistently) {
  fs::path root = stdlib_dir();
  if (root.empty()) GTEST_SKIP() << "no Python standard library under /usr/lib";
  std::vector<fs::path> files = stdlib_files(root);
  ASSERT_GT(files.size(), 100u);
  const std::set<std::string> types = {"class", "function", "method", "import", "block"};
  std::unique_ptr<Chunker> chunker = ChunkingEngine::get_chunker("python");
  std::size_t methods = 0;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    std::string text = read_as_text(file);
    std::vector<Json> records;
    ASSERT_NO_THROW({
      for (const auto& unit : chunker->chunk_file(text, file.string())) {
        records.push_back(unit->to_dict());
      }
    });
    bool blank = text.find_first_not_of(" \t\r\n\f\v") == std::string::npos;
    EXPECT_EQ(records.empty(), blank);
    expect_consistent(records, text);
    for (const Json& record : records) {
      EXPECT_TRUE(types.count(record["type"].get<std::string>())) << record["type"];
      EXPECT_FALSE(record["name"].get<std::string>().empty());
      EXPECT_FALSE(record["summary"].get<std::string>().empty()) << record["name"];
      if (record["type"] == "method") ++methods;
    }
    ASSERT_FALSE(::testing::Test::HasFailure());
  }
  EXPECT_GT(methods, files.size());
}

TEST(PythonStdlib, KnownUnitsAndImports) {
  fs::path root = stdlib_dir();
  if (root.empty()) GTEST_SKIP() << "no Python standard library under /usr/lib";
  std::string argparse = read_as_text(root / "argparse.py");
  std::vector<std::string> names = names_of(chunk("python", argparse));
  EXPECT_THAT(names, ::testing::IsSupersetOf({"ArgumentParser", "ArgumentParser.parse_args",
                                              "ArgumentParser.add_subparsers", "_ActionsContainer",
                                              "HelpFormatter._format_usage"}));
  std::string decoder = read_as_text(root / "json" / "decoder.py");
  EXPECT_THAT(extract_imports("python", decoder), ::testing::IsSupersetOf({"re", "json"}));
}

}  // namespace
}  // namespace vantory::backend::testing

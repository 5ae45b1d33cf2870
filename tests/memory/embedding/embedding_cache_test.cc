#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/files.h"
#include "common/json_text.h"
#include "memory/embedding/embedding_cache.h"
#include "memory/embedding/remote_embedding_client.h"
#include "tests/memory/embedding/test_support.h"

namespace vantory {
namespace {

using test_support::ScopedEnvironment;
using test_support::ScriptedClient;
using test_support::StderrCapture;
using test_support::TempDir;

// Each text gets (length of text, 1) before normalisation, so answers are easy to predict.
PythonVector length_answer(const std::string& text) {
  return create_vector(std::vector<double>{static_cast<double>(text.size()), 1.0});
}

std::string cache_file(const TempDir& dir) { return dir.path() + "/cache/embedding_cache.json"; }

TEST(EmbeddingCache, KeysAreTheFirst16HexDigitsOfSha256) {
  EXPECT_EQ(RemoteEmbeddingClient::_get_cache_key("abc"), "ba7816bf8f01cfea");
  EXPECT_EQ(RemoteEmbeddingClient::_get_cache_key(""), "e3b0c44298fc1c14");
  EXPECT_NE(RemoteEmbeddingClient::_get_cache_key("Abc"),
            RemoteEmbeddingClient::_get_cache_key("abc"));
  EXPECT_NE(RemoteEmbeddingClient::_get_cache_key("abc "),
            RemoteEmbeddingClient::_get_cache_key("abc"));
}

TEST(EmbeddingCache, MapKeepsOrderAndAnyKeyForm) {
  EmbeddingCache cache;
  cache.insert_or_assign("ba7816bf8f01cfea", PythonVector{1});
  cache.insert_or_assign("not hex", PythonVector{2});
  cache.insert_or_assign("BA7816BF8F01CFEA", PythonVector{3});
  cache.insert_or_assign("ba7816bf8f01cfea", PythonVector{4});  // replaced in place
  std::vector<std::string> keys;
  cache.for_each([&](std::string_view key, const PythonVector&) { keys.emplace_back(key); });
  EXPECT_EQ(keys, (std::vector<std::string>{"ba7816bf8f01cfea", "not hex", "BA7816BF8F01CFEA"}));
  EXPECT_EQ((*cache.find("ba7816bf8f01cfea"))[0], 4.0f);
  EXPECT_EQ((*cache.find("not hex"))[0], 2.0f);
  EXPECT_EQ(cache.find("0000000000000000"), nullptr);
}

TEST(EmbeddingCache, SavedFileIsExactJsonText) {
  ScopedEnvironment env;
  TempDir dir;
  StderrCapture err;
  ScriptedClient client([](const std::string&) { return PythonVector{0.6, 0.8, 0.0}; },
                        dir.path() + "/cache");
  client.embed("abc");
  EXPECT_FALSE(path_exists(dir.path() + "/cache"));  // created by the first save
  client.save_cache();
  EXPECT_EQ(read_file(cache_file(dir)),
            "{\"ba7816bf8f01cfea\": [0.6000000238418579, 0.800000011920929, 0.0]}");
  client.clear_cache();
  EXPECT_FALSE(path_exists(cache_file(dir)));
  EXPECT_TRUE(path_exists(dir.path() + "/cache"));
  client.save_cache();
  EXPECT_EQ(read_file(cache_file(dir)), "{}");
  EXPECT_EQ(err.text().find("Failed"), std::string::npos);
}

TEST(EmbeddingCache, ReloadGivesBackTheSameEntriesAndSkipsTheService) {
  ScopedEnvironment env;
  TempDir dir;
  StderrCapture err;
  std::string text;
  {
    ScriptedClient writer(length_answer, dir.path() + "/cache");
    writer.embed("a");
    writer.embed("bb");
    writer.save_cache();
    text = read_file(cache_file(dir));
  }
  ScriptedClient reader(length_answer, dir.path() + "/cache");
  EXPECT_EQ(reader.cache_size(), 2u);
  EXPECT_EQ(reader.embed("bb"), length_answer("bb"));
  EXPECT_EQ(reader.calls, 0);
  reader.save_cache();
  EXPECT_EQ(read_file(cache_file(dir)), text);
  EXPECT_NE(err.text().find("[Embedding] Loaded 2 cached embeddings\n"), std::string::npos);
}

TEST(EmbeddingCache, DamagedFilesLoadNothing) {
  struct Case {
    const char* content;
    std::size_t loaded;  // entries after construction
    const char* line;    // expected log line start, "" for none
  } cases[] = {
      {"[]", 0, "[Embedding] Failed to load cache: "},
      {"", 0, "[Embedding] Failed to load cache: Expecting value: line 1 column 1 (char 0)"},
      {"not json", 0, "[Embedding] Failed to load cache: "},
      {"{\"a\": [1.0, 2", 0, "[Embedding] Failed to load cache: "},
      {"{\"a\": [1.0], \"b\": {\"c\": 1}}", 0, "[Embedding] Failed to load cache: "},
      {"{\"a\": [1.0], \"b\": [\"x\"]}", 0, "[Embedding] Failed to load cache: "},
      {"{\"a\": [1.0], \"b\": null}", 0, "[Embedding] Failed to load cache: "},
      {"{\"a\": [NaN, Infinity, -Infinity, 1e400, 1e-400]}", 1,
       "[Embedding] Loaded 1 cached embeddings"},
      {"{\"a\": [1], \"a\": [2, 3]}", 1, "[Embedding] Loaded 1 cached embeddings"},
      {"\xEF\xBB\xBF{}", 0, "[Embedding] Failed to load cache: "},
  };
  for (const Case& c : cases) {
    ScopedEnvironment env;
    TempDir dir;
    make_directories(dir.path() + "/cache");
    write_file_atomic(cache_file(dir), c.content);
    StderrCapture err;
    ScriptedClient client(length_answer, dir.path() + "/cache");
    EXPECT_EQ(client.cache_size(), c.loaded) << c.content;
    EXPECT_EQ(err.text().rfind(c.line, 0), 0u) << c.content;
  }
}

// Clients of separate processes (here: two clients of one folder) add to one file; a damaged
// file is kept beside, never replaced.
TEST(EmbeddingCache, SavesMergeWithTheFileAndKeepADamagedOneAside) {
  ScopedEnvironment env;
  TempDir dir;
  StderrCapture err;
  ScriptedClient first(length_answer, dir.path() + "/cache");
  ScriptedClient second(length_answer, dir.path() + "/cache");
  first.embed("a");
  first.save_cache();
  second.embed("bb");
  second.save_cache();
  first.embed("ccc");
  first.save_cache();
  std::vector<std::string> keys;
  parse_number_array_object(read_file(cache_file(dir)),
                            [&](std::string&& key, std::vector<double>&) { keys.push_back(key); });
  std::sort(keys.begin(), keys.end());
  std::vector<std::string> expected = {RemoteEmbeddingClient::_get_cache_key("a"),
                                       RemoteEmbeddingClient::_get_cache_key("bb"),
                                       RemoteEmbeddingClient::_get_cache_key("ccc")};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(keys, expected);

  write_file_atomic(cache_file(dir), "{\"ba7816bf8f01cfea\": [1.0, ");
  second.embed("dddd");
  second.save_cache();
  ScriptedClient third(length_answer, dir.path() + "/cache");
  EXPECT_EQ(third.cache_size(), 3u);  // what `second` held: a, bb, dddd
  std::size_t kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path() + "/cache")) {
    if (entry.path().filename().string().rfind("embedding_cache.json.damaged-", 0) != 0) continue;
    ++kept;
    EXPECT_EQ(read_file(entry.path()), "{\"ba7816bf8f01cfea\": [1.0, ");
  }
  EXPECT_EQ(kept, 1u);
  EXPECT_NE(err.text().find("[Embedding] Kept the damaged cache file as " + cache_file(dir) +
                            ".damaged-"),
            std::string::npos);
}

TEST(EmbeddingCache, MissingDirectoryIsSilentAndSaveFailuresAreReported) {
  ScopedEnvironment env;
  TempDir dir;
  {
    StderrCapture err;
    ScriptedClient client(length_answer, dir.path() + "/absent");
    client.save_cache();  // empty cache: still creates the file
    std::string text = err.text();
    EXPECT_EQ(text.find("Loaded"), std::string::npos);
    EXPECT_EQ(text.find("Failed"), std::string::npos);
    EXPECT_EQ(read_file(dir.path() + "/absent/embedding_cache.json"), "{}");
  }
  write_file_atomic(dir.path() + "/file", "x");
  StderrCapture err;
  ScriptedClient blocked(length_answer, dir.path() + "/file/sub");
  blocked.embed("a");
  blocked.save_cache();
  EXPECT_NE(err.text().find("[Embedding] Failed to save cache: [Errno "), std::string::npos);
  EXPECT_EQ(blocked.cache_size(), 1u);

  StderrCapture quiet;
  ScriptedClient no_file(length_answer);
  no_file.save_cache();
  no_file.clear_cache();
  EXPECT_EQ(quiet.text().find("cache"), std::string::npos);
}

TEST(EmbeddingCache, EveryHundredthEntryRewritesTheFile) {
  ScopedEnvironment env;
  TempDir dir;
  StderrCapture err;
  ScriptedClient client(length_answer, dir.path() + "/cache");
  auto entries_on_disk = [&]() -> int {
    if (!path_exists(cache_file(dir))) return 0;
    int count = 0;
    parse_number_array_object(read_file(cache_file(dir)),
                              [&](std::string&&, std::vector<double>&) { ++count; });
    return count;
  };
  for (int i = 0; i < 99; ++i) client.embed("text " + std::to_string(i));
  EXPECT_EQ(entries_on_disk(), 0);
  client.embed("text 99");
  EXPECT_EQ(entries_on_disk(), 100);
  client.embed("text 0");  // a hit adds nothing
  for (int i = 100; i < 199; ++i) client.embed("text " + std::to_string(i));
  EXPECT_EQ(entries_on_disk(), 100);
  client.embed("text 199");
  EXPECT_EQ(entries_on_disk(), 200);
}

}  // namespace
}  // namespace vantory

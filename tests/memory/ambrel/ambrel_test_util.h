// Support for the vector store tests: a store in a fresh directory whose embeddings come from
// a scripted client, never from a network.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/json.h"
#include "memory/ambrel/local_ambrel.h"
#include "tests/memory/embedding/test_support.h"

namespace vantory::ambrel_test {

using test_support::ScriptedClient;
using test_support::StderrCapture;
using test_support::TempDir;

// The text "v:1,0,-2" embeds as those numbers (unscaled); a text holding "fail" makes the
// embedding throw "service down"; any other text embeds as a unit vector of 8 dimensions
// derived from its bytes.
PythonVector scripted_vector(const std::string& text);

class StoreTest : public ::testing::Test {
 protected:
  StoreTest();

  // A store over this test's directory (`root` below it) sharing the scripted client.
  std::unique_ptr<LocalAmbrel> make_store(bool auto_embed = true, const std::string& root = "data");

  // The text of the agent's vectors file.
  std::string file_text(const std::string& agent = "agent") const;

  TempDir dir;
  std::shared_ptr<ScriptedClient> client;
  std::unique_ptr<LocalAmbrel> store;
};

// A memory entry {"id": id, "content": content} with the members of `more` after them.
Json memory(const std::string& id, const std::string& content, const Json& more = Json::object());

// The values of member `key` of each record, in order.
std::vector<Json> column(const Json& records, const std::string& key);

}  // namespace vantory::ambrel_test

// A Host over fresh folders, with the local embedding service standing in for a real one and
// the process-wide store and client made anew for each test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "apps/embeddings/local_embedding_service.h"
#include "apps/host/host.h"
#include "memory/ambrel/process_ambrel.h"
#include "memory/embedding/process_client.h"
#include "tests/apps/test_support.h"

namespace vantory::testing {

class HostTest : public ::testing::Test {
 protected:
  // `tools` chooses the tools the host lists (HostConfig::tools): "" for the default set.
  explicit HostTest(std::string tools = "")
      : url_("REMOTE_EMBEDDING_URL", service_.gradio_url().c_str()),
        agent_("VANTORY_AGENT_ID", nullptr) {
    reset_ambrel();
    reset_embedding_client();
    host::HostConfig config;
    config.coding_root = dir_ / "coding";
    config.data_root = dir_ / "data";
    config.agent_id = "tester";
    config.roots = {dir_.path()};
    config.tools = std::move(tools);
    host_ = std::make_unique<host::Host>(config);
  }

  ~HostTest() override {
    host_.reset();
    reset_ambrel();
    reset_embedding_client();
  }

  TempDir dir_;
  embeddings::LocalEmbeddingService service_;
  ScopedEnv url_;
  ScopedEnv agent_;
  std::unique_ptr<host::Host> host_;
};

}  // namespace vantory::testing

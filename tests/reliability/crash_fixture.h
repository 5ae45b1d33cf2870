// What the crash-consistency tests share: an embedding client whose service is a function of
// the text, and a fixture with a temporary folder and a seeded random source.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "memory/embedding/remote_embedding_client.h"

namespace vantory::testing {

inline constexpr int kDimension = 48;

// The embedding every writer and checker agrees on for text number `id`.
inline PythonVector embedding_of(std::int64_t id) {
  std::vector<float> values(kDimension);
  for (int j = 0; j < kDimension; ++j) {
    values[static_cast<std::size_t>(j)] = static_cast<float>((id + 1) * 0.001 + j * 0.25);
  }
  return PythonVector(std::span<const float>(values));
}

inline std::string text_of(std::int64_t id) { return "memory number " + std::to_string(id); }

// A client whose service is a function of the text, and which counts how often it is asked.
class LocalServiceClient : public RemoteEmbeddingClient {
 public:
  explicit LocalServiceClient(const std::string& cache_dir)
      : RemoteEmbeddingClient("http://127.0.0.1:9/embed", std::nullopt, "dense-embedding",
                              kDimension, 60, true, cache_dir) {}
  PythonVector _call_api(const std::string& text) override {
    ++calls;
    return embedding_of(std::stoll(text.substr(text.rfind(' ') + 1)));
  }
  int calls = 0;
};

class CrashConsistency : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vantory-crash-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Leftover temporary files of saves that a kill interrupted.
  int interrupted_saves(const std::string& dir) const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      count += entry.path().filename().string().find(".tmp.") != std::string::npos;
    }
    return count;
  }

  std::string dir_;
  std::mt19937 random_{20261208};
};

}  // namespace vantory::testing

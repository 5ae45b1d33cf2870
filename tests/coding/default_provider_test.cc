#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "coding/component_provider.h"
#include "coding/tarnel.h"
#include "common/error.h"
#include "common/json_text.h"

namespace vantory {
namespace {

// Points VANTORY_BACKEND_LIBRARY at a library for the length of a test.
class BackendVariable {
 public:
  explicit BackendVariable(const std::string& library) {
    if (const char* old = std::getenv("VANTORY_BACKEND_LIBRARY")) old_ = old;
    ::setenv("VANTORY_BACKEND_LIBRARY", library.c_str(), 1);
  }
  ~BackendVariable() {
    if (old_.empty()) {
      ::unsetenv("VANTORY_BACKEND_LIBRARY");
    } else {
      ::setenv("VANTORY_BACKEND_LIBRARY", old_.c_str(), 1);
    }
  }

 private:
  std::string old_;
};

std::string load_failure(const std::string& library) {
  BackendVariable variable(library);
  try {
    default_component_provider();
  } catch (const RuntimeError& e) {
    return e.what();
  }
  return "loaded";
}

TEST(DefaultProviderTest, LoadsTheNamedBackendAndKeepsItWhileTheTarnelLives) {
  BackendVariable variable(VANTORY_TEST_BACKEND);
  // A handle of our own keeps the library mapped so its counter can be read after the
  // Tarnel let go of it.
  void* self = dlopen(VANTORY_TEST_BACKEND, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(self, nullptr) << dlerror();
  auto live = reinterpret_cast<int (*)()>(dlsym(self, "vantory_test_backend_live_providers"));
  ASSERT_NE(live, nullptr);
  {
    Tarnel tarnel("/srv/code");
    EXPECT_EQ(live(), 1);
    EXPECT_EQ(dump_json(tarnel.list_directory("a")),
              R"({"status": "ok", "path": "/", "items": ["from-test-backend"], "count": 1})");
    EXPECT_EQ(tarnel.list_mems("a")["root"], "/srv/code");
    EXPECT_THROW(tarnel.index_file("a", "f.py"), std::runtime_error);
  }
  EXPECT_EQ(live(), 0);
  dlclose(self);
}

TEST(DefaultProviderTest, LoadFailuresCarryTheLoadersReason) {
  std::string missing = load_failure("/nonexistent/libvantory_backend.so");
  EXPECT_EQ(missing.rfind("Cannot load the code-memory backend: ", 0), 0u) << missing;
  EXPECT_NE(missing.find("/nonexistent/libvantory_backend.so"), std::string::npos) << missing;

  // A library that is no backend: it lacks the entry point.
  std::string no_entry = load_failure(VANTORY_TARNEL_LIBRARY);
  EXPECT_NE(no_entry.find("vantory_backend_component_provider"), std::string::npos) << no_entry;

  BackendVariable variable("/nonexistent/libvantory_backend.so");
  EXPECT_THROW(Tarnel("./.vantory_coding"), RuntimeError);
}

}  // namespace
}  // namespace vantory

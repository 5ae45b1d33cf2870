// The default provider: the project's own backend, loaded at run time so that libtarnel does
// not link it (and a host that brings its own components never loads it).
#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "coding/component_provider.h"
#include "common/error.h"
#include "common/files.h"

extern "C" {
// Exported by the backend library: a new provider that the caller owns.
using BackendEntryPoint = vantory::ComponentProvider* (*)();
}

namespace vantory {

namespace {

constexpr const char* kBackendFile = "libvantory_backend.so";
constexpr const char* kEntryPoint = "vantory_backend_component_provider";
constexpr const char* kLibraryVariable = "VANTORY_BACKEND_LIBRARY";

// The loader's own account of its last failure, or `otherwise` when it has none.
std::string loader_error(const char* otherwise) {
  const char* reason = dlerror();
  return reason ? reason : otherwise;
}

[[noreturn]] void throw_load_failure(const std::string& reason) {
  throw RuntimeError("Cannot load the code-memory backend: " + reason);
}

// The directory that holds libtarnel itself, with a trailing "/"; empty when it is unknown.
std::string own_directory() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&default_component_provider), &info) == 0 ||
      info.dli_fname == nullptr) {
    return "";
  }
  std::string path = info.dli_fname;
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The backend named by VANTORY_BACKEND_LIBRARY; otherwise the one installed beside libtarnel;
// otherwise whatever the dynamic loader's search path finds. The first candidate that exists
// is the one whose failure is reported, since its reason (a missing symbol, a wrong
// architecture) is the useful one.
void* open_backend() {
  const char* chosen = std::getenv(kLibraryVariable);
  if (chosen && *chosen) return dlopen(chosen, RTLD_NOW | RTLD_LOCAL);
  std::string beside = own_directory();
  if (!beside.empty() && path_exists(beside + kBackendFile)) {
    return dlopen((beside + kBackendFile).c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  return dlopen(kBackendFile, RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

std::shared_ptr<ComponentProvider> default_component_provider() {
  void* handle = open_backend();
  if (!handle) throw_load_failure(loader_error("the library could not be opened"));
  dlerror();
  auto entry = reinterpret_cast<BackendEntryPoint>(dlsym(handle, kEntryPoint));
  if (!entry) {
    std::string reason = loader_error("the library exports no provider");
    dlclose(handle);
    throw_load_failure(reason);
  }
  ComponentProvider* provider = nullptr;
  try {
    provider = entry();
  } catch (...) {
    dlclose(handle);
    throw;
  }
  if (!provider) {
    dlclose(handle);
    throw_load_failure(std::string(kEntryPoint) + " answered no provider");
  }
  // The provider's code lives in the library: it is deleted first, the library closed after.
  return std::shared_ptr<ComponentProvider>(provider, [handle](ComponentProvider* p) {
    delete p;
    dlclose(handle);
  });
}

}  // namespace vantory

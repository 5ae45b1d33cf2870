// How the analyses read dotted names: module names of import records and call targets
// ("pkg.sub.util", "util.run", "self.store.get"). Internal to libtarnel; pure functions.
#pragma once

#include <string_view>

namespace vantory {

// The text before the first ".": "pkg" for "pkg.sub.util"; a name without dots whole.
inline std::string_view first_component(std::string_view dotted) {
  return dotted.substr(0, dotted.find('.'));
}

// The text after the last ".": "util" for "pkg.sub.util"; a name without dots whole.
inline std::string_view last_component(std::string_view dotted) {
  std::size_t dot = dotted.rfind('.');
  return dot == std::string_view::npos ? dotted : dotted.substr(dot + 1);
}

// True when the call target names the module itself or something inside it ("util",
// "util.run" for util), but not a module that merely shares the prefix ("utility.run").
inline bool names_module(std::string_view target, std::string_view module_name) {
  return target.starts_with(module_name) &&
         (target.size() == module_name.size() || target[module_name.size()] == '.');
}

}  // namespace vantory

#include "coding/call_index.h"

#include "coding/record_views.h"
#include "coding/records.h"

namespace vantory {

CallIndex::CallIndex(const FileContexts& contexts, const std::vector<std::string>& modules) {
  for (const std::string& module : modules) by_module_.try_emplace(module);
  // A target names a module when the module is the whole target or the part before one of its
  // dots: "a.b.c" may name "a", "a.b" or "a.b.c".
  auto add = [this](std::string_view name, const Call& call) {
    auto it = by_module_.find(name);
    if (it != by_module_.end()) it->second.push_back(call);
  };
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    for (const Json& item : contexts.chunks(i)) {
      const Json& chunk = records::as_record(item, "chunk");
      for (const Json& item_call : records::get_array(chunk, "calls")) {
        const Json& call = records::as_record(item_call, "call record");
        std::string_view target = records::text_member(call, "target", "");
        Call entry{i, &chunk, &call};
        for (std::size_t dot = target.find('.'); dot != std::string_view::npos;
             dot = target.find('.', dot + 1)) {
          add(target.substr(0, dot), entry);
        }
        add(target, entry);
      }
    }
  }
}

const std::vector<CallIndex::Call>& CallIndex::naming(std::string_view module) const {
  static const std::vector<Call> none;
  auto it = by_module_.find(module);
  return it == by_module_.end() ? none : it->second;
}

}  // namespace vantory

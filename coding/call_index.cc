#include "coding/internal/call_index.h"

#include "coding/internal/module_names.h"
#include "coding/internal/record_views.h"
#include "coding/internal/records.h"
#include "common/error.h"
#include "common/message_text.h"

namespace vantory {

CallIndex::CallIndex(FileContexts& contexts, const std::vector<std::string>& modules,
                     const std::vector<std::string>& functions)
    : contexts_(contexts) {
  for (const std::string& module : modules) by_module_.try_emplace(module);
  for (const std::string& function : functions) by_function_.try_emplace(function);
  // A target names a module when the module is the whole target or the part before one of its
  // dots: "a.b.c" may name "a", "a.b" or "a.b.c".
  auto add = [this](std::string_view name, const Call& call) {
    auto it = by_module_.find(name);
    if (it != by_module_.end()) it->second.push_back(call);
  };
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    bool untexted = false;
    for (const Json& chunk : contexts.chunks(i)) {
      if (!chunk.is_object()) continue;
      for (const Json& call : records::get_array(chunk, "calls")) {
        if (!call.is_object()) continue;
        const Json* member = records::find(call, "target");
        if (member && !member->is_string()) {
          if (!untexted) untexted_targets_.emplace_back(i, member);
          untexted = true;
          continue;
        }
        std::string_view target = member ? std::string_view(member->get_ref<const std::string&>())
                                         : std::string_view();
        Call entry{i, &chunk, &call};
        for (std::size_t dot = target.find('.'); dot != std::string_view::npos;
             dot = target.find('.', dot + 1)) {
          add(target.substr(0, dot), entry);
        }
        add(target, entry);

        std::string_view called = last_component(target);
        auto function = called.empty() ? by_function_.end() : by_function_.find(called);
        if (function == by_function_.end()) continue;
        std::optional<Callers>& callers = function->second;
        if (!callers) {
          callers = Callers{i, std::nullopt};
        } else if (!callers->other && contexts.normalized_path(i) !=
                                          contexts.normalized_path(callers->first)) {
          callers->other = i;
        }
      }
    }
  }
}

const std::vector<CallIndex::Call>& CallIndex::naming(std::string_view module) const {
  static const std::vector<Call> none;
  auto it = by_module_.find(module);
  return it == by_module_.end() ? none : it->second;
}

bool CallIndex::called_outside(std::string_view function, const std::string& normalized) const {
  auto it = by_function_.find(function);
  if (it == by_function_.end() || !it->second) return false;
  // The two callers lie in different files, so at least one of them is not `normalized`.
  return it->second->other || contexts_.normalized_path(it->second->first) != normalized;
}

void CallIndex::expect_text_targets_outside(std::string_view stored_path) const {
  for (const auto& [context, target] : untexted_targets_) {
    if (contexts_.stored_path(context) != stored_path) {
      throw TypeError(std::string("'target' must be a string, not ") + type_name(*target));
    }
  }
}

}  // namespace vantory

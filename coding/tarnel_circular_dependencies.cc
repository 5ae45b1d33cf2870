// circular_dependency_check: every import cycle that a depth-first search over the agent's
// module graph meets.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "coding/internal/file_contexts.h"
#include "coding/internal/module_names.h"
#include "coding/internal/record_views.h"
#include "coding/internal/records.h"
#include "coding/tarnel.h"
#include "common/error.h"
#include "common/message_text.h"
#include "common/paths.h"

namespace vantory {

namespace {

// Module names interned as dense ids. A name is a node when an indexed file has it as its
// stem; a name that is only imported has no neighbours.
class ModuleGraph {
 public:
  std::size_t intern(std::string_view name) {
    auto [it, added] = ids_.try_emplace(std::string(name), names_.size());
    if (added) {
      names_.push_back(&it->first);
      neighbours_.emplace_back();
      is_node_.push_back(false);
    }
    return it->second;
  }

  // Makes `name` a node (keeping the position where it first became one) with `neighbours`,
  // replacing those of an earlier file with the same stem.
  void set_node(std::string_view name, std::vector<std::size_t> neighbours) {
    std::size_t id = intern(name);
    if (!is_node_[id]) {
      is_node_[id] = true;
      nodes_.push_back(id);
    }
    neighbours_[id] = std::move(neighbours);
  }

  std::size_t size() const { return names_.size(); }
  const std::vector<std::size_t>& nodes() const { return nodes_; }
  const std::vector<std::size_t>& neighbours(std::size_t id) const { return neighbours_[id]; }
  const std::string& name(std::size_t id) const { return *names_[id]; }

 private:
  std::unordered_map<std::string, std::size_t> ids_;
  std::vector<const std::string*> names_;
  std::vector<std::vector<std::size_t>> neighbours_;
  std::vector<bool> is_node_;
  std::vector<std::size_t> nodes_;  // in the order they became nodes
};

ModuleGraph build_graph(CodingContextStore& store, const std::string& agent_id) {
  FileContexts contexts(store, agent_id);
  ModuleGraph graph;
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    std::string_view stored = contexts.stored_path(i);
    Json imports = store.get_file_imports(agent_id, std::string(stored));
    std::vector<std::size_t> neighbours;
    neighbours.reserve(imports.size());
    for (const Json& record : records::as_list(imports, "get_file_imports")) {
      const Json& module = records::require(records::as_record(record, "import record"), "module");
      if (!module.is_string()) {
        throw TypeError(std::string("'module' must be a string, not ") + type_name(module));
      }
      neighbours.push_back(graph.intern(first_component(module.get_ref<const std::string&>())));
    }
    graph.set_node(file_stem(stored), std::move(neighbours));
  }
  return graph;
}

// Depth-first search with its own stack, so a long import chain cannot exhaust the call stack.
// Neighbours are taken in array order and a frame resumes where it left off, which finds the
// same cycles in the same order as the recursive formulation.
Json find_cycles(const ModuleGraph& graph) {
  struct Frame {
    std::size_t id;
    std::size_t next = 0;
  };
  std::vector<bool> visited(graph.size(), false);
  std::vector<bool> on_stack(graph.size(), false);
  // A name enters the descent only when first visited, so it occurs on `path` at most once.
  std::vector<std::size_t> position(graph.size(), 0);
  std::vector<std::size_t> path;
  std::vector<Frame> frames;
  Json cycles = Json::array();

  auto descend = [&](std::size_t id) {
    visited[id] = true;
    on_stack[id] = true;
    position[id] = path.size();
    path.push_back(id);
    frames.push_back(Frame{id});
  };

  for (std::size_t root : graph.nodes()) {
    if (visited[root]) continue;
    descend(root);
    while (!frames.empty()) {
      Frame& top = frames.back();
      const std::vector<std::size_t>& next = graph.neighbours(top.id);
      if (top.next == next.size()) {
        on_stack[top.id] = false;
        path.pop_back();
        frames.pop_back();
        continue;
      }
      std::size_t neighbour = next[top.next++];
      if (!visited[neighbour]) {
        descend(neighbour);
      } else if (on_stack[neighbour]) {
        Json cycle = Json::array();
        for (std::size_t i = position[neighbour]; i < path.size(); ++i) {
          cycle.push_back(graph.name(path[i]));
        }
        cycle.push_back(graph.name(neighbour));
        cycles.push_back(std::move(cycle));
      }
    }
  }
  return cycles;
}

}  // namespace

Json Tarnel::circular_dependency_check(const std::string& agent_id) {
  ModuleGraph graph = build_graph(*store_, agent_id);
  Json cycles = find_cycles(graph);
  bool found = !cycles.empty();
  return Json{{"has_circular_deps", found},
              {"cycles_found", std::move(cycles)},
              {"graph_type", found ? "DCG" : "DAG"},
              {"module_count", graph.nodes().size()}};
}

}  // namespace vantory

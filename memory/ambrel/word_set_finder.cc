#include "memory/ambrel/internal/word_set_finder.h"

#include <deque>

namespace vantory {

WordSetFinder::WordSetFinder(const std::vector<std::string_view>& words) {
  nodes_.emplace_back();  // the root
  std::vector<std::vector<std::pair<unsigned char, std::uint32_t>>> children(1);
  for (std::size_t w = 0; w < words.size(); ++w) {
    std::uint32_t node = 0;
    for (char c : words[w]) {
      auto byte = static_cast<unsigned char>(c);
      std::uint32_t next = child(node, byte);
      if (next == 0) {
        next = static_cast<std::uint32_t>(nodes_.size());
        nodes_.emplace_back();
        children.emplace_back();
        children[node].emplace_back(byte, next);
        if (node == 0) {
          root_[byte] = next;
        } else {
          edges_.emplace(std::uint64_t{node} << 8 | byte, next);
        }
      }
      node = next;
    }
    nodes_[node].ends_word = true;
    words_at_[node].push_back(static_cast<std::uint32_t>(w));
  }
  // Failure links, breadth first: a node's fail is the longest proper suffix in the trie.
  std::deque<std::uint32_t> queue;
  for (const auto& [byte, next] : children[0]) queue.push_back(next);
  while (!queue.empty()) {
    std::uint32_t node = queue.front();
    queue.pop_front();
    for (const auto& [byte, next] : children[node]) {
      nodes_[next].fail = step(nodes_[node].fail, byte);
      std::uint32_t fail = nodes_[next].fail;
      nodes_[next].next_word_end = nodes_[fail].ends_word ? fail : nodes_[fail].next_word_end;
      queue.push_back(next);
    }
  }
  seen_.assign(nodes_.size(), false);
}

std::uint32_t WordSetFinder::child(std::uint32_t node, unsigned char byte) const {
  if (node == 0) return root_[byte];
  auto it = edges_.find(std::uint64_t{node} << 8 | byte);
  return it == edges_.end() ? 0 : it->second;
}

std::uint32_t WordSetFinder::step(std::uint32_t state, unsigned char byte) const {
  while (true) {
    if (std::uint32_t next = child(state, byte)) return next;
    if (state == 0) return 0;
    state = nodes_[state].fail;
  }
}

}  // namespace vantory

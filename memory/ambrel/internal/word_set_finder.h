// Which of many words occur in a text, in one pass over the text: the keyword search's test of
// a long query against a long note, whose cost would otherwise be the number of words times
// the length of the text. Built on the words' trie with failure links (Aho-Corasick), so a
// text is read once, whatever the number of words.
//
// Thread safety: none; a finder serves one thread (the keyword search builds one per call).
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vantory {

class WordSetFinder {
 public:
  // `words` must not be empty strings and must outlive the finder; repeats are allowed.
  explicit WordSetFinder(const std::vector<std::string_view>& words);

  // Calls on_word(i) once for each words[i] that occurs in `text` (bytewise, no word
  // boundaries), in no particular order. Costs the length of the text plus the words found.
  template <class OnWord>
  void for_each_occurring(std::string_view text, OnWord&& on_word) const {
    std::vector<std::uint32_t>& reported = reported_;
    std::uint32_t state = 0;
    for (char c : text) {
      state = step(state, static_cast<unsigned char>(c));
      // Every word ending here: this node's and those along its failure chain. A node
      // reported once had its whole chain reported then.
      for (std::uint32_t node = nodes_[state].ends_word ? state : nodes_[state].next_word_end;
           node != 0 && !nodes_seen(node); node = nodes_[node].next_word_end) {
        mark_seen(node);
        reported.push_back(node);
        for (std::uint32_t w : words_at_.at(node)) on_word(static_cast<std::size_t>(w));
        if (reported.size() == words_at_.size()) break;
      }
      if (reported.size() == words_at_.size()) break;
    }
    for (std::uint32_t node : reported) seen_[node] = false;
    reported.clear();
  }

 private:
  struct Node {
    std::uint32_t fail = 0;
    // The nearest node on the failure chain (this one excluded) that ends a word; 0 for none.
    std::uint32_t next_word_end = 0;
    bool ends_word = false;
  };

  std::uint32_t step(std::uint32_t state, unsigned char byte) const;
  std::uint32_t child(std::uint32_t node, unsigned char byte) const;

  bool nodes_seen(std::uint32_t node) const { return seen_[node]; }
  void mark_seen(std::uint32_t node) const { seen_[node] = true; }

  std::vector<Node> nodes_;
  // Edges of the trie keyed by node << 8 | byte; the root's are in root_.
  std::unordered_map<std::uint64_t, std::uint32_t> edges_;
  std::uint32_t root_[256] = {};
  // The words ending at each node, as indexes into the words given.
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> words_at_;
  // Per node, whether the running call reported it; all false between calls. Written by
  // for_each_occurring, so one finder serves one thread at a time.
  mutable std::vector<bool> seen_;
  // The nodes reported by the running call.
  mutable std::vector<std::uint32_t> reported_;
};

}  // namespace vantory

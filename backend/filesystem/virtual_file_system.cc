#include "backend/filesystem/virtual_file_system.h"

#include <map>
#include <string_view>

#include "backend/filesystem/snapshots.h"
#include "common/paths.h"

namespace vantory::backend {

namespace {

// A file's place below its language folder.
std::string tree_path(const std::string& file_path) {
  std::size_t start = file_path.find_first_not_of('/');
  return start == std::string::npos ? std::string() : file_path.substr(start);
}

// The path asked for, without surrounding slashes; "" for the root.
std::string requested(const std::string& path) {
  std::string p = normalize_path(path);
  std::size_t start = p.find_first_not_of('/');
  if (start == std::string::npos || p == ".") return {};
  return p.substr(start);
}

Json file_entry(const ContextRow& row, std::string_view name, const std::string& path) {
  return {{"name", name},
          {"type", "file"},
          {"path", path},
          {"file_path", row.file_path},
          {"language", row.language},
          {"chunk_count", row.chunk_count}};
}

}  // namespace

Json VirtualFileSystem::list_dir(const std::string& agent_id, const std::string& path) {
  std::vector<ContextRow> rows = core_->contexts().rows(agent_id);
  std::string want = requested(path);
  Json entries = Json::array();
  if (want.empty()) {
    std::map<std::string, std::int64_t> languages;
    for (const ContextRow& row : rows) ++languages[row.language];
    for (const auto& [language, count] : languages) {
      entries.push_back(
          {{"name", language}, {"type", "directory"}, {"path", language}, {"file_count", count}});
    }
    return entries;
  }
  std::size_t slash = want.find('/');
  std::string language = want.substr(0, slash);
  std::string prefix = slash == std::string::npos ? std::string() : want.substr(slash + 1);

  // Folder name -> (common folder chain below the prefix, number of files).
  struct Folder {
    std::string chain;
    std::int64_t files = 0;
  };
  std::map<std::string, Folder> folders;
  std::map<std::string, Json> files;
  for (const ContextRow& row : rows) {
    if (row.language != language) continue;
    std::string place = tree_path(row.file_path);
    if (!prefix.empty()) {
      if (place == prefix) {
        entries.push_back(file_entry(row, base_name(place), want));
        continue;
      }
      if (place.size() <= prefix.size() || place.compare(0, prefix.size(), prefix) != 0 ||
          place[prefix.size()] != '/') {
        continue;
      }
      place = place.substr(prefix.size() + 1);
    }
    std::size_t cut = place.find('/');
    if (cut == std::string::npos) {
      files.emplace(place, file_entry(row, place, want + "/" + place));
      continue;
    }
    std::string dir_chain = place.substr(0, place.rfind('/'));
    Folder& folder = folders[place.substr(0, cut)];
    if (folder.files == 0) {
      folder.chain = dir_chain;
    } else {
      // Keep the folders both paths share.
      std::size_t common = 0;
      std::size_t i = 0;
      while (i < folder.chain.size() && i < dir_chain.size() && folder.chain[i] == dir_chain[i]) {
        ++i;
        if (i == folder.chain.size() || folder.chain[i] == '/') {
          if (i == dir_chain.size() || dir_chain[i] == '/') common = i;
        }
      }
      folder.chain = folder.chain.substr(0, common);
    }
    ++folder.files;
  }
  if (!entries.empty()) return entries;  // the path named a file
  for (const auto& [name, folder] : folders) {
    entries.push_back({{"name", folder.chain},
                       {"type", "directory"},
                       {"path", want + "/" + folder.chain},
                       {"file_count", folder.files}});
  }
  for (auto& [name, entry] : files) entries.push_back(std::move(entry));
  return entries;
}

Json VirtualFileSystem::commit_snapshot(const std::string& agent_id, const std::string& message) {
  return backend::commit_snapshot(core_->database(), agent_id, message);
}

Json VirtualFileSystem::get_diff(const std::string& agent_id, const std::string& sha_a,
                                 const std::string& sha_b) {
  return diff_snapshots(core_->database(), agent_id, sha_a, sha_b);
}

}  // namespace vantory::backend

#include "backend/chunking/tree_sitter_chunker.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>

#include "backend/chunking/binary.h"
#include "backend/chunking/chunking_engine.h"
#include "backend/chunking/chunk_record.h"
#include "backend/chunking/definitions.h"
#include "backend/chunking/imports.h"
#include "backend/chunking/keywords.h"
#include "backend/chunking/line_window_chunker.h"
#include "backend/chunking/source_lines.h"
#include "common/diagnostics.h"
#include "common/error.h"
#include "common/mutex.h"

namespace vantory::backend {
namespace {

constexpr std::size_t kMaxTargetBytes = 200;

struct TreeDeleter {
  void operator()(TSTree* tree) const { ts_tree_delete(tree); }
};
using TreePtr = std::unique_ptr<TSTree, TreeDeleter>;

// The imports found by the last chunk_file of this thread, so that the extract_imports that
// usually follows on the same text does not parse it a second time.
struct ImportMemo {
  std::string language;
  std::string text;
  std::vector<std::string> modules;
  bool valid = false;
};
thread_local ImportMemo import_memo;

void remember_imports(const std::string& language, std::string_view text,
                      const std::vector<std::string>& modules) {
  import_memo.language = language;
  import_memo.text.assign(text);
  import_memo.modules = modules;
  import_memo.valid = true;
}

// The callee as written, without white space, with argument lists and subscripts shortened
// to their brackets and type arguments dropped: "os.path.join", "self.items[].append",
// "load().decode", "std::make_shared" for std::make_shared<Foo>.
std::string call_target(std::string_view callee) {
  std::string out;
  int depth = 0;  // inside (), [] or {}
  int angle = 0;  // inside type arguments
  char quote = 0;
  for (std::size_t i = 0; i < callee.size() && out.size() < kMaxTargetBytes; ++i) {
    char c = callee[i];
    bool outside = depth == 0 && angle == 0;
    if (quote != 0) {
      if (outside) out.push_back(c);
      if (c == '\\' && i + 1 < callee.size()) {
        if (outside) out.push_back(callee[i + 1]);
        ++i;
      } else if (c == quote) {
        quote = 0;
      }
    } else if (c == '"' || c == '\'' || c == '`') {
      quote = c;
      if (outside) out.push_back(c);
    } else if (c == '(' || c == '[' || c == '{') {
      if (outside) out.push_back(c);
      ++depth;
    } else if (c == ')' || c == ']' || c == '}') {
      if (depth > 0 && --depth == 0 && angle == 0) out.push_back(c);
    } else if (depth > 0) {
      continue;
    } else if (c == '<') {
      ++angle;
    } else if (c == '>' && angle > 0) {
      --angle;
    } else if (angle == 0 && c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\\') {
      out.push_back(c);
    }
  }
  // Rust's turbofish leaves "collect::" behind.
  while (!out.empty() && (out.back() == ':' || out.back() == '.')) out.pop_back();
  bool named = std::any_of(out.begin(), out.end(), [](char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           static_cast<unsigned char>(c) >= 0x80;
  });
  return named ? out : std::string();
}

std::string block_summary(std::string_view first_line) {
  std::string_view trimmed = first_line.substr(std::min(first_line.find_first_not_of(" \t"),
                                                        first_line.size()));
  std::size_t prefix = 0;  // r"""..., b'...'
  while (prefix < 2 && prefix < trimmed.size() &&
         std::string_view("rRbBuUfF").find(trimmed[prefix]) != std::string_view::npos) {
    ++prefix;
  }
  bool docstring = prefix < trimmed.size() && (trimmed[prefix] == '"' || trimmed[prefix] == '\'');
  std::string summary = docstring ? first_meaningful_line(trimmed) : std::string();
  return summary.empty() ? one_line(first_line) : summary;
}

// The end of the closing brackets and "end" keywords that start `line` at `code`.
std::size_t skip_closers(std::string_view line, std::size_t code) {
  std::size_t i = code;
  while (true) {
    i = line.find_first_not_of(" \t\r})];,", i);
    if (i == std::string_view::npos || line.substr(i, 3) != "end") return i;
    std::size_t after = i + 3;
    if (after < line.size() && (std::isalnum(static_cast<unsigned char>(line[after])) ||
                                line[after] == '_')) {
      return i;
    }
    i = after;
  }
}

// True when every row of the range closes something and says nothing else: "}", "});",
// "} // namespace x", "end". Such leftovers between units would only crowd search results.
bool only_closers(const SourceLines& lines, const RowRange& range) {
  bool closes = false;
  for (std::size_t r = range.first; r <= range.last; ++r) {
    std::string_view line = lines.line(r);
    std::size_t code = line.find_first_not_of(" \t\r");
    if (code == std::string_view::npos) continue;
    std::size_t i = skip_closers(line, code);
    if (i != code) closes = true;
    if (i == std::string_view::npos) continue;
    std::string_view rest = line.substr(i);
    bool comment = rest.starts_with("//") || rest.starts_with("#") || rest.starts_with("/*");
    if (!comment || i == code) return false;
  }
  return closes;
}

// One unit under construction.
struct Unit {
  Definition def;
  KeywordCollector keywords;
  struct Call {
    std::string target;
    std::size_t row;
    std::uint32_t order;  // where the callee ends: calls are listed in reading order
  };
  std::vector<Call> calls;
};

class FileChunker {
 public:
  FileChunker(const Syntax& syntax, std::string_view text)
      : s_(syntax),
        text_(text),
        lines_(text),
        f_left_(syntax.field("left")),
        f_operand_(syntax.field("operand")) {}

  // Cuts the parsed tree into records; collects the file's imports on the way.
  std::vector<ChunkRecord> run(TSNode root, const std::string& language,
                               const std::string& file_path);
  const std::vector<std::string>& imports() const { return imports_; }

 private:
  void assign_rows(std::vector<Definition> defs);
  void add_blocks();
  void scan_tree(TSNode root);
  void add_call(TSNode call);
  int owner_of(std::size_t row) const {
    return owner_[std::min(row, owner_.size() - 1)];
  }

  const Syntax& s_;
  std::string_view text_;
  SourceLines lines_;
  TSFieldId f_left_, f_operand_;
  std::vector<Unit> units_;
  // The head of the last Elixir definition ("add(cart, item)" in "def add(cart, item) do") or
  // the name of the last module attribute ("doc" in @doc "..."): it names what is defined
  // and calls nothing. The tree walk meets it right after the node that holds it.
  TSNode head_{};
  std::vector<int> owner_;  // per row: the unit that holds it, or -1
  std::vector<std::string> imports_;
};

std::vector<ChunkRecord> FileChunker::run(TSNode root, const std::string& language,
                                          const std::string& file_path) {
  assign_rows(find_definitions(s_, root, text_));
  add_blocks();
  // Names first: they are the best keywords a unit has. Added only now that the unit list
  // no longer moves, because the collector keeps views of what it was given.
  for (Unit& unit : units_) {
    if (unit.def.type == "import" || unit.def.type == "block") continue;
    std::string_view name = unit.def.name;
    while (!name.empty()) {
      std::size_t dot = name.find('.');
      unit.keywords.add_identifier(name.substr(0, dot));
      if (dot == std::string_view::npos) break;
      name.remove_prefix(dot + 1);
    }
  }
  scan_tree(root);

  std::vector<std::size_t> order(units_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return units_[a].def.first_row < units_[b].def.first_row;
  });
  std::vector<ChunkRecord> records;
  records.reserve(units_.size());
  for (std::size_t index : order) {
    Unit& unit = units_[index];
    std::stable_sort(unit.calls.begin(), unit.calls.end(),
                     [](const Unit::Call& a, const Unit::Call& b) { return a.order < b.order; });
    ChunkRecord record;
    record.name = std::move(unit.def.name);
    record.type = std::move(unit.def.type);
    record.content = std::string(lines_.rows(unit.def.first_row, unit.def.last_row));
    record.summary = std::move(unit.def.summary);
    record.keywords = unit.keywords.take();
    record.start_line = static_cast<int>(unit.def.first_row + 1);
    record.end_line = static_cast<int>(unit.def.last_row + 1);
    for (Unit::Call& call : unit.calls) {
      record.calls.push_back({std::move(call.target), static_cast<int>(call.row + 1)});
    }
    record.parameters = std::move(unit.def.parameters);
    record.language = language;
    record.file_path = file_path;
    records.push_back(std::move(record));
  }
  return records;
}

void FileChunker::assign_rows(std::vector<Definition> defs) {
  owner_.assign(lines_.count(), -1);
  units_.reserve(defs.size() + 16);
  for (Definition& def : defs) {
    Unit unit;
    unit.def = std::move(def);
    unit.def.last_row = std::min(std::max(unit.def.last_row, unit.def.first_row), lines_.count() - 1);
    unit.def.first_row = std::min(unit.def.first_row, unit.def.last_row);
    units_.push_back(std::move(unit));
  }
  // Outer definitions first and, at one level, classes first: a row goes to the innermost
  // unit that holds it (a member on a row shared with its class, a function defined in a long
  // one), so that each identifier and call counts for one unit.
  std::vector<std::size_t> order(units_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const Definition& x = units_[a].def;
    const Definition& y = units_[b].def;
    if (x.level != y.level) return x.level < y.level;
    return (x.type == "class") > (y.type == "class");
  });
  for (std::size_t i : order) {
    const Definition& def = units_[i].def;
    for (std::size_t row = def.first_row; row <= def.last_row; ++row) {
      owner_[row] = static_cast<int>(i);
    }
  }
}

void FileChunker::add_blocks() {
  const std::size_t count = lines_.count();
  std::size_t row = 0;
  while (row < count) {
    if (owner_[row] >= 0) {
      ++row;
      continue;
    }
    std::size_t end = row;
    while (end + 1 < count && owner_[end + 1] < 0) ++end;
    for (const RowRange& range : split_rows(lines_, row, end, kMaxBlockRows)) {
      if (only_closers(lines_, range)) continue;
      Unit unit;
      unit.def.name = lines_name(range.first + 1, range.last + 1);
      unit.def.type = "block";
      unit.def.first_row = range.first;
      unit.def.last_row = range.last;
      unit.def.summary = block_summary(lines_.line(range.first));
      int index = static_cast<int>(units_.size());
      for (std::size_t r = range.first; r <= range.last; ++r) owner_[r] = index;
      units_.push_back(std::move(unit));
    }
    row = end + 1;
  }
}

void FileChunker::scan_tree(TSNode root) {
  walk_tree(root, [&](TSNode node) {
    switch (s_.role(node)) {
      case Role::kIdentifier: {
        int owner = owner_of(first_row(node));
        if (owner >= 0) {
          units_[static_cast<std::size_t>(owner)].keywords.add_identifier(node_text(node, text_));
        }
        break;
      }
      case Role::kCall:
        add_call(node);
        collect_imports(s_, node, text_, imports_);
        break;
      case Role::kAttachment:
        // An Elixir module attribute (@doc "...") is written as a call of its name.
        if (s_.lang() == Lang::kElixir) head_ = child_by_field(node, f_operand_);
        break;
      case Role::kImport:
      case Role::kWrapper:
      case Role::kContainer:
        collect_imports(s_, node, text_, imports_);
        break;
      default:
        break;
    }
    return true;
  });
}

void FileChunker::add_call(TSNode call) {
  if (!ts_node_is_null(head_) && ts_node_eq(head_, call)) return;
  std::uint32_t begin = 0;
  TSNode callee = s_.callee(call, begin);
  if (ts_node_is_null(callee)) return;
  std::uint32_t end = ts_node_end_byte(callee);
  if (end <= begin || end > text_.size()) return;
  std::string_view written = text_.substr(begin, end - begin);
  Role keyword = s_.keyword_kind(written);
  // Elixir's alias, import, require and use are directives to the compiler, not calls.
  if (keyword == Role::kImport && s_.lang() == Lang::kElixir) return;
  if (keyword == Role::kClass || keyword == Role::kFunction) {
    // def add(cart, item) do: neither "def" nor "add" is called here.
    for_each_named_child(call, [&](TSNode child, TSFieldId) {
      if (!type_is(child, "arguments")) return true;
      TSNode head = ts_node_named_child(child, 0);
      if (type_is(head, "binary_operator")) head = child_by_field(head, f_left_);
      head_ = head;
      return false;
    });
    return;
  }
  std::size_t row = last_row(callee);
  int owner = owner_of(row);
  if (owner < 0) return;
  std::string target = call_target(written);
  if (target.empty()) return;
  units_[static_cast<std::size_t>(owner)].calls.push_back({std::move(target), row, end});
}

bool blank_text(std::string_view text) {
  return text.find_first_not_of(" \t\r\n\f\v") == std::string_view::npos;
}

// Null when the parse ran out of its time.
TreePtr parse(TSParser* parser, std::string_view text) {
  ts_parser_set_timeout_micros(parser, parse_budget_micros(text.size()));
  TreePtr tree(ts_parser_parse_string(parser, nullptr, text.data(),
                                      static_cast<std::uint32_t>(text.size())));
  // A parse cut off would otherwise be resumed by the parser's next call, on another text.
  if (!tree) ts_parser_reset(parser);
  return tree;
}

}  // namespace

TreeSitterChunker::TreeSitterChunker(const Syntax& syntax, std::string language)
    : syntax_(syntax), language_(std::move(language)), parser_(ts_parser_new()) {
  if (!ts_parser_set_language(parser_, syntax_.grammar())) {
    ts_parser_delete(parser_);
    throw RuntimeError("the tree-sitter runtime cannot load the " + language_ + " grammar");
  }
}

TreeSitterChunker::~TreeSitterChunker() { ts_parser_delete(parser_); }

std::vector<std::unique_ptr<CodeUnit>> TreeSitterChunker::chunk_file(const std::string& text,
                                                                     const std::string& file_path) {
  require_text(text, file_path);
  if (blank_text(text)) return {};
  if (text.size() > kMaxParsedBytes) return to_units(line_windows(text, language_, file_path));
  TreePtr tree = parse(parser_, text);
  if (!tree) return to_units(line_windows(text, language_, file_path));
  FileChunker chunker(syntax_, text);
  std::vector<ChunkRecord> records = chunker.run(ts_tree_root_node(tree.get()), language_, file_path);
  remember_imports(language_, text, chunker.imports());
  return to_units(std::move(records));
}

std::unique_ptr<Chunker> make_chunker(const Syntax& syntax, const std::string& language) {
  if (syntax.load_failure().empty()) return std::make_unique<TreeSitterChunker>(syntax, language);
  static Mutex mutex;
  static std::set<std::string> noted GUARDED_BY(mutex);
  {
    MutexLock lock(mutex);
    if (noted.insert(language).second) {
      write_error_line("[Chunking] ", syntax.load_failure() + ": " + language +
                                          " files are cut into line windows");
    }
  }
  return std::make_unique<LineWindowChunker>(language);
}

std::vector<std::string> imports_of(const std::string& language, std::string_view text) {
  if (import_memo.valid && import_memo.language == language && import_memo.text == text) {
    return import_memo.modules;
  }
  const Syntax* syntax = Syntax::find(language);
  if (syntax == nullptr || text.size() > kMaxParsedBytes || looks_binary(text)) return {};
  std::unique_ptr<TSParser, void (*)(TSParser*)> parser(ts_parser_new(), ts_parser_delete);
  if (!ts_parser_set_language(parser.get(), syntax->grammar())) return {};
  TreePtr tree = parse(parser.get(), text);
  if (!tree) return {};
  std::vector<std::string> modules;
  walk_tree(ts_tree_root_node(tree.get()), [&](TSNode node) {
    collect_imports(*syntax, node, text, modules);
    return true;
  });
  return modules;
}

}  // namespace vantory::backend

// One small realistic file per language: the units, their lines, summaries, calls and
// parameters.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "tests/backend/chunking/chunk_test_util.h"

namespace vantory::backend::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsSupersetOf;

struct ExpectedUnit {
  std::string name;
  std::string type;
  int start_line;
  int end_line;
  std::string summary;  // not checked when empty
};

struct ExpectedCalls {
  std::string unit;
  std::vector<std::string> targets;
  std::vector<std::string> parameters;
};

struct LanguageCase {
  std::string language;
  std::string source;
  std::vector<ExpectedUnit> units;
  std::vector<ExpectedCalls> calls;
};

void PrintTo(const LanguageCase& c, std::ostream* out) { *out << c.language; }

const char kPython[] = R"py("""Storage helpers for the cache."""

import os
import os.path as osp
from .models import Record
from . import util


DEFAULT_ROOT = os.path.join("/tmp", "cache")


class Store(Base):
    """Keeps records on disk.

    More text.
    """

    limit = 10

    def __init__(self, root, *, limit=None):
        self.root = root
        self.index = util.load_index(root)

    # Persist one record.
    @retry(times=3)
    def save(self, record: Record) -> None:
        path = osp.join(self.root, record.key)
        self.store.put(path, record.dump())
        self._touch()

    def _touch(self):
        def inner(x):
            return helper(x)
        return inner(1)


def load(path, default=None):
    '''Load a record.'''
    if not os.path.exists(path):
        return default
    return Record.parse(open(path).read())


if __name__ == "__main__":
    store = Store(DEFAULT_ROOT)
    load(store.root)
)py";

const char kJavaScript[] = R"js(import { readFile } from "fs/promises";
import Cache from './cache.js';
const path = require('path');

/**
 * Parses a config file.
 */
export async function parseConfig(file, { strict = false } = {}) {
  const text = await readFile(path.join(ROOT, file), "utf8");
  return JSON.parse(text);
}

export class ConfigStore extends Cache {
  static defaults = {};

  constructor(root) {
    super(root);
    this.root = root;
  }

  async load(name) {
    const config = await parseConfig(name);
    this.cache.set(name, config);
    return new Config(config);
  }
}

const toKey = (name) => name.toLowerCase();

module.exports = { parseConfig, ConfigStore };
)js";

const char kTypeScript[] = R"ts(import type { Logger } from "./log";

export interface Plugin {
  name: string;
  run(input: string): Promise<void>;
}

export enum Level { Low, High }

export class Runner<T extends Plugin> {
  private plugins: T[] = [];

  constructor(private readonly logger: Logger) {}

  register(plugin: T, ...rest: T[]): this {
    this.plugins.push(plugin, ...rest);
    this.logger.info(`registered ${plugin.name}`);
    return this;
  }
}

export function createRunner<T extends Plugin>(logger?: Logger): Runner<T> {
  return new Runner<T>(logger ?? console);
}
)ts";

const char kTsx[] = R"tsx(import React from "react";

type Props = { title: string };

export function Header({ title }: Props) {
  return <h1 onClick={() => track("header")}>{format(title)}</h1>;
}

export const Footer = () => <footer>{year()}</footer>;
)tsx";

const char kC[] = R"c(#include <stdio.h>
#include "util/strbuf.h"

#define MAX_NAME 64

/* A named counter. */
struct counter {
  char name[MAX_NAME];
  int value;
};

typedef struct {
  int x, y;
} point_t;

static int counter_add(struct counter *c, int delta)
{
  c->value += delta;
  log_value(c->name, c->value);
  return c->value;
}

int main(int argc, char **argv)
{
  struct counter c = {0};
  counter_add(&c, atoi(argv[1]));
  printf("%d\n", c.value);
  return 0;
}
)c";

const char kCpp[] = R"cpp(#include "geometry/shape.hpp"
#include <memory>

namespace geo {

// A circle on the plane.
class Circle : public Shape {
 public:
  explicit Circle(double r) : r_(r) {}
  double area() const override { return kPi * square(r_); }
  void scale(double f);

 private:
  double r_;
};

void Circle::scale(double f) {
  r_ = std::max(0.0, r_ * f);
  notify(this);
}

template <typename T>
std::unique_ptr<T> make(double r) {
  return std::make_unique<T>(r);
}

}  // namespace geo
)cpp";

const char kGo[] = R"go(package store

import (
	"encoding/json"
	"os"
)

// Item is one stored value.
type Item struct {
	Key   string
	Value []byte
}

// Save writes the item to disk.
func (it *Item) Save(dir string, perm os.FileMode) error {
	data, err := json.Marshal(it)
	if err != nil {
		return err
	}
	return os.WriteFile(dir+"/"+it.Key, data, perm)
}

func Load(dir, key string) (*Item, error) {
	return nil, nil
}
)go";

const char kRust[] = R"rs(use std::collections::HashMap;
use crate::io::{self, Reader};

/// A cache of parsed values.
#[derive(Debug, Default)]
pub struct Cache {
    items: HashMap<String, Value>,
}

impl Cache {
    pub fn get(&mut self, key: &str) -> Option<&Value> {
        let value = self.items.get(key)?;
        io::trace(key);
        Some(value)
    }
}

fn parse(input: &str, strict: bool) -> Value {
    Value::from_str(input).unwrap_or_default()
}
)rs";

const char kJava[] = R"java(package org.example.shop;

import java.util.ArrayList;
import java.util.List;

/**
 * A shopping cart.
 */
public class Cart {
    private final List<Item> items = new ArrayList<>();

    public Cart() {}

    /** Adds an item. */
    public void add(Item item, int count) {
        for (int i = 0; i < count; i++) {
            items.add(item);
        }
        Audit.log("add", item.getName());
    }

    static class Item {
        String getName() { return "item"; }
    }
}
)java";

std::vector<LanguageCase> Cases() {
  return {
      {"python",
       kPython,
       {{"lines 1-1", "block", 1, 1, "Storage helpers for the cache."},
        {"imports", "import", 3, 6, "import os"},
        {"lines 9-9", "block", 9, 9, R"(DEFAULT_ROOT = os.path.join("/tmp", "cache"))"},
        {"Store", "class", 12, 18, "Keeps records on disk."},
        {"Store.__init__", "method", 20, 22, "def __init__(self, root, *, limit=None):"},
        {"Store.save", "method", 24, 29, "def save(self, record: Record) -> None:"},
        {"Store._touch", "method", 31, 34, "def _touch(self):"},
        {"load", "function", 37, 41, "Load a record."},
        {"lines 44-46", "block", 44, 46, R"(if __name__ == "__main__":)"}},
       {{"lines 9-9", {"os.path.join"}, {}},
        {"Store.__init__", {"util.load_index"}, {"self", "root", "limit"}},
        {"Store.save",
         {"retry", "osp.join", "self.store.put", "record.dump", "self._touch"},
         {"self", "record"}},
        {"Store._touch", {"helper", "inner"}, {"self"}},
        {"load", {"os.path.exists", "Record.parse", "open", "open().read"}, {"path", "default"}},
        {"lines 44-46", {"Store", "load"}, {}}}},
      {"javascript",
       kJavaScript,
       {{"imports", "import", 1, 3, R"(import { readFile } from "fs/promises";)"},
        {"parseConfig", "function", 5, 11, "Parses a config file."},
        {"ConfigStore", "class", 13, 14, "class ConfigStore extends Cache"},
        {"ConfigStore.constructor", "method", 16, 19, "constructor(root)"},
        {"ConfigStore.load", "method", 21, 25, "async load(name)"},
        {"toKey", "function", 28, 28, "toKey = (name) =>"},
        {"lines 30-30", "block", 30, 30, "module.exports = { parseConfig, ConfigStore };"}},
       {{"parseConfig", {"readFile", "path.join", "JSON.parse"}, {"file", "strict"}},
        {"ConfigStore.constructor", {"super"}, {"root"}},
        {"ConfigStore.load", {"parseConfig", "this.cache.set", "Config"}, {"name"}},
        {"toKey", {"name.toLowerCase"}, {"name"}}}},
      {"typescript",
       kTypeScript,
       {{"imports", "import", 1, 1, ""},
        {"Plugin", "class", 3, 6, "interface Plugin"},
        {"Level", "class", 8, 8, "enum Level"},
        {"Runner", "class", 10, 11, "class Runner<T extends Plugin>"},
        {"Runner.constructor", "method", 13, 13, ""},
        {"Runner.register", "method", 15, 19, "register(plugin: T, ...rest: T[]): this"},
        {"createRunner", "function", 22, 24, ""}},
       {{"Runner.constructor", {}, {"logger"}},
        {"Runner.register", {"this.plugins.push", "this.logger.info"}, {"plugin", "rest"}},
        {"createRunner", {"Runner"}, {"logger"}}}},
      {"tsx",
       kTsx,
       {{"imports", "import", 1, 1, ""},
        {"lines 3-3", "block", 3, 3, "type Props = { title: string };"},
        {"Header", "function", 5, 7, "function Header({ title }: Props)"},
        {"Footer", "function", 9, 9, ""}},
       {{"Header", {"track", "format"}, {"title"}}, {"Footer", {"year"}, {}}}},
      {"c",
       kC,
       {{"imports", "import", 1, 2, "#include <stdio.h>"},
        {"lines 4-4", "block", 4, 4, "#define MAX_NAME 64"},
        {"counter", "class", 6, 10, "A named counter."},
        {"point_t", "class", 12, 14, ""},
        {"counter_add", "function", 16, 21, "static int counter_add(struct counter *c, int delta)"},
        {"main", "function", 23, 29, "int main(int argc, char **argv)"}},
       {{"counter_add", {"log_value"}, {"c", "delta"}},
        {"main", {"counter_add", "atoi", "printf"}, {"argc", "argv"}}}},
      {"cpp",
       kCpp,
       {{"imports", "import", 1, 2, ""},
        {"lines 4-4", "block", 4, 4, "namespace geo {"},
        {"Circle", "class", 6, 8, "A circle on the plane."},
        {"Circle.Circle", "method", 9, 9, ""},
        {"Circle.area", "method", 10, 10, "double area() const override"},
        {"lines 11-15", "block", 11, 15, "void scale(double f);"},
        {"Circle.scale", "method", 17, 20, "void Circle::scale(double f)"},
        {"make", "function", 22, 25, ""}},
       {{"Circle.Circle", {}, {"r"}},
        {"Circle.area", {"square"}, {}},
        {"Circle.scale", {"std::max", "notify"}, {"f"}},
        {"make", {"std::make_unique"}, {"r"}}}},
      {"go",
       kGo,
       {{"lines 1-1", "block", 1, 1, "package store"},
        {"imports", "import", 3, 6, "import ("},
        {"Item", "class", 8, 12, "Item is one stored value."},
        {"Item.Save", "method", 14, 21, "Save writes the item to disk."},
        {"Load", "function", 23, 25, "func Load(dir, key string) (*Item, error)"}},
       {{"Item.Save", {"json.Marshal", "os.WriteFile"}, {"dir", "perm"}},
        {"Load", {}, {"dir", "key"}}}},
      {"rust",
       kRust,
       {{"imports", "import", 1, 2, ""},
        {"Cache", "class", 4, 8, "A cache of parsed values."},
        {"Cache", "class", 10, 10, "impl Cache"},
        {"Cache.get", "method", 11, 15, ""},
        {"parse", "function", 18, 20, "fn parse(input: &str, strict: bool) -> Value"}},
       {{"Cache.get", {"self.items.get", "io::trace", "Some"}, {"self", "key"}},
        {"parse", {"Value::from_str", "Value::from_str().unwrap_or_default"}, {"input", "strict"}}}},
      {"java",
       kJava,
       {{"lines 1-1", "block", 1, 1, "package org.example.shop;"},
        {"imports", "import", 3, 4, "import java.util.ArrayList;"},
        {"Cart", "class", 6, 10, "A shopping cart."},
        {"Cart.Cart", "method", 12, 12, "public Cart()"},
        {"Cart.add", "method", 14, 20, "Adds an item."},
        {"Cart.Item", "class", 22, 22, "static class Item"},
        {"Cart.Item.getName", "method", 23, 23, "String getName()"}},
       {{"Cart", {"ArrayList"}, {}},
        {"Cart.add", {"items.add", "Audit.log", "item.getName"}, {"item", "count"}}}},
  };
}

class LanguageChunking : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(LanguageChunking, UnitsLinesAndSummaries) {
  const LanguageCase& c = GetParam();
  std::vector<Json> records = chunk(c.language, c.source, "src/sample");
  expect_consistent(records, c.source);
  std::vector<std::string> expected_names;
  for (const ExpectedUnit& unit : c.units) expected_names.push_back(unit.name);
  ASSERT_EQ(names_of(records), expected_names);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const ExpectedUnit& unit = c.units[i];
    SCOPED_TRACE(unit.name);
    EXPECT_EQ(records[i]["type"], unit.type);
    EXPECT_EQ(records[i]["start_line"], unit.start_line);
    EXPECT_EQ(records[i]["end_line"], unit.end_line);
    if (!unit.summary.empty()) {
      EXPECT_EQ(records[i]["summary"], unit.summary);
    }
    EXPECT_FALSE(records[i]["summary"].get<std::string>().empty());
    EXPECT_EQ(records[i]["language"], c.language);
    EXPECT_EQ(records[i]["file_path"], "src/sample");
  }
}

TEST_P(LanguageChunking, CallsInSourceOrderAndParameters) {
  const LanguageCase& c = GetParam();
  std::vector<Json> records = chunk(c.language, c.source);
  for (const ExpectedCalls& expected : c.calls) {
    SCOPED_TRACE(expected.unit);
    const Json* record = find_chunk(records, expected.unit);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(call_targets(*record), expected.targets);
    EXPECT_EQ(parameter_names(*record), expected.parameters);
  }
}

INSTANTIATE_TEST_SUITE_P(AllLanguages, LanguageChunking, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.language; });

TEST(CppChunking, OperatorsAndOutOfClassMethodsKeepTheirNames) {
  const std::string source =
      "struct V {\n"
      "  bool operator==(const V& o) const { return true; }\n"
      "};\n"
      "V operator+(V a, V b) { return a; }\n"
      "bool V::operator<(const V& o) const { return false; }\n"
      "template <typename T> void Box<T>::put(T item) { items_.push_back(item); }\n";
  std::vector<Json> records = chunk("cpp", source);
  expect_consistent(records, source);
  EXPECT_THAT(names_of(records),
              ElementsAre("V", "V.operator==", "operator+", "V.operator<", "Box.put"));
  EXPECT_EQ(records[2]["type"], "function");
  EXPECT_EQ(records[3]["type"], "method");
  EXPECT_EQ(records[4]["type"], "method");
  EXPECT_EQ(parameter_names(records[4]), std::vector<std::string>{"item"});
}

TEST(CppChunking, LeftoverClosingBracesMakeNoChunk) {
  const std::string source =
      "namespace app {\n"
      "int f() { return 1; }\n"
      "}  // namespace app\n"
      "\n"
      "// The second half.\n"
      "int g() { return 2; }\n"
      "int table[] = {\n"
      "  1, 2,\n"
      "};\n";
  std::vector<Json> records = chunk("cpp", source);
  expect_consistent(records, source);
  for (const Json& record : records) {
    EXPECT_NE(record["content"], "}  // namespace app") << record["name"];
  }
  EXPECT_THAT(names_of(records), ::testing::Contains("f"));
  EXPECT_THAT(names_of(records), ::testing::Contains("g"));
  // A block that holds code besides its closing brace stays.
  bool table_kept = false;
  for (const Json& record : records) {
    table_kept = table_kept || record["content"].get<std::string>().find("1, 2,") != std::string::npos;
  }
  EXPECT_TRUE(table_kept);
}

TEST(PythonChunking, CallLinesAndKeywords) {
  std::vector<Json> records = chunk("python", kPython);
  const Json* save = find_chunk(records, "Store.save");
  ASSERT_NE(save, nullptr);
  std::vector<int> lines;
  for (const Json& call : (*save)["calls"]) lines.push_back(call["line"]);
  EXPECT_THAT(lines, ElementsAre(25, 27, 28, 28, 29));

  // Identifiers lower-cased, split at underscores and humps, each word once.
  const Json* init = find_chunk(records, "Store.__init__");
  ASSERT_NE(init, nullptr);
  std::vector<std::string> keywords = (*init)["keywords"];
  EXPECT_THAT(keywords, IsSupersetOf({"store", "init", "root", "load_index", "load", "index"}));
  EXPECT_EQ(std::set<std::string>(keywords.begin(), keywords.end()).size(), keywords.size());
  for (const std::string& word : keywords) {
    EXPECT_NE(word, "self");
    EXPECT_GE(word.size(), 2u);
  }
}

TEST(PythonChunking, NestedFunctionsStayInTheirEnclosingFunction) {
  std::vector<Json> records = chunk("python", kPython);
  EXPECT_EQ(find_chunk(records, "inner"), nullptr);
  EXPECT_EQ(find_chunk(records, "Store._touch.inner"), nullptr);
  const Json* touch = find_chunk(records, "Store._touch");
  ASSERT_NE(touch, nullptr);
  EXPECT_NE((*touch)["content"].get<std::string>().find("def inner(x):"), std::string::npos);
}

TEST(PythonChunking, DefinitionsInsideModuleLevelConditionsAreUnits) {
  const std::string source =
      "import sys\n"
      "\n"
      "if sys.platform == 'win32':\n"
      "    import nt\n"
      "    def sep():\n"
      "        return '\\\\'\n"
      "else:\n"
      "    def sep():\n"
      "        return '/'\n"
      "\n"
      "class Path:\n"
      "    if True:\n"
      "        def parts(self):\n"
      "            return split(self)\n";
  std::vector<Json> records = chunk("python", source);
  expect_consistent(records, source);
  EXPECT_THAT(names_of(records), ElementsAre("imports", "lines 3-4", "sep", "lines 7-7", "sep",
                                             "Path", "Path.parts"));
  EXPECT_EQ(records[2]["type"], "function");
  EXPECT_EQ(records[6]["type"], "method");
}

}  // namespace
}  // namespace vantory::backend::testing

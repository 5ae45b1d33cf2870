// One small realistic file per language: the units, their lines, summaries, calls and
// parameters.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "tests/backend/chunking/chunk_test_util.h"

namespace vantory::backend::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using ::testing::Not;

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
        {"Circle.scale", "declaration", 11, 11, "void scale(double f)"},
        {"lines 13-15", "block", 13, 15, "private:"},
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
      {"csharp",
       sample("order_book.cs"),
       {
        {"imports", "import", 1, 3, "using System;"},
        {"lines 5-6", "block", 5, 6, "namespace Shop.Orders"},
        {"OrderBook", "class", 7, 12, "Keeps the orders of one customer."},
        {"OrderBook.OrderBook", "method", 14, 14, "public OrderBook(string customer)"},
        {"lines 16-16", "block", 16, 16, "public string Customer { get; }"},
        {"OrderBook.Add", "method", 18, 24, "Adds an order and logs it."},
        {"OrderBook.Dispose", "method", 26, 26, "public void Dispose()"},
        {"IShipper", "class", 29, 32, "public interface IShipper"},
        {"Order", "class", 34, 34, "public record Order(int Id, decimal Total);"},
       },
       {
        {"OrderBook", {"List"}, {}},
        {"OrderBook.OrderBook", {}, {"customer"}},
        {"OrderBook.Add", {"orders.Add", "Logger.Info", "Validate", "Validate().Check"},
         {"order", "count"}},
        {"OrderBook.Dispose", {"orders.Clear"}, {}},
       }},
      {"ruby",
       sample("invoice.rb"),
       {
        {"imports", "import", 1, 2, "require \"json\""},
        {"Billing", "class", 4, 4, "module Billing"},
        {"Billing.Invoice", "class", 5, 7, "An invoice with its line items."},
        {"Billing.Invoice.initialize", "method", 9, 12, "def initialize(customer, items = [])"},
        {"Billing.Invoice.total", "method", 14, 18, "Total in cents."},
        {"Billing.Invoice.load", "method", 20, 22, "def self.load(path)"},
        {"report", "function", 26, 28, "def report(invoice)"},
       },
       {
        {"imports", {"require", "require_relative"}, {}},
        {"Billing.Invoice", {"attr_reader"}, {}},
        {"Billing.Invoice.initialize", {"items.map", "Item.new"}, {"customer", "items"}},
        {"Billing.Invoice.total", {"items.sum", "().round"}, {"tax"}},
        {"Billing.Invoice.load", {"new", "JSON.parse", "File.read"}, {"path"}},
        {"report", {"puts", "invoice.total"}, {"invoice"}},
       }},
      {"php",
       sample("profile_controller.php"),
       {
        {"lines 1-3", "block", 1, 3, "<?php"},
        {"imports", "import", 5, 7, "use App\\Models\\User;"},
        {"ProfileController", "class", 9, 14, "Shows and updates user profiles."},
        {"ProfileController.__construct", "method", 16, 16,
         "public function __construct(private UserRepository $users)"},
        {"ProfileController.show", "method", 18, 24, "Shows one profile."},
        {"ProfileController.make", "method", 26, 29, "public static function make(): static"},
        {"format_name", "function", 32, 35,
         "function format_name(string $first, string $last): string"},
       },
       {
        {"ProfileController.__construct", {}, {"users"}},
        {"ProfileController.show", {"$this->users->find", "Log::info", "view", "compact"},
         {"id", "tab"}},
        {"ProfileController.make", {"static", "app"}, {}},
        {"format_name", {"trim", "ucfirst"}, {"first", "last"}},
       }},
      {"kotlin",
       sample("note_repository.kt"),
       {
        {"lines 1-1", "block", 1, 1, "package com.example.notes"},
        {"imports", "import", 3, 4, "import kotlinx.coroutines.flow.Flow"},
        {"NoteRepository", "class", 6, 10, "Stores notes in memory."},
        {"NoteRepository.add", "method", 12, 15,
         "override fun add(note: Note, tags: List<String> = emptyList())"},
        {"NoteRepository.Companion", "class", 17, 17, "companion object"},
        {"NoteRepository.Companion.empty", "method", 18, 18, "fun empty(): NoteRepository"},
        {"Note", "class", 22, 22, "data class Note(val id: Long, val text: String)"},
        {"main", "function", 24, 27, "fun main(args: Array<String>)"},
       },
       {
        {"NoteRepository", {"mutableListOf"}, {}},
        {"NoteRepository.add", {"emptyList", "notes.add", "note.copy", "clock.now", "Log.d"},
         {"note", "tags"}},
        {"NoteRepository.Companion.empty", {"NoteRepository", "SystemClock"}, {}},
        {"main", {"NoteRepository.empty", "println"}, {"args"}},
       }},
      {"swift",
       sample("image_cache.swift"),
       {
        {"imports", "import", 1, 2, "import Foundation"},
        {"ImageCache", "class", 4, 6, "Loads and caches images."},
        {"ImageCache.init", "method", 8, 11, "init(capacity: Int)"},
        {"ImageCache.image", "method", 13, 18, "Fetches one image."},
        {"Cache", "class", 21, 23, "protocol Cache"},
        {"ImageCache", "class", 25, 25, "extension ImageCache"},
        {"ImageCache.clear", "method", 26, 26, "func clear()"},
        {"Size", "class", 29, 29, "struct Size"},
        {"makeCache", "function", 31, 33, "func makeCache() -> ImageCache"},
       },
       {
        {"ImageCache.init", {"super.init", "store.reserveCapacity"}, {"capacity"}},
        {"ImageCache.image", {"URLSession.shared.data", "log", "UIImage"}, {"url", "placeholder"}},
        {"ImageCache.clear", {"store.removeAll"}, {}},
        {"makeCache", {"ImageCache"}, {}},
       }},
      {"scala",
       sample("cart.scala"),
       {
        {"lines 1-1", "block", 1, 1, "package shop.cart"},
        {"imports", "import", 3, 4, "import scala.collection.mutable"},
        {"Cart", "class", 6, 8, "A cart that totals its items."},
        {"Cart.add", "method", 10, 13, "def add(item: Item, qty: Int = 1): Unit"},
        {"Cart.total", "method", 15, 15, "def total: BigDecimal"},
        {"Cart", "class", 18, 18, "object Cart"},
        {"Cart.empty", "method", 19, 19, "def empty(owner: String): Cart"},
        {"Discount", "class", 22, 24, "trait Discount"},
       },
       {
        {"Cart", {"mutable.ListBuffer"}, {}},
        {"Cart.add", {"Audit.log"}, {"item", "qty"}},
        {"Cart.total", {"items.map"}, {}},
        {"Cart.empty", {"Cart"}, {"owner"}},
       }},
      {"bash",
       sample("backup.sh"),
       {
        {"lines 1-2", "block", 1, 2, "#!/usr/bin/env bash"},
        {"imports", "import", 3, 4, "source ./lib/common.sh"},
        {"lines 6-6", "block", 6, 6, "BACKUP_DIR=${BACKUP_DIR:-/var/backups}"},
        {"backup_folder", "function", 8, 14, "Copies one folder into the backup area."},
        {"prune", "function", 16, 18, "function prune"},
        {"lines 20-23", "block", 20, 23, "for dir in \"$@\"; do"},
       },
       {
        {"lines 1-2", {"set"}, {}},
        {"imports", {"source"}, {}},
        {"backup_folder", {"basename", "tar", "log_info"}, {}},
        {"prune", {"find"}, {}},
        {"lines 20-23", {"backup_folder", "prune"}, {}},
       }},
      {"lua",
       sample("queue.lua"),
       {
        {"imports", "import", 1, 2, "local json = require(\"dkjson\")"},
        {"lines 4-6", "block", 4, 6, "--- A queue of pending jobs."},
        {"Queue.new", "method", 8, 13, "function Queue.new(limit)"},
        {"Queue.push", "method", 15, 22, "Adds a job unless the queue is full."},
        {"drain", "function", 24, 28, "local function drain(queue)"},
        {"lines 30-30", "block", 30, 30, "return Queue"},
       },
       {
        {"imports", {"require", "require"}, {}},
        {"Queue.new", {"setmetatable"}, {"limit"}},
        {"Queue.push", {"error", "table.insert", "util.log", "json.encode"}, {"job", "priority"}},
        {"drain", {"queue:pop"}, {"queue"}},
       }},
      {"elixir",
       sample("cart.ex"),
       {
        {"Shop.Cart", "class", 1, 8, "A shopping cart kept in an agent."},
        {"Shop.Cart.add", "method", 10, 16, "Adds an item to the cart."},
        {"Shop.Cart.recalc", "method", 18, 18,
         "defp recalc(cart), do: %{cart | total: Price.sum(cart.items)}"},
       },
       {
        {"Shop.Cart.add", {"Logger.info", "item.sku", "Map.update", "recalc"},
         {"cart", "item", "qty"}},
        {"Shop.Cart.recalc", {"Price.sum", "cart.items"}, {"cart"}},
       }},
      {"zig",
       sample("stack.zig"),
       {
        {"imports", "import", 1, 1, "const std = @import(\"std\");"},
        {"lines 2-2", "block", 2, 2, "const mem = std.mem;"},
        {"imports", "import", 3, 3, "const Parser = @import(\"parser.zig\").Parser;"},
        {"Stack", "class", 5, 7, "A growable stack of tokens."},
        {"Stack.init", "method", 9, 11, "pub fn init(allocator: mem.Allocator) Stack"},
        {"Stack.push", "method", 13, 17, "Pushes one token."},
        {"log", "function", 20, 22, "fn log(value: u32) void"},
        {"lines 24-27", "block", 24, 27, "test \"push grows the stack\" {"},
       },
       {
        {"imports", {"@import"}, {}},
        {"imports", {"@import"}, {}},
        {"Stack", {"std.ArrayList"}, {}},
        {"Stack.init", {"std.ArrayList", "std.ArrayList().init"}, {"allocator"}},
        {"Stack.push", {"self.items.append", "log"}, {"self", "token"}},
        {"log", {"std.debug.print"}, {"value"}},
        {"lines 24-27", {"Stack.init", "s.push"}, {}},
       }},
      {"elm",
       sample("Profile.elm"),
       {
        {"lines 1-1", "block", 1, 1, "module Page.Profile exposing (Model, init, view)"},
        {"imports", "import", 3, 5, "import Html exposing (Html, div, text)"},
        {"Model", "class", 8, 13, "The state of the profile page."},
        {"Msg", "class", 16, 18, "type Msg"},
        {"init", "function", 21, 25, "Starts loading the profile."},
        {"view", "function", 28, 30, "view model"},
       },
       {
        {"init", {"Api.User.fetch"}, {"userId"}},
        {"view", {"div", "Attr.class", "text", "displayName"}, {"model"}},
       }},
      {"solidity",
       sample("vault.sol"),
       {
        {"lines 1-2", "block", 1, 2, "// SPDX-License-Identifier: MIT"},
        {"imports", "import", 4, 5, "import \"@openzeppelin/contracts/token/ERC20/IERC20.sol\";"},
        {"Vault", "class", 7, 12, "A vault that holds one token."},
        {"Vault.constructor", "method", 14, 16, "constructor(IERC20 _token)"},
        {"Vault.deposit", "method", 18, 24, "Deposits tokens for the sender."},
        {"IVault", "class", 27, 29, "interface IVault"},
       },
       {
        {"Vault.constructor", {}, {"_token"}},
        {"Vault.deposit", {"require", "token.transferFrom", "SafeMath.add"}, {"amount"}},
       }},
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
    const Json* record = find_chunk(records, expected.unit, "declaration");
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

// A prototype is found by its function's name; what only looks like one is not a unit.
TEST(CChunking, FunctionDeclarationsAreUnitsOfTheirOwn) {
  const std::string header =
      "#define SHA256_DIGEST_SIZE 32\n"
      "/* Writes the digest and resets the context. */\n"
      "void\n"
      "sha256_digest(struct sha256_ctx *ctx,\n"
      "              size_t length, uint8_t *digest);\n"
      "extern char *dup_name(const char *name);\n"
      "int (*on_error)(int code);\n"
      "__THROW __nonnull ((1, 2));\n"
      "int lo(int), hi(int);\n"
      "typedef int compare_fn(const void *, const void *);\n"
      "int limit = 4;\n";
  std::vector<Json> records = chunk("c", header);
  expect_consistent(records, header);
  ASSERT_THAT(names_of(records),
              ElementsAre("lines 1-1", "sha256_digest", "dup_name", "lines 7-11"));
  EXPECT_EQ(records[1]["type"], "declaration");
  EXPECT_EQ(records[1]["start_line"], 2);
  EXPECT_EQ(records[1]["end_line"], 5);
  EXPECT_EQ(records[1]["summary"], "Writes the digest and resets the context.");
  EXPECT_EQ(parameter_names(records[1]), (std::vector<std::string>{"ctx", "length", "digest"}));
  EXPECT_EQ(records[2]["summary"], "extern char *dup_name(const char *name)");

  const std::string cpp =
      "namespace geo {\n"
      "class Shape {\n"
      " public:\n"
      "  Shape(int sides);\n"
      "  virtual double area() const = 0;\n"
      "  template <typename T> T as() const;\n"
      "  int sides_;\n"
      "  void (*hook_)(Shape&);\n"
      "};\n"
      "double scale(const Shape& s, double f);\n"
      "}  // namespace geo\n";
  records = chunk("cpp", cpp);
  expect_consistent(records, cpp);
  EXPECT_THAT(names_of(records), ElementsAre("lines 1-1", "Shape", "Shape.Shape", "Shape.area",
                                             "Shape.as", "lines 7-9", "scale"));
  for (const char* name : {"Shape.Shape", "Shape.area", "Shape.as", "scale"}) {
    EXPECT_EQ(find_chunk(records, name)->at("type"), "declaration") << name;
  }
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

TEST(PythonChunking, ASpentUnitAnswersTheRecordItKept) {
  auto units = ChunkingEngine::get_chunker("python")->chunk_file(kPython, "src/store.py");
  ASSERT_FALSE(units.empty());
  for (const auto& unit : units) {
    Json kept = unit->to_dict();
    EXPECT_EQ(unit->take_dict(), kept);
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

// A long function keeps all its rows; the functions and classes defined in it are units too,
// named as its code calls them, and each identifier and call belongs to the innermost unit.
TEST(JavaScriptChunking, DefinitionsInsideALongFunctionAreUnitsToo) {
  std::string filler;
  for (int i = 0; i < 60; ++i) filler += "  total += step(" + std::to_string(i) + ")\n";
  const std::string source =
      "async function build (gyp, argv) {\n"
      "  let total = 0\n" +
      filler +
      "  // Finds the make program.\n"
      "  async function doWhich (msvs) {\n"
      "    return which(gyp.command)\n"
      "  }\n"
      "  class Runner {\n"
      "    run () { return spawn(argv) }\n"
      "  }\n"
      "  await doWhich(false)\n"
      "  return total\n"
      "}\n";
  std::vector<Json> records = chunk("javascript", source);
  expect_consistent(records, source);
  EXPECT_THAT(names_of(records), ElementsAre("build", "doWhich", "Runner", "Runner.run"));
  const Json& build = records[0];
  EXPECT_EQ(build["start_line"], 1);
  EXPECT_EQ(build["end_line"], 72);
  EXPECT_THAT(parameter_names(build), ElementsAre("gyp", "argv"));
  EXPECT_THAT(call_targets(build), Contains("doWhich"));
  EXPECT_THAT(call_targets(build), Not(Contains("which")));
  const Json& do_which = records[1];
  EXPECT_EQ(do_which["type"], "function");
  EXPECT_EQ(do_which["start_line"], 63);
  EXPECT_EQ(do_which["summary"], "Finds the make program.");
  EXPECT_THAT(call_targets(do_which), ElementsAre("which"));
  EXPECT_EQ(records[3]["type"], "method");
  EXPECT_THAT(call_targets(records[3]), ElementsAre("spawn"));

  // A short function keeps what is defined in it.
  std::vector<Json> short_one = chunk("javascript",
                                      "function outer () {\n"
                                      "  function inner () { return 1 }\n"
                                      "  return inner()\n"
                                      "}\n");
  EXPECT_THAT(names_of(short_one), ElementsAre("outer"));
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

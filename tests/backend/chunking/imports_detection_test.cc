// Import extraction per language, language detection and the binary test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "backend/chunking/chunking_engine.h"
#include "backend/chunking/header_language.h"
#include "tests/backend/chunking/chunk_test_util.h"

namespace vantory::backend {
namespace {

struct ImportCase {
  std::string language;
  std::string source;
  std::vector<std::string> modules;
};

void PrintTo(const ImportCase& c, std::ostream* out) { *out << c.language; }

class ExtractImports : public ::testing::TestWithParam<ImportCase> {};

TEST_P(ExtractImports, DottedModulesInFileOrder) {
  const ImportCase& c = GetParam();
  EXPECT_EQ(extract_imports(c.language, c.source), c.modules);
}

TEST_P(ExtractImports, SameAnswerRightAfterChunkingTheText) {
  // The answer for a text that was just chunked comes from what the chunker saw.
  const ImportCase& c = GetParam();
  testing::chunk(c.language, c.source);
  EXPECT_EQ(extract_imports(c.language, c.source), c.modules);
  EXPECT_EQ(extract_imports(c.language, c.source + "\n"), c.modules);
}

INSTANTIATE_TEST_SUITE_P(
    AllLanguages, ExtractImports,
    ::testing::Values(
        ImportCase{"python",
                   "import os, sys as system\n"
                   "import xml.etree.ElementTree as ET\n"
                   "from . import sibling, other as o\n"
                   "from ..pkg.sub import name\n"
                   "from .local import *\n"
                   "from __future__ import annotations\n"
                   "from collections import (\n    OrderedDict,\n    deque)\n"
                   "def f():\n    import json\n    return json\n"
                   "s = 'import fake'\n",
                   {"os", "sys", "xml.etree.ElementTree", "sibling", "other", "pkg.sub", "local",
                    "__future__", "collections", "json"}},
        ImportCase{"javascript",
                   "import fs from 'fs';\n"
                   "import { a } from \"./lib/util.js\";\n"
                   "import '../styles/site.css';\n"
                   "import * as ns from '@scope/pkg/sub';\n"
                   "const path = require('node:path');\n"
                   "export { b } from './re-export';\n"
                   "async function f() { return import('./lazy.mjs'); }\n"
                   "const s = 'require(\"fake\")';\n",
                   {"fs", "lib.util", "styles.site.css", "@scope/pkg.sub", "path", "re-export",
                    "lazy"}},
        ImportCase{"typescript",
                   "import type { T } from './types';\nimport x = require('legacy');\n"
                   "export * from './index.ts';\n",
                   {"types", "legacy", "index"}},
        ImportCase{"tsx", "import React from 'react';\nimport { Button } from './ui/Button';\n",
                   {"react", "ui.Button"}},
        ImportCase{"c", "#include <stdio.h>\n#include \"util/strbuf.h\"\n#include \"../common.h\"\n",
                   {"stdio", "util.strbuf", "common"}},
        ImportCase{"cpp",
                   "#include <vector>\n#include \"geo/shape.hpp\"\n#ifdef X\n#include <sys/types.h>\n"
                   "#endif\n#include HEADER_MACRO\n",
                   {"vector", "geo.shape", "sys.types"}},
        ImportCase{"go",
                   "package main\nimport \"fmt\"\nimport (\n\tj \"encoding/json\"\n\t_ \"net/http/pprof\"\n)\n",
                   {"fmt", "encoding.json", "net.http.pprof"}},
        ImportCase{"rust",
                   "use std::collections::HashMap;\n"
                   "use crate::io::{self, fmt as f, nested::{deep, deeper::*}};\n"
                   "use super::parent;\n"
                   "mod child;\n"
                   "mod inline { use self::x::y; }\n"
                   "extern crate serde;\n",
                   {"std.collections.HashMap", "io", "io.fmt", "io.nested.deep", "io.nested.deeper",
                    "parent", "child", "x.y", "serde"}},
        ImportCase{"java",
                   "package a.b;\nimport java.util.List;\nimport static java.lang.Math.max;\n"
                   "import java.io.*;\n",
                   {"java.util.List", "java.lang.Math.max", "java.io"}},
        ImportCase{"csharp", testing::sample("order_book.cs"), {"System",
         "System.Collections.Generic", "System.Math"}},
        ImportCase{"ruby", testing::sample("invoice.rb"), {"json", "lib.store.cache"}},
        ImportCase{"php", testing::sample("profile_controller.php"), {"App.Models.User",
         "Illuminate.Support.Facades.Cache", "Illuminate.Support.Facades.Log", "bootstrap.helpers"}},
        ImportCase{"kotlin", testing::sample("note_repository.kt"), {"kotlinx.coroutines.flow.Flow",
         "java.time.Instant"}},
        ImportCase{"swift", testing::sample("image_cache.swift"), {"Foundation", "UIKit.UIView"}},
        ImportCase{"scala", testing::sample("cart.scala"), {"scala.collection.mutable",
         "shop.model.Item", "shop.model.Price"}},
        ImportCase{"bash", testing::sample("backup.sh"), {"lib.common", "config.backup"}},
        ImportCase{"lua", testing::sample("queue.lua"), {"dkjson", "app.util"}},
        ImportCase{"elixir", testing::sample("cart.ex"), {"shop.item", "shop.price", "ecto.query",
         "logger"}},
        ImportCase{"zig", testing::sample("stack.zig"), {"std", "parser"}},
        ImportCase{"elm", testing::sample("Profile.elm"), {"Html", "Html.Attributes", "Api.User"}},
        ImportCase{"solidity", testing::sample("vault.sol"),
         {"@openzeppelin.contracts.token.ERC20.IERC20", "libs.SafeMath"}},
        ImportCase{"text", "import os\n#include <x.h>\n", {}}),
    [](const auto& info) { return info.param.language; });

TEST(ExtractImportForms, AliasesGroupsAndPathsGiveTheModules) {
  const std::vector<ImportCase> cases = {
      {"csharp", "using Json = Newtonsoft.Json;\nglobal using global::System.Linq;\n",
       {"Newtonsoft.Json", "System.Linq"}},
      {"php", "<?php\nuse function App\\fn\\helper;\nuse App\\{A, B\\C};\ninclude 'lib/x.php';\n",
       {"App.fn.helper", "App.A", "App.B.C", "lib.x"}},
      {"scala", "import a.b._\nimport c.d.*\nimport e.{f => g, h}\n", {"a.b", "c.d", "e.f", "e.h"}},
      {"bash", "source \"$DIR/util.sh\"\n. /etc/profile\n", {"util", "etc.profile"}},
      {"elixir", "defmodule A do\n  require :crypto\n  use MyApp.HTTPClient\nend\n",
       {"crypto", "my_app.http_client"}},
      {"lua", "local m = require(\"lib/util\")\nlocal n = require \"a.b\".x\n", {"lib.util", "a.b"}},
  };
  for (const ImportCase& c : cases) {
    EXPECT_EQ(extract_imports(c.language, c.source), c.modules) << c.source;
  }
}

TEST(DetectLanguage, ByExtension) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a.py", "python"},        {"pkg/stubs.pyi", "python"}, {"web/app.js", "javascript"},
      {"x.mjs", "javascript"},   {"comp.jsx", "javascript"},  {"src/main.ts", "typescript"},
      {"view.tsx", "tsx"},       {"lib.c", "c"},              {"lib.h", "c"},
      {"impl.cc", "cpp"},        {"impl.cpp", "cpp"},         {"impl.hpp", "cpp"},
      {"Old.C", "cpp"},          {"main.go", "go"},           {"lib.rs", "rust"},
      {"App.java", "java"},      {"README.md", "text"},       {"Makefile", "text"},
      {".py", "text"},           {"dir.py/file", "text"},     {"SHOUT.PY", "python"},
      {"no/such/dir/a.rs", "rust"},   {"Api.cs", "csharp"},        {"Rakefile.rake", "ruby"},
      {"index.php", "php"},          {"build.gradle.kts", "kotlin"}, {"App.swift", "swift"},
      {"Main.scala", "scala"},       {"run.sh", "bash"},          {"init.lua", "lua"},
      {"mix.exs", "elixir"},         {"main.zig", "zig"},         {"Main.elm", "elm"},
      {"Token.sol", "solidity"},
  };
  for (const auto& [path, language] : cases) {
    EXPECT_EQ(detect_language(path), language) << path;
  }
}

TEST(DetectLanguage, ByShebangWhenTheExtensionSaysNothing) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "vantory_detect_test";
  std::filesystem::create_directories(dir);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"#!/usr/bin/env python3\nprint(1)\n", "python"},
      {"#!/usr/bin/python3.11 -u\n", "python"},
      {"#!/usr/bin/env -S node --no-warnings\n", "javascript"},
      {"#!/usr/local/bin/node\n", "javascript"},
      {"#!/bin/sh\necho hi\n", "bash"},
      {"#!/usr/bin/env ruby\n", "ruby"},
      {"#!/usr/bin/perl\n", "text"},
      {"print('no shebang')\n", "text"},
      {"", "text"},
  };
  int i = 0;
  for (const auto& [content, language] : cases) {
    std::filesystem::path file = dir / ("script" + std::to_string(i++));
    std::ofstream(file) << content;
    EXPECT_EQ(detect_language(file.string()), language) << content;
  }
  EXPECT_EQ(detect_language((dir / "missing").string()), "text");
  EXPECT_EQ(detect_language(dir.string()), "text");
  std::filesystem::remove_all(dir);
}

TEST(DetectLanguage, HeadersThatWriteCppAreCpp) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"#pragma once\nnamespace llvm {\nint f();\n}\n", true},
      {"template <typename T>\nT max(T a, T b);\n", true},
      {"class Widget : public Base {\n public:\n  void draw();\n};\n", true},
      {"#include <vector>\nint count(const std::vector<int>& v);\n", true},
      {"using Bytes = unsigned char*;\n", true},
      {"int size = std::size(items);\n", true},
      // C, with a guard for C++ callers, and C++ words in comments, names and includes.
      {"#ifdef __cplusplus\nextern \"C\" {\n#endif\nint class_count;\n", false},
      {"/* namespace support\n   template <T> is not here */\n// class Foo {\n", false},
      {"#include <sys/types.h>\n#include <stdio.h>\nint templates(void);\n", false},
      {"struct point { int x, y; };\nint public_count;\n", false},
  };
  for (const auto& [text, cpp] : cases) {
    EXPECT_EQ(looks_like_cpp(text), cpp) << text;
  }
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "vantory_header_test";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "vec.h") << "namespace geo {\nstruct Vec { float x; };\n}\n";
  std::ofstream(dir / "vec_c.h") << "struct vec { float x; };\n";
  EXPECT_EQ(detect_language((dir / "vec.h").string()), "cpp");
  EXPECT_EQ(detect_language((dir / "vec_c.h").string()), "c");
  EXPECT_EQ(detect_language((dir / "missing.h").string()), "c");
  std::filesystem::remove_all(dir);
}

TEST(LooksBinary, TellsTextFromBinary) {
  const std::string replacement = "\xEF\xBF\xBD";
  std::string mostly_replaced;
  for (int i = 0; i < 50; ++i) mostly_replaced += replacement + "a";
  std::string latin1_text = "Gr" + replacement + "\xC3\xBC" + "e aus M" + replacement +
                            "nchen, eine ganz normale Zeile Text.\n";
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", false},
      {"plain text\n", false},
      {"tabs\tand\fform feeds\r\n", false},
      {"\x1b[31mred\x1b[0m\n", false},
      {latin1_text, false},
      {std::string("a\0b", 3), true},
      {std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), true},
      {mostly_replaced, false},
      {"\xf0\xd2\xc9\xd7\xc5\xd4 koi8-r \xcd\xc9\xd2\n", false},
      {std::string(100, '\x01'), true},
      {"abcdefgh\x01\x02", true},
      {"abcdefghijklmnopqrs\x01", false},
  };
  for (const auto& [bytes, binary] : cases) {
    EXPECT_EQ(looks_binary(bytes), binary) << ::testing::PrintToString(bytes);
  }
}

TEST(ChunkingComponent, BindsDetectionAndChunkers) {
  std::shared_ptr<ChunkingComponent> component = make_chunking_component();
  ASSERT_NE(component, nullptr);
  EXPECT_EQ(component->detect_language("x/y.go"), "go");
  for (const std::string language : {"python", "go", "text", "unknown", ""}) {
    std::unique_ptr<Chunker> chunker = component->get_chunker(language);
    ASSERT_NE(chunker, nullptr) << language;
    EXPECT_FALSE(chunker->chunk_file("x = 1\n", "f").empty()) << language;
  }
}

}  // namespace
}  // namespace vantory::backend

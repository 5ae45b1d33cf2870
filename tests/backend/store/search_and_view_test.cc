// The hybrid retriever, the directory view and snapshots through the component interfaces.
#include <gmock/gmock.h>

#include <functional>
#include <map>

#include "backend/builder/memory_builder.h"
#include "backend/core/backend_core.h"
#include "backend/retriever/hybrid_retriever.h"
#include "backend/retriever/keyword_vocabulary.h"
#include "backend/retriever/name_match.h"
#include "backend/retriever/question_coverage.h"
#include "backend/retriever/result_spread.h"
#include "backend/text/file_topic.h"
#include "backend/text/identifiers.h"
#include "backend/text/recent_words.h"
#include "backend/text/search_text.h"
#include "backend/text/word_filter.h"
#include "backend/vectors/local_embedder.h"
#include "backend_fixture.h"
#include "common/error.h"

namespace vantory::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(IdentifierText, SplitsCompoundsTheWayCodeIsWritten) {
  struct Case {
    const char* word;
    std::vector<std::string> parts;
  };
  for (const Case& c : std::vector<Case>{
           {"get_file_imports", {"get", "file", "imports"}},
           {"HTTPServerError", {"http", "server", "error"}},
           {"parseJSON", {"parse", "json"}},
           {"utf8Decode", {"utf8", "decode"}},
           {"__init__", {"init"}},
           {"IOError", {"io", "error"}},
           {"md5sum", {"md5sum"}},
           {"Ünïcode_Wört", {"ünïcode", "wört"}},
       }) {
    EXPECT_EQ(backend::split_identifier(c.word), c.parts) << c.word;
  }
  EXPECT_EQ(backend::path_terms("/usr/lib/python3.11/json/decoder.py"),
            "usr lib python3 11 json decoder");
  EXPECT_EQ(backend::query_terms("how does the parseJSON helper"),
            (std::vector<std::string>{"parsejson", "parse", "json", "parsejson_helper",
                                      "parsejsonhelper", "helper", "helperparsejson"}));
  EXPECT_EQ(backend::query_terms("open the url"),
            (std::vector<std::string>{"open", "url", "open_url", "openurl", "urlopen"}));
  EXPECT_EQ(backend::query_terms("the of"), (std::vector<std::string>{"the", "of"}));
  EXPECT_EQ(backend::match_any({"a", "b_c"}), "\"a\" OR \"b_c\"");
  EXPECT_EQ(backend::match_any({"a"}, {"pars"}), "\"a\" OR \"pars\" *");
  EXPECT_EQ(backend::query_stems("Parsing the headers of a parsed file"),
            (std::vector<std::string>{"pars", "header"}));
}

TEST(IdentifierText, WordsRunAcrossAnyLetterAndRecentWordsAreExact) {
  // ASCII runs are read at once; a letter past them (ï, é) goes on with the word, a dash or a
  // CJK full stop ends it.
  EXPECT_THAT(backend::words_of("naïve café_x 42\xe2\x80\x94" "b x\xe3\x80\x82y_"),
              ElementsAre("naïve", "café_x", "42", "b", "x", "y_"));
  EXPECT_THAT(backend::words_of("éa"), ElementsAre("éa"));
  EXPECT_THAT(backend::words_of(""), IsEmpty());
  // Same length, first, middle and last letters: one slot. Only the very word is ever met.
  std::string first = "axbyc", second = "azbwc";
  backend::RecentWords recent;
  EXPECT_FALSE(recent.met(first));
  EXPECT_TRUE(recent.met(std::string("axbyc")));
  EXPECT_FALSE(recent.met(second));
  EXPECT_FALSE(recent.met(first));
  EXPECT_FALSE(recent.met(""));
  EXPECT_TRUE(recent.met(""));
}

TEST(IdentifierText, CutsRunTogetherNamesByTheWordsOfTheirFile) {
  backend::FileWords words;
  words.add_text("def splitdrive(p):  # the drive of a path, split off\n"
                 "def show_syntax_error(): readSource(); getabc(); ab = 1");
  struct Case {
    const char* word;
    std::vector<std::string> pieces;
  };
  for (const Case& c : std::vector<Case>{
           {"splitdrive", {"split", "drive"}},
           {"showsyntaxerror", {"show", "syntax", "error"}},
           {"splitdriveoff", {"splitdrive", "off"}},  // the fewest pieces; a name is a word
           {"readsplit", {"read", "split"}},
           {"splitdrive2", {}},   // only lower-case letters
           {"getabc", {}},        // "get" and "abc" are no words of the file on their own
           {"pathab", {}},        // pieces of two letters never count
           {"splitpath", {"split", "path"}},
       }) {
    EXPECT_EQ(words.split(c.word), c.pieces) << c.word;
  }
  backend::ChunkSearchText text = backend::chunk_search_text(
      Json{{"name", "ntpath.splitdrive"}}, backend::path_terms("ntpath.py"), &words);
  EXPECT_EQ(text.name, "ntpath.splitdrive split drive");
  EXPECT_EQ(backend::chunk_search_text(Json{{"name", "splitdrive"}}, "a").name,
            "splitdrive");
}

TEST(IdentifierText, AFilesTopicIsTheFirstSentenceOfItsOpeningDocumentation) {
  struct Case {
    const char* opening;
    const char* language;
    const char* topic;
  };
  for (const Case& c : std::vector<Case>{
           {"#!/usr/bin/env python3\n# -*- coding: utf-8 -*-\n\n\"\"\"Terminal utilities.\n\n"
            "Raw mode.\"\"\"\nimport os",
            "python", "terminal utilities"},
           {"r'''Parse a module\nand describe it. Then'''", "python",
            "parse a module and describe it"},
           {"'use strict'\nconst a = 1", "javascript", ""},
           {"/**\n * Diff helpers for\n * change lists.\n *\n * @module diff\n */", "javascript",
            "diff helpers for change lists"},
           {"/** @fileoverview Tab completion. */", "javascript", "tab completion"},
           {"/** @param x one */", "javascript", ""},
           {"#!/usr/bin/env node\n/** Adds two numbers. */\nfunction add(a, b) {}", "javascript",
            ""},
           {"/** Number helpers. */\n\nfunction add(a, b) {}", "javascript", "number helpers"},
           {"#ifndef A_H\n/* Copyright 2020 */\n/** Not this. */", "c", ""},
           {"//! Line editing\n//! for terminals.\nfn main() {}", "rust",
            "line editing for terminals"},
           {"def f(): pass", "python", ""},
           {"\"\"\"a b c d e f g h i j k l m n o p q r s t u v w x y z", "python",
            "a b c d e f g h i j k l m n o p q r s t u v w x"},
       }) {
    EXPECT_EQ(backend::file_topic(c.opening, c.language), c.topic) << c.opening;
  }
}

class SearchTest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    index("db/users.py",
          Json::array({chunk("save_user", "function",
                             "def save_user(conn, user):\n    conn.insert_row('users', user)",
                             {"conn.insert_row"}),
                       chunk("load_user", "function",
                             "def load_user(conn, user_id):\n    return conn.fetch(user_id)")}));
    index("net/http_client.py",
          Json::array({chunk("HttpClient.sendRequest", "method",
                             "def sendRequest(self, url):\n    return self.session.get(url)"),
                       chunk("HttpClient.close", "method", "def close(self): pass")}));
    index("text/tokenize.py",
          Json::array({chunk("tokenize_words", "function",
                             "def tokenize_words(text):\n    return text.split()")}));
  }
  Json search(const std::string& query, std::int64_t top_k = 5, const Json& filter = nullptr) {
    return c_->retriever->search("agent", query, top_k, filter);
  }
  static std::vector<std::string> names(const Json& answer) {
    std::vector<std::string> out;
    for (const Json& result : answer["results"]) out.push_back(result["chunk"]["name"]);
    return out;
  }
};

TEST_F(SearchTest, FindsUnitsByNamesSubWordsAndPaths) {
  struct Case {
    const char* query;
    const char* best;
  };
  for (const Case& c : std::vector<Case>{{"save_user", "save_user"},
                                         {"send request", "HttpClient.sendRequest"},
                                         {"sendRequest", "HttpClient.sendRequest"},
                                         {"insert row into users", "save_user"},
                                         {"http client request", "HttpClient.sendRequest"},
                                         {"tokenize", "tokenize_words"}}) {
    Json answer = search(c.query);
    ASSERT_FALSE(answer["results"].empty()) << c.query;
    EXPECT_EQ(answer["results"][0]["chunk"]["name"], c.best) << c.query;
    double previous = 2;
    for (const Json& result : answer["results"]) {
      EXPECT_LE(result["score"].get<double>(), previous) << c.query;
      previous = result["score"];
    }
  }
  Json answer = search("save_user");
  const Json& first = answer["results"][0];
  EXPECT_EQ(first["file_path"], "db/users.py");
  EXPECT_EQ(first["chunk"]["file_path"], "db/users.py");
  EXPECT_EQ(first["chunk"]["calls"][0]["target"], "conn.insert_row");
  index("i18n.py", Json::array({chunk("größe_prüfen", "function", "def größe_prüfen(): ...")}));
  Json umlauts = search("größe prüfen")["results"][0];
  EXPECT_EQ(umlauts["chunk"]["name"], "größe_prüfen");
  EXPECT_GT(umlauts["keyword_score"].get<double>(), 0);
  index("ntpath.py",
        Json::array({chunk("splitdrive", "function", "def splitdrive(p): ..."),
                     chunk("lines 3-4", "block", "# the drive letter, split off")}));
  EXPECT_EQ(names(search("drive", 1)), std::vector<std::string>{"splitdrive"});
  // A unit is also found by the words of what its file says it is about.
  index("tty.py", Json::array({chunk("lines 1", "block", "\"\"\"Terminal utilities.\"\"\""),
                               chunk("setraw", "function", "def setraw(fd): ...")}));
  EXPECT_THAT(names(search("terminal", 2)), ::testing::Contains("setraw"));
  EXPECT_EQ(answer["search_type"], "hybrid");
  EXPECT_EQ(answer["embedder"], "local-hash-256");
}

TEST_F(SearchTest, HonoursTopKAndTheFileFilter) {
  EXPECT_EQ(search("user", 1)["results"].size(), 1u);
  EXPECT_THAT(search("user", 0)["results"], IsEmpty());
  EXPECT_THAT(search("user", -3)["results"], IsEmpty());
  struct Case {
    Json filter;
    std::vector<std::string> files;
  };
  for (const Case& c : std::vector<Case>{
           {Json::array({"./net//http_client.py"}), {"net/http_client.py"}},
           {Json::array({"net/"}), {"net/http_client.py"}},
           {Json::array({"db", "text/tokenize.py"}), {"db/users.py", "text/tokenize.py"}},
           {Json::array({"nowhere.py"}), {}},
           {Json::array(), {}}}) {
    Json answer = search("user text request close", 10, c.filter);
    std::set<std::string> files;
    for (const Json& result : answer["results"]) files.insert(result["file_path"]);
    EXPECT_EQ(std::vector<std::string>(files.begin(), files.end()), c.files) << c.filter;
  }
  EXPECT_THROW(search("user", 5, "db/users.py"), TypeError);
}

TEST_F(SearchTest, FollowsChangesAndCountsWhatItServed) {
  EXPECT_EQ(names(search("tokenize", 1)), std::vector<std::string>{"tokenize_words"});
  index("text/tokenize.py",
        Json::array({chunk("split_sentences", "function", "def split_sentences(text): ...")}));
  EXPECT_EQ(names(search("split sentences", 1)), std::vector<std::string>{"split_sentences"});
  EXPECT_THAT(names(search("tokenize_words")),
              ::testing::Not(::testing::Contains("tokenize_words")));
  c_->store->delete_code_mem("agent", "text/tokenize.py");
  EXPECT_THAT(search("split sentences")["results"], IsEmpty());
  EXPECT_THAT(c_->retriever->search("someone else", "user", 5, nullptr)["results"], IsEmpty());
  // With another agent's chunks in the store, each agent's search still sees its own alone.
  index(dir_ + "/theirs.py", Json::array({chunk("split_sentences", "function", "def s(): ...")}),
        "python", "someone else");
  EXPECT_THAT(search("split sentences")["results"], IsEmpty());
  EXPECT_EQ(c_->retriever->search("someone else", "split sentences", 5, nullptr)["total_results"],
            1);

  Json savings = store().get_token_savings_report("agent");
  EXPECT_EQ(savings["searches"]["count"], 5);
  EXPECT_GT(savings["searches"]["tokens_served"].get<int>(), 0);
}

TEST_F(BackendTest, TermsThatMostChunksHoldDoNotDrownTheRareOnes) {
  Json many = Json::array();
  for (int i = 0; i < 2100; ++i) {
    many.push_back(chunk("case" + std::to_string(i), "function",
                         "def test_case(self): self.check(" + std::to_string(i) + ")"));
  }
  index("test_many.py", many);
  index("lib/widget.py", Json::array({chunk("render_widget", "function", "def render_widget(): ...")}));
  Json rare = c_->retriever->search("agent", "test check render widget", 3, nullptr);
  ASSERT_FALSE(rare["results"].empty());
  EXPECT_EQ(rare["results"][0]["chunk"]["name"], "render_widget");
  // A query of common terms alone still answers.
  EXPECT_EQ(c_->retriever->search("agent", "test check", 3, nullptr)["results"].size(), 3u);
}

TEST_F(SearchTest, ImplementationsComeBeforeTestsDataAndBlocks) {
  index("tests/fuzz/json/number_array.json",
        Json::array({chunk("lines 1-3", "block", "[1, 2.5, -3e8]")}));
  index("tests/test_numbers.py",
        Json::array({chunk("test_parse_number_array", "function",
                           "def test_parse_number_array(): assert parse_number_array('[1]')")}));
  index("json/numbers.py",
        Json::array({chunk("lines 1-4", "block", "# parse number array helpers\nimport re"),
                     chunk("parse_number_array", "function",
                           "def parse_number_array(text):\n    return "
                           "[float(x) for x in text]")}));
  index("json/numbers.h",
        Json::array({chunk("parse_number_array", "declaration",
                           "// Parses a JSON array of numbers.\nstd::vector<double> "
                           "parse_number_array(std::string_view text);")}));
  Json answer = search("parse a JSON number array", 5);
  ASSERT_EQ(answer["results"].size(), 5u);
  // The definition first, then its declaration, then the rest.
  EXPECT_EQ(answer["results"][0]["chunk"]["type"], "function");
  EXPECT_EQ(answer["results"][1]["chunk"]["type"], "declaration");
  EXPECT_EQ(names(search("test parse number array", 1)),
            std::vector<std::string>{"test_parse_number_array"});
  // "test case" names a class of the code base: the code comes before its tests.
  index("unittest/case.py", Json::array({chunk("TestCase", "class",
                                               "class TestCase:\n    def run(self): pass")}));
  index("unittest/tests/test_case.py",
        Json::array({chunk("Test_TestCase", "class",
                           "class Test_TestCase(TestCase):\n    def test_run(self): pass")}));
  EXPECT_EQ(names(search("test case run", 1)), std::vector<std::string>{"TestCase"});
  // Stems meet the words they came from: "parsing numbers" finds
  // parse_number_array.
  EXPECT_EQ(names(search("parsing numbers", 1)), std::vector<std::string>{"parse_number_array"});
}

// The tests of a module hold its words in their paths, names and code, and BM25 ranks dozens of
// them above the module itself: they must not take every candidate's place from the code, which
// ranks above them once their files' priors count.
TEST_F(SearchTest, TestsDoNotTakeTheCodesPlaceAmongTheCandidates) {
  Json tests = Json::array();
  // More than three hits for each of the 30 places a search of 5 gathers.
  for (int i = 0; i < 120; ++i) {
    std::string n = std::to_string(i);
    tests.push_back(chunk("test_cursor_" + n, "function",
                          "def test_cursor_" + n + "(self):\n    cursor = self.connection.cursor()"
                          "\n    cursor.execute(" + n + ")"));
  }
  index("tests/test_cursor.py", tests);
  std::string code = "class Connection:\n    def cursor(self):\n        return Cursor(self)\n";
  for (const char* other : {"commit", "rollback", "close", "execute", "executemany", "backup",
                            "interrupt", "set_trace_callback", "create_function", "iterdump"}) {
    code += "    def " + std::string(other) + "(self, *args): return self._db." + other +
            "(*args)\n";
  }
  index("sqlite/dbapi.py", Json::array({chunk("Connection", "class", code)}));
  // BM25 alone ranks all the tests first; their halved scores put the class among them.
  EXPECT_THAT(names(search("connection cursor", 5)), ::testing::Contains("Connection"));
}

TEST(NameMatch, ShareOfTheNameTheQuestionHolds) {
  struct Case {
    const char* name;
    const char* query;
    double share;
  };
  for (const Case& c : std::vector<Case>{
           {"HttpClient.sendRequest", "send a request", 1.0},  // a method by its own name
           {"parseUnparsedAttributes", "Parses the remaining attributes", 2.0 / 3},  // stems
           {"readlines", "read the lines of a file", 1.0},  // a join of the question's words
           {"isWin", "uses Windows line endings", 1.0},     // abbreviated; "is" says nothing
           {"randint", "a random integer", 1.0},  // run together, each piece abbreviated
           {"getenv", "read an environment variable", 0.0},  // get is no word of it
           {"to_str", "convert it", 0.0},
           {"describe_format", "windows line endings", 0.0},
           {"lines 1-3", "", 0.0}}) {
    EXPECT_DOUBLE_EQ(backend::name_coverage(c.name, backend::asked_words(c.query)), c.share)
        << c.name;
  }
}

TEST(ResultSpread, AFilesFurtherUnitsGiveWayToNearTiesFromOtherFiles) {
  using backend::SpreadUnit;
  // File 1's second unit (0.95) yields to file 2's (0.9 > 0.95 x 0.9), not to file 3's (0.5);
  // a unit with no file (-1) never counts as shown.
  std::vector<SpreadUnit> units = {{1, 1.0}, {1, 0.95}, {1, 0.94}, {2, 0.9},
                                   {-1, 0.8}, {-1, 0.7}, {3, 0.5}};
  EXPECT_THAT(backend::spread_over_files(units, 10), ElementsAre(0, 3, 1, 2, 4, 5, 6));
  double previous = 2;
  for (std::size_t i : {0, 3, 1, 2, 4, 5, 6}) {
    EXPECT_LE(units[i].score, previous);
    previous = units[i].score;
  }
  EXPECT_DOUBLE_EQ(units[1].score, 0.95 * backend::kFurtherUnitOfFileFactor);
  std::vector<SpreadUnit> cut = {{1, 1.0}, {1, 0.99}, {2, 0.2}};
  EXPECT_THAT(backend::spread_over_files(cut, 2), ElementsAre(0, 1));
  std::vector<SpreadUnit> none;
  EXPECT_THAT(backend::spread_over_files(none, 5), IsEmpty());
}

TEST_F(SearchTest, TheUnitTheQuestionNamesComesBeforeItsCallers) {
  // The callers say "asterisks" in their comments and call asterisk twice each; only the
  // helper is named by the question's words.
  index("redact/utils.py",
        Json::array({chunk("redact_fixed", "function",
                           "def redact_fixed(value):\n    # keeps the start, asterisks for the "
                           "rest\n    return asterisk(len(value)) + asterisk(1)"),
                     chunk("redact_dynamic", "function",
                           "def redact_dynamic(value, start):\n    # asterisks for what follows "
                           "after start\n    return start + asterisk(len(value) - start)"),
                     chunk("asterisk", "function", "def asterisk(n):\n    return '*' * n")}));
  EXPECT_EQ(names(search("creates a string of asterisks", 1)),
            std::vector<std::string>{"asterisk"});
}

TEST_F(SearchTest, QuestionCoverageWeighsRareWordsMoreAndMatchesByStem) {
  backend::Database db(root_);
  backend::KeywordVocabulary vocabulary;
  // "save" is in one chunk, "users" (as its stem, user) in two; "tokens" and "quickly" are
  // in none, and "how", "to" and "the" are stop words: none of those count.
  backend::QuestionWords question("how to save the users tokens, quickly", db, vocabulary);
  auto coverage = [&](const std::string& name, const std::string& content) {
    backend::ChunkSearchText text;
    text.name = name;
    text.content = content;
    return question.coverage(text);
  };
  double save = coverage("", "save(x)");
  double user = coverage("user", "");
  EXPECT_GT(save, user);
  EXPECT_GT(user, 0.0);
  EXPECT_DOUBLE_EQ(save + user, 1.0);
  EXPECT_DOUBLE_EQ(coverage("Save", "the USERS"), 1.0);
  EXPECT_DOUBLE_EQ(coverage("tokens", "quickly saved"), 0.0);
}

TEST_F(SearchTest, KeywordRankIsBm25WithKeptRowLengths) {
  backend::BackendCore core(root_);
  auto compare = [&](const char* when) {
    core.keyword_vocabulary().refresh(core.database());
    // Twice: the second time every row's length is a kept one.
    for (int pass = 0; pass < 2; ++pass) {
      backend::Statement st = core.database().prepare(
          "SELECT bm25(chunk_fts, 10.0, 2.0, 0.0, 1.0, 0.5, 5.0), "
          "vantory_bm25(chunk_fts, 10.0, 2.0, 0.0, 1.0, 0.5, 5.0) FROM chunk_fts "
          "WHERE chunk_fts MATCH '\"user\" OR \"conn\" OR \"text\" OR \"words\"'");
      int rows = 0;
      for (; st.step(); ++rows) {
        EXPECT_EQ(st.column_double(0), st.column_double(1)) << when << ", pass " << pass;
      }
      EXPECT_GE(rows, 3) << when;
    }
  };
  compare("as indexed");
  // Every row was looked up alone: the next search reads the lengths of all rows at once.
  compare("read at once");
  // The last file's chunk goes, and the chunk that replaces it takes its row id: a length
  // kept for the old row would score the new one wrongly.
  index("text/tokenize.py",
        Json::array({chunk("tokenize_words", "function",
                           "def tokenize_words(text):\n    # split the text into words, then "
                           "drop the empty words and the words of one letter\n    return [w for "
                           "w in text.split() if len(w) > 1]")}));
  compare("after a change");
}

TEST(WordFilter, HoldsItsWordsAndRarelyOthers) {
  backend::WordFilter filter(2000);
  for (int i = 0; i < 2000; ++i) filter.add("word" + std::to_string(i));
  backend::WordFilter stored = backend::WordFilter::from_bytes(filter.bytes());
  EXPECT_EQ(stored.size(), 2000u);
  int others_held = 0;
  for (int i = 0; i < 2000; ++i) EXPECT_TRUE(stored.may_hold("word" + std::to_string(i)));
  for (int i = 0; i < 20000; ++i) others_held += stored.may_hold("other" + std::to_string(i));
  EXPECT_LT(others_held, 400);  // about 0.8% expected
  // A damaged or missing blob holds nothing.
  std::string bytes = filter.bytes();
  for (std::string_view damaged : {std::string_view(), std::string_view(bytes).substr(0, 3),
                                   std::string_view(bytes).substr(0, bytes.size() - 1)}) {
    EXPECT_EQ(backend::WordFilter::from_bytes(damaged).size(), 0u);
    EXPECT_FALSE(backend::WordFilter::from_bytes(damaged).may_hold("word1"));
  }
}

TEST_F(SearchTest, AUnitsFileCountsByTheWordsOfItsOtherUnits) {
  // Two units alike but for their files: the question's other words are in one file only.
  for (const char* kind : {"image", "sound"}) {  // ties go to the first indexed
    std::string k = kind;
    index(k == "image" ? "formats/first.py" : "formats/second.py",
          Json::array({chunk("what", "function", "def what(h):\n    return tests[0](h)"),
                       chunk("recognize_" + k, "function",
                             "def recognize_" + k + "(h):\n    # recognizes " + k +
                                 " files by the magic of their header\n"
                                 "    return h[:4] == MAGIC")}));
  }
  Json answer = search("guess the type of a sound file, what it is", 10);
  std::vector<std::string> files;
  for (const Json& result : answer["results"]) {
    if (result["chunk"]["name"] == "what") files.push_back(result["file_path"]);
  }
  EXPECT_EQ(files, (std::vector<std::string>{"formats/second.py", "formats/first.py"}));
}

TEST_F(SearchTest, AUnitLendsItsScoreToTheUnitsBearingItsNameElsewhere) {
  // The one variant says what it does; the other, and a data file's unit of that name, do not.
  index("posixpath.py",
        Json::array({chunk("relpath", "function",
                           "def relpath(path, start=None):\n    \"\"\"Return a relative "
                           "version of a path\"\"\"\n    return _split(path, start)")}));
  index("ntpath.py", Json::array({chunk("relpath", "function",
                                        "def relpath(path, start=None):\n    return _nt(path)")}));
  index("paths.json", Json::array({chunk("relpath", "function", "relpath: 1")}));
  index("platform.py",
        Json::array({chunk("version", "function", "def version():\n    return _uname()")}));
  auto scores = [&](const Json& filter) {
    std::map<std::string, double> out;
    Json answer = search("return a relative version of a path", 10, filter);
    for (const Json& r : answer["results"]) {
      out[r["file_path"].get<std::string>()] = r["score"];
    }
    return out;
  };
  std::map<std::string, double> lent = scores(nullptr);
  ASSERT_TRUE(lent.count("posixpath.py") && lent.count("ntpath.py") && lent.count("platform.py"));
  EXPECT_NEAR(lent["ntpath.py"], backend::kNamesakeFactor * lent["posixpath.py"], 1e-3);
  EXPECT_GT(lent["ntpath.py"], lent["platform.py"]);
  EXPECT_LT(lent["paths.json"], lent["platform.py"]);
  // Nothing is lent into files the filter leaves out.
  EXPECT_FALSE(scores(Json::array({"posixpath.py", "platform.py"})).count("ntpath.py"));
  // A name that many units bear says nothing of what they do.
  for (const char* more : {"a.py", "b.py", "c.py"}) {
    index(more, Json::array({chunk("relpath", "function", "def relpath(p):\n    return p")}));
  }
  EXPECT_LT(scores(nullptr)["ntpath.py"], lent["ntpath.py"] - 0.01);
  // Any name is looked up as words, never as query syntax.
  for (const std::string& odd : {std::string("path\0\"rel\" NEAR("), std::string("\xff\xfe path"),
                                 std::string("*"), std::string("relative AND version")}) {
    index("odd.py", Json::array({chunk(odd, "function", "# relative version of a path")}));
    index("odd2.py", Json::array({chunk(odd, "function", "pass")}));
    EXPECT_NO_THROW(search("relative version of a path", 10)) << odd;
  }
}

TEST_F(SearchTest, AnyQueryAnswersWithoutFailing) {
  for (const std::string& query :
       {std::string(), std::string("the of and"), std::string("?!.,;"), std::string("\"save_user"),
        std::string("user*"), std::string("NEAR(save user)"), std::string("save AND user -load"),
        std::string("file:users col:name"), std::string("\xff\xfe broken utf8"),
        std::string("保存 ユーザー пользователь"), std::string(100 * 1024, 'x'),
        std::string(20000, ' ') + "save"}) {
    Json answer;
    EXPECT_NO_THROW(answer = search(query, 5)) << query.substr(0, 40);
    EXPECT_TRUE(answer["results"].is_array()) << query.substr(0, 40);
  }
  EXPECT_EQ(names(search("\"save_user\" AND NEAR(", 1)), std::vector<std::string>{"save_user"});
}

TEST_F(BackendTest, DirectoryViewIsOrganisedByLanguage) {
  index("/srv/app/main.py", Json::array({chunk("a", "block", "a"), chunk("b", "block", "b")}));
  index("/srv/app/lib/util.py", Json::array({chunk("u", "block", "u")}));
  index("/srv/app/lib/deep/x.py", Json::array({chunk("x", "block", "x")}));
  index("web/index.js", Json::array({chunk("w", "block", "w")}), "javascript");

  auto listing = [&](const std::string& path) {
    std::vector<std::string> out;
    for (const Json& entry : c_->filesystem->list_dir("agent", path)) {
      out.push_back(entry["type"].get<std::string>() + ":" + entry["name"].get<std::string>() +
                    "=" + entry["path"].get<std::string>());
    }
    return out;
  };
  EXPECT_THAT(listing(""),
              ElementsAre("directory:javascript=javascript", "directory:python=python"));
  EXPECT_EQ(listing("/"), listing(""));
  EXPECT_THAT(listing("python"), ElementsAre("directory:srv/app=python/srv/app"));
  EXPECT_THAT(listing("python/srv/app/"), ElementsAre("directory:lib=python/srv/app/lib",
                                                      "file:main.py=python/srv/app/main.py"));
  EXPECT_THAT(listing("python/srv/app/lib"),
              ElementsAre("directory:deep=python/srv/app/lib/deep",
                          "file:util.py=python/srv/app/lib/util.py"));
  EXPECT_THAT(listing("javascript"), ElementsAre("directory:web=javascript/web"));
  EXPECT_THAT(listing("python/nowhere"), IsEmpty());
  EXPECT_THAT(listing("rust"), IsEmpty());

  Json file = c_->filesystem->list_dir("agent", "python/srv/app/main.py");
  ASSERT_EQ(file.size(), 1u);
  EXPECT_EQ(file[0]["file_path"], "/srv/app/main.py");
  EXPECT_EQ(file[0]["chunk_count"], 2);
  EXPECT_EQ(file[0]["language"], "python");
  EXPECT_EQ(c_->filesystem->list_dir("agent", "python")[0]["file_count"], 3);
}

TEST_F(BackendTest, SnapshotsAreContentAddressedAndCompared) {
  CodingFileSystem& fs = *c_->filesystem;
  Json empty = fs.commit_snapshot("agent", "empty");
  index("a.py", Json::array({chunk("a", "block", "a = 1")}));
  index("b.py", Json::array({chunk("b", "block", "b = 1")}));
  Json first = fs.commit_snapshot("agent", "two files");
  index("b.py", Json::array({chunk("b", "block", "b = 2")}));
  index("c.py", Json::array({chunk("c", "block", "c = 1")}));
  store().delete_code_mem("agent", "a.py");
  index("a2.py", Json::array({chunk("a", "block", "a = 1")}));
  Json second = fs.commit_snapshot("agent", "changed");
  ASSERT_TRUE(first.is_string());
  EXPECT_EQ(first.get<std::string>().size(), 64u);
  EXPECT_NE(first, second);
  EXPECT_NE(empty, first);

  Json diff = fs.get_diff("agent", first, second);
  EXPECT_EQ(strings(diff["added"]), (std::vector<std::string>{"a2.py", "c.py"}));
  EXPECT_EQ(strings(diff["removed"]), std::vector<std::string>{"a.py"});
  EXPECT_EQ(strings(diff["modified"]), std::vector<std::string>{"b.py"});
  EXPECT_EQ(diff["unchanged"], 0);
  Json same = fs.get_diff("agent", second.get<std::string>().substr(0, 7), second);
  EXPECT_EQ(same["to"], second);
  EXPECT_THAT(same["added"], IsEmpty());
  EXPECT_EQ(same["unchanged"], 3);
  EXPECT_TRUE(fs.get_diff("agent", first, "feedface").is_null());
  EXPECT_TRUE(fs.get_diff("another agent", first, second).is_null());
  EXPECT_TRUE(fs.get_diff("agent", "", second).is_null());

  // A commit of an unchanged state still gets an identifier of its own: its parent differs.
  Json third = fs.commit_snapshot("agent", "changed");
  EXPECT_NE(third, second);
  EXPECT_EQ(fs.get_diff("agent", second, third)["unchanged"], 3);
}


// The local embedder's vectors, reshaped by a function: the suite's other ways of holding them.
class ReshapingEmbedder : public backend::Embedder {
 public:
  using Reshape = std::function<std::vector<float>(const std::vector<float>&)>;
  ReshapingEmbedder(std::string name, Reshape reshape)
      : name_(std::move(name)), reshape_(std::move(reshape)) {}
  const std::string& name() const override { return name_; }
  Json describe() const override { return {{"kind", "test"}, {"name", name_}}; }
  std::vector<std::vector<float>> embed(const std::vector<std::string>& texts) override {
    std::vector<std::vector<float>> out;
    for (const std::string& text : texts) {
      out.push_back(reshape_(backend::LocalEmbedder::embed_text(text)));
    }
    return out;
  }

 private:
  std::string name_;
  Reshape reshape_;
};

// Folded into 24 components, none of them zero: vectors that are held dense.
std::unique_ptr<backend::Embedder> dense_embedder() {
  return std::make_unique<ReshapingEmbedder>("dense-24", [](const std::vector<float>& local) {
    std::vector<float> folded(24, 0.01f);
    for (std::size_t i = 0; i < local.size(); ++i) folded[i % 24] += local[i];
    return folded;
  });
}

// With five components more, past the last block of eight, that sum the others: vectors held
// sparse whose sums have a tail.
std::unique_ptr<backend::Embedder> tail_embedder() {
  return std::make_unique<ReshapingEmbedder>("tail-261", [](const std::vector<float>& local) {
    std::vector<float> longer(local.size() + 5, 0.0f);
    for (std::size_t i = 0; i < local.size(); ++i) {
      longer[i] = local[i];
      longer[local.size() + i % 5] += local[i];
    }
    return longer;
  });
}

// A new process reads the vectors in pieces; a warm one holds them: both answer the same,
// ties included, whether the vectors are held sparse (the local embedder's) or dense.
TEST_F(BackendTest, ColdAndWarmSearchesAnswerTheSame) {
  const char* words[] = {"parse", "render", "socket", "cache", "token", "graph", "queue"};
  for (const char* kind : {"sparse", "dense", "sparse with a tail"}) {
    SCOPED_TRACE(kind);
    bool dense = std::string(kind) == "dense";
    auto make_core = [&]() -> std::shared_ptr<backend::BackendCore> {
      std::unique_ptr<backend::Embedder> embedder;
      if (dense) embedder = dense_embedder();
      if (std::string(kind) == "sparse with a tail") embedder = tail_embedder();
      return std::make_shared<backend::BackendCore>(root_, nullptr, std::move(embedder));
    };
    backend::MemoryBuilder builder(make_core());
    // Enough distinct vectors to judge how to hold them.
    for (int f = 0; f < 60; ++f) {
      Json chunks = Json::array();
      for (int u = 0; u < 6; ++u) {
        std::string a = words[(f + u) % 7], b = words[(f * u + 3) % 7];
        // Repeated contents share a vector, and so a similarity, across files.
        std::string content = "def " + a + "_" + b + "(x):\n    return " + a + "(" + b + ")";
        int n = f * 6 + u;
        if (f >= 12) content += "  # " + std::string{char('a' + n % 26), char('a' + n / 26), 'q'};
        chunks.push_back(chunk(a + "_" + b, "function", content));
      }
      builder.process_file_chunks("agent", dir_ + "/src/m" + std::to_string(f) + ".py", chunks,
                                  "python");
    }
    auto search = [&](const std::shared_ptr<backend::BackendCore>& core, const char* query,
                      const Json& filter) {
      return backend::HybridRetriever(core).search("agent", query, 7, filter);
    };
    auto warm = make_core();
    search(warm, "parse", nullptr);
    search(warm, "parse", nullptr);
    ASSERT_TRUE(warm->vector_index().holds_vectors());
    for (const char* query : {"parse socket", "queue of tokens", "render graph cache"}) {
      for (const Json& filter : {Json(nullptr), Json::array({dir_ + "/src/m4.py"})}) {
        auto cold = make_core();
        auto cache_size = [&] {
          backend::Statement st = cold->database().prepare("PRAGMA cache_size");
          return st.step() ? st.column_int(0) : 0;
        };
        std::int64_t cache_before = cache_size();
        Json answer = search(cold, query, filter);
        EXPECT_FALSE(cold->vector_index().holds_vectors());
        // The scan reads through a small page cache, and leaves the cache as it found it.
        EXPECT_EQ(cache_size(), cache_before);
        EXPECT_EQ(answer, search(warm, query, filter)) << query;
      }
    }
  }
}

// The counts of terms a warm core keeps are read again once the store changes: a word that no
// chunk held is asked for as soon as one does.
TEST_F(BackendTest, KeptTermCountsFollowTheStore) {
  index(dir_ + "/a.py", Json::array({chunk("load_settings", "function", "def load(): pass")}));
  auto warm = std::make_shared<backend::BackendCore>(root_);
  auto search = [&](const std::shared_ptr<backend::BackendCore>& core) {
    return backend::HybridRetriever(core).search("agent", "zanzibar settings", 3, nullptr);
  };
  search(warm);
  index(dir_ + "/b.py", Json::array({chunk("zanzibar_route", "function", "def z(): pass")}));
  Json answer = search(warm);
  ASSERT_FALSE(answer["results"].empty());
  EXPECT_EQ(answer["results"][0]["chunk"]["name"], "zanzibar_route");
  EXPECT_EQ(answer, search(std::make_shared<backend::BackendCore>(root_)));
}

}  // namespace
}  // namespace vantory::testing

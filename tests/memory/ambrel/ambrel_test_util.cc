#include "tests/memory/ambrel/ambrel_test_util.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "common/files.h"

namespace vantory::ambrel_test {

PythonVector scripted_vector(const std::string& text) {
  if (text.rfind("v:", 0) == 0) {
    std::vector<double> numbers;
    std::stringstream in(text.substr(2));
    for (std::string item; std::getline(in, item, ',');) numbers.push_back(std::stod(item));
    return create_vector(numbers);
  }
  if (text.find("fail") != std::string::npos) throw std::runtime_error("service down");
  std::vector<double> numbers(8, 0.0);
  for (std::size_t i = 0; i < text.size(); ++i) {
    numbers[i % 8] += static_cast<unsigned char>(text[i]) * (i % 3 == 0 ? -1.0 : 1.0);
  }
  numbers[7] += 1.0;
  PythonVector v = create_vector(numbers);
  return v / vector_norm(v);
}

StoreTest::StoreTest() {
  client = std::make_shared<ScriptedClient>(scripted_vector);
  store = make_store();
}

std::unique_ptr<LocalAmbrel> StoreTest::make_store(bool auto_embed, const std::string& root) {
  return std::make_unique<LocalAmbrel>(dir.path() + "/" + root, client, auto_embed);
}

std::string StoreTest::file_text(const std::string& agent) const {
  return read_file(store->_get_vectors_path(agent));
}

Json memory(const std::string& id, const std::string& content, const Json& more) {
  Json entry = {{"id", id}, {"content", content}};
  for (const auto& [key, value] : more.items()) entry[key] = value;
  return entry;
}

std::vector<Json> column(const Json& records, const std::string& key) {
  std::vector<Json> values;
  for (const Json& record : records) values.push_back(record.contains(key) ? record[key] : Json());
  return values;
}

}  // namespace vantory::ambrel_test

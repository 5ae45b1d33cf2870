#include "memory/embedding/python_vector.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/error.h"

namespace vantory {
namespace {

TEST(PythonVector, MeasuresAndDivides) {
  struct Case {
    Json data;
    std::size_t size;
    double norm;
  } cases[] = {
      {Json::array(), 0, 0.0},
      {Json::array({3, 4}), 2, 5.0},
      {Json::array({0, 0, 0}), 3, 0.0},
      {Json::array({true, false}), 2, 1.0},
      {Json::array({-2.5}), 1, 2.5},
  };
  for (const Case& c : cases) {
    PythonVector v = create_vector(c.data);
    EXPECT_EQ(v.size(), c.size) << c.data;
    EXPECT_EQ(v.shape()[0], c.size);
    EXPECT_DOUBLE_EQ(vector_norm(v), c.norm) << c.data;
    EXPECT_EQ(vector_dot(v, create_vector(Json::array())), 0.0);
  }
  PythonVector unit = create_vector(Json::array({3, 4})) / 5.0;
  EXPECT_EQ(unit.tolist(), (std::vector<double>{0.6f, 0.8f}));
  EXPECT_EQ(zeros_vector(768).size(), 768u);
  EXPECT_EQ(vector_norm(zeros_vector(768)), 0.0);
  EXPECT_TRUE(zeros_vector(-3).empty());
  EXPECT_THROW(unit / 0.0, ZeroDivisionError);
}

TEST(PythonVector, StoresNearestFloatsAndWidensThemBack) {
  PythonVector v = create_vector(Json::array({0.1, 1, 16777217, 1e-50}));
  EXPECT_EQ(v.tolist(), (std::vector<double>{0.10000000149011612, 1.0, 16777216.0, 0.0}));
  std::vector<double> source{1.5, 2.5};
  PythonVector copy = create_vector(source);
  source[0] = 99;
  EXPECT_EQ(copy[0], 1.5f);
}

TEST(PythonVector, RejectsWhatIsNotAnArrayOfNumbers) {
  for (const Json& bad : {Json::object({{"a", 1}}), Json("1, 2"), Json(nullptr), Json(3),
                          Json::array({1, "2"}), Json::array({nullptr}),
                          Json::array({Json::array({1})})}) {
    EXPECT_THROW(create_vector(bad), TypeError) << bad;
  }
}

TEST(PythonVector, IndexesFromBothEnds) {
  PythonVector v{1, 2, 3};
  EXPECT_EQ(v[0], 1.0f);
  EXPECT_EQ(v[-1], 3.0f);
  EXPECT_EQ(v[-3], 1.0f);
  for (std::int64_t bad : {3, -4, 100}) EXPECT_THROW(v[bad], IndexError) << bad;
}

TEST(PythonVector, DotCoversTheShorterLength) {
  PythonVector a{1, 2, 3};
  PythonVector b{4, 5};
  EXPECT_EQ(vector_dot(a, b), 14.0);
  EXPECT_EQ(vector_dot(b, a), 14.0);
}

TEST(PythonVector, CopiesShareOneBlockAndStackingKeepsOrder) {
  PythonVector a{1, 2};
  PythonVector copy = a;
  EXPECT_EQ(copy.data().data(), a.data().data());
  std::vector<PythonVector> stacked = stack_vectors({PythonVector{1}, PythonVector{2}, a});
  ASSERT_EQ(stacked.size(), 3u);
  EXPECT_EQ(stacked[0][0], 1.0f);
  EXPECT_EQ(stacked[1][0], 2.0f);
  EXPECT_EQ(stacked[2], a);
  EXPECT_TRUE(stack_vectors({}).empty());
  EXPECT_FALSE(HAS_NUMPY);
}

}  // namespace
}  // namespace vantory

#include "values/function.h"
#include "values/json.h"
#include "values/var.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <vector>

namespace sv {
namespace {

struct Record {};

// One value of every kind that documents and messages carry.
std::vector<Var> valuesOfEveryKind() {
  return {Var(0),
          Var(0.0),
          Var(false),
          Var(""),
          Var("undefined"),
          Var(std::uint64_t{0}),
          Var(std::vector<Var>()),
          Var(std::unordered_map<std::string, Var>()),
          Var(VarFunction([](int x) { return x; })),
          VarClass::instance<int>(),
          Var(cv::Mat::zeros(2, 2, CV_8U)),
          Var(pi::Point3d(0, 0, 0)),
          Var(std::make_shared<int>(0)),
          Var(Record()),
          Json::load("[null]"),
          Json::load("{a: null}")};
}

TEST(Equality, UndefinedTellsWhetherAMemberWasEverSet) {
  for (const Var& value : valuesOfEveryKind()) {
    const std::string kind = value.typeName();
    EXPECT_FALSE(value == Var::Undefined()) << kind;
    EXPECT_FALSE(Var::Undefined() == value) << kind;
    EXPECT_FALSE(value == Var::Null()) << kind;
    EXPECT_FALSE(Var::Null() == value) << kind;
  }
  EXPECT_TRUE(Var() == Var::Undefined());
  EXPECT_TRUE(Var::Null() == Var::Null());
  EXPECT_FALSE(Var::Null() == Var::Undefined());
  EXPECT_FALSE(Var::Undefined() == Var::Null());
  EXPECT_TRUE(Var(std::make_shared<VarValue>()) == Var::Undefined());

  Var document;
  EXPECT_TRUE(document["width"] == Var::Undefined());
  document["width"] = Var(0);
  EXPECT_FALSE(document["width"] == Var::Undefined());
  document["name"] = Var::Null();
  EXPECT_TRUE(document["name"] == Var::Null());
  EXPECT_TRUE(Json::load("{a: null}")["a"] == Var::Null());
}

TEST(Equality, DispatchesToTheLeftClassElseComparesHolders) {
  EXPECT_TRUE(Var("text") == Var("text"));
  EXPECT_FALSE(Var("text") == Var("other"));
  EXPECT_TRUE(Var(1) == Var(1.9));  // the right operand converts to int
  EXPECT_FALSE(Var(1.5) == Var(1));
  EXPECT_TRUE(Var(2.0) == Var(2));
  const Var array = Json::load("[1]");
  EXPECT_TRUE(array == array);
  EXPECT_FALSE(array == Json::load("[1]"));  // arrays have no "__eq__": identity
  EXPECT_TRUE(array < array);
  // A right operand that the method cannot take fails loudly.
  EXPECT_THROW((void)(Var("text") == Var(1)), VarException);
}

}  // namespace
}  // namespace sv

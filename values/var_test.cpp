#include "values/var.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <future>
#include <memory>
#include <string>
#include <vector>

namespace {

using sv::Var;

struct TestFrame {
  int id = 0;
};

TEST(VarHandle, DefaultAndMissingValuesShareTheUndefinedHolder) {
  Var a;
  Var object = Var(std::unordered_map<std::string, Var>());
  Var missing = object.as<sv::VarObject>().get("nothing");
  EXPECT_EQ(a.holder(), Var::Undefined().holder());
  EXPECT_EQ(missing.holder(), Var::Undefined().holder());
  EXPECT_TRUE(a.isUndefined());
  EXPECT_NE(a.holder()->ptr(typeid(void)), nullptr);
  for (const Var& other : {Var::Null(), Var(0), Var(""), Var(std::vector<Var>()), object}) {
    EXPECT_EQ(other.holder()->ptr(typeid(void)), nullptr);
    EXPECT_FALSE(other.isUndefined());
  }
  EXPECT_EQ(a.typeName(), "void");
}

TEST(VarHandle, CopiesShareAndMovesTake) {
  Var a(std::string("text"));
  Var b = a;
  EXPECT_EQ(a.holder(), b.holder());
  b.as<std::string>() += "!";
  EXPECT_EQ(a.as<std::string>(), "text!");
  Var c = std::move(b);
  EXPECT_EQ(c.holder(), a.holder());
  EXPECT_EQ(b.holder(), nullptr);
  b = c;  // a moved-from handle can be assigned again
  EXPECT_EQ(b.holder(), a.holder());
}

TEST(VarHandle, ScalarConstructorsChooseTheirHolders) {
  EXPECT_TRUE(Var(true).is<bool>());
  EXPECT_TRUE(Var(3).is<int>());
  EXPECT_TRUE(Var(2.5).is<double>());
  EXPECT_TRUE(Var(std::uint64_t{7}).is<std::uint64_t>());
  EXPECT_EQ(Var(std::uint64_t{7}).typeName(), "uint64_t");
  Var text("abc");
  EXPECT_TRUE(text.is<std::string>());
  EXPECT_FALSE(text.is<const char*>());
  EXPECT_EQ(text.typeName(), "str");
}

TEST(VarHandle, NullCStringGivesNull) {
  const char* nothing = nullptr;
  Var v(nothing);
  EXPECT_TRUE(v.isNull());
  EXPECT_EQ(v.holder(), Var::Null().holder());
  EXPECT_FALSE(Var::Undefined().isNull());
}

TEST(VarHandle, CloneCopiesValuesButKeepsSingletons) {
  EXPECT_EQ(Var::Null().clone(0).holder(), Var::Null().holder());
  EXPECT_EQ(Var::Undefined().clone(3).holder(), Var::Undefined().holder());
  Var chars(std::make_shared<sv::VarValue_<const char*>>("abc"));
  EXPECT_TRUE(chars.clone(0).isUndefined());

  Var number(4);
  Var copy = number.clone(0);
  EXPECT_NE(copy.holder(), number.holder());
  EXPECT_EQ(copy.as<int>(), 4);

  Var numbers(std::vector<double>{1.0, 2.0});
  EXPECT_TRUE(numbers.isArray());
  EXPECT_TRUE(numbers.clone(0).isArray());
  Var plainVector(std::make_shared<sv::VarValue_<std::vector<Var>>>(std::vector<Var>{Var(1)}));
  EXPECT_FALSE(plainVector.isArray());
  EXPECT_TRUE(plainVector.clone(0).isArray());
  Var heldDoubles(std::make_shared<sv::VarValue_<std::vector<double>>>(std::vector<double>{1.5}));
  Var cloned = heldDoubles.clone(0);
  ASSERT_TRUE(cloned.isArray());
  EXPECT_EQ(cloned.length(), 1u);
  Var heldPoints(std::make_shared<sv::VarValue_<std::vector<pi::Point3d>>>(std::vector<pi::Point3d>(2)));
  EXPECT_TRUE(heldPoints.clone(0).isArray());
}

TEST(VarHandle, ConstCharHolderAnswersForTheCharacters) {
  static const char text[] = "chars";
  Var v(std::make_shared<sv::VarValue_<const char*>>(text));
  EXPECT_EQ(v.holder()->ptr(typeid(char)), text);
  EXPECT_EQ(*static_cast<const char**>(v.holder()->ptr(typeid(const char*))), text);
  EXPECT_EQ(v.holder()->ptr(typeid(std::string)), nullptr);
  // Its class is a record of its own, not the "char" class.
  EXPECT_NE(v.classObject().holder(), sv::VarClass::instance<char>().holder());
  EXPECT_EQ(v.typeName(), "char");
  EXPECT_EQ(v.castAs<const char*>(), text);
}

TEST(VarHandle, SharedPointersAnswerForThePointee) {
  EXPECT_TRUE(Var(std::shared_ptr<TestFrame>()).isNull());
  auto frame = std::make_shared<TestFrame>();
  frame->id = 9;
  Var v(frame);
  EXPECT_EQ(v.holder()->ptr(typeid(TestFrame)), frame.get());
  auto* held = static_cast<std::shared_ptr<TestFrame>*>(v.holder()->ptr(typeid(std::shared_ptr<TestFrame>)));
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->get(), frame.get());
  EXPECT_EQ(frame.use_count(), 2);
  auto* holder = dynamic_cast<sv::VarValue_<std::shared_ptr<TestFrame>>*>(v.holder());
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(holder->pointeeType(), std::type_index(typeid(TestFrame)));
  Var copy = v.clone(0);
  EXPECT_NE(copy.holder(), v.holder());
  EXPECT_EQ(copy.castAs<std::shared_ptr<TestFrame>>(), frame);
}

TEST(VarHandle, FuturesAndMatricesAreHeldByCopy) {
  std::promise<std::shared_ptr<TestFrame>> promise;
  std::shared_future<std::shared_ptr<TestFrame>> future = promise.get_future().share();
  Var v(future);
  Var copy = v.clone(0);
  promise.set_value(std::make_shared<TestFrame>());
  EXPECT_NE(copy.castAs<std::shared_future<std::shared_ptr<TestFrame>>>().get(), nullptr);

  cv::Mat m(2, 3, CV_8UC1, cv::Scalar(5));
  Var mat(m);
  cv::Mat back = mat.castAs<cv::Mat>();
  EXPECT_EQ(back.data, m.data);  // the header is copied, the pixels shared
  Var matClone = mat.clone(0);
  EXPECT_EQ(matClone.castAs<cv::Mat>().data, m.data);
  EXPECT_NE(matClone.holder(), mat.holder());
}

TEST(VarHandle, InitializerListBuildsObjectsFromPairsAndArraysOtherwise) {
  Var object{{"a", 1}, {"b", 2}};
  ASSERT_TRUE(object.isObject());
  EXPECT_EQ(object.length(), 2u);
  EXPECT_EQ(object["a"].as<int>(), 1);
  EXPECT_EQ(object["b"].as<int>(), 2);

  Var repeated{{"a", 1}, {"a", 2}};
  ASSERT_TRUE(repeated.isObject());
  EXPECT_EQ(repeated.length(), 1u);
  EXPECT_EQ(repeated["a"].as<int>(), 1);

  Var mixed{{"a", 1}, 3};
  ASSERT_TRUE(mixed.isArray());
  EXPECT_EQ(mixed.length(), 2u);
  EXPECT_TRUE(mixed[0].isArray());

  Var empty = Var(std::initializer_list<Var>{});
  EXPECT_TRUE(empty.isObject());
  EXPECT_EQ(empty.length(), 0u);

  Var notKeys{{1, 2}, {3, 4}};  // pairs without a text key stay arrays
  EXPECT_TRUE(notKeys.isArray());
}

TEST(VarHandle, MapsAndListsBecomeContainers) {
  std::map<std::string, Var> ordered{{"x", Var(1)}};
  EXPECT_TRUE(Var(ordered).isObject());
  std::vector<Var> list{Var(1), Var("two")};
  Var array(list);
  ASSERT_TRUE(array.isArray());
  EXPECT_EQ(array.as<sv::VarArray>().value[0].holder(), list[0].holder());  // handles copied, holders shared

  std::vector<pi::Point3ub> colours{{1, 2, 3}, {4, 5, 6}};
  Var points(colours);
  ASSERT_TRUE(points.isArray());
  EXPECT_EQ(points.length(), 2u);
  EXPECT_TRUE(points[1].is<pi::Point3ub>());
  EXPECT_EQ(points[1].as<pi::Point3ub>(), (pi::Point3ub{4, 5, 6}));
}

TEST(VarException, WhatGivesTheStringMessageOrAFixedText) {
  sv::VarException text(Var("broken"));
  EXPECT_STREQ(text.what(), "broken");
  sv::VarException number(Var(5));
  EXPECT_STREQ(number.what(), "VarException");
  sv::VarException copy = text;
  EXPECT_EQ(copy.message.holder(), text.message.holder());
  try {
    throw sv::VarException(Var("as std"));
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "as std");
  }
}

TEST(VarIteration, PositionsByKind) {
  Var array{1, 2, 3};
  sv::VarIterator begin = array.begin();
  sv::VarIterator end = array.end();
  EXPECT_EQ(begin.kind, 1);
  auto first = begin.position.as<std::vector<Var>::const_iterator>();
  auto last = end.position.as<std::vector<Var>::const_iterator>();
  EXPECT_EQ(last - first, 3);

  Var object{{"k", 1}};
  EXPECT_EQ(object.begin().kind, 0);
  auto entry = object.begin().position.as<sv::VarObject::Map::const_iterator>();
  EXPECT_EQ(entry->first, "k");

  Var number(1);
  EXPECT_EQ(number.begin().kind, 2);
  EXPECT_EQ(number.begin().position.holder(), number.holder());
}

}  // namespace

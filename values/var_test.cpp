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
  Var object = Var(std::unordered_map<std::string, Var>());
  EXPECT_EQ(Var().holder(), Var::Undefined().holder());
  EXPECT_EQ(object.as<sv::VarObject>().get("nothing").holder(), Var::Undefined().holder());
  EXPECT_NE(Var().holder()->ptr(typeid(void)), nullptr);
  for (const Var& other : {Var::Null(), Var(0), Var(""), Var(std::vector<Var>()), object}) {
    EXPECT_FALSE(other.isUndefined());
  }
  EXPECT_EQ(Var().typeName(), "void");
}

TEST(VarHandle, CopiesShareAndMovesTake) {
  Var a(std::string("text"));
  Var b = a;
  b.as<std::string>() += "!";
  EXPECT_EQ(a.as<std::string>(), "text!");
  Var c = std::move(b);
  EXPECT_EQ(c.holder(), a.holder());
  EXPECT_EQ(b.holder(), nullptr);
  b = c;  // a moved-from handle can be assigned again
  EXPECT_EQ(b.holder(), a.holder());
}

TEST(VarHandle, ConstructorsChooseTheirHolders) {
  EXPECT_TRUE(Var(true).is<bool>());
  EXPECT_TRUE(Var(2.5).is<double>());
  EXPECT_EQ(Var(std::uint64_t{7}).typeName(), "uint64_t");
  EXPECT_TRUE(Var("abc").is<std::string>());  // a C string becomes a string value
  const char* nothing = nullptr;
  EXPECT_EQ(Var(nothing).holder(), Var::Null().holder());

  std::vector<Var> list{Var(1), Var("two")};
  Var array(list);
  ASSERT_TRUE(array.isArray());
  EXPECT_EQ(array.as<sv::VarArray>().value[0].holder(), list[0].holder());
  EXPECT_TRUE(Var(std::map<std::string, Var>{{"x", Var(1)}}).isObject());

  Var points(std::vector<pi::Point3ub>{{1, 2, 3}, {4, 5, 6}});
  ASSERT_TRUE(points.isArray());
  EXPECT_EQ(points[1].as<pi::Point3ub>(), (pi::Point3ub{4, 5, 6}));
  // An element outlives the list it came from.
  Var kept = Var(std::vector<double>{1.0, 2.0})[1];
  EXPECT_EQ(kept.as<double>(), 2.0);
  kept.set(3.0);
  EXPECT_EQ(kept.castAs<double>(), 3.0);
}

TEST(VarHandle, InitializerListBuildsObjectsFromPairsAndArraysOtherwise) {
  Var object{{"a", 1}, {"b", 2}};
  ASSERT_TRUE(object.isObject());
  EXPECT_EQ(object["b"].as<int>(), 2);
  Var repeated{{"a", 1}, {"a", 2}};
  EXPECT_EQ(repeated.length(), 1u);
  EXPECT_EQ(repeated["a"].as<int>(), 1);  // the first pair wins
  Var mixed{{"a", 1}, 3};
  ASSERT_TRUE(mixed.isArray());
  EXPECT_TRUE(mixed[0].isArray());
  EXPECT_TRUE(Var(std::initializer_list<Var>{}).isObject());
  EXPECT_TRUE((Var{{1, 2}, {3, 4}}.isArray()));  // pairs without a text key
}

TEST(VarHandle, CloneCopiesValuesButKeepsSingletons) {
  EXPECT_EQ(Var::Null().clone(0).holder(), Var::Null().holder());
  EXPECT_EQ(Var::Undefined().clone(3).holder(), Var::Undefined().holder());
  EXPECT_TRUE(Var(std::make_shared<sv::VarValue_<const char*>>("abc")).clone(0).isUndefined());
  Var number(4);
  EXPECT_NE(number.clone(0).holder(), number.holder());
  EXPECT_EQ(number.clone(0).as<int>(), 4);
  // Vector holders clone into arrays.
  EXPECT_TRUE(Var(std::make_shared<sv::VarValue_<std::vector<Var>>>(std::vector<Var>{}))
                  .clone(0)
                  .isArray());
  Var doubles(std::make_shared<sv::VarValue_<std::vector<double>>>(std::vector<double>{1.5}));
  EXPECT_EQ(doubles.clone(0).as<sv::VarArray>().value.at(0).as<double>(), 1.5);
  Var points(
      std::make_shared<sv::VarValue_<std::vector<pi::Point3d>>>(std::vector<pi::Point3d>(2)));
  EXPECT_EQ(points.clone(0).length(), 2u);
}

TEST(VarHandle, ConstCharHolderAnswersForTheCharacters) {
  static const char text[] = "chars";
  Var v(std::make_shared<sv::VarValue_<const char*>>(text));
  EXPECT_EQ(v.holder()->ptr(typeid(char)), text);
  EXPECT_EQ(*static_cast<const char**>(v.holder()->ptr(typeid(const char*))), text);
  EXPECT_NE(v.classObject().holder(), sv::VarClass::instance<char>().holder());
  EXPECT_EQ(v.typeName(), "char");
}

TEST(VarHandle, SharedPointersFuturesAndMatricesAreHeldByCopy) {
  EXPECT_TRUE(Var(std::shared_ptr<TestFrame>()).isNull());
  auto frame = std::make_shared<TestFrame>();
  Var v(frame);
  EXPECT_EQ(v.holder()->ptr(typeid(TestFrame)), frame.get());
  auto* held =
      static_cast<std::shared_ptr<TestFrame>*>(v.holder()->ptr(typeid(std::shared_ptr<TestFrame>)));
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(*held, frame);
  auto* holder = dynamic_cast<sv::VarValue_<std::shared_ptr<TestFrame>>*>(v.holder());
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(holder->pointeeType(), std::type_index(typeid(TestFrame)));
  EXPECT_EQ(v.clone(0).castAs<std::shared_ptr<TestFrame>>(), frame);

  std::promise<std::shared_ptr<TestFrame>> promise;
  Var future(promise.get_future().share());
  Var futureCopy = future.clone(0);
  promise.set_value(frame);
  EXPECT_EQ(futureCopy.castAs<std::shared_future<std::shared_ptr<TestFrame>>>().get(), frame);

  cv::Mat m(2, 3, CV_8UC1, cv::Scalar(5));
  Var mat(m);
  EXPECT_EQ(mat.castAs<cv::Mat>().data, m.data);  // the header is copied, the pixels shared
  EXPECT_EQ(mat.clone(0).castAs<cv::Mat>().data, m.data);
}

TEST(VarException, WhatGivesTheStringMessageOrAFixedText) {
  EXPECT_STREQ(sv::VarException(Var("broken")).what(), "broken");
  EXPECT_STREQ(sv::VarException(Var(5)).what(), "VarException");
  try {
    throw sv::VarException(Var("as std"));
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "as std");
  }
}

TEST(VarIteration, PositionsByKind) {
  Var array{1, 2, 3};
  EXPECT_EQ(array.begin().kind, 1);
  EXPECT_EQ(array.end().position.as<std::vector<Var>::const_iterator>() -
                array.begin().position.as<std::vector<Var>::const_iterator>(),
            3);
  Var object{{"k", 1}};
  EXPECT_EQ(object.begin().kind, 0);
  EXPECT_EQ(object.begin().position.as<sv::VarObject::Map::const_iterator>()->first, "k");
  Var number(1);
  EXPECT_EQ(number.begin().kind, 2);
  EXPECT_EQ(number.end().position.holder(), number.holder());
}

}  // namespace

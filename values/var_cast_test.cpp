#include "values/function.h"
#include "values/var.h"
#include "values/var_buffer.h"
#include "values/var_dict.h"
#include "values/var_test_support.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using sv::Var;
using vmtest::contains;
using vmtest::messageOf;

struct TestFrame {
  int id = 0;
};

std::string platformName(const Var& cls) { return cls.as<sv::VarClass>().name; }

TEST(VarClassNames, BuiltInTypesCarryShortNames) {
  EXPECT_EQ(Var(1).typeName(), "int");
  EXPECT_EQ(Var(1.0).typeName(), "double");
  EXPECT_EQ(Var(true).typeName(), "bool");
  EXPECT_EQ(Var("s").typeName(), "str");
  EXPECT_EQ(Var(std::uint64_t{1}).typeName(), "uint64_t");
  EXPECT_EQ(Var().typeName(), "void");
  EXPECT_EQ(Var{1}.typeName(), "array");
  EXPECT_EQ((Var{{"a", 1}}.typeName()), "object");
  EXPECT_EQ(Var(sv::VarFunction([] {})).typeName(), "function");
  EXPECT_EQ(sv::VarClass::instance<int>().typeName(), "class");
  const std::vector<std::pair<std::string, std::string>> names = {
      {sv::VarClass::Class<std::int64_t>().name, "int64_t"},
      {sv::VarClass::Class<unsigned int>().name, "uint32_t"},
      {sv::VarClass::Class<unsigned char>().name, "uchar"},
      {sv::VarClass::Class<char>().name, "char"},
      {sv::VarClass::Class<float>().name, "float"},
      {sv::VarClass::Class<Var>().name, "var"},
      {sv::VarClass::Class<sv::VarDict>().name, "dict"},
      {sv::VarClass::Class<sv::VarBuffer>().name, "buffer"},
      {sv::VarClass::Class<sv::VarClass::VarProperty>().name, "property"}};
  for (const auto& [actual, expected] : names) EXPECT_EQ(actual, expected);
  // Other types carry the platform's readable name.
  EXPECT_EQ(Var(cv::Mat()).typeName(), "cv::Mat");
}

// The table of conversions between the basic types.
TEST(VarCastTable, ToInt) {
  EXPECT_EQ(Var(5).castAs<int>(), 5);
  EXPECT_EQ(Var(2.9).castAs<int>(), 2);
  EXPECT_EQ(Var(-2.9).castAs<int>(), -2);
  EXPECT_EQ(Var(true).castAs<int>(), 1);
  EXPECT_EQ(Var(false).castAs<int>(), 0);
  EXPECT_EQ(Var("42abc").castAs<int>(), 42);
  EXPECT_EQ(Var("  -7").castAs<int>(), -7);
  EXPECT_EQ(Var("+12").castAs<int>(), 12);
  EXPECT_EQ(Var("abc").castAs<int>(), 0);
  EXPECT_EQ(Var("").castAs<int>(), 0);
  std::string undefined = messageOf([] { Var().castAs<int>(); });
  EXPECT_TRUE(contains(undefined, "Failed to call method with input arguments: [void]"));
  EXPECT_TRUE(contains(undefined, "Can't construct int from void."));
  EXPECT_TRUE(contains(messageOf([] {
                         Var{1, 2}.castAs<int>();
                       }),
                       "Can't construct int from array."));
  EXPECT_TRUE(contains(messageOf([] { Var::Null().castAs<int>(); }), "Failed to call method"));
}

TEST(VarCastTable, ToIntSaturatesOutsideTheRange) {
  EXPECT_EQ(Var(1e20).castAs<int>(), std::numeric_limits<int>::max());
  EXPECT_EQ(Var(-1e20).castAs<int>(), std::numeric_limits<int>::min());
  EXPECT_EQ(Var(std::nan("")).castAs<int>(), 0);
  EXPECT_EQ(Var("99999999999999999999").castAs<int>(), std::numeric_limits<int>::max());
  EXPECT_EQ(Var("-99999999999999999999").castAs<int>(), std::numeric_limits<int>::min());
  EXPECT_EQ(Var("-2147483648").castAs<int>(), std::numeric_limits<int>::min());
}

TEST(VarCastTable, ToDouble) {
  EXPECT_EQ(Var(3).castAs<double>(), 3.0);
  EXPECT_EQ(Var(true).castAs<double>(), 1.0);
  EXPECT_EQ(Var(false).castAs<double>(), 0.0);
  EXPECT_EQ(Var(0.25).castAs<double>(), 0.25);
  EXPECT_EQ(messageOf([] { Var("1.5").castAs<double>(); }), "Unable cast str to double");
  EXPECT_EQ(messageOf([] { Var().castAs<double>(); }), "Unable cast void to double");
  EXPECT_EQ(messageOf([] { Var{{"a", 1}}.castAs<double>(); }), "Unable cast object to double");
}

TEST(VarCastTable, ToBool) {
  EXPECT_FALSE(Var(0.0).castAs<bool>());
  EXPECT_FALSE(Var(-0.0).castAs<bool>());
  EXPECT_TRUE(Var(std::nan("")).castAs<bool>());
  EXPECT_TRUE(Var(0.5).castAs<bool>());
  EXPECT_TRUE(Var(5).castAs<bool>());
  EXPECT_FALSE(Var(0).castAs<bool>());
  EXPECT_EQ(messageOf([] { Var("true").castAs<bool>(); }), "Unable cast str to bool");
  EXPECT_EQ(messageOf([] { Var::Null().castAs<bool>(); }),
            "Unable cast " + Var::Null().typeName() + " to bool");
}

TEST(VarCastTable, ToUnsignedInt) {
  EXPECT_EQ(Var(7).castAs<unsigned int>(), 7u);
  EXPECT_EQ(Var(0).castAs<unsigned int>(), 0u);
  EXPECT_EQ(messageOf([] { Var(-1).castAs<unsigned int>(); }), "Unable cast int to uint32_t");
  EXPECT_EQ(messageOf([] { Var(1.0).castAs<unsigned int>(); }), "Unable cast double to uint32_t");
  Var held(9u);
  EXPECT_EQ(held.typeName(), "uint32_t");
  EXPECT_EQ(held.castAs<unsigned int>(), 9u);
  EXPECT_TRUE(held.clone(0).is<unsigned int>());
}

TEST(VarStrictView, AsNeverConverts) {
  Var number(3);
  EXPECT_EQ(messageOf([&] { number.as<double>(); }), "Can not treat int as double");
  EXPECT_EQ(number.castAs<double>(), 3.0);
  number.as<int>() = 4;
  EXPECT_EQ(number.castAs<int>(), 4);
  EXPECT_EQ(messageOf([] { Var().as<sv::VarArray>(); }), "Can not treat void as array");
}

TEST(VarReferenceCasts, HeldTypeOnlyWithThePlatformName) {
  Var number(3);
  EXPECT_EQ(&number.castAs<const int&>(), &number.as<int>());
  EXPECT_EQ(messageOf([] { Var(2.5).castAs<const int&>(); }), "Unable cast double to int");
  std::string stringCast = messageOf([] { Var(1).castAs<const std::string&>(); });
  EXPECT_EQ(stringCast,
            "Unable cast int to " + platformName(sv::VarClass::instance<const std::string&>()));
  EXPECT_FALSE(contains(stringCast, "to str"));
  EXPECT_FALSE(contains(messageOf([] { Var(1).castAs<sv::VarArray&>(); }), "to array"));
}

TEST(VarSharedPointerCasts, HeldPointerOrNullOnly) {
  auto frame = std::make_shared<TestFrame>();
  EXPECT_EQ(Var(frame).castAs<std::shared_ptr<TestFrame>>(), frame);
  EXPECT_EQ(Var::Null().castAs<std::shared_ptr<TestFrame>>(), nullptr);
  const std::string name = platformName(sv::VarClass::instance<std::shared_ptr<TestFrame>>());
  EXPECT_EQ(messageOf([] { Var().castAs<std::shared_ptr<TestFrame>>(); }),
            "Unable cast void to " + name);
  EXPECT_EQ(messageOf([] { Var(TestFrame()).castAs<std::shared_ptr<TestFrame>>(); }),
            "Unable cast " + Var(TestFrame()).typeName() + " to " + name);
}

TEST(VarPointerCasts, HeldObjectsPointersNullAndStrings) {
  Var text("chars");
  EXPECT_STREQ(text.castAs<const char*>(), "chars");
  EXPECT_EQ(Var::Null().castAs<const char*>(), nullptr);
  EXPECT_TRUE(contains(messageOf([] { Var(1).castAs<const char*>(); }), "Unable cast int to "));

  Var object{{"a", 1}};
  EXPECT_EQ(object.castAs<const sv::VarObject*>(), &object.as<sv::VarObject>());
  TestFrame frame;
  Var pointer(std::make_shared<sv::VarValue_<TestFrame*>>(&frame));
  EXPECT_EQ(pointer.castAs<TestFrame*>(), &frame);
  EXPECT_EQ(pointer.castAs<const TestFrame*>(), &frame);  // a mutable pointer serves a const target
  EXPECT_TRUE(contains(messageOf([] { Var(1).castAs<sv::VarDict*>(); }), "Unable cast int to "));
}

TEST(VarVectorCasts, ArraysConvertElementByElement) {
  std::vector<double> numbers = Var{1, 2.5, true}.castAs<std::vector<double>>();
  EXPECT_EQ(numbers, (std::vector<double>{1.0, 2.5, 1.0}));
  EXPECT_TRUE(Var(std::vector<Var>()).castAs<std::vector<double>>().empty());
  EXPECT_EQ(messageOf([] {
              Var{{"a", 1}}.castAs<std::vector<double>>();
            }),
            "Unable cast object to " + platformName(sv::VarClass::instance<std::vector<double>>()));
  EXPECT_EQ(messageOf([] {
              Var{1, "x"}.castAs<std::vector<double>>();
            }),
            "Unable cast str to double");
  EXPECT_EQ(messageOf([] { Var(1.0).castAs<std::vector<double>>(); }),
            "Unable cast double to " + platformName(sv::VarClass::instance<std::vector<double>>()));

  Var held(std::make_shared<sv::VarValue_<std::vector<double>>>(std::vector<double>{4.0}));
  EXPECT_EQ(held.castAs<std::vector<double>>(), std::vector<double>{4.0});
  EXPECT_EQ(held.cast<std::vector<double>>().holder(), held.holder());
}

TEST(VarVectorCasts, PointListsRoundTripInOrder) {
  std::vector<pi::Point3f> positions{{1, 2, 3}, {4, 5, 6}, {-1, 0, 1e6f}};
  Var v(positions);
  EXPECT_EQ(v.castAs<std::vector<pi::Point3f>>(), positions);
  std::vector<pi::Point3d> doubles{{0.5, 1.5, 2.5}};
  EXPECT_EQ(Var(doubles).castAs<std::vector<pi::Point3d>>(), doubles);
  std::vector<pi::Point3ub> colours{{255, 0, 7}};
  EXPECT_EQ(Var(colours).castAs<std::vector<pi::Point3ub>>(), colours);
  // Point types do not convert into each other.
  EXPECT_TRUE(contains(messageOf([&] { v.castAs<std::vector<pi::Point3d>>(); }),
                       "Unable cast pi::Point3_<float>"));
}

TEST(VarGenericCasts, ConversionStepLooksAtSourceMethodThenTargetConstructor) {
  struct Celsius {
    double degrees = 0;
  };
  struct Kelvin {
    double degrees = 0;
  };
  sv::VarClass::Class<Kelvin>().name = "Kelvin";
  Var hot = Var(Celsius{100});
  EXPECT_EQ(hot.cast<Celsius>().holder(), hot.holder());
  EXPECT_TRUE(hot.cast<Kelvin>().isUndefined());
  EXPECT_EQ(messageOf([&] { hot.castAs<Kelvin>(); }),
            "Unable cast " + hot.typeName() + " to Kelvin");

  sv::VarClass::Class<Kelvin>().def(
      "__init__", [](const Celsius& c) { return Var(Kelvin{c.degrees + 273.0}); });
  EXPECT_EQ(hot.castAs<Kelvin>().degrees, 373.0);
  sv::VarClass::Class<Celsius>().def(
      "__Kelvin__", [](const Celsius& c) { return Var(Kelvin{c.degrees + 273.15}); });
  EXPECT_EQ(hot.castAs<Kelvin>().degrees, 373.15);  // the source's method comes first
}

TEST(VarGenericCasts, HeldPairsPointsAndMatricesOnlyAsThemselves) {
  EXPECT_EQ(Var(pi::Point2ll(1, 2)).castAs<pi::Point2ll>(), pi::Point2ll(1, 2));
  EXPECT_TRUE(contains(messageOf([] { Var(1).castAs<pi::Point3d>(); }),
                       "Unable cast int to pi::Point3_<double>"));
  EXPECT_TRUE(contains(messageOf([] { Var(1).castAs<cv::Mat>(); }), "Unable cast int to cv::Mat"));
  std::pair<const std::string, Var> entry("k", Var(1));
  EXPECT_EQ((Var(entry).castAs<std::pair<const std::string, Var>>().first), "k");
}

TEST(VarTypedSet, InPlaceWhenHeldElseANewHolder) {
  Var text(std::string("old"));
  Var sharedText = text;
  text.set(std::string("new"));
  EXPECT_EQ(sharedText.as<std::string>(), "new");

  cv::Mat first(1, 1, CV_8UC1, cv::Scalar(1));
  cv::Mat second(1, 1, CV_8UC1, cv::Scalar(2));
  Var image(first);
  Var sameImage = image;
  image.set(second);
  EXPECT_EQ(sameImage.castAs<cv::Mat>().data, second.data);
  Var number(3);
  Var stillNumber = number;
  number.set(second);
  EXPECT_TRUE(number.is<cv::Mat>());
  EXPECT_EQ(stillNumber.as<int>(), 3);

  number.set(std::vector<double>{1.0, 2.0});
  EXPECT_TRUE(number.isArray());  // a number list becomes an array
  Var heldNumbers(std::make_shared<sv::VarValue_<std::vector<double>>>(std::vector<double>{}));
  Var alias = heldNumbers;
  heldNumbers.set(std::vector<double>{3.0});
  EXPECT_EQ(alias.as<std::vector<double>>(), std::vector<double>{3.0});

  number.set(std::shared_ptr<TestFrame>());
  EXPECT_TRUE(number.isNull());

  Var record = sv::detail::makeClassRecord(typeid(int));
  sv::VarClass source("Source", typeid(double));
  source.doc = "about";
  record.set(source);
  EXPECT_EQ(record.as<sv::VarClass>().doc, "about");
  EXPECT_EQ(record.as<sv::VarClass>().attr.holder(), source.attr.holder());
}

TEST(VarSingletons, AreHandedOutReadOnly) {
  static_assert(std::is_same_v<decltype(Var::Undefined()), const Var&>);
  static_assert(std::is_same_v<decltype(Var::Null()), const Var&>);
  Var copy = Var::Null();
  copy.set(5);
  Var nullCopy = Var::Null();
  EXPECT_THROW(nullCopy["a"], sv::VarException);
  EXPECT_TRUE(Var::Null().isNull());
  EXPECT_TRUE(Var::root().isObject());
}

}  // namespace

#include "values/builtin_methods.h"
#include "values/function.h"
#include "values/json.h"
#include "values/printer.h"
#include "values/var_buffer.h"
#include "values/var_dict.h"
#include "values/var_test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

namespace sv {
namespace {

using vmtest::contains;

// Calls the named method of self's class with self and the arguments.
Var method(const Var& self, const std::string& name, std::vector<Var> args = {}) {
  return self.classObject().as<VarClass>().call(self, name, std::move(args));
}

// The text of the VarException that f throws, or "" when it does not throw.
template <typename F>
std::string errorOf(F f) {
  try {
    f();
  } catch (const VarException& e) {
    return e.what();
  }
  return "";
}

TEST(IntMethods, ArithmeticKeepsIntsAndWidensToDouble) {
  EXPECT_EQ(method(Var(7), "__div__", {Var(2)}).as<int>(), 3);
  EXPECT_EQ(method(Var(-7), "__div__", {Var(2)}).as<int>(), -3);
  EXPECT_EQ(method(Var(7), "__div__", {Var(2.0)}).as<double>(), 3.5);
  EXPECT_EQ(method(Var(-7), "__mod__", {Var(2)}).as<int>(), -1);
  EXPECT_EQ(method(Var(3), "__add__", {Var(4)}).as<int>(), 7);
  EXPECT_EQ(method(Var(3), "__add__", {Var(0.5)}).as<double>(), 3.5);
  EXPECT_EQ(method(Var(3), "__sub__", {Var(4)}).as<int>(), -1);
  EXPECT_EQ(method(Var(3), "__mul__", {Var(4)}).as<int>(), 12);
  EXPECT_EQ(method(Var(3), "__mul__", {Var(0.5)}).as<double>(), 1.5);
  EXPECT_EQ(method(Var(5), "__neg__").as<int>(), -5);
  EXPECT_EQ(method(Var(6), "__xor__", {Var(3)}).as<int>(), 5);
  EXPECT_EQ(method(Var(6), "__or__", {Var(3)}).as<int>(), 7);
  EXPECT_EQ(method(Var(6), "__and__", {Var(3)}).as<int>(), 2);
  EXPECT_TRUE(method(Var(1), "__add__", {Var("x")}).isUndefined());
  EXPECT_TRUE(method(Var(1), "__div__", {Var::Null()}).isUndefined());
  EXPECT_TRUE(contains(errorOf([] { method(Var(6), "__mod__", {Var(2.0)}); }),
                       "Unable cast double to int"));
}

TEST(IntMethods, ArithmeticWrapsInTwosComplement) {
  EXPECT_EQ(method(Var(INT_MAX), "__add__", {Var(1)}).as<int>(), INT_MIN);
  EXPECT_EQ(method(Var(INT_MIN), "__sub__", {Var(1)}).as<int>(), INT_MAX);
  EXPECT_EQ(method(Var(65536), "__mul__", {Var(65536)}).as<int>(), 0);
  EXPECT_EQ(method(Var(INT_MIN), "__neg__").as<int>(), INT_MIN);
}

TEST(IntMethods, DivisionByZeroAndOverflowThrow) {
  EXPECT_TRUE(contains(errorOf([] { method(Var(1), "__div__", {Var(0)}); }), "division by zero"));
  EXPECT_TRUE(contains(errorOf([] { method(Var(1), "__mod__", {Var(0)}); }), "division by zero"));
  EXPECT_TRUE(
      contains(errorOf([] { method(Var(INT_MIN), "__div__", {Var(-1)}); }), "overflows int"));
  EXPECT_TRUE(
      contains(errorOf([] { method(Var(INT_MIN), "__mod__", {Var(-1)}); }), "overflows int"));
  // A double divisor follows IEEE arithmetic.
  EXPECT_TRUE(std::isinf(method(Var(1), "__div__", {Var(0.0)}).as<double>()));
}

TEST(IntMethods, ComparisonsConvertTheOtherOperand) {
  EXPECT_TRUE(method(Var(1), "__eq__", {Var(1.9)}).as<bool>());
  EXPECT_TRUE(method(Var(1), "__eq__", {Var(true)}).as<bool>());
  EXPECT_FALSE(method(Var(1), "__eq__", {Var(2)}).as<bool>());
  EXPECT_TRUE(method(Var(1), "__lt__", {Var(2)}).as<bool>());
  EXPECT_FALSE(method(Var(2), "__lt__", {Var(2.9)}).as<bool>());
  EXPECT_TRUE(Var(3) == Var(3));
  EXPECT_TRUE(Var(3) < Var(4));
}

TEST(DoubleMethods, ArithmeticAndComparisons) {
  EXPECT_FALSE(method(Var(1.5), "__eq__", {Var(1)}).as<bool>());
  EXPECT_TRUE(method(Var(1.0), "__eq__", {Var(1)}).as<bool>());
  EXPECT_TRUE(method(Var(1.5), "__lt__", {Var(2)}).as<bool>());
  EXPECT_EQ(method(Var(1.5), "__add__", {Var(1)}).as<double>(), 2.5);
  EXPECT_EQ(method(Var(1.5), "__sub__", {Var(0.5)}).as<double>(), 1.0);
  EXPECT_EQ(method(Var(1.5), "__mul__", {Var(2)}).as<double>(), 3.0);
  EXPECT_EQ(method(Var(1.5), "__div__", {Var(0.5)}).as<double>(), 3.0);
  EXPECT_TRUE(std::isinf(method(Var(1.5), "__div__", {Var(0.0)}).as<double>()));
  EXPECT_EQ(method(Var(4.0), "__invert__").as<double>(), 0.25);
  EXPECT_EQ(method(Var(4.0), "__neg__").as<double>(), -4.0);
  EXPECT_EQ((Var(1.5) + Var(2)).as<double>(), 3.5);
}

TEST(BoolMethods, PrintAndCompareHeldBools) {
  EXPECT_EQ(toText(Var(true)), "true");
  EXPECT_TRUE(method(Var(true), "__eq__", {Var(true)}).as<bool>());
  EXPECT_FALSE(method(Var(true), "__eq__", {Var(false)}).as<bool>());
  EXPECT_TRUE(
      contains(errorOf([] { method(Var(true), "__eq__", {Var(1)}); }), "Unable cast int to bool"));
}

TEST(StringMethods, LengthConcatenationAndOrder) {
  const Var length = method(Var(""), "__len__");
  EXPECT_EQ(length.as<std::uint64_t>(), 0u);
  EXPECT_EQ(length.typeName(), "uint64_t");
  EXPECT_EQ(method(Var("\xc3\xa9"), "__len__").as<std::uint64_t>(), 2u);
  EXPECT_EQ((Var("ab") + Var("cd")).as<std::string>(), "abcd");
  EXPECT_TRUE(contains(errorOf([] { Var("a") + Var(1); }), "Unable cast int to str"));
  EXPECT_TRUE(Var("ab") < Var("abc"));
  EXPECT_FALSE(Var("b") < Var("abc"));
  EXPECT_FALSE(Var("ab") < Var("ab"));
  EXPECT_TRUE(Var(std::string("a\0b", 3)) == Var(std::string("a\0b", 3)));
  EXPECT_FALSE(Var(std::string("a\0b", 3)) == Var("a"));
  EXPECT_EQ(toText(Var("say \"hi\"\n")), "\"say \\\"hi\\\"\\n\"");
}

TEST(ArrayMethods, ElementReadRemoveConcatenateRepeat) {
  const Var array = Json::load("[1, 2, 3]");
  EXPECT_EQ(method(array, "__getitem__", {Var(1)}).as<int>(), 2);
  EXPECT_TRUE(method(array, "__getitem__", {Var(-1)}).isUndefined());
  EXPECT_TRUE(method(array, "__getitem__", {Var(3)}).isUndefined());
  EXPECT_TRUE(contains(errorOf([&] { method(array, "__getitem__", {Var(1.0)}); }),
                       "Unable cast double to int"));
  EXPECT_EQ(array.length(), 3u);

  EXPECT_EQ(method(array, "__mul__", {Var(0)}).length(), 0u);
  EXPECT_EQ(method(array, "__mul__", {Var(-3)}).length(), 0u);
  EXPECT_EQ(Json::dump(method(Json::load("[1, 2]"), "__mul__", {Var(2)})),
            Json::dump(Json::load("[1,2,1,2]")));

  const Var left = Json::load("[1, 2]");
  const Var right = Json::load("[[3]]");
  const Var sum = left + right;
  ASSERT_EQ(sum.length(), 3u);
  EXPECT_EQ(sum.as<VarArray>().value[2].holder(), right.as<VarArray>().value[0].holder());
  EXPECT_EQ(Json::dump(left + left), Json::dump(Json::load("[1, 2, 1, 2]")));
  EXPECT_TRUE(contains(errorOf([&] { left + Var(1); }), "Unable cast int to array"));

  Var removable = Json::load("[1, 2, 3]");
  method(removable, "__delitem__", {Var(0)});
  EXPECT_EQ(Json::dump(removable), "[\n  2,\n  3\n]");
  EXPECT_TRUE(
      contains(errorOf([&] { method(removable, "__delitem__", {Var(2)}); }), "out of range"));
  EXPECT_TRUE(
      contains(errorOf([&] { method(removable, "__delitem__", {Var(-1)}); }), "out of range"));
  EXPECT_EQ(removable.length(), 2u);
}

TEST(ObjectMethods, MergeKeepsTheLeftValuesAndEraseRemoves) {
  const Var merged = Json::load("{a: 1}") + Json::load("{a: 2, b: 3}");
  EXPECT_EQ(Json::dump(merged), "{\n  \"a\" : 1,\n  \"b\" : 3\n}");
  const Var self = Json::load("{a: 1}");
  const Var doubled = self + self;
  EXPECT_EQ(Json::dump(doubled), "{\n  \"a\" : 1\n}");
  EXPECT_NE(doubled.holder(), self.holder());

  Var object = Json::load("{a: 1, b: 2}");
  method(object, "__delitem__", {Var("a")});
  method(object, "__delitem__", {Var("missing")});
  EXPECT_EQ(Json::dump(object), "{\n  \"b\" : 2\n}");
  EXPECT_TRUE(contains(errorOf([&] { method(object, "__getitem__", {Var(1)}); }), "Unable cast"));
  EXPECT_TRUE(method(object, "__getitem__", {Var("a")}).isUndefined());
  EXPECT_EQ(object.length(), 1u);
}

TEST(DictMethods, ElementsByValueKey) {
  Var dict(std::make_shared<VarDict>());
  EXPECT_EQ(dict.typeName(), "dict");
  EXPECT_TRUE(method(dict, "__getitem__", {Var(2)}).isUndefined());  // inserts 2
  dict.as<VarDict>().element(Var(1)) = Var("one");
  EXPECT_EQ(method(dict, "__getitem__", {Var(1)}).as<std::string>(), "one");
  method(dict, "__delitem__", {Var(1)});
  EXPECT_EQ(dict.length(), 1u);  // the Undefined entry under 2 stays
}

TEST(ClassMethods, MemberLookupAndHelpText) {
  const Var& intClass = VarClass::instance<int>();
  EXPECT_TRUE(method(intClass, "__getitem__", {Var("__add__")}).isFunction());
  EXPECT_TRUE(method(intClass, "__getitem__", {Var("no_such_member")}).isUndefined());
  const std::string help = method(intClass, "doc").as<std::string>();
  EXPECT_EQ(help.rfind("class int():\n|  Methods defined here:\n", 0), 0u) << help;
  EXPECT_TRUE(contains(help, "|  int.__add__(...)\n|      int.__add__(int,var)->var\n"));
  EXPECT_EQ(help, VarClass::Class<int>().helpString());
  EXPECT_TRUE(contains(errorOf([] { method(Var(1), "doc"); }), "has no function doc"));
}

TEST(BufferMethods, SizeSelfAndText) {
  VarBuffer buffer;
  buffer.size = 24;
  buffer.shape = {2, 3};
  buffer.format = "f";
  const Var value(buffer);
  EXPECT_EQ(value.typeName(), "buffer");
  EXPECT_EQ(toText(value), "<buffer 2X3Xf>");
  EXPECT_EQ(method(value, "size").as<std::uint64_t>(), 24u);
  EXPECT_EQ(method(value, "__buffer__").holder(), value.holder());
}

TEST(JsonClass, LoadAndDumpAreStaticFunctions) {
  VarClass& json = VarClass::Class<Json>();
  const Var loaded = json.call(Var(), "load", std::vector<Var>{Var("{a: [1]}")});
  EXPECT_EQ(json.call(Var(), "dump", std::vector<Var>{loaded}).as<std::string>(),
            "{\n  \"a\" : [\n    1\n  ]\n}");
  EXPECT_TRUE(contains(errorOf([&] { json.call(Var(), "load", std::vector<Var>{Var(1)}); }),
                       "Unable cast int to str"));
}

TEST(BuiltinRegistration, PublishesItsRecordAndRepeatsHarmlessly) {
  const Var record = Var::root().as<VarObject>().get("__builtin__");
  ASSERT_TRUE(record.isObject());
  EXPECT_EQ(record.as<VarObject>().get("version").as<int>(), 513);
  EXPECT_EQ(record.as<VarObject>().get("license").as<std::string>(), "BSD");
  EXPECT_TRUE(record.as<VarObject>().get("Json").is<VarClass>());

  const std::size_t members = VarClass::Class<int>().attr.length();
  Var::root()["__builtin__"]["extra"] = Var(1);
  detail::registerBuiltinMethods();
  EXPECT_EQ(VarClass::Class<int>().attr.length(), members);
  EXPECT_FALSE(VarClass::Class<int>()
                   .attr.as<VarObject>()
                   .get("__add__")
                   .as<VarFunction>()
                   .next.isFunction());
  const Var again = Var::root().as<VarObject>().get("__builtin__");
  EXPECT_EQ(again.as<VarObject>().get("version").as<int>(), 513);
  EXPECT_EQ(again.as<VarObject>().get("extra").as<int>(), 1);
  again.as<VarObject>().erase("extra");
}

TEST(UndefinedAndNull, PrintTheirNames) {
  EXPECT_EQ(toText(Var()), "undefined");
  EXPECT_EQ(toText(Var::Null()), "null");
}

}  // namespace
}  // namespace sv

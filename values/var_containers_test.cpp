#include "values/function.h"
#include "values/var.h"
#include "values/var_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sv::Var;
using vmtest::messageOf;

TEST(VarObject, GetSetAndEraseKeepTheCountRight) {
  Var v{{"a", 1}};
  sv::VarObject& object = v.as<sv::VarObject>();
  EXPECT_TRUE(object.get("b").isUndefined());
  Var old = object.get("a");
  object.set("a", Var(2));
  EXPECT_EQ(object.length(), 1u);
  EXPECT_EQ(old.as<int>(), 1);  // the old holder is released, not overwritten
  object.erase("a");
  object.erase("absent");
  EXPECT_EQ(object.length(), 0u);
}

TEST(VarObject, CloneDepthDecidesWhatIsSharedAndDropsTheClass) {
  Var outer{{"inner", Var{{"x", 1}}}};
  outer.clone(0)["inner"]["x"] = 2;
  EXPECT_EQ(outer["inner"]["x"].as<int>(), 2);
  outer.clone(1)["inner"]["x"] = 3;
  EXPECT_EQ(outer["inner"]["x"].as<int>(), 2);

  Var custom = sv::detail::makeClassRecord(typeid(int));
  custom.as<sv::VarClass>().name = "Custom";
  outer.as<sv::VarObject>().cls = custom;
  EXPECT_EQ(outer.typeName(), "Custom");
  EXPECT_EQ(outer.clone(1).typeName(), "object");
}

TEST(VarContainers, CloneOfAContainerHoldingItselfDoesNotDeadlock) {
  Var object{{"a", 1}};
  object["self"] = object;
  EXPECT_EQ(object.clone(2).length(), 2u);
  object["self"] = Var();  // break the cycle so the memory is freed
  Var array{1};
  array.push_back(array);
  EXPECT_EQ(array.clone(2).length(), 2u);
  array[1] = Var();
}

TEST(VarArray, AtCopiesInRangeAndGivesUndefinedBeyond) {
  Var v{1, 2};
  sv::VarArray& array = v.as<sv::VarArray>();
  EXPECT_EQ(array.at(1).as<int>(), 2);
  EXPECT_TRUE(array.at(2).isUndefined());
  Var beyond = array.at(1000);
  beyond = Var(42);  // the result is a copy: Undefined itself stays as it was
  EXPECT_TRUE(Var().isUndefined());
  EXPECT_EQ(array.length(), 2u);
}

TEST(VarArray, CloneDepthAndPushBack) {
  Var v{1, 2.5};
  EXPECT_EQ(v.clone(0)[0].holder(), v[0].holder());
  EXPECT_NE(v.clone(1)[0].holder(), v[0].holder());
  v.push_back(Var("x"));
  EXPECT_EQ(v[2].as<std::string>(), "x");
  Var object{{"a", 1}};
  EXPECT_EQ(messageOf([&] { object.push_back(Var(1)); }), "Can not treat object as array");
}

TEST(VarElementAccess, WritableAccessInsertsAndTurnsUndefinedIntoAnObject) {
  Var v;
  v["a"] = 5;
  EXPECT_TRUE(v.isObject());
  EXPECT_EQ(v["a"].as<int>(), 5);
  v["missing"];
  EXPECT_EQ(v.length(), 2u);
  EXPECT_TRUE(v["missing"].isUndefined());
  EXPECT_TRUE(Var::Undefined().isUndefined());

  Var array{1, 2};
  array[1] = "two";
  EXPECT_EQ(array[1].as<std::string>(), "two");
  EXPECT_EQ(array[Var(0.9)].as<int>(), 1);  // the index is converted to int
  EXPECT_NE(messageOf([&] { array[2]; }).find("out of range"), std::string::npos);
  EXPECT_NE(messageOf([&] { array[-1]; }).find("out of range"), std::string::npos);
  Var number(3);
  EXPECT_EQ(messageOf([&] { number["a"]; }), "int: Operator [] can't be used as a lvalue.");
  Var object{{"a", 1}};
  EXPECT_EQ(messageOf([&] { object[Var(1)]; }), "Can not treat int as str");
}

TEST(VarElementAccess, ReadOnlyAccessNeverInserts) {
  const Var object{{"a", 1}};
  EXPECT_TRUE(object["b"].isUndefined());
  EXPECT_EQ(object.length(), 1u);
  const Var array{1, 2};
  EXPECT_EQ(array[1].as<int>(), 2);
  EXPECT_TRUE(array[2].isUndefined());
  EXPECT_TRUE(array[-1].isUndefined());
  const Var nothing;
  EXPECT_TRUE(nothing["a"].isUndefined());
  const Var number(3);
  EXPECT_TRUE(number[Var(1)].isUndefined());
  EXPECT_EQ(messageOf([&] { number["size"]; }), "int: Operator [] called without property size");
}

TEST(VarElementAccess, InstancesUseTheirClassGetitemAndProperties) {
  Var custom = sv::detail::makeClassRecord(typeid(int));
  custom.as<sv::VarClass>().def("__getitem__",
                                [](const Var&, const std::string& key) { return key + "!"; });
  Var object{{"a", 1}};
  object.as<sv::VarObject>().cls = custom;
  EXPECT_EQ(static_cast<const Var&>(object)["a"].as<std::string>(), "a!");

  struct Gauge {
    double level = 1.5;
  };
  sv::VarClass& cls = sv::VarClass::Class<Gauge>();
  cls.attr["level"] =
      Var(sv::VarClass::VarProperty{Var(sv::VarFunction([](const Gauge& g) { return g.level; })),
                                    Var(sv::VarFunction([](Gauge& g, double x) { g.level = x; }))});
  cls.attr["fixed"] =
      Var(sv::VarClass::VarProperty{Var(sv::VarFunction([](const Gauge&) { return 1; })), Var()});
  Var gauge = Var(Gauge());
  EXPECT_EQ(static_cast<const Var&>(gauge)["level"].as<double>(), 1.5);
  gauge.set("level", Var(4.0));
  EXPECT_EQ(gauge.get<double>("level", 0.0), 4.0);
  const std::string name = gauge.typeName();
  EXPECT_EQ(messageOf([&] { gauge.set("fixed", Var(2)); }), name + ": property fixed is readonly.");
  EXPECT_EQ(messageOf([&] { gauge.set("other", Var(2)); }),
            name + ": set called without property other");
  EXPECT_EQ(messageOf([&] { gauge.get<int>("other", 0); }),
            name + ": get called without property other");
}

TEST(VarNamedSettings, DottedNamesWalkNestedObjects) {
  Var v;
  EXPECT_EQ(v.get<int>("a.b.c", 5), 5);
  EXPECT_EQ(v["a"]["b"]["c"].as<int>(), 5);
  EXPECT_EQ(v.get<int>("a.b.c", 7), 5);
  Var flat = Var(std::unordered_map<std::string, Var>());
  EXPECT_EQ(flat.get<int>("a.b", 5, false), 5);
  EXPECT_EQ(flat["a.b"].as<int>(), 5);
  Var tree;
  tree.set("x.y", Var("deep"));
  tree.set("x.y", Var("flat"), false);
  EXPECT_EQ(tree["x"]["y"].as<std::string>(), "deep");
  EXPECT_EQ(tree["x.y"].as<std::string>(), "flat");
}

TEST(VarNamedSettings, StoredValuesAreConvertedAndWrittenBack) {
  Var v{{"x", 2.5}, {"n", 3}, {"s", "text"}};
  EXPECT_EQ(v.get<int>("x", 0), 2);
  EXPECT_TRUE(v["x"].is<int>());
  EXPECT_EQ(v.get<double>("n", 0.0), 3.0);
  EXPECT_TRUE(v["n"].is<double>());
  EXPECT_EQ(messageOf([&] { v.get<double>("s", 0.0); }), "Can not treat str as double");
  EXPECT_TRUE(v["s"].is<std::string>());
  EXPECT_EQ(messageOf([&] { v.set("n.x.y", Var(1)); }),
            "double: Operator [] can't be used as a lvalue.");
  EXPECT_EQ(messageOf([&] { v.set("x.y", Var(1)); }), "int: set called without property y");
}

TEST(VarOperators, WithoutMethodsEqualityIsIdentityAndAdditionFails) {
  struct Opaque {};
  Var a = Var(Opaque());
  Var b = Var(Opaque());
  EXPECT_TRUE(a == Var(a));
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a < a);
  EXPECT_EQ(sv::VarClass::Class<Opaque>().attr.as<sv::VarObject>().value.count("__eq__"), 1u);
  const std::string name = a.typeName();
  EXPECT_EQ(messageOf([&] { a + Var(1); }), "Class " + name + " has no function __add__");
  sv::VarClass::Class<Opaque>().def("__add__", [](const Opaque&, int) { return Var(); });
  EXPECT_EQ(messageOf([&] { a + Var(1); }),
            name + " operator __add__ with rh: intreturned Undefined.");
}

}  // namespace

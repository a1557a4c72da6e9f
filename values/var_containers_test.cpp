#include "values/function.h"
#include "values/var.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sv::Var;

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const sv::VarException& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(VarObject, GetSetAndEraseKeepTheCountRight) {
  Var v{{"a", 1}};
  sv::VarObject& object = v.as<sv::VarObject>();
  EXPECT_TRUE(object.get("b").isUndefined());
  EXPECT_EQ(object.length(), 1u);
  Var other = object.get("a");
  object.set("a", Var(2));
  EXPECT_EQ(object.length(), 1u);
  EXPECT_EQ(object.get("a").as<int>(), 2);
  EXPECT_EQ(other.as<int>(), 1);  // the old holder is released, not overwritten
  object.erase("a");
  object.erase("absent");
  EXPECT_EQ(object.length(), 0u);
}

TEST(VarObject, CloneDepthDecidesWhatIsShared) {
  Var outer{{"inner", Var{{"x", 1}}}};
  Var shallow = outer.clone(0);
  shallow["inner"]["x"] = 2;
  EXPECT_EQ(outer["inner"]["x"].as<int>(), 2);

  Var deep = outer.clone(1);
  deep["inner"]["x"] = 3;
  EXPECT_EQ(outer["inner"]["x"].as<int>(), 2);
  EXPECT_NE(deep.holder(), outer.holder());
}

TEST(VarObject, CloneForgetsTheObjectsClass) {
  Var v{{"a", 1}};
  Var custom = sv::detail::makeClassRecord(typeid(int));
  custom.as<sv::VarClass>().name = "Custom";
  v.as<sv::VarObject>().cls = custom;
  EXPECT_EQ(v.typeName(), "Custom");
  EXPECT_EQ(v.clone(1).typeName(), "object");
}

TEST(VarObject, CloneOfAnObjectHoldingItselfDoesNotDeadlock) {
  Var v{{"a", 1}};
  v["self"] = v;
  Var copy = v.clone(2);
  EXPECT_EQ(copy.length(), 2u);
  v["self"] = Var();  // break the cycle so the test frees its memory
}

TEST(VarArray, AtCopiesInRangeAndGivesUndefinedBeyond) {
  Var v{1, 2};
  sv::VarArray& array = v.as<sv::VarArray>();
  EXPECT_EQ(array.at(1).as<int>(), 2);
  EXPECT_TRUE(array.at(2).isUndefined());
  EXPECT_TRUE(array.at(1000).isUndefined());
  EXPECT_EQ(array.length(), 2u);
}

TEST(VarArray, ResultOfAtBeyondTheEndCannotChangeUndefined) {
  Var v{1};
  Var beyond = v.as<sv::VarArray>().at(5);
  beyond = Var(42);
  EXPECT_TRUE(Var::Undefined().isUndefined());
  EXPECT_TRUE(Var().isUndefined());
}

TEST(VarArray, CloneDepthDecidesWhatIsShared) {
  Var v{1, 2.5};
  Var shallow = v.clone(0);
  EXPECT_EQ(shallow[0].holder(), v[0].holder());
  Var deep = v.clone(1);
  EXPECT_NE(deep[0].holder(), v[0].holder());
  EXPECT_EQ(deep[1].as<double>(), 2.5);
}

TEST(VarArray, PushBackAppendsOnlyToArrays) {
  Var v{1};
  v.push_back(Var("x"));
  EXPECT_EQ(v.length(), 2u);
  EXPECT_EQ(v[1].as<std::string>(), "x");
  Var object{{"a", 1}};
  EXPECT_EQ(messageOf([&] { object.push_back(Var(1)); }), "Can not treat object as array");
}

TEST(VarElementAccess, WritableAccessTurnsUndefinedIntoAnObjectAndInserts) {
  Var v;
  Var& slot = v["a"];
  EXPECT_TRUE(v.isObject());
  EXPECT_TRUE(slot.isUndefined());
  EXPECT_EQ(v.length(), 1u);
  slot = 5;
  EXPECT_EQ(v["a"].as<int>(), 5);
  // Assigning to an inserted element never touches the shared Undefined value.
  EXPECT_TRUE(Var::Undefined().isUndefined());
  v["missing"];
  EXPECT_EQ(v.length(), 2u);
}

TEST(VarElementAccess, WritableAccessOnArraysAndOtherValues) {
  Var v{1, 2};
  v[1] = "two";
  EXPECT_EQ(v[1].as<std::string>(), "two");
  EXPECT_EQ(v[Var(0.9)].as<int>(), 1);  // the index is converted to int
  EXPECT_NE(messageOf([&] { v[2]; }).find("out of range"), std::string::npos);
  EXPECT_NE(messageOf([&] { v[-1]; }).find("out of range"), std::string::npos);
  Var number(3);
  EXPECT_EQ(messageOf([&] { number["a"]; }), "int: Operator [] can't be used as a lvalue.");
  Var object{{"a", 1}};
  EXPECT_EQ(messageOf([&] { object[Var(1)]; }), "Can not treat int as str");
}

TEST(VarElementAccess, ReadOnlyAccessNeverInserts) {
  const Var object{{"a", 1}};
  EXPECT_EQ(object["a"].as<int>(), 1);
  EXPECT_TRUE(object["b"].isUndefined());
  EXPECT_EQ(object.length(), 1u);

  const Var array{1, 2};
  EXPECT_EQ(array[1].as<int>(), 2);
  EXPECT_TRUE(array[2].isUndefined());
  EXPECT_TRUE(array[-1].isUndefined());
  EXPECT_EQ(array.length(), 2u);

  const Var nothing;
  EXPECT_TRUE(nothing["a"].isUndefined());
}

TEST(VarElementAccess, ReadOnlyAccessThroughTheClassOfAnInstance) {
  const Var number(3);
  EXPECT_TRUE(number[Var(1)].isUndefined());  // not a text key
  EXPECT_EQ(messageOf([&] { number["size"]; }), "int: Operator [] called without property size");

  // An object reporting its own class goes through that class's "__getitem__".
  Var custom = sv::detail::makeClassRecord(typeid(int));
  custom.as<sv::VarClass>().name = "Shouting";
  custom.as<sv::VarClass>().def("__getitem__", [](const Var&, const std::string& key) { return key + "!"; });
  Var object{{"a", 1}};
  object.as<sv::VarObject>().cls = custom;
  const Var& view = object;
  EXPECT_EQ(view["a"].as<std::string>(), "a!");
}

TEST(VarElementAccess, PropertiesAreReadAndWrittenThroughTheirFunctions) {
  struct Gauge {
    double level = 1.5;
  };
  sv::VarClass& cls = sv::VarClass::Class<Gauge>();
  Var property(sv::VarClass::VarProperty{
      Var(sv::VarFunction([](const Gauge& g) { return g.level; })),
      Var(sv::VarFunction([](Gauge& g, double level) { g.level = level; }))});
  cls.attr["level"] = property;
  Var readOnly(sv::VarClass::VarProperty{Var(sv::VarFunction([](const Gauge&) { return 1; })), Var()});
  cls.attr["fixed"] = readOnly;

  Var gauge = Var(Gauge());
  const Var& view = gauge;
  EXPECT_EQ(view["level"].as<double>(), 1.5);
  gauge.set("level", Var(4.0));
  EXPECT_EQ(gauge.as<Gauge>().level, 4.0);
  EXPECT_EQ(gauge.get<double>("level", 0.0), 4.0);
  const std::string name = gauge.typeName();
  EXPECT_EQ(messageOf([&] { gauge.set("fixed", Var(2)); }), name + ": property fixed is readonly.");
  EXPECT_EQ(messageOf([&] { gauge.set("other", Var(2)); }), name + ": set called without property other");
  EXPECT_EQ(messageOf([&] { gauge.get<int>("other", 0); }), name + ": get called without property other");
}

TEST(VarNamedSettings, DottedNamesWalkNestedObjects) {
  Var v;
  EXPECT_EQ(v.get<int>("a.b.c", 5), 5);
  ASSERT_TRUE(v["a"].isObject());
  ASSERT_TRUE(v["a"]["b"].isObject());
  EXPECT_EQ(v["a"]["b"]["c"].as<int>(), 5);
  EXPECT_EQ(v.get<int>("a.b.c", 7), 5);

  Var flat = Var(std::unordered_map<std::string, Var>());
  EXPECT_EQ(flat.get<int>("a.b", 5, false), 5);
  EXPECT_EQ(flat["a.b"].as<int>(), 5);
  EXPECT_EQ(flat.length(), 1u);

  Var tree;
  tree.set("x.y", Var("deep"));
  EXPECT_EQ(tree["x"]["y"].as<std::string>(), "deep");
  tree.set("x.y", Var("flat"), false);
  EXPECT_EQ(tree["x.y"].as<std::string>(), "flat");
  Var fresh;
  fresh.set("only", Var(1));
  EXPECT_TRUE(fresh.isObject());
  EXPECT_EQ(fresh.length(), 1u);
}

TEST(VarNamedSettings, StoredValuesAreConvertedAndWrittenBack) {
  Var v{{"x", 2.5}, {"n", 3}, {"s", "text"}};
  EXPECT_EQ(v.get<int>("x", 0), 2);
  EXPECT_TRUE(v["x"].is<int>());
  EXPECT_EQ(v.get<double>("n", 0.0), 3.0);
  EXPECT_TRUE(v["n"].is<double>());
  EXPECT_EQ(messageOf([&] { v.get<double>("s", 0.0); }), "Can not treat str as double");
  EXPECT_TRUE(v["s"].is<std::string>());  // a failed read leaves the entry as it was
}

TEST(VarNamedSettings, PathThroughANumberFails) {
  Var number(3);
  EXPECT_EQ(messageOf([&] { number.set("a.b", Var(1)); }), "int: Operator [] can't be used as a lvalue.");
  Var v{{"n", 3}};
  EXPECT_EQ(messageOf([&] { v.set("n.x.y", Var(1)); }), "int: Operator [] can't be used as a lvalue.");
  EXPECT_EQ(messageOf([&] { v.set("n.x", Var(1)); }), "int: set called without property x");
  EXPECT_EQ(v["n"].as<int>(), 3);
}

TEST(VarOperators, EqualityAndOrderFallBackToIdentity) {
  struct Opaque {};
  Var a = Var(Opaque());
  Var b = Var(Opaque());
  Var sameAsA = a;
  EXPECT_TRUE(a == sameAsA);
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a < a);
  // The lookup leaves an entry for the missing method in the class.
  EXPECT_TRUE(sv::VarClass::Class<Opaque>().attr.as<sv::VarObject>().value.count("__eq__"));
}

TEST(VarOperators, AdditionNeedsAMethodThatGivesAValue) {
  struct Opaque {};
  Var a = Var(Opaque());
  const std::string name = a.typeName();
  EXPECT_EQ(messageOf([&] { a + Var(1); }), "Class " + name + " has no function __add__");
  sv::VarClass::Class<Opaque>().def("__add__", [](const Opaque&, int) { return Var(); });
  EXPECT_EQ(messageOf([&] { a + Var(1); }), name + " operator __add__ with rh: intreturned Undefined.");
}

}  // namespace

#include "values/function.h"
#include "values/var.h"
#include "values/var_test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using sv::Var;
using sv::VarClass;
using sv::VarFunction;
using vmtest::contains;
using vmtest::messageOf;

struct TestNode {
  int frames = 0;
};

// Chains `second` behind `first` as its next overload.
Var chain(Var first, const Var& second) {
  first.as<VarFunction>().next = second;
  return first;
}

TEST(VarFunctionRecord, ClassListAndSignatureFollowTheDeclaredTypes) {
  Var f(VarFunction([](int, double) { return std::string(); }));
  const VarFunction& record = f.as<VarFunction>();
  ASSERT_EQ(record.class_list.size(), 3u);
  EXPECT_EQ(record.signatureText(), "(int,double)->str");
  EXPECT_EQ(Var(VarFunction([]() { return 1; })).as<VarFunction>().signatureText(), "()->int");
  // A string taken by reference has a record of its own, named by the platform.
  Var byRef(VarFunction([](const std::string&) {}));
  EXPECT_NE(byRef.as<VarFunction>().class_list[1].holder(),
            VarClass::instance<std::string>().holder());
  EXPECT_NE(byRef.as<VarFunction>().signatureText(), "(str)->void");
  VarFunction fixed;
  fixed.signature = "(custom)";
  EXPECT_EQ(fixed.signatureText(), "(custom)");
  EXPECT_EQ(VarFunction().signatureText(), "");
  EXPECT_TRUE(record.checks_arg_count);
  EXPECT_FALSE(record.is_method);
}

TEST(VarFunctionRecord, WrapsFunctionPointersLambdasAndStdFunctions) {
  struct Local {
    static int twice(int x) { return 2 * x; }
  };
  EXPECT_EQ(Var(VarFunction(&Local::twice)).call(Var(4)).as<int>(), 8);
  int offset = 10;
  EXPECT_EQ(Var(VarFunction([offset](int x) { return x + offset; })).call(Var(1)).as<int>(), 11);
  std::function<double(double, double)> product = [](double a, double b) { return a * b; };
  EXPECT_EQ(Var(VarFunction(product)).call(Var(2.0), Var(3)).as<double>(), 6.0);
  EXPECT_TRUE(Var(VarFunction([](int) {})).call(Var(1)).isUndefined());
}

TEST(VarFunctionRecord, CloneCopiesTheRecordAndSharesTheChain) {
  Var f =
      chain(Var(VarFunction([](int) { return 1; })), Var(VarFunction([](double) { return 2; })));
  f.as<VarFunction>().name = "f";
  Var copy = f.clone(0);
  EXPECT_NE(copy.holder(), f.holder());
  EXPECT_EQ(copy.as<VarFunction>().name, "f");
  EXPECT_EQ(copy.as<VarFunction>().next.holder(), f.as<VarFunction>().next.holder());
  EXPECT_EQ(copy.call(Var(1)).as<int>(), 1);
}

TEST(VarOverloads, FirstOverloadThatAcceptsTheArgumentsWins) {
  int secondRuns = 0;
  Var f = chain(Var(VarFunction([](const std::string& s) { return "str:" + s; })),
                Var(VarFunction([&secondRuns](int x) {
                  ++secondRuns;
                  return std::to_string(x);
                })));
  EXPECT_EQ(f.call(Var(7)).as<std::string>(), "7");
  EXPECT_EQ(f.call(Var("a")).as<std::string>(), "str:a");
  EXPECT_EQ(secondRuns, 1);
}

TEST(VarOverloads, FailureListsArgumentsCandidatesErrorsAndStack) {
  Var f(VarFunction([](int x) { return x; }));
  std::string message = messageOf([&] { f.call(Var(std::vector<Var>())); });
  const std::string line = "    (int)->int\n";
  const std::string head =
      line + "Failed to call method with input arguments: [array]\nOverload candidates:\n" + line +
      "\n";
  EXPECT_EQ(message.substr(0, head.size()), head);
  // The recorded conversion error comes next: the int constructor's own failure, which ran
  // while this call was on the stack.
  EXPECT_TRUE(contains(message,
                       "Can't construct int from array.\nStack:\n" + line + "int.__init__(...)\n"));
  const std::string tail = "\nStack:\n" + line;
  EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
}

TEST(VarOverloads, WrongArgumentCountSkipsEveryOverload) {
  int runs = 0;
  Var f(VarFunction([&runs](int, int) { return ++runs; }));
  f.as<VarFunction>().name = "pair";
  std::string message = messageOf([&] { f.call(Var(1)); });
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(message,
            "pair(...)\n    pair(int,int)->int\nFailed to call method with input arguments: [int]\n"
            "Overload candidates:\npair(...)\n    pair(int,int)->int\n\nStack:\npair(...)\n    "
            "pair(int,int)->int\n");
  EXPECT_TRUE(contains(messageOf([&] { f.as<VarFunction>().call(std::vector<Var>()); }),
                       "Failed to call method with input arguments: []\n"));
}

TEST(VarOverloads, WithoutTheCountCheckTooFewArgumentsFailAndMoreAreIgnored) {
  Var f = chain(Var(VarFunction([](int a, int b) { return a + b; })),
                Var(VarFunction([](int a) { return -a; })));
  f.as<VarFunction>().checks_arg_count = false;
  // The pair overload fails on the short list, so the next overload takes it.
  EXPECT_EQ(f.call(Var(5)).as<int>(), -5);
  EXPECT_EQ(f.call(Var(2), Var(3)).as<int>(), 5);
  EXPECT_EQ(f.call(Var(2), Var(3), Var(4)).as<int>(), 5);
  EXPECT_TRUE(contains(messageOf([&] { f.as<VarFunction>().call(std::vector<Var>()); }),
                       "Expected 2 arguments, got 0.\n"));
}

TEST(VarOverloads, OtherExceptionsEndTheCallAtOnce) {
  int laterRuns = 0;
  Var f = chain(Var(VarFunction([](int) -> int { throw std::runtime_error("native"); })),
                Var(VarFunction([&laterRuns](int) { return ++laterRuns; })));
  EXPECT_THROW(f.call(Var(1)), std::runtime_error);
  EXPECT_EQ(laterRuns, 0);
  VarFunction empty;
  empty.class_list = {VarClass::instance<int>(), VarClass::instance<int>()};
  EXPECT_THROW(empty.call(Var(1)), std::bad_function_call);
  // The call stack is empty again: a later failure shows only its own function.
  Var g(VarFunction([](int x) { return x; }));
  std::string message = messageOf([&] { g.call(Var(std::vector<Var>())); });
  EXPECT_EQ(message.substr(message.rfind("Stack:\n")), "Stack:\n    (int)->int\n");
}

TEST(VarOverloads, NestedFailureShowsTheOuterFunctionFirst) {
  Var inner(VarFunction([](int x) { return x; }));
  inner.as<VarFunction>().name = "inner";
  Var outer(VarFunction([inner](const Var& v) { return inner.call(v); }));
  outer.as<VarFunction>().name = "outer";
  std::string message = messageOf([&] { outer.call(Var(std::vector<Var>())); });
  EXPECT_TRUE(contains(
      message, "Stack:\nouter(...)\n    outer(sv::Var)->var\ninner(...)\n    inner(int)->int\n"));
  EXPECT_EQ(message.substr(message.rfind("Stack:\n")),
            "Stack:\nouter(...)\n    outer(sv::Var)->var\n");
}

TEST(VarOverloads, SharedPointerCallbackNeedsTheHeldPointer) {
  std::shared_ptr<TestNode> received;
  std::function<void(const std::shared_ptr<TestNode>&)> callback =
      [&received](const std::shared_ptr<TestNode>& n) { received = n; };
  Var f = Var(VarFunction(callback));
  auto node = std::make_shared<TestNode>();
  f.as<VarFunction>().call(Var(node));
  EXPECT_EQ(received, node);
  std::string message = messageOf([&] { f.as<VarFunction>().call(Var(5)); });
  EXPECT_TRUE(contains(message, "Failed to call method with input arguments: [int]"));
  EXPECT_TRUE(contains(message, "Overload candidates:"));
  EXPECT_TRUE(contains(message, "Stack:"));
  EXPECT_TRUE(contains(message, "Unable cast int to "));
  // Null is not a held pointer for a reference parameter, but converts for a value parameter.
  EXPECT_TRUE(contains(messageOf([&] { f.call(Var::Null()); }), "Failed to call method"));
  Var byValue(VarFunction([&received](std::shared_ptr<TestNode> n) { received = n; }));
  byValue.call(Var::Null());
  EXPECT_EQ(received, nullptr);
}

TEST(VarCallValue, FunctionsClassesAndOtherValues) {
  Var f(VarFunction([](int a, int b) { return a - b; }));
  f.as<VarFunction>().is_method = true;  // a direct call adds no instance
  EXPECT_EQ(f.call(Var(5), Var(3)).as<int>(), 2);

  Var cls = sv::detail::makeClassRecord(typeid(TestNode));
  cls.as<VarClass>().name = "Node";
  EXPECT_EQ(messageOf([&] { cls.call(Var(1)); }), "Class Node does not have __init__ function.");
  cls.as<VarClass>().def("__init__", [](int frames) { return Var(TestNode{frames}); });
  EXPECT_EQ(cls.call(Var(4)).as<TestNode>().frames, 4);
  EXPECT_TRUE(cls.as<VarClass>().init.as<VarFunction>().is_constructor);

  EXPECT_EQ(messageOf([] { Var(1).call(Var(2)); }),
            "int can't be called as a function or constructor.");
}

TEST(VarMemberCall, MethodsReceiveTheInstanceFirst) {
  Var cls = sv::detail::makeClassRecord(typeid(TestNode));
  VarClass& record = cls.as<VarClass>();
  record.name = "Node";
  record.def("add", [](TestNode& node, int n) { return node.frames += n; });
  record.def_static("make", [](int n) { return Var(TestNode{n}); });
  Var node = Var(TestNode{1});
  EXPECT_EQ(record.call(node, "add", Var(2)).as<int>(), 3);
  EXPECT_EQ(node.as<TestNode>().frames, 3);
  EXPECT_EQ(record.call(node, "make", Var(8)).as<TestNode>().frames, 8);
  EXPECT_EQ(record["add"].as<VarFunction>().name, "Node.add");
}

TEST(VarMemberCall, ParentsAreSearchedInOrderAndTheirFailuresCollected) {
  Var base1 = sv::detail::makeClassRecord(typeid(int));
  base1.as<VarClass>().name = "Base1";
  Var base2 = sv::detail::makeClassRecord(typeid(int));
  base2.as<VarClass>().name = "Base2";
  base2.as<VarClass>().def("only2", [](const Var&) { return 2; });
  VarClass child("Child", typeid(int), {base1, base2});
  EXPECT_EQ(child.call(Var(0), "only2", std::vector<Var>()).as<int>(), 2);

  VarClass lonely("Lonely", typeid(int), {base1});
  EXPECT_EQ(messageOf([&] { lonely.call(Var(0), "nowhere", std::vector<Var>()); }),
            "Class Lonely has no function nowhereClass Base1 has no function nowhere");

  // A parent given as a pair of (class, function giving the instance as the parent sees it).
  Var asParent(VarFunction([](const Var& v) { return Var(v.castAs<int>() * 10); }));
  VarClass viaPair("ViaPair", typeid(int), {Var{base2, asParent}});
  base2.as<VarClass>().def("scaled", [](int self) { return self; });
  EXPECT_EQ(viaPair.call(Var(3), "scaled", std::vector<Var>()).as<int>(), 30);
}

TEST(VarClassRecord, DefKeepsOneFunctionPerSignatureInRegistrationOrder) {
  VarClass record("Rec", typeid(int));
  Var first(VarFunction([](int, int) { return 1; }));
  Var same(VarFunction([](int, int) { return 2; }));
  Var other(VarFunction([](int, double) { return 3; }));
  record.def("__add__", first, true).def("__add__", same, true).def("__add__", other, true);
  Var head = record["__add__"];
  EXPECT_EQ(head.holder(), first.holder());
  EXPECT_EQ(head.as<VarFunction>().next.holder(), other.holder());
  EXPECT_TRUE(other.as<VarFunction>().next.isUndefined());
  EXPECT_TRUE(same.as<VarFunction>().name.empty());  // the dropped function is left untouched
  EXPECT_EQ(first.as<VarFunction>().name, "Rec.__add__");
}

TEST(VarClassRecord, SpecialNamesFillTheirFieldsOnce) {
  VarClass record("Rec", typeid(int));
  Var init1(VarFunction([](int x) { return x; }));
  Var init2(VarFunction([](double x) { return x; }));
  record.def("__init__", init1, true).def("__init__", init2, true);
  EXPECT_EQ(record.init.holder(), init1.holder());
  EXPECT_EQ(record.init.as<VarFunction>().next.holder(), init2.holder());
  record.def("__str__", init1, true);
  EXPECT_EQ(record.str.holder(), init1.holder());
  EXPECT_TRUE(record.getitem.isUndefined());
}

TEST(VarClassRecord, DefNamesTheSharedFunctionAfterItsLatestClass) {
  VarClass a("A", typeid(int));
  VarClass b("B", typeid(int));
  Var f(VarFunction([](int x) { return x; }));
  Var alias = f;
  a.def("__add__", f, true);
  EXPECT_EQ(alias.as<VarFunction>().name, "A.__add__");
  b.def("m", f, false);
  EXPECT_EQ(alias.as<VarFunction>().name, "B.m");
  EXPECT_FALSE(alias.as<VarFunction>().is_method);
}

TEST(VarClassRecord, DefReplacesNonFunctionsAndRejectsNonFunctions) {
  VarClass record("Rec", typeid(int));
  record.attr["x"] = 5;
  Var f(VarFunction([](int x) { return x; }));
  record.def("x", f, true);
  EXPECT_EQ(record["x"].holder(), f.holder());
  EXPECT_EQ(messageOf([&] { record.def("y", Var(1), true); }), "Can not treat int as function");
  EXPECT_EQ(messageOf([&] { record.def("x", Var(1), true); }), "Can not treat int as function");
  EXPECT_EQ(record["x"].holder(), f.holder());
}

TEST(VarClassRecord, LookupThroughParentsCopiesAndRecordsMissingNames) {
  Var parent = sv::detail::makeClassRecord(typeid(int));
  Var f(VarFunction([](int x) { return x; }));
  parent.as<VarClass>().def("m", f, true);
  VarClass child("Child", typeid(int), {parent});
  EXPECT_EQ(child["m"].holder(), f.holder());
  EXPECT_EQ(child.attr.as<sv::VarObject>().get("m").holder(), f.holder());
  EXPECT_TRUE(child["absent"].isUndefined());
  EXPECT_EQ(child.attr.as<sv::VarObject>().value.count("absent"), 1u);
  EXPECT_EQ(parent.as<VarClass>().attr.as<sv::VarObject>().value.count("absent"), 1u);
}

}  // namespace

#include "values/printer.h"
#include "values/function.h"
#include "values/json.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace sv {
namespace {

struct Gadget {};
struct BadlyPrinted {};

TEST(Printer, ValueWithoutStrPrintsClassAndAddress) {
  const Var value(pi::Point3d(1, 2, 3));
  std::ostringstream address;
  address << static_cast<const void*>(value.holder());
  EXPECT_EQ(toText(value), "<" + value.typeName() + " at " + address.str() + ">");
}

TEST(Printer, StrResultThatIsNoStringThrowsAndReleasesTheArray) {
  VarClass::Class<BadlyPrinted>().def("__str__", [](Var) { return 5; });
  Var array = Json::load("[1]");
  array.push_back(Var(BadlyPrinted()));
  try {
    toText(array);
    FAIL() << "printing must throw";
  } catch (const VarException& e) {
    EXPECT_NE(std::string(e.what()).find("Can not treat int as str"), std::string::npos)
        << e.what();
  }
  // The array's mutex was released on the way out.
  array.as<VarArray>().value.pop_back();
  EXPECT_EQ(toText(array), "[\n  1\n]");
}

TEST(Printer, FunctionListingNamesEveryOverload) {
  VarClass& gadget = VarClass::Class<Gadget>();
  gadget.name = "Gadget";
  gadget.def("spin", [](Var, int turns) { return turns; });
  gadget.def("spin", [](Var, double turns) { return turns; });
  const Var spin = gadget.attr.as<VarObject>().get("spin");
  std::ostringstream listing;
  listing << spin.as<VarFunction>();
  EXPECT_EQ(
      listing.str(),
      "Gadget.spin(...)\n    Gadget.spin(var,int)->int\n    Gadget.spin(var,double)->double\n");
  // The function class's "__doc__" gives the same text.
  EXPECT_EQ(
      VarClass::Class<VarFunction>().call(spin, "__doc__", std::vector<Var>{}).as<std::string>(),
      listing.str());
}

TEST(Printer, ClassHelpPage) {
  VarClass bare("Plain", typeid(int));
  std::ostringstream head;
  head << bare;
  EXPECT_EQ(head.str(), "class Plain():\n");
  bare.doc = "A plain record.";
  std::ostringstream withDoc;
  withDoc << bare;
  EXPECT_EQ(withDoc.str(), "class Plain():\n|  A plain record.\n");

  bare.def("go", [](Var) { return true; });
  std::ostringstream withMethod;
  withMethod << bare;
  EXPECT_EQ(withMethod.str(),
            "class Plain():\n"
            "|  A plain record.\n"
            "|  Methods defined here:\n"
            "|  Plain.go(...)\n"
            "|      Plain.go(var)->bool\n"
            "|  \n"
            "|  Property defined here:\n"
            "|  \n");

  VarClass::VarProperty level{Var(VarFunction([](Var) { return 1.5; })), Var()};
  level.doc = "Water level in metres.";
  bare.attr["level"] = Var(level);
  std::ostringstream withProperty;
  withProperty << bare;
  const std::string text = withProperty.str();
  EXPECT_EQ(text.substr(text.find("|  Property defined here:\n")),
            "|  Property defined here:\n"
            "|  \n"
            "|  Water level in metres.\n"
            "|        (var)->double\n"
            "|  \n"
            "|  \n");
}

TEST(Printer, ThreadsPrintOneContainerTogether) {
  const Var shared = Json::load("[1, {a: [2, 3]}, \"x\"]");
  const std::string expected = toText(shared);
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) results[t] = toText(shared);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
}  // namespace sv

// The built-in registration: short class names of the basic types and their methods.
#include "values/builtin_methods.h"
#include "values/function.h"
#include "values/var.h"
#include "values/var_buffer.h"
#include "values/var_dict.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>

namespace sv {
namespace {

// The leading decimal integer of a text, read as the C library's atoi reads it (white space,
// optional sign, digits, the rest ignored; 0 without digits). Out-of-range values saturate.
int leadingInteger(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long magnitude = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > static_cast<long long>(INT_MAX) + 1) break;
  }
  long long result = negative ? -magnitude : magnitude;
  if (result > INT_MAX) return INT_MAX;
  if (result < INT_MIN) return INT_MIN;
  return static_cast<int>(result);
}

// Truncation toward zero; beyond the int range the result saturates, NaN gives 0.
int truncateToInt(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT_MAX;
  if (value <= -2147483648.0) return INT_MIN;
  return static_cast<int>(value);
}

void nameClasses() {
  VarClass::Class<int>().name = "int";
  VarClass::Class<std::int64_t>().name = "int64_t";
  VarClass::Class<unsigned int>().name = "uint32_t";
  VarClass::Class<std::uint64_t>().name = "uint64_t";
  VarClass::Class<unsigned char>().name = "uchar";
  VarClass::Class<char>().name = "char";
  VarClass::Class<float>().name = "float";
  VarClass::Class<double>().name = "double";
  VarClass::Class<std::string>().name = "str";
  VarClass::Class<bool>().name = "bool";
  VarClass::Class<VarDict>().name = "dict";
  VarClass::Class<VarObject>().name = "object";
  VarClass::Class<VarArray>().name = "array";
  VarClass::Class<VarFunction>().name = "function";
  VarClass::Class<VarClass>().name = "class";
  VarClass::Class<Var>().name = "var";
  VarClass::Class<VarBuffer>().name = "buffer";
  VarClass::Class<VarClass::VarProperty>().name = "property";
}

void registerConversions() {
  VarClass& intClass = VarClass::Class<int>();
  intClass.def("__init__", Var(VarFunction([](Var value) -> Var {
                 if (value.is<int>()) return value;
                 if (value.is<std::string>()) return Var(leadingInteger(value.as<std::string>()));
                 if (value.is<double>()) return Var(truncateToInt(value.as<double>()));
                 if (value.is<bool>()) return Var(value.as<bool>() ? 1 : 0);
                 throw VarException("Can't construct int from " + value.typeName() + ".");
               })),
               true);
  intClass.def("__double__", Var(VarFunction([](int self) { return static_cast<double>(self); })),
               true);
  intClass.def("__bool__", Var(VarFunction([](int self) { return self != 0; })), true);

  VarClass::Class<bool>()
      .def("__int__", [](bool self) { return self ? 1 : 0; })
      .def("__double__", [](bool self) { return self ? 1.0 : 0.0; });

  VarClass::Class<double>()
      .def("__int__", [](double self) { return truncateToInt(self); })
      .def("__bool__", [](double self) { return self != 0.0; });
}

void registerElementReads() {
  // The index must hold an int: a double index is an error, not a truncation.
  VarClass::Class<VarArray>().def("__getitem__", [](VarArray& self, const int& index) -> Var {
    return index < 0 ? Var() : self.at(static_cast<std::uint64_t>(index));
  });
  VarClass::Class<VarObject>().def("__getitem__",
                                   [](const VarObject* self, const std::string& key) -> Var {
                                     return const_cast<VarObject*>(self)->get(key);
                                   });
}

void registerBuiltins() {
  nameClasses();
  VarClass::Class<void>().name = "void";
  registerConversions();
  registerElementReads();
  detail::registerBuiltinMethods();
}

}  // namespace

VarBuiltin::VarBuiltin() {
  // Every compilation unit holds a registration object; the work is done by the first.
  static const bool registered = (registerBuiltins(), true);
  (void)registered;
}

}  // namespace sv

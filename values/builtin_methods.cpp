// The operator, printing, container and codec methods of the built-in classes.
#include "values/builtin_methods.h"
#include "values/function.h"
#include "values/json.h"
#include "values/printer.h"
#include "values/var.h"
#include "values/var_buffer.h"
#include "values/var_dict.h"

#include <climits>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace sv {
namespace detail {
namespace {

// An operand that must hold exactly a T: "Unable cast <held class> to <class of T>".
template <typename T>
T& held(const Var& operand) {
  if (void* p = operand.holder()->ptr(typeid(T))) return *static_cast<T*>(p);
  throw VarException("Unable cast " + operand.typeName() + " to " + VarClass::Class<T>().name);
}

// Two's complement wrapping without signed overflow.
int wrap(std::uint32_t bits) { return static_cast<int>(bits); }
std::uint32_t bitsOf(int value) { return static_cast<std::uint32_t>(value); }

// An int operation with an int or double right operand; any other operand gives Undefined.
template <typename IntOp, typename DoubleOp>
Var intArithmetic(int self, const Var& other, IntOp intOp, DoubleOp doubleOp) {
  if (other.is<int>()) return Var(intOp(self, other.as<int>()));
  if (other.is<double>()) return Var(doubleOp(static_cast<double>(self), other.as<double>()));
  return Var();
}

// Integer division and remainder are undefined for a zero divisor and for INT_MIN by -1.
void checkDivisor(const char* method, int self, int divisor) {
  if (divisor == 0) throw VarException(std::string("int.") + method + ": division by zero");
  if (self == INT_MIN && divisor == -1) {
    throw VarException(std::string("int.") + method + ": -2147483648 by -1 overflows int");
  }
}

// The printed form of a container or record (not through "__str__", which calls this).
template <typename T>
std::string textOf(const T& printable) {
  std::ostringstream os;
  os << printable;
  return os.str();
}

void registerUndefinedAndNull() {
  VarClass::Class<void>().def("__str__",
                              Var(VarFunction([](Var) { return std::string("undefined"); })), true);
  VarClass::Class<std::nullptr_t>().def(
      "__str__", Var(VarFunction([](Var) { return std::string("null"); })), true);
}

void registerInt() {
  VarClass& c = VarClass::Class<int>();
  auto method = [&c](const char* name, Var function) { c.def(name, function, true); };
  method("__str__", VarFunction([](int self) { return intText(self); }));
  method("__eq__", VarFunction([](int self, int other) { return self == other; }));
  method("__lt__", VarFunction([](int self, int other) { return self < other; }));
  method("__add__", VarFunction([](int self, Var other) {
           return intArithmetic(
               self, other, [](int a, int b) { return wrap(bitsOf(a) + bitsOf(b)); },
               [](double a, double b) { return a + b; });
         }));
  method("__sub__", VarFunction([](int self, Var other) {
           return intArithmetic(
               self, other, [](int a, int b) { return wrap(bitsOf(a) - bitsOf(b)); },
               [](double a, double b) { return a - b; });
         }));
  method("__mul__", VarFunction([](int self, Var other) {
           return intArithmetic(
               self, other, [](int a, int b) { return wrap(bitsOf(a) * bitsOf(b)); },
               [](double a, double b) { return a * b; });
         }));
  method("__div__", VarFunction([](int self, Var other) {
           return intArithmetic(
               self, other,
               [](int a, int b) {
                 checkDivisor("__div__", a, b);
                 return a / b;
               },
               [](double a, double b) { return a / b; });
         }));
  method("__mod__", VarFunction([](int self, Var other) {
           const int divisor = held<int>(other);
           checkDivisor("__mod__", self, divisor);
           return self % divisor;
         }));
  method("__neg__", VarFunction([](int self) { return wrap(0u - bitsOf(self)); }));
  method("__xor__", VarFunction([](int self, Var other) { return self ^ held<int>(other); }));
  method("__or__", VarFunction([](int self, Var other) { return self | held<int>(other); }));
  method("__and__", VarFunction([](int self, Var other) { return self & held<int>(other); }));
}

void registerBool() {
  VarClass::Class<bool>()
      .def("__str__", [](bool self) { return std::string(self ? "true" : "false"); })
      .def("__eq__", [](bool self, Var other) { return self == held<bool>(other); });
}

void registerDouble() {
  VarClass::Class<double>()
      .def("__str__", [](double self) { return doubleText(self); })
      .def("__eq__", [](double self, double other) { return self == other; })
      .def("__lt__", [](double self, double other) { return self < other; })
      .def("__neg__", [](double self) { return -self; })
      .def("__add__", [](double self, double other) { return self + other; })
      .def("__sub__", [](double self, double other) { return self - other; })
      .def("__mul__", [](double self, double other) { return self * other; })
      .def("__div__", [](double self, double other) { return self / other; })
      .def("__invert__", [](double self) { return 1.0 / self; });
}

void registerString() {
  VarClass::Class<std::string>()
      .def("__len__",
           [](Var self) { return static_cast<std::uint64_t>(held<std::string>(self).size()); })
      .def("__str__",
           [](Var self) {
             std::string out;
             Json::escapeString(held<std::string>(self), out);
             return out;
           })
      .def("__add__",
           [](Var self, Var other) { return held<std::string>(self) + held<std::string>(other); })
      .def("__eq__",
           [](Var self, Var other) { return held<std::string>(self) == held<std::string>(other); })
      .def("__lt__",
           [](Var self, Var other) { return held<std::string>(self) < held<std::string>(other); });
  VarClass::Class<const char*>().def(
      "__str__", [](const char* self) { return std::string(self ? self : ""); });
}

void registerArray() {
  VarClass::Class<VarArray>()
      .def("__delitem__",
           [](Var self, Var index) {
             VarArray& array = held<VarArray>(self);
             const int i = held<int>(index);
             std::lock_guard<std::mutex> lock(array.mutex);
             if (i < 0 || static_cast<std::size_t>(i) >= array.value.size()) {
               throw VarException("array.__delitem__: index " + std::to_string(i) +
                                  " out of range 0 to " + std::to_string(array.value.size()) + ".");
             }
             array.value.erase(array.value.begin() + i);
           })
      .def("__str__", [](Var self) { return textOf(held<VarArray>(self)); })
      .def("__add__",
           [](Var self, Var other) {
             VarArray& a = held<VarArray>(self);
             VarArray& b = held<VarArray>(other);
             std::vector<Var> result;
             if (&a == &b) {
               std::lock_guard<std::mutex> lock(a.mutex);
               result.reserve(2 * a.value.size());
               result.insert(result.end(), a.value.begin(), a.value.end());
               result.insert(result.end(), a.value.begin(), a.value.end());
               return result;
             }
             // Both locks at once: a + b and b + a on two threads must not deadlock.
             std::scoped_lock lock(a.mutex, b.mutex);
             result.reserve(a.value.size() + b.value.size());
             result.insert(result.end(), a.value.begin(), a.value.end());
             result.insert(result.end(), b.value.begin(), b.value.end());
             return result;
           })
      .def("__mul__", [](Var self, Var count) {
        VarArray& array = held<VarArray>(self);
        const int times = held<int>(count);
        std::vector<Var> result;
        std::lock_guard<std::mutex> lock(array.mutex);
        if (times > 0) result.reserve(array.value.size() * static_cast<std::size_t>(times));
        for (int i = 0; i < times; ++i)
          result.insert(result.end(), array.value.begin(), array.value.end());
        return result;
      });
}

void registerDict() {
  VarClass::Class<VarDict>()
      .def("__getitem__", [](VarDict* self, Var key) -> Var { return self->element(key); })
      .def("__delitem__", [](VarDict* self, Var key) {
        std::lock_guard<std::mutex> lock(self->mutex);
        self->value.erase(key);  // every entry equivalent to the key
      });
}

void registerObject() {
  VarClass::Class<VarObject>()
      .def("__delitem__",
           [](Var self, Var key) {
             VarObject& object = held<VarObject>(self);
             object.erase(held<std::string>(key));
           })
      .def("__str__", [](Var self) { return textOf(held<VarObject>(self)); })
      .def("__add__", [](Var self, Var other) {
        VarObject& a = held<VarObject>(self);
        VarObject& b = held<VarObject>(other);
        if (&a == &b) {
          std::lock_guard<std::mutex> lock(a.mutex);
          return a.value;
        }
        std::scoped_lock lock(a.mutex, b.mutex);  // deadlock-free, as for arrays
        VarObject::Map merged = a.value;
        merged.insert(b.value.begin(), b.value.end());  // on a shared key the left value wins
        return merged;
      });
}

void registerFunctionAndClass() {
  VarClass::Class<VarFunction>().def("__doc__",
                                     [](Var self) { return held<VarFunction>(self).listing(); });
  VarClass::Class<VarClass>()
      .def("__getitem__",
           [](Var self, Var name) { return held<VarClass>(self)[held<std::string>(name)]; })
      .def("doc", [](Var self) { return held<VarClass>(self).helpString(); });
}

void registerJson() {
  VarClass::Class<Json>()
      .def_static("load", [](Var text) { return Json::load(held<std::string>(text)); })
      .def_static("dump", [](Var value) { return Json::dump(value); });
}

void registerBuffer() {
  VarClass::Class<VarBuffer>()
      .def("size", [](const VarBuffer* self) { return self->size; })
      .def("__buffer__", [](Var self) { return self; })
      .def("__str__", [](Var self) { return bufferText(held<VarBuffer>(self)); });
}

void publishBuiltinRecord() {
  Var& entry = Var::root()["__builtin__"];
  if (entry.isUndefined()) entry = Var(VarObject::Map());
  VarObject::Map record;
  record["version"] = Var(513);
  record["author"] = Var("values");
  record["email"] = Var("values@localhost");
  record["license"] = Var("BSD");
  record["date"] = Var(__DATE__);
  record["time"] = Var(__TIME__);
  record["Json"] = VarClass::instance<Json>();
  entry = Var(record) + entry;
}

}  // namespace

void registerBuiltinMethods() {
  registerUndefinedAndNull();
  registerInt();
  registerBool();
  registerDouble();
  registerString();
  registerArray();
  registerDict();
  registerObject();
  registerFunctionAndClass();
  registerJson();
  registerBuffer();
  publishBuiltinRecord();
}

}  // namespace detail
}  // namespace sv

#include "values/var.h"

#include "values/printer.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <utility>

namespace sv {
namespace {

// The readable (demangled) name of a type, as class records first carry it.
std::string readableTypeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && demangled ? std::string(demangled.get()) : std::string(type.name());
}

}  // namespace

namespace detail {

Var makeClassRecord(const std::type_info& type) {
  return Var(std::make_shared<VarValue_<VarClass>>(
      VarClass(readableTypeName(type), std::type_index(type))));
}

}  // namespace detail

VarClass::VarClass(std::string name, std::type_index type, std::vector<Var> parents)
    : name(std::move(name)),
      type(type),
      attr(std::make_shared<VarObject>()),
      parents(std::move(parents)) {}

VarClass& VarClass::def(const std::string& methodName, const Var& function, bool isMethod) {
  VarObject& attributes = attr.as<VarObject>();
  Var* slot;
  {
    std::lock_guard<std::mutex> lock(attributes.mutex);
    slot = &attributes.value[methodName];  // element references of the map stay valid
  }
  // Walk the overload chain: a repeated signature is dropped, a new one goes to the end.
  while (slot->isFunction()) {
    VarFunction& existing = slot->as<VarFunction>();
    if (existing.signatureText() == function.as<VarFunction>().signatureText()) return *this;
    slot = &existing.next;
  }
  *slot = function;
  VarFunction& stored = slot->as<VarFunction>();
  stored.is_method = isMethod;
  stored.name = name + "." + methodName;
  if (init.isUndefined() && methodName == "__init__") {
    init = function;
    stored.is_constructor = true;
  }
  if (str.isUndefined() && methodName == "__str__") str = function;
  if (getitem.isUndefined() && methodName == "__getitem__") getitem = function;
  if (setitem.isUndefined() && methodName == "__setitem__") setitem = function;
  return *this;
}

Var VarClass::operator[](const std::string& member) {
  VarObject& attributes = attr.as<VarObject>();
  Var entry;
  {
    std::lock_guard<std::mutex> lock(attributes.mutex);
    entry = attributes.value[member];  // a missing name is recorded as Undefined
  }
  if (!entry.isUndefined()) return entry;
  for (const Var& parent : parents) {
    entry = parent.as<VarClass>()[member];
    if (!entry.isUndefined()) {
      attributes.set(member, entry);
      break;
    }
  }
  return entry;
}

Var VarClass::call(const Var& instance, const std::string& functionName, std::vector<Var> args) {
  Var entry = attr.as<VarObject>().get(functionName);
  if (entry.isFunction()) {
    const VarFunction& function = entry.as<VarFunction>();
    if (function.is_method) args.insert(args.begin(), instance);
    return function.call(std::move(args));
  }
  // Depth first through the parents; the failures of the parents' searches are collected.
  std::string failures;
  for (const Var& parent : parents) {
    try {
      if (parent.is<VarClass>()) return parent.as<VarClass>().call(instance, functionName, args);
      // A pair of (class, function giving the instance as that class sees it).
      Var parentInstance = parent[Var(1)].call(instance);
      return parent[Var(0)].castAs<VarClass&>().call(parentInstance, functionName, args);
    } catch (const VarException& e) {
      failures += e.what();
    }
  }
  throw VarException("Class " + name + " has no function " + functionName + failures);
}

std::string VarClass::helpString() const {
  std::ostringstream text;
  text << *this;
  return text.str();
}

Var VarClass::call(const Var& instance, const std::string& functionName, const Var& arg) {
  return call(instance, functionName, std::vector<Var>{arg});
}

}  // namespace sv

#include "values/var.h"

namespace sv {
namespace detail {

void throwCannotTreat(const Var& value, const Var& targetClass) {
  throw VarException("Can not treat " + value.typeName() + " as " +
                     targetClass.as<VarClass>().name);
}

void throwUnableCast(const Var& value, const Var& targetClass) {
  throw VarException("Unable cast " + value.typeName() + " to " + targetClass.as<VarClass>().name);
}

Var convertThroughClasses(const Var& value, const Var& targetClass, const std::type_info& target) {
  VarClass& targetRecord = targetClass.as<VarClass>();
  Var& sourceClass = value.classObject();
  if (sourceClass.is<VarClass>()) {
    // The source class's own conversion method; parents are not searched.
    Var method =
        sourceClass.as<VarClass>().attr.as<VarObject>().get("__" + targetRecord.name + "__");
    if (method.isFunction()) {
      Var converted = method.as<VarFunction>().call(value);
      if (converted.holder()->ptr(target)) return converted;
    }
  }
  if (targetRecord.init.isFunction()) {
    Var constructed = targetRecord.init.as<VarFunction>().call(value);
    if (constructed.holder()->ptr(target)) return constructed;
  }
  return Var();
}

unsigned int VarCast<unsigned int>::run(const Var& v) {
  if (auto* held = static_cast<unsigned int*>(v.holder()->ptr(typeid(unsigned int)))) return *held;
  if (auto* number = static_cast<int*>(v.holder()->ptr(typeid(int)))) {
    if (*number >= 0) return static_cast<unsigned int>(*number);
  }
  Var converted =
      convertThroughClasses(v, VarClass::instance<unsigned int>(), typeid(unsigned int));
  if (auto* held = static_cast<unsigned int*>(converted.holder()->ptr(typeid(unsigned int))))
    return *held;
  throwUnableCast(v, VarClass::instance<unsigned int>());
}

}  // namespace detail
}  // namespace sv

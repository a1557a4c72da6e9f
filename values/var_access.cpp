// Element access, named settings and the operators that dispatch to class methods.
#include "values/var.h"

#include <string>
#include <utility>

namespace sv {
namespace {

Var& objectElement(VarObject& object, const std::string& key) {
  std::lock_guard<std::mutex> lock(object.mutex);
  return object.value[key];  // a missing key is inserted as Undefined
}

Var& arrayElement(const Var& array, VarArray& elements, int index) {
  std::lock_guard<std::mutex> lock(elements.mutex);
  if (index < 0 || static_cast<std::size_t>(index) >= elements.value.size()) {
    throw VarException(array.typeName() + ": Operator [] index " + std::to_string(index) +
                       " out of range 0 to " + std::to_string(elements.value.size()) + ".");
  }
  return elements.value[static_cast<std::size_t>(index)];
}

[[noreturn]] void throwNotLvalue(const Var& value) {
  throw VarException(value.typeName() + ": Operator [] can't be used as a lvalue.");
}

VarClass::VarProperty* propertyOf(VarClass& cls, const std::string& name) {
  Var entry = cls.attr.as<VarObject>().get(name);
  if (!entry.is<VarClass::VarProperty>()) return nullptr;
  // The attribute object keeps the property alive after `entry` is released.
  return &entry.as<VarClass::VarProperty>();
}

}  // namespace

Var& Var::operator[](const Var& key) {
  if (isUndefined()) value_ = std::make_shared<VarObject>();
  if (VarObject* object = objectHolder()) return objectElement(*object, key.as<std::string>());
  if (auto* array = static_cast<VarArray*>(value_->ptr(typeid(VarArray)))) {
    return arrayElement(*this, *array, key.castAs<int>());
  }
  throwNotLvalue(*this);
}

Var& Var::operator[](const std::string& key) {
  if (isUndefined()) value_ = std::make_shared<VarObject>();
  if (VarObject* object = objectHolder()) return objectElement(*object, key);
  return (*this)[Var(key)];
}

Var& Var::operator[](const char* key) { return (*this)[std::string(key ? key : "")]; }

Var& Var::operator[](int index) {
  if (auto* array = static_cast<VarArray*>(value_->ptr(typeid(VarArray))))
    return arrayElement(*this, *array, index);
  return (*this)[Var(index)];
}

Var Var::operator[](const Var& key) const {
  // Plain objects and arrays answer directly, as their built-in "__getitem__" would.
  if (VarObject* object = objectHolder()) {
    if (!object->cls.is<VarClass>() && key.is<std::string>())
      return object->get(key.as<std::string>());
  } else if (auto* array = static_cast<VarArray*>(value_->ptr(typeid(VarArray)))) {
    if (const int* index = static_cast<const int*>(key.holder()->ptr(typeid(int)))) {
      return *index < 0 ? Undefined() : array->at(static_cast<std::uint64_t>(*index));
    }
  }
  // Reading from Undefined gives Undefined: property access belongs to class instances.
  if (isUndefined()) return Undefined();
  VarClass& cls = classObject().as<VarClass>();
  if (cls.getitem.isFunction()) return cls.getitem.as<VarFunction>().call(*this, key);
  if (!key.is<std::string>()) return Undefined();
  const std::string& name = key.as<std::string>();
  if (VarClass::VarProperty* property = propertyOf(cls, name)) return property->getter.call(*this);
  throw VarException(typeName() + ": Operator [] called without property " + name);
}

namespace detail {

Var getThroughClass(const Var& value, const std::string& name) {
  VarClass& cls = value.classObject().as<VarClass>();
  if (cls.getitem.isFunction()) return cls.getitem.as<VarFunction>().call(value, Var(name));
  if (VarClass::VarProperty* property = propertyOf(cls, name)) return property->getter.call(value);
  throw VarException(value.typeName() + ": get called without property " + name);
}

}  // namespace detail

void Var::set(const std::string& name, const Var& value, bool dotted) {
  if (dotted) {
    std::string::size_type dot = name.find('.');
    if (dot != std::string::npos) {
      (*this)[name.substr(0, dot)].set(name.substr(dot + 1), value, dotted);
      return;
    }
  }
  if (isUndefined()) {
    value_ = std::make_shared<VarObject>(VarObject::Map{{name, value}});
    return;
  }
  if (VarObject* object = objectHolder()) {
    object->set(name, value);
    return;
  }
  VarClass& cls = classObject().as<VarClass>();
  if (cls.setitem.isFunction()) {
    cls.setitem.as<VarFunction>().call(std::vector<Var>{*this, Var(name), value});
    return;
  }
  VarClass::VarProperty* property = propertyOf(cls, name);
  if (!property) throw VarException(typeName() + ": set called without property " + name);
  if (!property->setter.isFunction())
    throw VarException(typeName() + ": property " + name + " is readonly.");
  property->setter.as<VarFunction>().call(*this, value);
}

Var Var::operator+(const Var& rhs) const {
  Var result = classObject().as<VarClass>().call(*this, "__add__", rhs);
  if (!result.isUndefined()) return result;
  throw VarException(typeName() + " operator __add__ with rh: " + rhs.typeName() +
                     "returned Undefined.");
}

namespace {

// Comparison through the left value's class method; without one, identity of the holders.
bool compare(const Var& lhs, const Var& rhs, const std::string& method, bool sameHolder) {
  Var function = lhs.classObject().as<VarClass>()[method];
  if (function.isFunction()) return function.as<VarFunction>().call(lhs, rhs).as<bool>();
  return sameHolder;
}

}  // namespace

bool Var::operator<(const Var& rhs) const {
  return compare(*this, rhs, "__lt__", value_ == rhs.value_);
}

bool Var::operator==(const Var& rhs) const {
  // Comparing with Undefined or Null tells whether a member was ever set (or set to null),
  // whatever the other value holds, without calling a method that could reject the operand.
  const bool undefined = isUndefined(), rhsUndefined = rhs.isUndefined();
  const bool null = isNull(), rhsNull = rhs.isNull();
  if (undefined || rhsUndefined || null || rhsNull) {
    return (undefined && rhsUndefined) || (null && rhsNull);
  }
  return compare(*this, rhs, "__eq__", value_ == rhs.value_);
}

}  // namespace sv

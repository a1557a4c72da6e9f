#include "values/var_dict.h"

#include <utility>

namespace sv {

void* VarDict::ptr(const std::type_info& type) {
  if (type == typeid(VarDict)) return this;
  if (type == typeid(Map)) return &value;
  return nullptr;
}

Var& VarDict::classObject() { return VarClass::instance<VarDict>(); }

std::uint64_t VarDict::length() { return value.size(); }

Var VarDict::clone(int) {
  std::lock_guard<std::mutex> lock(mutex);
  return Var(std::make_shared<VarDict>(value));
}

Var& VarDict::element(const Var& key) {
  std::lock_guard<std::mutex> lock(mutex);
  return value[key];
}

}  // namespace sv

#include "values/var.h"

#include <utility>

namespace sv {

void* VarObject::ptr(const std::type_info& type) {
  if (type == typeid(VarObject)) return this;
  if (type == typeid(Map)) return &value;
  return nullptr;
}

Var& VarObject::classObject() {
  if (cls.is<VarClass>()) return cls;
  return VarClass::instance<VarObject>();
}

std::uint64_t VarObject::length() { return value.size(); }

Var VarObject::clone(int depth) {
  Map copy;
  {
    std::lock_guard<std::mutex> lock(mutex);
    copy = value;
  }
  // Elements are cloned after the lock is released, so an object that contains itself
  // does not lock its own mutex twice.
  if (depth >= 1) {
    for (auto& entry : copy) entry.second = entry.second.clone(depth - 1);
  }
  return Var(std::make_shared<VarObject>(std::move(copy)));
}

void VarObject::set(const std::string& key, const Var& v) {
  std::lock_guard<std::mutex> lock(mutex);
  value[key] = v;
}

Var VarObject::get(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex);
  auto found = value.find(key);
  return found == value.end() ? Var::Undefined() : found->second;
}

void VarObject::erase(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex);
  value.erase(key);
}

void* VarArray::ptr(const std::type_info& type) {
  if (type == typeid(VarArray)) return this;
  if (type == typeid(std::vector<Var>)) return &value;
  return nullptr;
}

Var& VarArray::classObject() { return VarClass::instance<VarArray>(); }

std::uint64_t VarArray::length() { return value.size(); }

Var VarArray::clone(int depth) {
  std::vector<Var> copy;
  {
    std::lock_guard<std::mutex> lock(mutex);
    copy = value;
  }
  if (depth > 0) {
    for (Var& element : copy) element = element.clone(depth - 1);
  }
  return Var(std::make_shared<VarArray>(std::move(copy)));
}

Var VarArray::at(std::uint64_t index) {
  // The element is copied while the lock is held: a concurrent append may move the storage.
  std::lock_guard<std::mutex> lock(mutex);
  return index < value.size() ? value[index] : Var::Undefined();
}

void VarArray::push_back(const Var& element) {
  std::lock_guard<std::mutex> lock(mutex);
  value.push_back(element);
}

void Var::push_back(const Var& element) const { as<VarArray>().push_back(element); }

}  // namespace sv

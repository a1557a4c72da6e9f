#pragma once

// A dictionary value: values keyed by values, ordered by the keys' "__lt__". The program
// creates none; the "dict" class record and its methods exist all the same.

#include "values/var.h"

#include <map>
#include <mutex>

namespace sv {

struct VarLess {
  bool operator()(const Var& a, const Var& b) const { return a < b; }
};

class VarDict : public VarValue_<std::map<Var, Var, VarLess>> {
 public:
  using Map = std::map<Var, Var, VarLess>;

  VarDict() : VarValue_(Map()) {}
  explicit VarDict(Map entries) : VarValue_(std::move(entries)) {}

  void* ptr(const std::type_info& type) override;
  Var& classObject() override;
  std::uint64_t length() override;
  Var clone(int depth) override;
  // The element stored under `key`, inserted as Undefined when absent.
  virtual Var& element(const Var& key);

  std::mutex mutex;
};

}  // namespace sv

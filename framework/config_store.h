#pragma once

#include "framework/var_with_type.h"
#include "values/point.h"

#include <map>
#include <mutex>
#include <string>

namespace fw {

// The store of named configuration variables. The first typed read of a name fixes its
// value: from text set earlier, else from the environment variable of the same name (dots
// included), else from the default. Later reads return the same entry. Every operation
// holds the store lock for its whole length.
class Var {
 public:
  Var() = default;
  // Prints the report to standard output when "Var.DumpAllVars" is non-zero.
  ~Var();
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;

  // The process-wide store, made on first use.
  static Var& instance();

  int* GetInt(const std::string& name, int def);
  double* GetDouble(const std::string& name, double def);
  std::string* GetString(const std::string& name, const std::string& def);
  // Points live in one process-wide table shared by every store.
  pi::Point3d GetPoint3d(const std::string& name, const pi::Point3d& def = pi::Point3d());

  // Records `text` for `name`. With `overwrite`, typed entries that already exist take the
  // text's reading too; a text they cannot take throws std::invalid_argument or
  // std::out_of_range and leaves the store unchanged. Without it, existing values stay.
  void setText(const std::string& name, const std::string& text, bool overwrite = true);

  // All variables as a table; empty when the store holds nothing.
  std::string report();

 private:
  template <typename T>
  T* getNumber(VarWithType<T>& table, const std::string& name, T def);
  // The text of `name` from the text table, else the environment; false when neither has one.
  bool lookupText(const std::string& name, std::string& text) const;

  VarWithType<int> ints_;
  VarWithType<double> doubles_;
  VarWithType<std::string> strings_;
  std::mutex mutex_;
  std::map<std::string, std::string> texts_;
};

}  // namespace fw

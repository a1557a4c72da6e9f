#pragma once

#include <iomanip>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

namespace fw {

// A typed table of named values with its own lock. Entries are only ever added, so a
// pointer to an entry stays valid for the table's life; access through it is unguarded.
template <typename T>
class VarWithType {
 public:
  // The process-wide table of this type, made on first use.
  static VarWithType& instance() {
    static std::shared_ptr<VarWithType> table = std::make_shared<VarWithType>();
    return *table;
  }

  // The entry of `name`, inserted with T's zero value when missing.
  T* get(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return &values_[name];
  }

  // The entry of `name`, or null when there is none.
  T* find(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
  }

  // Inserts (name, value) unless the name is there already; returns the entry either way.
  T* insert(const std::string& name, const T& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    return &values_.emplace(name, value).first->second;
  }

  bool empty() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_.empty();
  }

  // One report row per entry in name order: name and value each left-aligned in 39 columns.
  std::string listing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::ostringstream out;
    for (const auto& [name, value] : values_) {
      out << std::left << std::setw(39) << name << "  " << std::setw(39) << value << '\n';
    }
    return out.str();
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, T> values_;
};

}  // namespace fw

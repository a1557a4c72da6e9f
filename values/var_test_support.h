#pragma once

// Helpers the value tests share for checking what an operation throws.

#include "values/var.h"

#include <functional>
#include <string>

namespace vmtest {

// The text of the VarException that the action throws, "(no exception)" when it throws none.
inline std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const sv::VarException& e) {
    return e.what();
  }
  return "(no exception)";
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace vmtest

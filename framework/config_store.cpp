#include "framework/config_store.h"
#include "framework/log.h"

#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace fw {
namespace {

const char kSeparator[] =
    "------------------------------------------------------------------------------\n";

int parseInt(const std::string& text) {
  try {
    return std::stoi(text);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("invalid stoi argument");
  } catch (const std::out_of_range&) {
    throw std::out_of_range("stoi argument out of range");
  }
}

double parseDouble(const std::string& text) {
  try {
    return std::stod(text);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("invalid stod argument");
  } catch (const std::out_of_range&) {
    throw std::out_of_range("stod argument out of range");
  }
}

// Reads a number from the start of `text` (leading blanks skipped, stops at the first
// character that is not part of it). A text without a readable number keeps `def`.
template <typename T>
T readNumber(const std::string& text, T def) {
  T value = def;
  std::istringstream in(text);
  if (in >> value) return value;
  FW_LOG(fw::kLogWarning) << "Failed to read value from " << text;
  return def;
}

}  // namespace

Var::~Var() {
  if (*GetInt("Var.DumpAllVars", 0) != 0) std::cout << std::endl << report();
}

Var& Var::instance() {
  static std::shared_ptr<Var> store = std::make_shared<Var>();
  return *store;
}

bool Var::lookupText(const std::string& name, std::string& text) const {
  auto it = texts_.find(name);
  if (it != texts_.end()) {
    text = it->second;
    return true;
  }
  const char* env = std::getenv(name.c_str());
  if (!env) return false;
  text = env;
  return true;
}

template <typename T>
T* Var::getNumber(VarWithType<T>& table, const std::string& name, T def) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (T* entry = table.find(name)) return entry;
  std::string text;
  if (!lookupText(name, text)) return table.insert(name, def);
  return table.insert(name, readNumber(text, def));
}

int* Var::GetInt(const std::string& name, int def) { return getNumber(ints_, name, def); }

double* Var::GetDouble(const std::string& name, double def) {
  return getNumber(doubles_, name, def);
}

std::string* Var::GetString(const std::string& name, const std::string& def) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::string* entry = strings_.find(name)) return entry;
  std::string text;
  return strings_.insert(name, lookupText(name, text) ? text : def);
}

pi::Point3d Var::GetPoint3d(const std::string& name, const pi::Point3d& def) {
  std::lock_guard<std::mutex> lock(mutex_);
  VarWithType<pi::Point3d>& points = VarWithType<pi::Point3d>::instance();
  if (pi::Point3d* entry = points.find(name)) return *entry;
  std::string text;
  if (!lookupText(name, text)) return *points.insert(name, def);
  // A point text is read from (0, 0, 0): missing coordinates stay 0, whatever the default.
  pi::Point3d point;
  std::istringstream in(text);
  in >> point.x >> point.y >> point.z;
  return *points.insert(name, point);
}

void Var::setText(const std::string& name, const std::string& text, bool overwrite) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!overwrite) {
    texts_.emplace(name, text);
    return;
  }
  // Convert everything before changing anything, so a text that one typed entry cannot
  // take leaves the whole store as it was.
  int* int_entry = ints_.find(name);
  double* double_entry = doubles_.find(name);
  std::string* string_entry = strings_.find(name);
  const int int_value = int_entry ? parseInt(text) : 0;
  const double double_value = double_entry ? parseDouble(text) : 0.0;
  texts_[name] = text;
  if (int_entry) *int_entry = int_value;
  if (double_entry) *double_entry = double_value;
  if (string_entry) *string_entry = text;
}

std::string Var::report() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ints_.empty() && doubles_.empty() && strings_.empty() && texts_.empty()) return "";
  std::ostringstream out;
  out << "================================== Var report ===============================\n";
  out << "NAME                                     VALUE                                \n";
  for (const std::string& listing : {ints_.listing(), doubles_.listing(), strings_.listing()}) {
    if (!listing.empty()) out << kSeparator << listing;
  }
  out << kSeparator;
  for (const auto& [name, text] : texts_) {
    out << std::left << std::setw(39) << name << "  " << std::setw(39) << text << '\n';
  }
  out << "=============================== End of Var report ===========================\n\n";
  return out.str();
}

}  // namespace fw

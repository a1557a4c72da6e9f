#include "values/printer.h"
#include "values/json.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <sstream>
#include <vector>

namespace sv {
namespace {

// Containers whose output is in progress on this thread. A container that holds itself
// (directly or deeper) prints a marker at the repeat instead of locking its own mutex a
// second time.
thread_local std::vector<const void*> containersInProgress;

class OutputInProgress {
 public:
  explicit OutputInProgress(const void* container)
      : container_(container),
        repeated_(std::find(containersInProgress.begin(), containersInProgress.end(), container) !=
                  containersInProgress.end()) {
    if (!repeated_) containersInProgress.push_back(container_);
  }
  ~OutputInProgress() {
    if (!repeated_) containersInProgress.pop_back();
  }
  OutputInProgress(const OutputInProgress&) = delete;
  OutputInProgress& operator=(const OutputInProgress&) = delete;

  bool repeated() const { return repeated_; }

 private:
  const void* container_;
  bool repeated_;
};

// Writes every line of text (split at line feeds) as prefix, line, line end. The lines are
// gathered first and written at once, then the stream is flushed as a line end would.
void writeLines(std::ostream& os, const std::string& text, const std::string& prefix) {
  std::string out;
  out.reserve(text.size() + (prefix.size() + 1) * 16);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out += prefix;
    out.append(text, start, end - start);
    out += '\n';
    start = end + 1;
  }
  os.write(out.data(), static_cast<std::streamsize>(out.size()));
  os.flush();
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const Var& value) {
  VarClass& cls = value.classObject().as<VarClass>();
  if (cls.str.isFunction()) return os << cls.str.as<VarFunction>().call(value).as<std::string>();
  return os << "<" << cls.name << " at " << static_cast<const void*>(value.holder()) << ">";
}

std::ostream& operator<<(std::ostream& os, const VarArray& constArray) {
  OutputInProgress guard(&constArray);
  if (guard.repeated()) return os << "[...]";
  VarArray& array = const_cast<VarArray&>(constArray);  // locking does not change the elements
  std::lock_guard<std::mutex> lock(array.mutex);
  const std::vector<Var>& elements = array.value;
  if (elements.empty()) return os << "[]";
  os << "[\n";
  std::ostringstream buffer;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    buffer << elements[i] << (i + 1 < elements.size() ? ",\n" : "\n");
  }
  writeLines(os, buffer.str(), "  ");
  return os << "]";
}

std::ostream& operator<<(std::ostream& os, const VarObject& constObject) {
  OutputInProgress guard(&constObject);
  if (guard.repeated()) return os << "{...}";
  VarObject& object = const_cast<VarObject&>(constObject);  // locking does not change the map
  std::lock_guard<std::mutex> lock(object.mutex);
  if (object.value.empty()) return os << "{}";
  // Members in ascending key order, so equal objects always print the same text.
  std::vector<const VarObject::Map::value_type*> members;
  members.reserve(object.value.size());
  for (const auto& member : object.value) members.push_back(&member);
  std::sort(members.begin(), members.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  os << "{\n";
  std::ostringstream buffer;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i > 0) buffer << ",\n";
    buffer << Var(members[i]->first) << " : " << members[i]->second;
  }
  buffer << "\n";
  writeLines(os, buffer.str(), "  ");
  return os << "}";
}

std::ostream& operator<<(std::ostream& os, const VarFunction& function) {
  return os << function.listing();
}

std::ostream& operator<<(std::ostream& os, const VarClass& cls) {
  os << "class " << cls.name << "():\n";
  std::ostringstream buffer;
  if (!cls.doc.empty()) buffer << cls.doc << std::endl;
  if (cls.attr.isObject() && cls.attr.length() > 0) {
    VarObject& attributes = cls.attr.as<VarObject>();
    std::vector<std::pair<std::string, Var>> members;
    {
      std::lock_guard<std::mutex> lock(attributes.mutex);
      members.assign(attributes.value.begin(), attributes.value.end());
    }
    std::sort(members.begin(), members.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    buffer << "Methods defined here:\n";
    for (const auto& member : members) {
      if (member.second.isFunction()) buffer << member.second.as<VarFunction>() << std::endl;
    }
    buffer << "Property defined here:\n\n";
    for (const auto& member : members) {
      if (!member.second.is<VarClass::VarProperty>()) continue;
      const VarClass::VarProperty& property = member.second.as<VarClass::VarProperty>();
      buffer << property.doc << "\n  ";
      if (property.getter.isFunction()) buffer << property.getter.as<VarFunction>();
      buffer << std::endl << std::endl;
    }
  }
  writeLines(os, buffer.str(), "|  ");
  return os;
}

std::string intText(int value) { return std::to_string(value); }

std::string doubleText(double value) {
  char text[64];
  const auto result =
      std::to_chars(text, text + sizeof text, value, std::chars_format::general, 12);
  return std::string(text, result.ptr);
}

std::string bufferText(const VarBuffer& buffer) {
  std::ostringstream os;
  os << "<buffer ";
  for (std::int64_t dimension : buffer.shape) os << dimension << "X";
  os << buffer.format << ">";
  return os.str();
}

std::string toText(const Var& value) {
  std::ostringstream os;
  os << value;
  return os.str();
}

}  // namespace sv

#include "values/printer.h"
#include "values/json.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <mutex>
#include <sstream>
#include <utility>
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

// A stream buffer that writes everything on to `target` with `prefix` in front of every
// line, empty lines included. Nested containers stack one of these per level, so their
// block text is indented as it is written, without gathering it first.
class IndentingBuffer : public std::streambuf {
 public:
  IndentingBuffer(std::streambuf* target, std::string prefix)
      : target_(target), prefix_(std::move(prefix)) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }

  std::streamsize xsputn(const char* text, std::streamsize count) override {
    std::streamsize done = 0;
    while (done < count) {
      if (atLineStart_) {
        const auto length = static_cast<std::streamsize>(prefix_.size());
        if (target_->sputn(prefix_.data(), length) != length) return done;
        atLineStart_ = false;
      }
      const void* lineEnd = std::memchr(text + done, '\n', static_cast<std::size_t>(count - done));
      const std::streamsize end = lineEnd ? static_cast<const char*>(lineEnd) - text + 1 : count;
      if (target_->sputn(text + done, end - done) != end - done) return done;
      atLineStart_ = lineEnd != nullptr;
      done = end;
    }
    return done;
  }

  int sync() override { return target_->pubsync(); }

 private:
  std::streambuf* target_;
  std::string prefix_;
  bool atLineStart_ = true;
};

// An output stream over an IndentingBuffer; a failed write marks the outer stream too.
class IndentedStream {
 public:
  IndentedStream(std::ostream& outer, const char* prefix)
      : outer_(outer), buffer_(outer.rdbuf(), prefix), stream_(&buffer_) {}
  ~IndentedStream() {
    if (stream_.fail()) outer_.setstate(std::ios::badbit);
  }
  IndentedStream(const IndentedStream&) = delete;
  IndentedStream& operator=(const IndentedStream&) = delete;

  std::ostream& stream() { return stream_; }

 private:
  std::ostream& outer_;
  IndentingBuffer buffer_;
  std::ostream stream_;
};

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
  {
    IndentedStream block(os, "  ");
    for (std::size_t i = 0; i < elements.size(); ++i) {
      block.stream() << elements[i] << (i + 1 < elements.size() ? ",\n" : "\n");
    }
  }
  return os << "]" << std::flush;
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
  {
    IndentedStream block(os, "  ");
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i > 0) block.stream() << ",\n";
      block.stream() << Var(members[i]->first) << " : " << members[i]->second;
    }
    block.stream() << "\n";
  }
  return os << "}" << std::flush;
}

std::ostream& operator<<(std::ostream& os, const VarFunction& function) {
  return os << function.listing();
}

std::ostream& operator<<(std::ostream& os, const VarClass& cls) {
  os << "class " << cls.name << "():\n";
  IndentedStream page(os, "|  ");
  std::ostream& buffer = page.stream();
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

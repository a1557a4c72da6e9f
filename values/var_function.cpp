#include "values/var.h"

#include <functional>
#include <utility>

namespace sv {
namespace {

// The functions whose overload resolution is in progress on this thread, printed when a call
// fails. Each entry lives in the frame of its call and links to the one below it, so the
// stack needs no allocation and no destruction at thread exit.
class CallStackEntry {
 public:
  explicit CallStackEntry(const VarFunction* function) : function_(function), below_(top_) {
    top_ = this;
  }
  ~CallStackEntry() { top_ = below_; }
  CallStackEntry(const CallStackEntry&) = delete;
  CallStackEntry& operator=(const CallStackEntry&) = delete;

  // The listings of every function on this thread's stack, oldest first.
  static std::string listings() {
    std::vector<const VarFunction*> functions;
    for (const CallStackEntry* entry = top_; entry; entry = entry->below_)
      functions.push_back(entry->function_);
    std::string text;
    for (auto it = functions.rbegin(); it != functions.rend(); ++it) text += (*it)->listing();
    return text;
  }

 private:
  const VarFunction* function_;
  CallStackEntry* below_;
  static thread_local CallStackEntry* top_;
};

thread_local CallStackEntry* CallStackEntry::top_ = nullptr;

const VarFunction* nextOverload(const VarFunction& function) {
  return function.next.isFunction() ? &function.next.as<VarFunction>() : nullptr;
}

}  // namespace

std::string VarFunction::signatureText() const {
  if (!signature.empty()) return signature;
  if (class_list.empty()) return std::string();
  std::string text = "(";
  for (std::size_t i = 1; i < class_list.size(); ++i) {
    if (i > 1) text += ",";
    text += class_list[i].as<VarClass>().name;
  }
  return text + ")->" + class_list[0].as<VarClass>().name;
}

std::string VarFunction::listing() const {
  std::string text;
  if (!name.empty()) text += name + "(...)\n";
  for (const VarFunction* f = this; f; f = nextOverload(*f))
    text += "    " + f->name + f->signatureText() + "\n";
  return text;
}

Var VarFunction::call(std::vector<Var> args) const {
  CallStackEntry entry(this);
  std::vector<VarException> errors;
  for (const VarFunction* candidate = this; candidate; candidate = nextOverload(*candidate)) {
    if (checks_arg_count && candidate->class_list.size() != args.size() + 1) continue;
    if (!candidate->callable) throw std::bad_function_call();
    try {
      return candidate->callable(args);
    } catch (const VarException& e) {
      errors.push_back(e);
    }
  }
  std::string message = listing() + "Failed to call method with input arguments: [";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) message += ",";
    message += args[i].typeName();
  }
  message += "]\nOverload candidates:\n" + listing() + "\n";
  for (const VarException& e : errors) message += std::string(e.what()) + "\n";
  message += "Stack:\n" + CallStackEntry::listings();
  throw VarException(Var(std::move(message)));
}

Var VarFunction::call(const Var& arg) const { return call(std::vector<Var>{arg}); }

Var VarFunction::call(const Var& arg0, const Var& arg1) const {
  return call(std::vector<Var>{arg0, arg1});
}

Var Var::callList(std::vector<Var> args) const {
  if (isFunction()) return as<VarFunction>().call(std::move(args));
  if (is<VarClass>()) {
    VarClass& cls = as<VarClass>();
    if (cls.init.isFunction()) return cls.init.as<VarFunction>().call(std::move(args));
    throw VarException("Class " + cls.name + " does not have __init__ function.");
  }
  throw VarException(typeName() + " can't be called as a function or constructor.");
}

Var Var::call(const Var& arg) const { return callList({arg}); }

Var Var::call(const Var& arg0, const Var& arg1) const { return callList({arg0, arg1}); }

Var Var::call(const Var& arg0, const Var& arg1, const Var& arg2) const {
  return callList({arg0, arg1, arg2});
}

}  // namespace sv

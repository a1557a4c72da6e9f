#pragma once

// Root of the framework's polymorphic objects: a class name and a generic command entry.

#include <string>

namespace fw {

class GObject {
 public:
  virtual ~GObject() = default;
  // The class name.
  virtual std::string type() const { return "GObject"; }
  // Generic command entry: each class defines the commands it answers and what `arg` points
  // to for each; a command that a class does not answer is ignored.
  virtual void call(const std::string& command, void* arg) {
    (void)command;
    (void)arg;
  }
  virtual void reservedHook() {}
  virtual bool reservedQueryA() { return false; }
  virtual bool reservedQueryB() { return false; }
};

}  // namespace fw

#pragma once

#include "output_item.h"
#include "progress_entry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fw {
class GObject;
}

namespace zel {

using OutputList = std::vector<std::shared_ptr<OutputItem>>;

// A processing node of the chain. It carries a progress entry and a list of output
// records; every change is passed up through the parents to the root (the mapper),
// where the entry point reads it. Locks are taken one node at a time, leaf to root.
class Node {
 public:
  Node(std::string name, Node* parent);
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  // Records still being written are marked finished.
  virtual ~Node();

  // Reports this node's progress; false when its entry has no name. A total of 0 or
  // below leaves the total as it was.
  bool setProgress(double progress, double total);
  // Called by a child node on its parent with the child's entry.
  bool updateChildProgress(const ProgressEntry& child);
  // Adds a record (as a clone) or refreshes the stored one of the same id when the
  // given one is newer. Always true.
  bool addOutput(const std::shared_ptr<OutputItem>& record);
  // Called by a child node on its parent with a copy of the child's list.
  bool mergeOutputs(const OutputList& records);

  const std::string& name() const { return name_; }
  Node* parent() const { return parent_; }
  // A copy of the progress entry, taken under the progress mutex.
  ProgressEntry progressEntry() const;
  // Replaces the progress entry (for example with a task's progress model).
  void setProgressEntry(const ProgressEntry& entry);
  // Runs `visit` on each stored record in list order, under the output mutex.
  void visitOutputs(const std::function<void(const std::shared_ptr<OutputItem>&)>& visit) const;

 protected:
  std::string name_;
  Node* parent_;  // not owned; a parent outlives its children
  ProgressEntry progress_{"", -1.0, 1.0, 1.0f, 0.0f, -1.0, {}};
  std::int32_t state_ = -1;
  mutable std::mutex output_mutex_;
  mutable std::mutex progress_mutex_;
  OutputList outputs_;  // this node's own clones, in insertion order

 private:
  // Applies one record to outputs_; the caller holds output_mutex_.
  bool mergeOneLocked(const std::shared_ptr<OutputItem>& record);
  // Clones of every stored record, so the parent reads none of this node's records
  // while another thread refreshes them; the caller holds output_mutex_.
  OutputList cloneOutputsLocked() const;
};

// A node that receives commands from the chain's other nodes.
class Chain : public Node {
 public:
  using Node::Node;
  ~Chain() override;
  // The base ignores every command and releases the argument.
  virtual void call(const std::string& command, std::shared_ptr<fw::GObject> argument);
};

}  // namespace zel

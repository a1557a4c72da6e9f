#include "zel_node.h"

#include "current_time.h"

#include <utility>

namespace zel {
namespace {

// Completed fraction of a stage; a stage without a positive total counts as not begun.
double completedFraction(double progress, double total) {
  return total > 0.0 ? progress / total : 0.0;
}

// The parent's completed fraction, summed over its children in their fixed order: children
// that report from different threads give the same figure whatever order their reports come
// in (running sums of the changes would round differently).
double weightedFraction(const std::vector<ProgressEntry>& children) {
  double sum = 0.0;
  for (const ProgressEntry& entry : children) {
    if (entry.progress > 0.0) sum += entry.weight * completedFraction(entry.progress, entry.total);
  }
  return sum;
}

}  // namespace

Node::Node(std::string name, Node* parent) : name_(std::move(name)), parent_(parent) {}

Node::~Node() {
  std::lock_guard<std::mutex> lock(output_mutex_);
  for (auto& record : outputs_) {
    if (record && record->state == kOutputInProgress) record->state = kOutputFinished;
  }
}

bool Node::setProgress(double progress, double total) {
  ProgressEntry copy;
  {
    std::lock_guard<std::mutex> lock(progress_mutex_);
    if (progress_.name.empty()) return false;
    progress_.progress = progress;
    if (total > 0.0) progress_.total = total;
    progress_.time = currentTimeSeconds();
    copy = progress_;
  }
  if (parent_) parent_->updateChildProgress(copy);
  return true;
}

bool Node::updateChildProgress(const ProgressEntry& child) {
  bool changed = false;
  ProgressEntry copy;
  {
    std::lock_guard<std::mutex> lock(progress_mutex_);
    const bool mirror = progress_.children.size() == 1;
    for (auto& entry : progress_.children) {
      if (entry.name != child.name) continue;
      entry.time = child.time;
      entry.progress = child.progress;
      entry.total = child.total;
      entry.children = child.children;
      if (mirror) {
        progress_.progress = child.progress;
        progress_.total = child.total;
      } else {
        progress_.progress = weightedFraction(progress_.children);
        progress_.total = 1.0;
      }
      progress_.time = currentTimeSeconds();
      changed = true;
    }
    if (changed) copy = progress_;
  }
  if (changed && parent_) parent_->updateChildProgress(copy);
  return changed;
}

bool Node::mergeOneLocked(const std::shared_ptr<OutputItem>& record) {
  if (!record) return false;
  for (auto& stored : outputs_) {
    if (!stored || stored->id != record->id) continue;
    if (!record->isNewerThan(*stored)) return false;
    stored->update(record);
    return true;
  }
  outputs_.push_back(record->clone());
  return true;
}

OutputList Node::cloneOutputsLocked() const {
  OutputList copies;
  copies.reserve(outputs_.size());
  for (const auto& record : outputs_) {
    if (record) copies.push_back(record->clone());
  }
  return copies;
}

bool Node::addOutput(const std::shared_ptr<OutputItem>& record) {
  OutputList copy;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(output_mutex_);
    changed = mergeOneLocked(record);
    if (changed && parent_) copy = cloneOutputsLocked();
  }
  if (changed && parent_) parent_->mergeOutputs(copy);
  return true;
}

bool Node::mergeOutputs(const OutputList& records) {
  OutputList copy;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(output_mutex_);
    for (const auto& record : records) changed = mergeOneLocked(record) || changed;
    if (changed && parent_) copy = cloneOutputsLocked();
  }
  if (changed && parent_) parent_->mergeOutputs(copy);
  return changed;
}

ProgressEntry Node::progressEntry() const {
  std::lock_guard<std::mutex> lock(progress_mutex_);
  return progress_;
}

void Node::setProgressEntry(const ProgressEntry& entry) {
  std::lock_guard<std::mutex> lock(progress_mutex_);
  progress_ = entry;
}

void Node::visitOutputs(
    const std::function<void(const std::shared_ptr<OutputItem>&)>& visit) const {
  std::lock_guard<std::mutex> lock(output_mutex_);
  for (const auto& record : outputs_) visit(record);
}

Chain::~Chain() = default;

void Chain::call(const std::string&, std::shared_ptr<fw::GObject>) {}

}  // namespace zel

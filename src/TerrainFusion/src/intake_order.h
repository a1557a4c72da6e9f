#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

// Frames are numbered as they enter the terrain node, and the steps whose result depends on
// which frame comes first (fixing the placement, merging into tiles) take the frames in that
// order, whatever the workers' timing; everything else runs in parallel.

// One step taken in the intake order: a frame waits until every earlier frame has passed.
class OrderedStage {
 public:
  // Blocks until every number below `number` has passed.
  void waitTurn(uint64_t number);
  // Marks `number` passed (again is harmless) and wakes the frames it held.
  void pass(uint64_t number);
  // Numbers below this have all passed.
  uint64_t passedBelow();

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  uint64_t next_ = 0;
  std::set<uint64_t> passedAhead_;  // passed while an earlier number had not
};

// A frame's place in the intake order, its turns at the ordered stages, and why it failed.
// Whatever way a frame leaves (failure, exception, a task never run), the ticket's end passes
// the stages it has not passed, so that later frames go on.
class IntakeTicket {
 public:
  IntakeTicket(uint64_t number, OrderedStage& placement, OrderedStage& merge);
  ~IntakeTicket();
  IntakeTicket(const IntakeTicket&) = delete;
  IntakeTicket& operator=(const IntakeTicket&) = delete;

  uint64_t number() const { return number_; }
  void waitPlacementTurn() { placement_.waitTurn(number_); }
  void passPlacement();
  void waitMergeTurn() { merge_.waitTurn(number_); }
  void passMerge();
  void passAll();

  // Keeps the first reason given: the one nearest the cause.
  void fail(const std::string& reason);
  bool failed() const { return !failure_.empty(); }
  const std::string& failure() const { return failure_; }

 private:
  uint64_t number_;
  OrderedStage& placement_;
  OrderedStage& merge_;
  bool placementPassed_ = false;
  bool mergePassed_ = false;
  std::string failure_;
};

// Numbers the frames and hands out their tickets. issue() is called under the same lock as
// the queuing of the frame's task, so that the pool's first-in-first-out order is the intake
// order and a worker never waits for a frame queued behind it.
class IntakeOrder {
 public:
  std::shared_ptr<IntakeTicket> issue();
  // Held while a ticket is issued and its task queued.
  std::mutex& queueMutex() { return queueMutex_; }

 private:
  std::mutex queueMutex_;
  uint64_t next_ = 0;
  OrderedStage placement_;
  OrderedStage merge_;
};

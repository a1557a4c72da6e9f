#include "src/TerrainFusion/src/intake_order.h"

void OrderedStage::waitTurn(uint64_t number) {
  std::unique_lock<std::mutex> lock(mutex_);
  turn_.wait(lock, [&] { return next_ >= number; });
}

void OrderedStage::pass(uint64_t number) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (number < next_) return;
    passedAhead_.insert(number);
    while (!passedAhead_.empty() && *passedAhead_.begin() == next_) {
      passedAhead_.erase(passedAhead_.begin());
      ++next_;
    }
  }
  turn_.notify_all();
}

uint64_t OrderedStage::passedBelow() {
  std::lock_guard<std::mutex> lock(mutex_);
  return next_;
}

IntakeTicket::IntakeTicket(uint64_t number, OrderedStage& placement, OrderedStage& merge)
    : number_(number), placement_(placement), merge_(merge) {}

IntakeTicket::~IntakeTicket() { passAll(); }

void IntakeTicket::passPlacement() {
  if (placementPassed_) return;
  placementPassed_ = true;
  placement_.pass(number_);
}

void IntakeTicket::passMerge() {
  if (mergePassed_) return;
  mergePassed_ = true;
  merge_.pass(number_);
}

void IntakeTicket::passAll() {
  passPlacement();
  passMerge();
}

void IntakeTicket::fail(const std::string& reason) {
  if (failure_.empty()) failure_ = reason.empty() ? "failed" : reason;
}

std::shared_ptr<IntakeTicket> IntakeOrder::issue() {
  // Callers hold queueMutex_, which also orders the numbers.
  return std::make_shared<IntakeTicket>(next_++, placement_, merge_);
}

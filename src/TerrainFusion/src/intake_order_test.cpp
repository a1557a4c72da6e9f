#include "src/TerrainFusion/src/intake_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>
#include <vector>

namespace {

TEST(IntakeOrder, StagesPassInNumberOrderWhateverOrderFramesFinishIn) {
  OrderedStage stage;
  stage.pass(2);
  stage.pass(1);
  EXPECT_EQ(stage.passedBelow(), 0u);  // 0 has not passed: 1 and 2 wait behind it
  stage.pass(0);
  EXPECT_EQ(stage.passedBelow(), 3u);
  stage.pass(1);  // again: harmless
  EXPECT_EQ(stage.passedBelow(), 3u);
  stage.waitTurn(3);  // every earlier number passed: no wait
}

TEST(IntakeOrder, ATicketThatGoesPassesItsStagesSoLaterFramesGoOn) {
  IntakeOrder order;
  std::shared_ptr<IntakeTicket> second;
  {
    auto first = order.issue();
    second = order.issue();
    first->fail("no points");
    first->fail("later reason");
    EXPECT_EQ(first->failure(), "no points");
    EXPECT_TRUE(first->failed());
  }  // never tiled, never passed by hand
  second->waitPlacementTurn();
  second->waitMergeTurn();
  EXPECT_FALSE(second->failed());
}

// Eight threads take their tickets in one order and start in another; what each does in its
// merge turn comes out in ticket order.
TEST(IntakeOrder, MergeTurnsFollowTheTicketsAcrossThreads) {
  IntakeOrder order;
  std::vector<std::shared_ptr<IntakeTicket>> tickets;
  for (int i = 0; i < 8; ++i) tickets.push_back(order.issue());
  std::vector<int> starts(8);
  for (int i = 0; i < 8; ++i) starts[i] = i;
  std::shuffle(starts.begin(), starts.end(), std::mt19937(7));
  std::vector<uint64_t> merged;
  std::vector<std::thread> threads;
  for (int i : starts) {
    threads.emplace_back([&, i] {
      IntakeTicket& t = *tickets[i];
      t.waitPlacementTurn();
      t.passPlacement();
      t.waitMergeTurn();
      merged.push_back(t.number());  // only one thread holds the merge turn
      t.passMerge();
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(merged.size(), 8u);
  EXPECT_TRUE(std::is_sorted(merged.begin(), merged.end()));
}

}  // namespace

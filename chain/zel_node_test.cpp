#include "zel_node.h"
#include "current_time.h"
#include "output_item.h"
#include "progress_entry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

namespace {

ProgressEntry stage(const std::string& name) {
  return ProgressEntry{name, -1.0, 1.0, 1.0f, 0.0f, -1.0, {}};
}

// A root with the task's progress model and one node per stage below it.
struct TaskTree {
  TaskTree() {
    root.setProgressEntry(taskProgressModel());
    locate.setProgressEntry(stage("Locate"));
    fusion.setProgressEntry(stage("Map Fusion"));
  }
  zel::Node root{"Mapper", nullptr};
  zel::Node locate{"front", &root};
  zel::Node fusion{"back", &root};
};

std::shared_ptr<zel::Tileset3D> record(const std::string& id, double time) {
  auto item = std::make_shared<zel::Tileset3D>();
  item->id = id;
  item->time_updated = time;
  return item;
}

std::vector<std::shared_ptr<zel::OutputItem>> outputsOf(const zel::Node& node) {
  std::vector<std::shared_ptr<zel::OutputItem>> list;
  node.visitOutputs([&](const std::shared_ptr<zel::OutputItem>& item) { list.push_back(item); });
  return list;
}

TEST(NodeProgress, StagesAddTheirWeightedFractionsAtTheRoot) {
  TaskTree tree;
  ASSERT_TRUE(tree.locate.setProgress(5, 10));
  EXPECT_NEAR(tree.root.progressEntry().progress, 0.35, 1e-6);  // weights are floats
  tree.locate.setProgress(0, 0);  // total 0 keeps 10; back to nothing done
  EXPECT_NEAR(tree.root.progressEntry().progress, 0.0, 1e-6);

  TaskTree fusion_only;
  fusion_only.fusion.setProgress(1, 2);
  const ProgressEntry root = fusion_only.root.progressEntry();
  EXPECT_NEAR(root.progress, 0.15, 1e-6);
  EXPECT_EQ(root.total, 1.0);
  EXPECT_GT(root.time, 0.0);
  EXPECT_EQ(root.children[1].progress, 1.0);
  EXPECT_EQ(root.children[1].total, 2.0);
  EXPECT_FLOAT_EQ(root.children[1].weight, 0.3f);  // the entry keeps its own weight
  EXPECT_FLOAT_EQ(root.children[1].start, 0.7f);
}

TEST(NodeProgress, SuccessiveReportsFollowTheSumOfWeightedFractions) {
  TaskTree tree;
  tree.locate.setProgress(1, 4);
  tree.fusion.setProgress(1, 1);
  tree.locate.setProgress(4, 4);
  EXPECT_NEAR(tree.root.progressEntry().progress, 1.0, 1e-6);
}

TEST(NodeProgress, TheRootFigureDoesNotDependOnTheOrderOfTheStagesReports) {
  // Reports of the two stages interleaved two ways end on the very same figure, and a task
  // whose stages are all done reads exactly 1.
  TaskTree first, second;
  for (int i = 1; i <= 7; ++i) {
    first.locate.setProgress(i, 7);
    first.fusion.setProgress(i, 13);
  }
  for (int i = 8; i <= 13; ++i) first.fusion.setProgress(i, 13);
  for (int i = 1; i <= 13; ++i) second.fusion.setProgress(i, 13);
  for (int i = 1; i <= 7; ++i) second.locate.setProgress(i, 7);
  EXPECT_EQ(first.root.progressEntry().progress, 1.0);
  EXPECT_EQ(second.root.progressEntry().progress, 1.0);
  first.locate.setProgress(3, 7);
  second.locate.setProgress(3, 7);
  EXPECT_EQ(first.root.progressEntry().progress, second.root.progressEntry().progress);
}

TEST(NodeProgress, SingleChildIsMirroredUpToTheRoot) {
  zel::Node root("root", nullptr);
  zel::Node middle("middle", &root);
  zel::Node leaf("leaf", &middle);
  ProgressEntry root_entry = stage("Mapping");
  root_entry.children = {stage("Middle")};
  root_entry.children[0].weight = 0.1f;
  root.setProgressEntry(root_entry);
  ProgressEntry middle_entry = stage("Middle");
  middle_entry.children = {stage("Leaf")};
  middle.setProgressEntry(middle_entry);
  leaf.setProgressEntry(stage("Leaf"));

  leaf.setProgress(3, 8);
  EXPECT_EQ(root.progressEntry().progress, 3.0);
  EXPECT_EQ(root.progressEntry().total, 8.0);
  ASSERT_EQ(root.progressEntry().children[0].children.size(), 1u);
  EXPECT_EQ(root.progressEntry().children[0].children[0].progress, 3.0);
}

TEST(NodeProgress, UnnamedOrUnknownEntriesChangeNothing) {
  TaskTree tree;
  zel::Node unnamed("n", &tree.root);
  EXPECT_FALSE(unnamed.setProgress(1, 2));
  zel::Node stranger("s", &tree.root);
  stranger.setProgressEntry(stage("Elsewhere"));
  EXPECT_TRUE(stranger.setProgress(1, 2));
  EXPECT_EQ(tree.root.progressEntry().progress, 0.0);
  EXPECT_EQ(tree.root.progressEntry().time, -1.0);
}

TEST(NodeProgress, TotalsOfZeroOrBelowNeverDivide) {
  zel::Node root("root", nullptr);
  ProgressEntry model = taskProgressModel();
  root.setProgressEntry(model);
  ProgressEntry bad = stage("Locate");
  bad.progress = 3.0;
  bad.total = 0.0;
  EXPECT_TRUE(root.updateChildProgress(bad));
  bad.total = -1.0;
  root.updateChildProgress(bad);
  EXPECT_EQ(root.progressEntry().progress, 0.0);
}

TEST(NodeOutputs, RecordsReachEveryAncestorAsClones) {
  zel::Node root("root", nullptr);
  zel::Node middle("middle", &root);
  zel::Node leaf("leaf", &middle);
  auto item = record("pointcloud_01", 5.0);
  ASSERT_TRUE(leaf.addOutput(item));
  for (const zel::Node* node : {&leaf, &middle, &root}) {
    const auto list = outputsOf(*node);
    ASSERT_EQ(list.size(), 1u) << node->name();
    EXPECT_NE(list[0], item);
    EXPECT_EQ(list[0]->id, "pointcloud_01");
  }
  const auto root_copy = outputsOf(root)[0];

  auto newer = record("pointcloud_01", 6.0);
  newer->state = 10;
  leaf.addOutput(newer);
  EXPECT_EQ(outputsOf(root)[0], root_copy);  // updated in place
  EXPECT_EQ(root_copy->state, 10);
  EXPECT_EQ(root_copy->time_updated, 6.0);

  auto older = record("pointcloud_01", 5.5);
  older->state = 3;
  leaf.addOutput(older);
  EXPECT_EQ(root_copy->state, 10);
}

TEST(NodeOutputs, EqualRefreshChangesNothingButSameMillisecondRefreshesDo) {
  zel::Node root("root", nullptr);
  zel::Node leaf("leaf", &root);
  auto item = record("dom_01", 0);
  item->markUpdated(7.0);
  leaf.addOutput(item);
  item->state = 99;  // same time, same version: not a refresh
  leaf.addOutput(item);
  EXPECT_EQ(outputsOf(root)[0]->state, -1);
  EXPECT_FALSE(root.mergeOutputs({item}));

  auto refresh = std::static_pointer_cast<zel::Tileset3D>(item->clone());
  refresh->state = 10;
  refresh->markUpdated(7.0);  // within the same millisecond
  leaf.addOutput(refresh);
  EXPECT_EQ(outputsOf(root)[0]->state, 10);
  EXPECT_EQ(outputsOf(leaf)[0]->state, 10);
}

TEST(NodeOutputs, FinishesRecordsBeingWrittenWhenDestroyed) {
  auto writing = record("a", 1);
  writing->state = 10;
  auto failed = record("b", 1);
  failed->state = -14;
  std::vector<std::shared_ptr<zel::OutputItem>> kept;
  {
    zel::Node node("n", nullptr);
    node.addOutput(writing);
    node.addOutput(failed);
    kept = outputsOf(node);
  }
  EXPECT_EQ(kept[0]->state, 12);
  EXPECT_EQ(kept[1]->state, -14);
}

TEST(NodeOutputs, ConcurrentReportsLeaveTheNewestEverywhere) {
  TaskTree tree;
  constexpr int kRounds = 200;
  // Both threads refresh records of one node while the other's changes travel up.
  std::vector<std::thread> threads;
  for (zel::Node* node : {&tree.locate, &tree.fusion}) {
    threads.emplace_back([node, &tree] {
      for (int i = 1; i <= kRounds; ++i) {
        node->setProgress(i, kRounds);
        auto item = record(node->name(), 0);
        item->state = i;
        item->markUpdated();
        tree.locate.addOutput(item);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_NEAR(tree.root.progressEntry().progress, 1.0, 1e-6);
  const auto list = outputsOf(tree.root);
  ASSERT_EQ(list.size(), 2u);
  for (const auto& item : list) EXPECT_EQ(item->state, kRounds) << item->id;
}

TEST(SharedHelpers, TimeSourceGivesWholeMilliseconds) {
  const double now = currentTimeSeconds();
  EXPECT_GT(now, 1.6e9);
  EXPECT_NEAR(now * 1000.0, std::round(now * 1000.0), 1e-3);  // whole milliseconds
}

}  // namespace

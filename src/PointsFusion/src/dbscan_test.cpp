#include "src/PointsFusion/src/dbscan.h"
#include "src/PointsFusion/src/kd_tree.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <random>

namespace {

using Clusters = std::vector<std::vector<uint32_t>>;

// The clustering rule spelled out with all-pairs neighbourhoods.
struct Reference {
  Clusters clusters;
  std::vector<int> noise;
};
Reference bruteForce(const std::vector<double>& v, double eps, int minPts) {
  const size_t n = v.size();
  std::vector<std::vector<uint32_t>> nb(n);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j)
      if (i != j && (v[i] - v[j]) * (v[i] - v[j]) <= eps * eps) nb[i].push_back(uint32_t(j));
  Reference r;
  std::vector<bool> visited(n), assigned(n);
  for (uint32_t i = 0; i < n; ++i) {
    if (visited[i]) continue;
    visited[i] = true;
    if (int(nb[i].size()) < minPts) continue;
    r.clusters.push_back({i});
    assigned[i] = true;
    std::vector<bool> seen(n);
    seen[i] = true;
    std::deque<uint32_t> queue(nb[i].begin(), nb[i].end());
    for (uint32_t q : nb[i]) seen[q] = true;
    while (!queue.empty()) {
      const uint32_t p = queue.front();
      queue.pop_front();
      if (visited[p]) continue;
      visited[p] = true;
      if (int(nb[p].size()) < minPts) continue;
      r.clusters.back().push_back(p);
      assigned[p] = true;
      for (uint32_t q : nb[p])
        if (!seen[q]) seen[q] = true, queue.push_back(q);
    }
  }
  for (uint32_t i = 0; i < n; ++i)
    if (!assigned[i]) r.noise.push_back(int(i));
  for (auto& c : r.clusters) std::sort(c.begin(), c.end());
  return r;
}

Clusters sortedMembers(Clusters c) {
  for (auto& members : c) std::sort(members.begin(), members.end());
  return c;
}

// Runs `body` on a thread with a small stack (1 MB is a pool thread's stack elsewhere).
void onSmallStack(std::function<void()> body, size_t stackBytes = 1 << 20) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackBytes);
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(
                   &thread, &attr,
                   [](void* arg) -> void* {
                     (*static_cast<std::function<void()>*>(arg))();
                     return nullptr;
                   },
                   &body));
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

}  // namespace

TEST(DBSCAN, WorkedExamples) {
  DBSCAN db;
  ASSERT_EQ(0, db.Run(std::vector<double>{0, 1, 2, 100}, 1, 1.5, 1));
  EXPECT_EQ(Clusters({{0, 1, 2}}), sortedMembers(db.clusters));
  EXPECT_EQ(std::vector<int>{3}, db.noise);

  ASSERT_EQ(0, db.Run(std::vector<double>{0, 1, 2, 100}, 1, 1.5, 2));
  EXPECT_EQ(Clusters({{1}}), db.clusters);
  EXPECT_EQ((std::vector<int>{0, 2, 3}), db.noise);

  // A distance of exactly eps is a neighbour.
  ASSERT_EQ(0, db.Run(std::vector<double>{0, 0.5}, 1, 0.5, 1));
  EXPECT_EQ(Clusters({{0, 1}}), sortedMembers(db.clusters));
}

TEST(DBSCAN, RefusedInputLeavesNoStaleClusters) {
  DBSCAN db;
  ASSERT_EQ(0, db.Run(std::vector<double>{0, 1, 2}, 1, 1.5, 1));
  ASSERT_FALSE(db.clusters.empty());
  EXPECT_EQ(1, db.Run(std::vector<double>{}, 1, 1.5, 1));
  EXPECT_TRUE(db.clusters.empty() && db.noise.empty());
  ASSERT_EQ(0, db.Run(std::vector<double>{0, 1, 2}, 1, 1.5, 1));
  EXPECT_EQ(1, db.Run(std::vector<double>{0, 1, 2}, 1, 1.5, 0));
  EXPECT_TRUE(db.clusters.empty() && db.noise.empty());
  EXPECT_EQ(1, db.Run(std::vector<double>{0, 1, 2}, 0, 1.5, 1));
  EXPECT_EQ(1, db.Run(std::vector<double>{0, 1, 2}, 1, INFINITY, 1));
}

TEST(DBSCAN, EqualsBruteForceOnAwkwardInputs) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> uniform(0, 100);
  std::vector<std::vector<double>> inputs;
  for (int k = 0; k < 20; ++k) {
    std::vector<double> v(200);
    for (double& x : v) x = uniform(rng);
    inputs.push_back(v);
    std::vector<double> dup;  // heavy repetition on a coarse grid
    for (double x : v) dup.push_back(std::round(x / 10) * 10);
    inputs.push_back(dup);
    std::sort(v.begin(), v.end());
    inputs.push_back(v);
    std::reverse(v.begin(), v.end());
    inputs.push_back(v);
  }
  inputs.push_back({1, NAN, 1, INFINITY, -INFINITY, 1.2});
  for (const auto& v : inputs)
    for (int minPts : {-1, 1, 3, 8})
      for (double eps : {0.0, 0.7, 4.0}) {
        DBSCAN db;
        ASSERT_EQ(0, db.Run(v, 1, eps, minPts));
        const Reference r = bruteForce(v, eps, minPts);
        EXPECT_EQ(r.clusters, sortedMembers(db.clusters)) << eps << " " << minPts;
        EXPECT_EQ(r.noise, db.noise);
        // The positional form over the tree gives the same clusters.
        std::vector<pi::Point3d> points;
        for (double x : v) points.emplace_back(x, 0, 0);
        DBSCAN tree;
        ASSERT_EQ(0, tree.Run(points, 2, eps, minPts));
        if (std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); })) {
          EXPECT_EQ(r.clusters, sortedMembers(tree.clusters));
          EXPECT_EQ(r.noise, tree.noise);
        }
      }
}

TEST(DBSCAN, LargeSortedAndEqualInputsOnASmallStack) {
  std::vector<double> sorted(100000), equal(100000, 5.0);
  for (size_t i = 0; i < sorted.size(); ++i) sorted[i] = double(i);
  size_t sortedClusters = 0, equalClusters = 0, equalMembers = 0;
  onSmallStack([&] {
    DBSCAN db;
    db.Run(sorted, 1, 1.0, 2);
    sortedClusters = db.clusters.size();
    db.Run(equal, 1, 0.0, 10);
    equalClusters = db.clusters.size();
    equalMembers = db.clusters.empty() ? 0 : db.clusters[0].size();
  });
  EXPECT_EQ(1u, sortedClusters);
  EXPECT_EQ(1u, equalClusters);
  EXPECT_EQ(100000u, equalMembers);
}

TEST(KdTree, ChainedTreeQueriesAndFreesOnASmallStack) {
  // Sorted insertions make a chain; every walk must stay off the call stack (a recursive
  // walk of this chain needs more than the 256 KB given here).
  const int n = 15000;
  std::vector<double> values(n);
  for (int i = 0; i < n; ++i) values[i] = i;
  size_t found = 0;
  bool orderedByDiscovery = false;
  onSmallStack(
      [&] {
        std::unique_ptr<KdTree> tree = kdtree_create(1);
        for (double& v : values) kdtree_insert(*tree, &v, &v);
        const double at = n - 1;
        std::unique_ptr<KdResult> result = kdtree_nearest_range(*tree, &at, 2.0);
        std::vector<double> items;
        for (; !kdtree_result_end(*result); kdtree_result_next(*result)) {
          double position = 0;
          kdtree_result_item(*result, &position);
          items.push_back(position);
        }
        found = items.size();
        // The chain is walked upward from the root, so the last found (nearest the end of the
        // chain) comes first.
        orderedByDiscovery = items == std::vector<double>{n - 1, n - 2, n - 3};
        kdtree_free(std::move(tree));
      },
      256 << 10);
  EXPECT_EQ(3u, found);
  EXPECT_TRUE(orderedByDiscovery);
}

#include "src/PointsFusion/src/dbscan.h"

#include "src/PointsFusion/src/kd_tree.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <numeric>

int DBSCAN::Run(const std::vector<double>& points, int dim, double eps, int minPts,
                const Distance&) {
  // A scalar has one coordinate whatever the caller names.
  return run(points, uint32_t(points.size()), std::min(dim, 1), eps, minPts);
}

int DBSCAN::Run(const std::vector<pi::Point3d>& points, int dim, double eps, int minPts,
                const Distance&) {
  const int used = std::min(dim, 3);
  std::vector<double> coords;
  if (used > 0) {
    coords.reserve(points.size() * used);
    for (const pi::Point3d& p : points) {
      const double xyz[3] = {p.x, p.y, p.z};
      coords.insert(coords.end(), xyz, xyz + used);
    }
  }
  return run(coords, uint32_t(points.size()), used, eps, minPts);
}

int DBSCAN::run(const std::vector<double>& coords, uint32_t n, int dim, double eps, int minPts) {
  clusters.clear();
  noise.clear();
  // A non-finite eps^2 would make infinite values neighbours of everything.
  if (n == 0 || dim <= 0 || minPts == 0 || !std::isfinite(eps * eps)) return 1;
  if (dim == 1)
    runSorted(coords, eps, minPts);
  else
    runTree(coords, n, dim, eps, minPts);
  return 0;
}

void DBSCAN::runSorted(const std::vector<double>& values, double eps, int minPts) {
  const double eps2 = eps * eps;
  const size_t n = values.size();
  // Non-finite values are nobody's neighbours (their distances are infinite or NaN); the
  // finite ones are sorted so that every neighbourhood is a contiguous run.
  std::vector<uint32_t> order;
  order.reserve(n);
  for (uint32_t i = 0; i < n; ++i)
    if (std::isfinite(values[i])) order.push_back(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return values[a] < values[b]; });
  const auto near = [&](uint32_t a, uint32_t b) {
    const double d = values[a] - values[b];
    return d * d <= eps2;
  };

  std::vector<bool> core(n, false);
  for (uint32_t i = 0; i < n; ++i)
    if (!std::isfinite(values[i])) core[i] = 0 >= minPts;
  // Squared differences grow with the distance in sorted order, so both ends of the
  // window only move forward.
  const size_t m = order.size();
  for (size_t p = 0, lo = 0, hi = 0; p < m; ++p) {
    while (!near(order[p], order[lo])) ++lo;
    if (hi < p) hi = p;
    while (hi + 1 < m && near(order[hi + 1], order[p])) ++hi;
    core[order[p]] = int64_t(hi - lo) >= minPts;
  }

  // Consecutive core values within eps chain into one cluster.
  std::vector<std::vector<uint32_t>> found;
  int64_t lastCore = -1;
  for (uint32_t p = 0; p < m; ++p) {
    const uint32_t i = order[p];
    if (!core[i]) continue;
    if (lastCore < 0 || !near(i, order[lastCore])) found.emplace_back();
    found.back().push_back(i);
    lastCore = p;
  }
  for (uint32_t i = 0; i < n; ++i)
    if (core[i] && !std::isfinite(values[i])) found.push_back({i});
  for (auto& cluster : found) std::sort(cluster.begin(), cluster.end());
  std::sort(found.begin(), found.end(),
            [](const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
              return a.front() < b.front();
            });
  clusters = std::move(found);
  collectNoise(core);  // exactly the core points belong to clusters
}

void DBSCAN::runTree(const std::vector<double>& coords, uint32_t n, int dim, double eps,
                     int minPts) {
  std::unique_ptr<KdTree> tree = kdtree_create(dim);
  for (uint32_t i = 0; i < n; ++i)
    kdtree_insert(*tree, &coords[size_t(i) * dim], const_cast<double*>(&coords[size_t(i) * dim]));

  const auto regionQuery = [&](uint32_t i) {
    std::vector<uint32_t> neighbours;
    std::unique_ptr<KdResult> result = kdtree_nearest_range(*tree, &coords[size_t(i) * dim], eps);
    if (!result) return neighbours;
    for (; !kdtree_result_end(*result); kdtree_result_next(*result)) {
      const auto* element = static_cast<const double*>(kdtree_result_item(*result, nullptr));
      const uint32_t j = uint32_t((element - coords.data()) / dim);
      if (j != i) neighbours.push_back(j);
    }
    return neighbours;
  };

  std::vector<bool> visited(n, false), assigned(n, false), seen(n, false);
  std::vector<uint32_t> seenList;
  for (uint32_t i = 0; i < n; ++i) {
    for (uint32_t s : seenList) seen[s] = false;
    seenList.clear();
    if (visited[i]) continue;
    visited[i] = true;
    std::vector<uint32_t> neighbours = regionQuery(i);
    if (int64_t(neighbours.size()) < minPts) continue;
    clusters.push_back({i});
    assigned[i] = true;
    seen[i] = true;
    seenList.push_back(i);
    std::deque<uint32_t> queue(neighbours.begin(), neighbours.end());
    for (uint32_t q : neighbours)
      if (!seen[q]) seen[q] = true, seenList.push_back(q);
    while (!queue.empty()) {
      const uint32_t p = queue.front();
      queue.pop_front();
      if (visited[p]) continue;
      visited[p] = true;
      const std::vector<uint32_t> more = regionQuery(p);
      if (int64_t(more.size()) < minPts) continue;
      clusters.back().push_back(p);
      assigned[p] = true;
      for (uint32_t q : more)
        if (!seen[q]) seen[q] = true, seenList.push_back(q), queue.push_back(q);
    }
  }
  kdtree_free(std::move(tree));
  collectNoise(assigned);
}

void DBSCAN::collectNoise(const std::vector<bool>& assigned) {
  for (size_t i = 0; i < assigned.size(); ++i)
    if (!assigned[i]) noise.push_back(int(i));
}

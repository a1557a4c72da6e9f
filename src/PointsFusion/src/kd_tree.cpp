#include "src/PointsFusion/src/kd_tree.h"

#include <algorithm>
#include <cmath>
#include <new>

int KdTree::insert(const double* position, void* data) {
  try {
    Node node;
    node.position.assign(position, position + k_);
    node.data = data;
    const int index = int(nodes_.size());
    if (nodes_.empty()) {
      nodes_.push_back(std::move(node));
      boxMin_ = boxMax_ = nodes_.back().position;
      return 0;
    }
    int parent = 0;
    for (;;) {
      const Node& at = nodes_[parent];
      const int dim = at.splitDimension;
      const bool goLeft = position[dim] < at.position[dim];
      const int child = goLeft ? at.left : at.right;
      if (child >= 0) {
        parent = child;
        continue;
      }
      node.splitDimension = (dim + 1) % k_;
      nodes_.push_back(std::move(node));  // a failure here leaves the tree as it was
      (goLeft ? nodes_[parent].left : nodes_[parent].right) = index;
      break;
    }
    for (int d = 0; d < k_; ++d) {
      boxMin_[d] = std::min(boxMin_[d], position[d]);
      boxMax_[d] = std::max(boxMax_[d], position[d]);
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

std::vector<int> KdTree::rangeSearch(const double* position, double range) const {
  std::vector<int> found;
  if (nodes_.empty()) return found;
  const double range2 = range * range;
  std::vector<int> stack{0};
  while (!stack.empty()) {
    const Node& node = nodes_[stack.back()];
    const int index = stack.back();
    stack.pop_back();
    double dist2 = 0;
    for (int d = 0; d < k_; ++d) {
      const double diff = node.position[d] - position[d];
      dist2 += diff * diff;
    }
    if (dist2 <= range2) found.push_back(index);
    const double delta = position[node.splitDimension] - node.position[node.splitDimension];
    const int nearSide = delta <= 0 ? node.left : node.right;
    const int farSide = delta <= 0 ? node.right : node.left;
    // The near side is searched first, so it goes on the stack last. Equal coordinates
    // were inserted to the right, so a zero range must still look there.
    if (farSide >= 0 && std::fabs(delta) <= range) stack.push_back(farSide);
    if (nearSide >= 0) stack.push_back(nearSide);
  }
  return found;
}

void* KdResult::item(double* position) const {
  if (next_ == 0) return nullptr;
  const KdTree::Node& node = tree_.nodes()[found_[next_ - 1]];
  if (position) std::copy(node.position.begin(), node.position.end(), position);
  return node.data;
}

bool KdResult::next() {
  if (next_ > 0) --next_;
  return next_ > 0;
}

std::unique_ptr<KdTree> kdtree_create(int k) { return std::make_unique<KdTree>(k); }

void kdtree_free(std::unique_ptr<KdTree> tree, void (*destructor)(void*)) {
  if (tree && destructor)
    for (const KdTree::Node& node : tree->nodes()) destructor(node.data);
}

int kdtree_insert(KdTree& tree, const double* position, void* data) {
  return tree.insert(position, data);
}

std::unique_ptr<KdResult> kdtree_nearest_range(const KdTree& tree, const double* position,
                                               double range) {
  try {
    return std::make_unique<KdResult>(tree, tree.rangeSearch(position, range));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

#pragma once

// A k-d tree over k-dimensional positions answering "everything within a range" queries.
// Every walk (insertion, query, release) is a loop over an explicit stack, so a degenerate
// tree (sorted or repeated input makes a chain as deep as the input) never deepens the
// call stack of the thread that uses it.

#include <memory>
#include <vector>

class KdTree {
 public:
  struct Node {
    std::vector<double> position;
    int splitDimension = 0;
    void* data = nullptr;
    int left = -1;  // node indices, -1 for none
    int right = -1;
  };

  explicit KdTree(int k) : k_(k) {}

  int dimensions() const { return k_; }
  const std::vector<Node>& nodes() const { return nodes_; }
  // Bounding box of every inserted position (empty before the first insertion).
  const std::vector<double>& boxMin() const { return boxMin_; }
  const std::vector<double>& boxMax() const { return boxMax_; }

  // Returns 0, or -1 when memory ran out (the tree is unchanged then).
  int insert(const double* position, void* data);
  // Indices of the nodes within `range` (squared distance at most range^2), in the order
  // they were found.
  std::vector<int> rangeSearch(const double* position, double range) const;

 private:
  int k_;
  std::vector<Node> nodes_;  // nodes_[0] is the root
  std::vector<double> boxMin_, boxMax_;
};

// The items of one range query: iteration starts at the item found last.
class KdResult {
 public:
  KdResult(const KdTree& tree, std::vector<int> found)
      : tree_(tree), found_(std::move(found)), next_(found_.size()) {}

  bool end() const { return next_ == 0; }
  // Copies the current item's position into `position` (when given) and returns its data.
  void* item(double* position) const;
  // Steps to the next item; false once past the last.
  bool next();
  size_t size() const { return found_.size(); }

 private:
  const KdTree& tree_;
  std::vector<int> found_;
  size_t next_;  // one past the current item
};

std::unique_ptr<KdTree> kdtree_create(int k);
// Releases the tree; `destructor`, when given, is called on every node's data pointer.
void kdtree_free(std::unique_ptr<KdTree> tree, void (*destructor)(void*) = nullptr);
int kdtree_insert(KdTree& tree, const double* position, void* data);
// Empty pointer when memory ran out.
std::unique_ptr<KdResult> kdtree_nearest_range(const KdTree& tree, const double* position,
                                               double range);
inline bool kdtree_result_end(const KdResult& result) { return result.end(); }
inline void* kdtree_result_item(const KdResult& result, double* position) {
  return result.item(position);
}
inline bool kdtree_result_next(KdResult& result) { return result.next(); }
inline void kdtree_result_free(std::unique_ptr<KdResult> result) { result.reset(); }

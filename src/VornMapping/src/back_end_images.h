#pragma once

// The frames' images on their way to the back end. The dataset decodes each frame once,
// reduced for the front end's features; the front end lets its pixels go once it has them.
// A copy reduced by two more (a 12 MP frame's quarter: the dense stage's working size at its
// default settings) is kept from the moment the front end takes a frame until it is
// located, then travels with the located frame, so that the dense stage reduces it instead
// of decoding the frame's file a second time. A stage that works finer decodes the file as
// before. Copies of frames the front end never locates go when a later frame is located.

#include "framework/map_frame.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <deque>
#include <mutex>

class BackEndImages {
 public:
  // How much coarser the copy is than the image the front end took.
  static constexpr int kFurtherReduction = 2;

  // Keeps frame `id`'s copy of `image`, the frame's file reduced by `reduction`. Frames come
  // in the order they will be located. An empty image keeps nothing.
  void keep(uint64_t id, const cv::Mat& image, int reduction);
  // Gives `frame` its copy when it is a frame that carries reduced images; drops that copy
  // and those kept before it. Any thread.
  void handOver(fw::MapFrame& frame);
  void clear();
  size_t size() const;

 private:
  struct Kept {
    uint64_t id;
    cv::Mat image;
    int reduction;
  };
  mutable std::mutex mutex_;
  std::deque<Kept> kept_;  // in arrival order
};

#pragma once

// Which recent frame a frame is matched with. Consecutive frames usually overlap, but at a
// strip's end the next frame lies on the next strip (or beyond a turn) and sees little or
// none of the same ground; the previous frame of the same strip still does.

#include "framework/map_frame.h"
#include "values/point.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace pair_choice {

// Share of a frame's ground that the other frame must see for the pair to be worth matching.
// Half: a pair that shares less rarely leaves a fifth of the view with a depth.
inline constexpr double kMinOverlap = 0.5;
// The next frame stays the partner unless another shares this much more of the ground.
inline constexpr double kClearlyMore = 0.1;
// Baseline over the distance to the ground below which the pair has too little parallax.
inline constexpr double kMinParallax = 0.02;

// Share of the reference's ground a frame must see to be tried when its chosen partner gives
// no depth map, and how many such frames are tried at most.
inline constexpr double kMinFallbackShare = 0.25;
inline constexpr size_t kMaxFallbacks = 2;

// What one frame sees of the ground: its camera centre and ground points in world
// coordinates (its plausible sparse points, or an image grid at its height above ground).
struct View {
  std::shared_ptr<fw::MapFrame> frame;
  pi::Point3d centre;
  std::vector<pi::Point3d> ground;  // empty when the frame tells nothing of its ground
  // The frame this one was paired with for its own depth map, once chosen.
  std::optional<uint64_t> partner;
};

View viewOf(const std::shared_ptr<fw::MapFrame>& frame);

// Share of `from`'s ground samples in front of `other`'s camera and inside its image; 1 when
// `from` has no samples (nothing says the pair would not overlap).
double seenShare(const View& from, const View& other);

// The partner of `reference` among `next` (the frame fed after it, may be null) and `recent`
// (frames fed before it, oldest first), of those with enough parallax: the one that shares
// the most of the reference's ground, which gives the most depths, the next frame unless
// another shares clearly more. When none shares kMinOverlap, still the one sharing the
// most. A recent frame already paired with the reference is left out while the next frame
// shares kMinFallbackShare: that pair's depth map covers the ground the two share, and
// matching the same two images again adds no ground (the next frame's does) and confirms
// nothing on its own. Null only when there is no candidate.
const View* choose(const View& reference, const View* next, const std::vector<const View*>& recent);

// The frames among `next` and `recent` to try after `chosen` (the one `choose` gave), most
// shared ground first: those with enough parallax that share at least kMinFallbackShare. A
// partner whose images do not fit its pose, or whose shared ground is bare of texture, leaves
// the reference without a depth map that another partner may still give.
std::vector<const View*> fallbacks(const View& reference, const View* chosen, const View* next,
                                   const std::vector<const View*>& recent);

}  // namespace pair_choice

// Frames handed in decoded reduced: the refinement takes them for what they are and refines the
// survey exactly as from the whole images, whose feature copy is that same reduction.

#include "pose_refiner.h"
#include "refinement_accuracy_for_tests.h"

#include "direct_georeferencing.h"
#include "tools/example_flight.h"
#include "tools/rendered_view_cache.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace sfm {
namespace {

using namespace accuracy;

// The frames a survey's refinement sends, in order.
std::vector<RefinedFrame> refine(const flight::ExampleFlight& f, const std::vector<cv::Mat>& images,
                                 int reduction) {
  RefinementOptions options;
  options.image_long_side = 320;  // half the 640-pixel frames
  options.max_features = 1000;
  options.window_size = 3;
  options.first_window = 4;
  uint64_t next_id = 1;
  PoseRefiner refiner(options, &next_id);
  std::vector<RefinedFrame> sent;
  for (size_t i = 0; i < images.size(); ++i) {
    IncomingFrame in = readIncomingFrame(*inputOf(f, i, images[i]));
    EXPECT_EQ(in.image_reduction, 1);
    in.image_reduction = reduction;
    for (RefinedFrame& r :
         refiner.add(in, worldFromCamera(in.latitude, in.longitude, in.altitude, in.angles)))
      sent.push_back(std::move(r));
  }
  for (RefinedFrame& r : refiner.finish()) sent.push_back(std::move(r));
  return sent;
}

TEST(ReducedFramesRefinement, AreRefinedAsTheWholeImagesAre) {
  const flight::ExampleFlight f = makeFlight(noisySurvey(2.0, 1.5, 0.03, 0.75, 4));
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  // Grey, so that the loader's reduction and the feature copy's halving are one operation.
  std::vector<cv::Mat> whole, halved;
  for (const flight::RenderedView& view : views) {
    cv::Mat grey, half;
    cv::cvtColor(view.image, grey, cv::COLOR_BGR2GRAY);
    cv::resize(grey, half, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    whole.push_back(grey);
    halved.push_back(half);
  }
  const std::vector<RefinedFrame> expected = refine(f, whole, 1);
  const std::vector<RefinedFrame> got = refine(f, halved, 2);
  ASSERT_EQ(got.size(), expected.size());
  int refined = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    refined += expected[i].refined;
    EXPECT_EQ(got[i].refined, expected[i].refined) << i;
    EXPECT_EQ(got[i].map_points.size(), expected[i].map_points.size()) << i;
    const SE3& a = got[i].pose;
    const SE3& b = expected[i].pose;
    EXPECT_EQ(a.t.x, b.t.x) << i;
    EXPECT_EQ(a.t.y, b.t.y) << i;
    EXPECT_EQ(a.t.z, b.t.z) << i;
    EXPECT_EQ(a.q.w, b.q.w) << i;
  }
  EXPECT_GE(refined, 4) << "the survey is refined from its images";
}

}  // namespace
}  // namespace sfm

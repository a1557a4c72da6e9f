#include "pair_geometry.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

namespace sfm {
namespace {

// Features of two views of the same points (identical descriptors), seen by a camera of
// focal length 500 at the origin and by one rotated by `b_from_a` at `centre_b`, placed to
// `noise` pixels (standard deviation).
std::pair<FrameFeatures, FrameFeatures> views(const std::vector<Eigen::Vector3d>& points,
                                              const Eigen::Matrix3d& b_from_a,
                                              const Eigen::Vector3d& centre_b, double noise = 0.0) {
  FrameFeatures a, b;
  cv::RNG rng(5);
  for (const Eigen::Vector3d& p : points) {
    const Eigen::Vector3d q = b_from_a * (p - centre_b);
    for (auto [f, x] : {std::pair<FrameFeatures*, Eigen::Vector3d>{&a, p}, {&b, q}}) {
      const double u = x.x() / x.z() + rng.gaussian(noise) / 500.0;
      const double v = x.y() / x.z() + rng.gaussian(noise) / 500.0;
      f->normalised.emplace_back(u, v);
      f->pixels.emplace_back(float(500 * u + 320), float(500 * v + 240));
    }
    cv::Mat descriptor(1, 32, CV_8U);
    rng.fill(descriptor, cv::RNG::UNIFORM, 0, 256);
    a.descriptors.push_back(descriptor);
    b.descriptors.push_back(descriptor);
  }
  return {a, b};
}

// Points over the view (`share` of it across, centred), 100 m away with relief.
std::vector<Eigen::Vector3d> ground(int n, double share = 1.0) {
  cv::RNG rng(3);
  std::vector<Eigen::Vector3d> points;
  for (int i = 0; i < n; ++i)
    points.emplace_back(share * rng.uniform(-40.0, 40.0), share * rng.uniform(-30.0, 30.0),
                        100.0 + share * rng.uniform(-15.0, 15.0));
  return points;
}

TEST(RelatePair, RecoversTheMotionAndRefusesDegenerateViews) {
  const Eigen::Matrix3d turn =
      Eigen::AngleAxisd(0.05, Eigen::Vector3d(0.2, 0.3, 1.0).normalized()).toRotationMatrix();
  RefinementOptions options;
  PairGeometry g;
  std::string reason;
  auto [a, b] = views(ground(300), turn, {20.0, 3.0, 1.0});
  ASSERT_TRUE(relatePair(a, b, 500.0, options, &g, &reason)) << reason;
  EXPECT_EQ(g.matches.size(), 300u);
  EXPECT_LT(Eigen::AngleAxisd(g.b_from_a * turn.transpose()).angle(), 1e-6);
  EXPECT_LT((g.centre_b_in_a - Eigen::Vector3d(20.0, 3.0, 1.0).normalized()).norm(), 1e-6);

  // The same place, turned only: no baseline to tell.
  std::tie(a, b) = views(ground(300), turn, Eigen::Vector3d::Zero());
  EXPECT_FALSE(relatePair(a, b, 500.0, options, &g, &reason));
  // A small shared patch, as a banked turn's frames see: a turn nearly explains the views,
  // so the baseline is not told, but the matches still tie the frames' turns.
  std::tie(a, b) = views(ground(300, 0.15), turn, {2.0, 0.0, 0.0});
  EXPECT_FALSE(relatePair(a, b, 500.0, options, &g, &reason));
  EXPECT_NE(reason.find("parallax"), std::string::npos) << reason;
  EXPECT_TRUE(g.ties_only);
  EXPECT_GE(static_cast<int>(g.matches.size()), options.min_inliers);
  // Fewer common features than placing a frame takes, but half as many: they tie the frames.
  std::tie(a, b) = views(ground(options.min_inliers - 10), turn, {20.0, 0.0, 0.0});
  EXPECT_FALSE(relatePair(a, b, 500.0, options, &g, &reason));
  EXPECT_NE(reason.find("verified matches"), std::string::npos) << reason;
  EXPECT_TRUE(g.ties_only);
  EXPECT_EQ(static_cast<int>(g.matches.size()), options.min_inliers - 10);
  // Fewer still: nothing to tie.
  std::tie(a, b) = views(ground(options.min_inliers / 2 - 1), turn, {20.0, 0.0, 0.0});
  EXPECT_FALSE(relatePair(a, b, 500.0, options, &g, &reason));
  EXPECT_NE(reason.find("matches"), std::string::npos);
  EXPECT_FALSE(g.ties_only);
  EXPECT_TRUE(g.matches.empty());
  // Every point on one line.
  std::vector<Eigen::Vector3d> line;
  for (int i = 0; i < 300; ++i) line.emplace_back(-30.0 + 0.2 * i, 0.1 * i - 15.0, 100.0);
  std::tie(a, b) = views(line, turn, {20.0, 0.0, 0.0});
  EXPECT_FALSE(relatePair(a, b, 500.0, options, &g, &reason));
}

// Level ground seen from nearly straight above, as a survey sees its fields: two motions fit
// the matches (the true one and its mirror image, whose baseline points along the ground's
// normal), and the recorded baseline picks the one that flies level.
TEST(RelatePair, LevelGroundTakesTheMotionWhoseBaselineRisesAsRecorded) {
  cv::RNG rng(11);
  std::vector<Eigen::Vector3d> level;
  for (int i = 0; i < 300; ++i)
    level.emplace_back(rng.uniform(-60.0, 60.0), rng.uniform(-45.0, 45.0), 100.0);
  RefinementOptions options;
  // Camera a looks down; local east-north-up has a's x east, its y south and its z down.
  RecordedBaseline recorded;
  recorded.local_from_a << 1, 0, 0, 0, -1, 0, 0, 0, -1;
  for (const Eigen::Vector3d& centre_b :
       {Eigen::Vector3d(0.0, 30.0, 0.5), Eigen::Vector3d(25.0, -5.0, -1.0)}) {
    const Eigen::Matrix3d turn = (Eigen::AngleAxisd(0.08, Eigen::Vector3d::UnitX()) *
                                  Eigen::AngleAxisd(-0.05, Eigen::Vector3d::UnitY()) *
                                  Eigen::AngleAxisd(0.02, Eigen::Vector3d::UnitZ()))
                                     .toRotationMatrix();
    auto [a, b] = views(level, turn, centre_b, 0.3);
    // The recorded baseline is off by a heading error of 20 degrees: its elevation is not.
    recorded.direction = Eigen::AngleAxisd(0.35, Eigen::Vector3d::UnitZ()) *
                         (recorded.local_from_a * centre_b.normalized());
    PairGeometry g;
    std::string reason;
    ASSERT_TRUE(relatePair(a, b, 500.0, options, &g, &reason, nullptr, 0.0, &recorded)) << reason;
    EXPECT_GT(g.centre_b_in_a.dot(centre_b.normalized()), std::cos(2.0 * M_PI / 180.0));
    EXPECT_LT(Eigen::AngleAxisd(g.b_from_a * turn.transpose()).angle(), 2.0 * M_PI / 180.0);
    EXPECT_GE(g.matches.size(), 290u);
  }
}

// With the scene's relief the essential matrix tells the motion alone; the recorded baseline
// does not pull it towards a homography's.
TEST(RelatePair, ReliefKeepsTheEssentialMatrixMotionWithARecordedBaseline) {
  const Eigen::Matrix3d turn =
      Eigen::AngleAxisd(0.05, Eigen::Vector3d(0.2, 0.3, 1.0).normalized()).toRotationMatrix();
  const Eigen::Vector3d centre_b(20.0, 3.0, 1.0);
  auto [a, b] = views(ground(300), turn, centre_b);
  RecordedBaseline recorded;
  recorded.direction = centre_b.normalized();
  PairGeometry g;
  std::string reason;
  ASSERT_TRUE(relatePair(a, b, 500.0, RefinementOptions(), &g, &reason, nullptr, 0.0, &recorded))
      << reason;
  EXPECT_LT(Eigen::AngleAxisd(g.b_from_a * turn.transpose()).angle(), 1e-6);
  EXPECT_LT((g.centre_b_in_a - centre_b.normalized()).norm(), 1e-6);
}

// Level ground seen by views tilted apart and crabbed: the pair tells how a small patch of a
// shows in b (the ground's warp there, stretch and turn alike), across the whole image; a
// pair whose ground is unknown warps by the turn about the optical axis alone.
TEST(RelatePair, TellsHowTheGroundWarpsASmallPatchBetweenTiltedViews) {
  cv::RNG rng(17);
  std::vector<Eigen::Vector3d> level;
  for (int i = 0; i < 300; ++i)
    level.emplace_back(rng.uniform(-60.0, 60.0), rng.uniform(-45.0, 45.0), 100.0);
  const Eigen::Matrix3d turn = (Eigen::AngleAxisd(0.25, Eigen::Vector3d::UnitZ()) *
                                Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitX()))
                                   .toRotationMatrix();
  const Eigen::Vector3d centre_b(25.0, -5.0, 0.0);
  auto [a, b] = views(level, turn, centre_b);
  // Features that carry patches, as ORB's do: theirs are warped by the pair's ground.
  constexpr int patch_bytes = FrameFeatures::kPatchSide * FrameFeatures::kPatchSide;
  a.patches = cv::Mat::zeros(static_cast<int>(a.size()), patch_bytes, CV_8U);
  b.patches = cv::Mat::zeros(static_cast<int>(b.size()), patch_bytes, CV_8U);
  PairGeometry g;
  std::string reason;
  ASSERT_TRUE(relatePair(a, b, 500.0, RefinementOptions(), &g, &reason)) << reason;
  ASSERT_TRUE(g.ground.has_value());
  // Where a pixel of a shows in b through the level ground.
  const auto in_b = [&](const cv::Point2d& p) {
    const Eigen::Vector3d ray((p.x - 320.0) / 500.0, (p.y - 240.0) / 500.0, 1.0);
    const Eigen::Vector3d q = turn * (ray * 100.0 - centre_b);
    return cv::Point2d(500.0 * q.x() / q.z() + 320.0, 500.0 * q.y() / q.z() + 240.0);
  };
  for (const cv::Point2d p : {cv::Point2d(320, 240), cv::Point2d(40, 30), cv::Point2d(600, 450)}) {
    const cv::Point2d dx = in_b(p + cv::Point2d(0.5, 0)) - in_b(p - cv::Point2d(0.5, 0));
    const cv::Point2d dy = in_b(p + cv::Point2d(0, 0.5)) - in_b(p - cv::Point2d(0, 0.5));
    const cv::Matx22d expected(dx.x, dy.x, dx.y, dy.y);
    EXPECT_LT(cv::norm(cv::Matx22d(g.warpAt(cv::Point2f(p))) - expected), 2e-3) << p;
  }
  g.ground.reset();
  const double spin = std::atan2(g.b_from_a(1, 0), g.b_from_a(0, 0));
  const cv::Matx22d turned(std::cos(spin), -std::sin(spin), std::sin(spin), std::cos(spin));
  EXPECT_LT(cv::norm(cv::Matx22d(g.warpAt(cv::Point2f(100, 100))) - turned), 1e-6);

  // Features without patches (SIFT's place themselves): the same motion, and no ground kept
  // for either frame lacking them.
  for (FrameFeatures* bare : {&a, &b}) {
    const cv::Mat patches = bare->patches;
    bare->patches.release();
    PairGeometry plain;
    ASSERT_TRUE(relatePair(a, b, 500.0, RefinementOptions(), &plain, &reason)) << reason;
    EXPECT_FALSE(plain.ground.has_value());
    EXPECT_EQ(plain.matches, g.matches);
    EXPECT_LT(Eigen::AngleAxisd(plain.b_from_a * g.b_from_a.transpose()).angle(), 1e-12);
    bare->patches = patches;
  }
}

// b's features with a look-alike `offset` pixels along the furrows for all but `unique` of them.
FrameFeatures withLookAlikes(FrameFeatures b, size_t unique, float offset) {
  const size_t alike = b.size() - unique;
  for (size_t j = 0; j < alike; ++j) {
    const cv::Point2f p = b.pixels[j] + cv::Point2f(offset, 0.0f);
    b.pixels.push_back(p);
    b.normalised.emplace_back((p.x - 320.0) / 500.0, (p.y - 240.0) / 500.0);
    b.descriptors.push_back(b.descriptors.row(static_cast<int>(j)).clone());
  }
  return b;
}

// A furrowed field: most of its features look like others a few metres along the furrows, so
// few of them pass the ratio test searched for anywhere (too few to relate the frames); near
// where those few put each feature on the ground, the look-alikes are out of reach and the
// pair is related with nearly all of them. Matches that agree on nothing are still refused.
TEST(RelatePair, FeaturesOfRepetitiveTextureAreMatchedNearWhereTheFewUniqueOnesPutThem) {
  cv::RNG rng(13);
  std::vector<Eigen::Vector3d> level;
  for (int i = 0; i < 300; ++i)
    level.emplace_back(rng.uniform(-60.0, 60.0), rng.uniform(-45.0, 45.0),
                       100.0 + rng.uniform(-0.5, 0.5));
  const Eigen::Matrix3d turn =
      Eigen::AngleAxisd(0.04, Eigen::Vector3d(0.3, -0.2, 1.0).normalized()).toRotationMatrix();
  auto [a, seen] = views(level, turn, {0.0, 30.0, 0.5}, 0.2);
  RefinementOptions options;
  PairGeometry g;
  std::string reason;
  // Look-alikes 120 pixels along the furrows, and 15 (finer furrows: within the first guided
  // search's reach too, found apart only nearer where the many it matches put them).
  for (const float offset : {120.0f, 15.0f}) {
    const FrameFeatures furrowed = withLookAlikes(seen, 30, offset);
    ASSERT_TRUE(relatePair(a, furrowed, 500.0, options, &g, &reason)) << offset << ": " << reason;
    EXPECT_GE(g.matches.size(), 280u) << offset;
    for (const auto& [i, j] : g.matches) EXPECT_EQ(i, j) << "never the look-alike";
    EXPECT_LT(Eigen::AngleAxisd(g.b_from_a * turn.transpose()).angle(), 0.5 * M_PI / 180.0);
  }
  const FrameFeatures b = withLookAlikes(seen, 30, 120.0f);

  // The same features of b shuffled: what few pass the ratio test agree on no ground.
  std::vector<int> order(b.size());
  for (size_t j = 0; j < order.size(); ++j) order[j] = static_cast<int>(j);
  cv::randShuffle(order, 1.0, &rng);
  FrameFeatures shuffled = b;
  for (size_t j = 0; j < order.size(); ++j) {
    shuffled.pixels[j] = b.pixels[order[j]];
    shuffled.normalised[j] = b.normalised[order[j]];
  }
  EXPECT_FALSE(relatePair(a, shuffled, 500.0, options, &g, &reason));
}

}  // namespace
}  // namespace sfm

#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/rendered_pair_for_tests.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"
#include "src/PointsFusion/src/stereo_dense/sgm_gpu.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

using densetest::Ground;
using densetest::LogLines;
using densetest::View;

// Answers every pair with one disparity everywhere and notes the matcher's input.
class ConstantDisparity : public DisparityCalculator {
 public:
  explicit ConstantDisparity(float d) : d_(d) {}
  sv::Var Compute(cv::Mat left, cv::Mat, int dmin, int dmax) override {
    cols = left.cols;
    rows = left.rows;
    this->dmin = dmin;
    this->dmax = dmax;
    return disparityResult(cv::Mat(left.size(), CV_32F, cv::Scalar(d_)));
  }
  int cols = 0, rows = 0, dmin = 0, dmax = 0;

 private:
  float d_;
};

class Throwing : public DisparityCalculator {
 public:
  sv::Var Compute(cv::Mat, cv::Mat, int, int) override { throw std::runtime_error("no memory"); }
};

View view(std::vector<double> camera, double east, double north, double height = 80) {
  View v;
  v.camera = std::move(camera);
  v.east = east;
  v.north = north;
  v.height = height;
  return v;
}

const std::vector<double> kSmall = {640, 480, 500, 500, 319.5, 239.5};

// Records over the plane without rendering: a grey image of the camera's size.
std::shared_ptr<ImageScaled> plainRecord(const View& v, uint64_t id, int type = CV_8UC1) {
  return densetest::renderedRecord(
      Ground(true), v, id, cv::Mat(int(v.camera[1]), int(v.camera[0]), type, cv::Scalar::all(128)));
}

// No sparse point and no height above ground: nothing tells how far the ground is.
std::shared_ptr<ImageScaled> withoutSparsePoints(const View& v, uint64_t id) {
  fwtest::LocatedFrameSpec spec;
  spec.gps = {};
  spec.id = id;
  spec.camera = v.camera;
  spec.pose = densetest::worldFromCamera(v);
  return std::make_shared<ImageScaled>(fwtest::makeLocatedFrame(spec, {}),
                                       cv::Mat(int(v.camera[1]), int(v.camera[0]), CV_8UC1));
}

struct Outcome {
  bool ok = true;
  bool threw = false;
};
Outcome run(DenseDepth& stage, std::shared_ptr<ImageScaled> a, std::shared_ptr<ImageScaled> b) {
  Outcome o;
  try {
    o.ok = stage.ComputeDepth(a, b);
  } catch (...) {
    o.threw = true;
  }
  return o;
}

TEST(PairGeometry, WorkWidthFollowsScaleButNeverDropsBelow960) {
  struct Case {
    std::vector<double> camera;
    int width;
  };
  for (const Case& c : {Case{{4000, 3000, 3400, 3400, 1999.5, 1499.5}, 1000},
                        Case{{3000, 2250, 2550, 2550, 1499.5, 1124.5}, 960},
                        Case{{800, 600, 680, 680, 399.5, 299.5}, 800}}) {
    auto calculator = std::make_shared<ConstantDisparity>(20.f);
    DenseDepth stage(4.0f, calculator);
    auto a = plainRecord(view(c.camera, 0, 0), 1);
    auto b = plainRecord(view(c.camera, 20, 0), 2);
    stage.ComputeDepth(a, b);
    EXPECT_EQ(calculator->cols, c.width) << c.camera[0];
    EXPECT_EQ(a->rectImage.cols, c.width);
  }
}

TEST(PairGeometry, GreyAndAlphaSourcesAreMatchedAsColour) {
  // Plane 80 m below, 20 m baseline, f 500: disparity 125 everywhere.
  for (int type : {CV_8UC1, CV_8UC4}) {
    DenseDepth stage(4.0f, std::make_shared<ConstantDisparity>(125.f));
    auto a = plainRecord(view(kSmall, 0, 0), 1, type);
    ASSERT_TRUE(stage.ComputeDepth(a, plainRecord(view(kSmall, 20, 0), 2, type)));
    EXPECT_EQ(a->rectImage.type(), CV_8UC3);
    EXPECT_NEAR(a->depth.at<float>(240, 320), 80.0, 1e-3);
    EXPECT_NEAR(a->depthMin, 80.0 * (1 - DenseDepth::kRangeMargin), 1e-3);
  }
}

TEST(PairGeometry, EveryFaultFailsThePairWithItsLogLine) {
  LogLines log;
  auto constant = std::make_shared<ConstantDisparity>(125.f);
  DenseDepth stage(4.0f, constant);
  const auto reference = [] { return plainRecord(view(kSmall, 0, 0), 1); };
  struct Fault {
    const char* name;
    std::shared_ptr<ImageScaled> a, b;
    int severity;
    const char* line;
    std::shared_ptr<DisparityCalculator> calculator;
  };
  std::vector<double> portrait = {480, 960, 500, 500, 239.5, 479.5};
  std::vector<double> atan = {640, 480, 500, 500, 319.5, 239.5, 0.9};
  const std::vector<Fault> faults = {
      {"duplicate", reference(), plainRecord(view(kSmall, 20, 0), 1), fw::kLogError,
       "Somehow Duplicated frames are passed - FRAME: 1", constant},
      {"hover", reference(), plainRecord(view(kSmall, 0, 0), 2), fw::kLogWarning,
       "were taken from one spot", constant},
      {"descent", reference(), plainRecord(view(kSmall, 0, 0, 60), 2), fw::kLogWarning,
       "does not lie in front of the view", constant},
      {"portrait", plainRecord(view(portrait, 0, 0, 100), 1),
       plainRecord(view(portrait, 120, 0, 100), 2), fw::kLogWarning,
       "Negative Overlap Calculated - DIS: 120 Overlap: ", constant},
      {"too close", reference(), plainRecord(view(kSmall, 110, 0), 2), fw::kLogWarning,
       "Negative Overlap Calculated - DIS: 110 Overlap: ", constant},
      {"atan camera", reference(), plainRecord(view(atan, 20, 0), 2), fw::kLogError,
       "frame 2 has an unsupported camera model ATAN", constant},
      {"16-bit source", reference(), plainRecord(view(kSmall, 20, 0), 2, CV_16UC3), fw::kLogError,
       "frame 2 has no 8-bit grey or colour source image", constant},
      {"no sparse depth", withoutSparsePoints(view(kSmall, 0, 0), 1),
       plainRecord(view(kSmall, 20, 0), 2), fw::kLogInfo,
       "Failed to read depth range from sparse cloud.", constant},
      // Rejected matches read -1 when the search starts at 0.
      {"rejects", reference(), plainRecord(view(kSmall, 20, 0), 2), fw::kLogInfo,
       "only 0 of 307200 pixels got a depth", std::make_shared<ConstantDisparity>(-1.f)},
      {"calculator throws", reference(), plainRecord(view(kSmall, 20, 0), 2), fw::kLogError,
       "frame 1: no memory", std::make_shared<Throwing>()},
      {"no GPU matcher", reference(), plainRecord(view(kSmall, 20, 0), 2), fw::kLogError,
       "DenseDepth::ComputeDepth: frame 1: ", std::make_shared<SGM_GPU>()},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.name);
    stage.calculator = f.calculator;
    const int before = log.count(f.severity, f.line);
    const Outcome o = run(stage, f.a, f.b);
    EXPECT_FALSE(o.threw);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(log.count(f.severity, f.line), before + 1);
    EXPECT_TRUE(f.a->depth.empty());
  }
}

TEST(PairGeometry, ParallelPairsOverSharedRecords) {
  // Five frames 12 m apart over the plane; four tasks share each inner record as the
  // neighbour of one pair and the reference of the next.
  const std::vector<double> camera = {480, 360, 400, 400, 239.5, 179.5};
  const Ground plane(true);
  std::vector<std::shared_ptr<ImageScaled>> records;
  for (int i = 0; i < 5; ++i)
    records.push_back(densetest::renderedRecord(plane, view(camera, 0, -12.0 * i, 60), i + 1));
  DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
  bool ok[4] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] { ok[i] = stage.ComputeDepth(records[i], records[i + 1]); });
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(ok[i]) << i;
    EXPECT_GE(densetest::scoreDepth(plane, *records[i], 4).accurate, 0.9) << i;
  }
}

}  // namespace

// Frames per second through the depth stage alone (one thread awaiting its futures) and
// through depth stage + cleaner + pruner (outputs that drop their payload), on the 16-frame
// example flight (1000 x 750, matched at 960 x 720). The depth pool and OpenCV get as many
// threads as the process may use, so pin the run: `taskset -c 0 pipeline_perf`, then
// `taskset -c 0,1 pipeline_perf`. Per-stage times are in the log lines ("Frame ID:",
// "Cleaner processed", "Pruner processed"). The cleaner's rule and the pruner's resampling of
// one depth frame at the working size of a 12 MP frame are timed alone too.

#include "chain/zel_node.h"
#include "framework/config_store.h"
#include "framework/diy_frame.h"
#include "src/PointsFusion/src/stereo_dense/cleaner.h"
#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/pruner.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"
#include "src/sfm/src/georeferencing_front_end.h"
#include "tools/example_flight.h"

#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>
#include <opencv2/core.hpp>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

namespace {

using Result = std::shared_future<std::shared_ptr<ImageScaled>>;

class LocatedFrames : public zel::Chain {
 public:
  LocatedFrames() : zel::Chain("Mapper", nullptr) {}
  void call(const std::string& command, std::shared_ptr<fw::GObject> argument) override {
    if (command == "frame_located")
      frames.push_back(std::dynamic_pointer_cast<fw::MapFrame>(argument));
  }
  std::vector<std::shared_ptr<fw::MapFrame>> frames;
};

// The example flight on disk, located once; the frames are reused by every iteration.
const std::vector<std::shared_ptr<fw::MapFrame>>& flightFrames() {
  static const std::vector<std::shared_ptr<fw::MapFrame>> frames = [] {
    const flight::ExampleFlight example = flight::makeExampleFlight({});
    const auto folder =
        std::filesystem::temp_directory_path() / ("pipeline_perf_" + std::to_string(::getpid()));
    const flight::WrittenFlight written = flight::writeExampleFlight(example, folder);
    const flight::PinholeCamera& c = example.plan.options.camera;
    const fw::Camera camera(std::vector<double>{double(c.width), double(c.height), c.fx, c.fy, c.cx,
                                                c.cy, 0, 0, 0, 0, 0});
    LocatedFrames chain;
    sfm::GeoreferencingFrontEnd frontEnd(&chain, {});
    for (size_t i = 0; i < written.images.size(); ++i) {
      const flight::PlannedFrame& f = example.plan.frames[i];
      const cv::Vec3d& g = f.recorded_geodetic;
      const cv::Vec3d& a = f.recorded_attitude;
      frontEnd.addFrame(std::make_shared<MapFrame>(
          i, f.timestamp, fw::GImage(), written.images[i].string(), camera,
          std::vector<double>{g[1], g[0], g[2], 0.02, 0.02, 0.02, f.relative_altitude, 10.0, a[0],
                              a[1], a[2], 0.1, 0.1, 0.1},
          1));
    }
    frontEnd.finishInput();
    return chain.frames;
  }();
  return frames;
}

int allowedCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof set, &set);
  return CPU_COUNT(&set);
}

void configureThreads() {
  const int cores = allowedCores();
  cv::setNumThreads(cores);
  fw::Var::instance().setText("pointsfusion.dense_thread_num", std::to_string(cores));
}

// Waits for each published depth result on one thread, as the cleaner's worker would.
class FutureDrain {
 public:
  FutureDrain() : thread_([this] { run(); }) {
    sub_ = fw::Messenger::instance().subscribe("sbt.dense_frame", 0, &FutureDrain::onResult, this);
  }
  ~FutureDrain() {
    sub_.shutdown();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void onResult(const Result& result) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(result);
    }
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return done_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Result next = queue_.front();
      queue_.pop_front();
      lock.unlock();
      next.wait();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Result> queue_;
  bool done_ = false;
  fw::Subscriber sub_;
  std::thread thread_;
};

void feed() {
  const auto& frames = flightFrames();
  DenseDepth depth(4.0f, std::make_shared<SGM_CPU>());
  for (const auto& frame : frames) depth.AddFrame(frame);
}  // the stage's destructor waits for the last pair

void BM_DepthAlone(benchmark::State& state) {
  configureThreads();
  flightFrames();  // written and located before the clock runs
  for (auto _ : state) {
    FutureDrain drain;
    feed();
  }
  state.counters["cores"] = allowedCores();
  state.counters["frames_per_s"] = benchmark::Counter(
      double(state.iterations() * flightFrames().size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DepthAlone)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);

void BM_DepthCleanPrune(benchmark::State& state) {
  configureThreads();
  flightFrames();
  for (auto _ : state) {
    auto cleaner = std::make_shared<Cleaner>();
    auto pruner = std::make_shared<Pruner>([](sv::Var&) {}, [](sv::Var&) {});
    feed();
    cleaner.reset();  // the final pass publishes the last depth frame
    pruner.reset();
  }
  state.counters["cores"] = allowedCores();
  state.counters["frames_per_s"] = benchmark::Counter(
      double(state.iterations() * flightFrames().size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DepthCleanPrune)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);

// A depth frame of a 1000 x 750 view looking straight down at flat ground 80 m below, from
// `east` metres along: depth everywhere, count 2 (confirmed), colour noise for detail.
std::shared_ptr<ImageScaled> flatRecord(uint64_t id, double east) {
  const cv::Size size(1000, 750);
  const double f = 850.0;
  const SE3 pose(fw::Quaternion(0, 0, 0, 1), pi::Point3d(east, 0, 0));
  auto frame = std::make_shared<MapFrame>(
      id, 0.0, fw::GImage(), "",
      fw::Camera(std::vector<double>{double(size.width), double(size.height), f, f, 499.5, 374.5}),
      std::vector<double>(), 1);
  frame->setPose(pose);
  cv::Mat image(size, CV_8UC3);
  cv::RNG(int(id)).fill(image, cv::RNG::UNIFORM, 0, 256);
  auto record = std::make_shared<ImageScaled>(frame, image);
  record->pose = pose;
  record->rectImage = image;
  record->depth = cv::Mat(size, CV_32F, cv::Scalar(80.0f));
  record->count = cv::Mat(size, CV_8U, cv::Scalar(2));
  record->K = {f, 0, 499.5, 0, f, 374.5, 0, 0, 1};
  record->depthMin = 70.0f;
  record->depthMax = 90.0f;
  return record;
}

void BM_PruneFrame(benchmark::State& state) {
  const std::shared_ptr<ImageScaled> record = flatRecord(1, 0.0);
  Pruner pruner([](sv::Var&) {}, [](sv::Var&) {});
  for (auto _ : state) pruner.Process(record);
}
BENCHMARK(BM_PruneFrame)->Unit(benchmark::kMillisecond);

void BM_CleanFrame(benchmark::State& state) {
  Cleaner::Workspace job;
  for (uint64_t id = 1; id <= 3; ++id) {
    Cleaner::View view;
    Cleaner::makeView(*flatRecord(id, 10.0 * double(id)), view);
    job.views.push_back(view);
  }
  for (auto _ : state) {
    state.PauseTiming();
    job.views[0].count.setTo(1);
    state.ResumeTiming();
    Cleaner::CleanFrame(job);
  }
}
BENCHMARK(BM_CleanFrame)->Unit(benchmark::kMillisecond);

}  // namespace

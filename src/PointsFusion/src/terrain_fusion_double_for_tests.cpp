#include "terrain_fusion_double_for_tests.h"

#include "chain/chain_factories.h"
#include "framework/map_frame.h"
#include "framework/map_fusion.h"
#include "values/var.h"

#include <mutex>
#include <stdexcept>

namespace terrain_double {
namespace {

struct Record {
  std::mutex mutex;
  Mode mode = Mode::kRecordingNode;
  std::vector<std::string> configurations;
  std::vector<PointCloud> clouds;
  std::vector<Intake> intake;
};

Record& record() {
  static Record r;
  return r;
}

class RecordingNode : public fw::MapFusion {
 public:
  void call(const std::string& command, void* arg) override {
    if (command != "point_cloud") return;
    const sv::Var& message = *static_cast<sv::Var*>(arg);
    PointCloud cloud;
    cloud.frameId = message[0].castAs<std::shared_ptr<fw::MapFrame>>()->id;
    cloud.world = message[1].castAs<std::vector<pi::Point3d>>();
    if (message.length() > 3) {  // the points only the frame's own image pair confirmed
      const auto pairOnly = message[3].castAs<std::vector<pi::Point3d>>();
      cloud.world.insert(cloud.world.end(), pairOnly.begin(), pairOnly.end());
    }
    std::lock_guard<std::mutex> lock(record().mutex);
    record().intake.push_back({cloud.frameId, false});
    record().clouds.push_back(std::move(cloud));
  }
  bool fuseFrame(std::shared_ptr<fw::MapFrame> frame) override {
    std::lock_guard<std::mutex> lock(record().mutex);
    record().intake.push_back({frame->id, true});
    return true;
  }
};

}  // namespace

void reset(Mode mode) {
  std::lock_guard<std::mutex> lock(record().mutex);
  record().mode = mode;
  record().configurations.clear();
  record().clouds.clear();
  record().intake.clear();
}

std::vector<std::string> configurations() {
  std::lock_guard<std::mutex> lock(record().mutex);
  return record().configurations;
}

std::vector<PointCloud> pointClouds() {
  std::lock_guard<std::mutex> lock(record().mutex);
  return record().clouds;
}

std::vector<Intake> intake() {
  std::lock_guard<std::mutex> lock(record().mutex);
  return record().intake;
}

}  // namespace terrain_double

void createTerrainFusionInstance(std::shared_ptr<fw::MapFusion>& node, std::string config,
                                 zel::Chain*, fw::Messenger*,
                                 std::shared_ptr<std::set<fw::LogSink*>>) {
  using namespace terrain_double;
  Mode mode;
  {
    std::lock_guard<std::mutex> lock(record().mutex);
    record().configurations.push_back(config);
    mode = record().mode;
  }
  if (mode == Mode::kThrows) throw std::runtime_error("terrain double refuses");
  if (mode == Mode::kRecordingNode) node = std::make_shared<RecordingNode>();
}

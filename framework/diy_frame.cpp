#include "framework/diy_frame.h"

#include "framework/config_store.h"
#include "framework/file_resource.h"
#include "framework/var_with_type.h"
#include "framework/vocabulary.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

// An in-memory stream over a registered buffer.
class BufferStream : public std::streambuf {
 public:
  BufferStream(const unsigned char* data, uint64_t size) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
    setg(begin, begin, begin + size);
  }

 protected:
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
    char* target = (dir == std::ios_base::beg   ? eback()
                    : dir == std::ios_base::cur ? gptr()
                                                : egptr()) +
                   off;
    if (target < eback() || target > egptr()) return pos_type(off_type(-1));
    setg(eback(), target, egptr());
    return pos_type(target - eback());
  }
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
    return seekoff(off_type(pos), std::ios_base::beg, which);
  }
};

// The process-wide vocabulary, loaded (from the registered buffer, else from the file) by the
// first caller that finds it empty. Loading and the emptiness test share one lock, so a
// vocabulary is never loaded twice at once and is complete once seen non-empty; a failed
// load is tried again by the next caller.
const fw::Vocabulary* sharedVocabulary() {
  static std::mutex loadMutex;
  std::lock_guard<std::mutex> lock(loadMutex);
  fw::Vocabulary* vocabulary = fw::VarWithType<fw::Vocabulary>::instance().get("Vocabulary");
  if (vocabulary->empty()) {
    const std::string name =
        *fw::Var::instance().GetString("SLAM.Vocabulary", "sift_10_4_tf_l1.bow");
    const fw::FileResource::FileBuffer buffer = fw::FileResource::lookup(name);
    bool loaded = false;
    if (buffer.data && buffer.size > 0) {
      BufferStream streamBuffer(buffer.data, buffer.size);
      std::istream in(&streamBuffer);
      loaded = vocabulary->load(in);
    }
    if (!loaded) loaded = vocabulary->load(name);
    if (!loaded) return nullptr;
  }
  return vocabulary->empty() ? nullptr : vocabulary;
}

}  // namespace

MapFrame::MapFrame(uint64_t frameId, double frameTimestamp, const fw::GImage& image,
                   const std::string& imagePath, const fw::Camera& camera,
                   const std::vector<double>& gps, int flags)
    : fw::GeotaggedFrame(frameId, frameTimestamp, gps),
      image_(image),
      flags_(flags),
      imagePath_(imagePath),
      camera_(camera) {}

void MapFrame::call(const std::string& command, void* arg) {
  if (!arg) return;
  if (command == "GetKeyPoint") {
    auto* query = static_cast<fw::KeyPointPositionQuery*>(arg);
    if (query->index >= keypoints_.size()) return;
    query->x = keypoints_[query->index].keypoint.pt.x;
    query->y = keypoints_[query->index].keypoint.pt.y;
  } else if (command == "GetGPS") {
    copyGpsTo(arg);
  } else if (command == "GetImagePath") {
    *static_cast<std::string*>(arg) = imagePath_;
  } else if (command == "SetImagePath") {
    imagePath_ = *static_cast<std::string*>(arg);
  } else if (command == "GetImageReduction") {
    std::lock_guard<std::mutex> lock(imageMutex_);
    *static_cast<int*>(arg) = imageReduction_;
  }
}

fw::Camera MapFrame::getCamera(int) { return camera_; }

fw::GImage MapFrame::getImage(int, int) {
  std::lock_guard<std::mutex> lock(imageMutex_);
  return image_;
}

bool MapFrame::setImage(const fw::GImage& image, int) {
  setReducedImage(image, 1);
  return true;
}

void MapFrame::setReducedImage(const fw::GImage& image, int reduction) {
  fw::GImage replaced;  // let go of outside the lock
  std::lock_guard<std::mutex> lock(imageMutex_);
  replaced = image_;
  image_ = image;
  imageReduction_ = reduction;
}

// ---- GPS record

bool MapFrame::getGPSAttitude(pi::Point3d& attitude) {
  if (!gpsRecord().hasAttitude) return false;
  attitude = gpsRecord().attitude;
  return gpsRecord().attitudeSigma.x < fw::kGpsAttitudeUsable;
}

bool MapFrame::getGPSAttitudeSigma(pi::Point3d& sigma) {
  if (!gpsRecord().hasAttitude) return false;
  sigma = gpsRecord().attitudeSigma;
  return true;
}

// ---- Key points

pi::Point3ub MapFrame::colourAt(float x, float y) {
  if (!image_.data) return {255, 255, 255};
  if (!(x >= 0 && y >= 0 && x < float(image_.cols) && y < float(image_.rows))) return {0, 0, 0};
  const size_t k = size_t(int(y)) * size_t(image_.cols) + size_t(int(x));
  const unsigned char* p = image_.data;
  const bool imageOrder = (imageFlags() & 1) != 0;
  switch (image_.type) {
    case 0:
      return {p[k], p[k], p[k]};
    case 16:
      p += 3 * k;
      return imageOrder ? pi::Point3ub(p[0], p[1], p[2]) : pi::Point3ub(p[2], p[1], p[0]);
    case 24:
      p += 4 * k;
      return imageOrder ? pi::Point3ub(p[0], p[1], p[2]) : pi::Point3ub(p[2], p[1], p[0]);
    default:
      return {0, 0, 0};
  }
}

// Cell (floor(32 x / width), floor(32 y / height)) for insertion and search alike, so every
// key point inside the image has a cell and every search finds it.
bool MapFrame::cellOf(float x, float y, int& cx, int& cy) const {
  if (camera_.width() < 1 || camera_.height() < 1) return false;
  const float fx = float(kGridSize) / float(camera_.width());
  const float fy = float(kGridSize) / float(camera_.height());
  const float gx = std::floor(x * fx), gy = std::floor(y * fy);
  if (!(gx >= 0 && gx < kGridSize && gy >= 0 && gy < kGridSize)) return false;
  cx = int(gx);
  cy = int(gy);
  return true;
}

bool MapFrame::setKeyPoints(const std::vector<cv::KeyPoint>& keypoints,
                            const fw::GImage& descriptors) {
  descriptors_ = descriptors;
  keypoints_.resize(keypoints.size());
  for (size_t i = 0; i < keypoints.size(); ++i) {
    KeyPointRecord& record = keypoints_[i];
    record.keypoint = keypoints[i];
    record.colour = colourAt(keypoints[i].pt.x, keypoints[i].pt.y);
    record.ray = camera_.UnProject(fw::Point2d(keypoints[i].pt.x, keypoints[i].pt.y));
  }
  const size_t reserve = size_t(double(keypoints_.size()) * 0.5 / 1024);
  for (auto& cell : grid_) {
    cell.clear();
    cell.reserve(reserve);
  }
  for (size_t i = 0; i < keypoints_.size(); ++i) {
    int cx = 0, cy = 0;
    if (cellOf(keypoints_[i].keypoint.pt.x, keypoints_[i].keypoint.pt.y, cx, cy))
      grid_[size_t(cy) * kGridSize + size_t(cx)].push_back(i);
  }
  return true;
}

bool MapFrame::getKeyPoint(int index, cv::KeyPoint& keypoint) {
  if (!validIndex(index)) return false;
  keypoint = keypoints_[size_t(index)].keypoint;
  return true;
}

bool MapFrame::getKeyPointPosition(int index, cv::Point2f& position) {
  if (!validIndex(index)) return false;
  position = keypoints_[size_t(index)].keypoint.pt;
  return true;
}

std::vector<cv::KeyPoint> MapFrame::getKeyPoints() {
  std::vector<cv::KeyPoint> keypoints(keypoints_.size());
  for (size_t i = 0; i < keypoints_.size(); ++i) getKeyPoint(int(i), keypoints[i]);
  return keypoints;
}

bool MapFrame::getKeyPointPositions(std::vector<cv::Point2f>& positions) {
  for (const KeyPointRecord& record : keypoints_) positions.push_back(record.keypoint.pt);
  return true;
}

bool MapFrame::getKeyPointColor(int index, pi::Point3ub& colour) {
  if (!validIndex(index)) return false;
  colour = keypoints_[size_t(index)].colour;
  return true;
}

std::shared_ptr<fw::MapPoint> MapFrame::mapPointOf(int index) const {
  std::lock_guard<std::mutex> lock(mutex);
  return validIndex(index) ? keypoints_[size_t(index)].mapPoint : nullptr;
}

bool MapFrame::getKeyPointInverseDepth(int index, fw::Point2d& inverseDepth) {
  const std::shared_ptr<fw::MapPoint> mapPoint = mapPointOf(index);
  if (!mapPoint) return false;
  const pi::Point3d world = mapPoint->getPosition();
  const SE3 cameraFromWorld = getPoseSE3().inverse();
  const double depth = cameraFromWorld.transformPoint(world).z;
  if (!(depth >= 0.1)) return false;
  inverseDepth = fw::Point2d(1.0 / depth, -1.0);
  return true;
}

uint64_t MapFrame::getKeyPointObservation(int index) {
  const std::shared_ptr<fw::MapPoint> mapPoint = mapPointOf(index);
  return mapPoint ? mapPoint->id() : 0;
}

fw::GImage MapFrame::getDescriptor(int index) {
  if (index < 0) return descriptors_;
  if (!descriptors_.data || index >= descriptors_.rows) return fw::GImage();
  return descriptors_.row(index);
}

// ---- Bag of words

bool MapFrame::computeBow() {
  if (!bow_.empty()) return true;
  const fw::Vocabulary* vocabulary = sharedVocabulary();
  if (!vocabulary || !descriptors_.data) return false;
  vocabulary->transform(descriptors_, bow_, features_, vocabulary->levels() - 3);
  return true;
}

bool MapFrame::getBoWVector(fw::BowVector& bow) {
  if (!computeBow()) return false;
  bow = bow_;
  return true;
}

bool MapFrame::getFeatureVector(fw::FeatureVector& features) {
  if (features_.empty() && !computeBow()) return false;
  features = features_;
  return true;
}

// ---- Area search

std::vector<uint64_t> MapFrame::getFeaturesInArea(const float& x, const float& y, const float& r,
                                                  bool circular) {
  std::vector<uint64_t> result;
  if (camera_.width() < 1 || camera_.height() < 1) return result;
  const float fx = float(kGridSize) / float(camera_.width());
  const float fy = float(kGridSize) / float(camera_.height());
  const float minX = std::max(std::floor((x - r) * fx), 0.0f);
  const float maxX = std::min(std::floor((x + r) * fx), float(kGridSize - 1));
  const float minY = std::max(std::floor((y - r) * fy), 0.0f);
  const float maxY = std::min(std::floor((y + r) * fy), float(kGridSize - 1));
  if (!(minX < kGridSize && maxX >= 0 && minY < kGridSize && maxY >= 0)) return result;
  result.reserve(keypoints_.size());
  for (int cx = int(minX); cx <= int(maxX); ++cx) {
    for (int cy = int(minY); cy <= int(maxY); ++cy) {
      for (uint64_t i : grid_[size_t(cy) * kGridSize + size_t(cx)]) {
        if (circular) {
          const cv::Point2f& p = keypoints_[i].keypoint.pt;
          const float dx = p.x - x, dy = p.y - y;
          if (dx * dx + dy * dy > r * r) continue;
        }
        result.push_back(i);
      }
    }
  }
  return result;
}

// ---- Observations

int MapFrame::observationCount() {
  std::lock_guard<std::mutex> lock(mutex);
  return int(observations_.size());
}

bool MapFrame::getObservations(fw::ObservationMap& observations) {
  std::lock_guard<std::mutex> lock(mutex);
  for (size_t i = 0; i < keypoints_.size(); ++i)
    if (keypoints_[i].mapPoint) observations.emplace(keypoints_[i].mapPoint->id(), i);
  return true;
}

void MapFrame::copyKeyPointsFrom(const MapFrame& source) {
  if (&source == this) return;
  std::vector<KeyPointRecord> keypoints;
  fw::ObservationMap observations;
  {
    std::lock_guard<std::mutex> lock(source.mutex);
    keypoints = source.keypoints_;
    observations = source.observations_;
  }
  std::lock_guard<std::mutex> lock(mutex);
  keypoints_ = std::move(keypoints);
  observations_ = std::move(observations);
}

bool MapFrame::addObservation(const std::shared_ptr<fw::MapPoint>& mapPoint, uint64_t index,
                              bool informMapPoint) {
  if (!mapPoint) return false;
  std::lock_guard<std::mutex> lock(mutex);
  if (index >= keypoints_.size()) return false;
  if (observations_.count(mapPoint->id())) return false;
  KeyPointRecord& record = keypoints_[index];
  if (record.mapPoint) return false;
  if (informMapPoint && !mapPoint->addObservation(id, index)) return false;
  record.mapPoint = mapPoint;
  observations_.emplace(mapPoint->id(), index);
  return true;
}

bool MapFrame::eraseObservation(const std::shared_ptr<fw::MapPoint>& mapPoint,
                                bool informMapPoint) {
  if (!mapPoint) return false;
  std::lock_guard<std::mutex> lock(mutex);
  const auto entry = observations_.find(mapPoint->id());
  if (entry == observations_.end() || entry->second >= keypoints_.size()) return false;
  KeyPointRecord& record = keypoints_[entry->second];
  if (!record.mapPoint) return false;
  if (informMapPoint && !mapPoint->eraseObservation(id)) return false;
  record.mapPoint.reset();
  observations_.erase(entry);
  return true;
}

bool MapFrame::clearObservations() {
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& entry : observations_) {
    if (entry.second >= keypoints_.size()) continue;
    KeyPointRecord& record = keypoints_[entry.second];
    if (record.mapPoint) record.mapPoint->eraseObservation(id);
    record.mapPoint.reset();
  }
  observations_.clear();
  return true;
}

// ---- Links

namespace {
std::shared_ptr<fw::FrameLink> findLink(const fw::FrameLinks& links, uint64_t frameId) {
  const auto it = links.find(frameId);
  return it == links.end() ? nullptr : it->second;
}
}  // namespace

std::shared_ptr<fw::FrameLink> MapFrame::getFirstLink(uint64_t frameId) {
  return findLink(firstLinks_, frameId);
}

std::shared_ptr<fw::FrameLink> MapFrame::getSecondLink(uint64_t frameId) {
  return findLink(secondLinks_, frameId);
}

bool MapFrame::getFirstLinks(fw::FrameLinks& links) {
  links = firstLinks_;
  return true;
}

bool MapFrame::getSecondLinks(fw::FrameLinks& links) {
  links = secondLinks_;
  return true;
}

bool MapFrame::setFirstLink(uint64_t frameId, const std::shared_ptr<fw::FrameLink>& link) {
  firstLinks_[frameId] = link;
  return true;
}

bool MapFrame::setSecondLink(uint64_t frameId, const std::shared_ptr<fw::FrameLink>& link) {
  secondLinks_[frameId] = link;
  return true;
}

bool MapFrame::eraseFirstLink(uint64_t frameId) { return firstLinks_.erase(frameId) > 0; }

bool MapFrame::eraseSecondLink(uint64_t frameId) { return secondLinks_.erase(frameId) > 0; }

bool MapFrame::clearFirstLinks() {
  firstLinks_.clear();
  return true;
}

bool MapFrame::clearSecondLinks() {
  secondLinks_.clear();
  return true;
}

// ---- Median depth

double MapFrame::getMedianDepth() {
  if (medianDepth_ > 0) return medianDepth_;
  fw::ObservationMap observations;
  getObservations(observations);
  if (observations.empty()) return -1.0;
  const SE3 cameraFromWorld = getPoseSE3().inverse();
  std::vector<float> depths;
  for (const auto& entry : observations) {
    const std::shared_ptr<fw::MapPoint> mapPoint = mapPointOf(int(entry.second));
    if (!mapPoint) continue;
    depths.push_back(float(cameraFromWorld.transformPoint(mapPoint->getPosition()).z));
  }
  if (depths.empty()) return -1.0;
  std::sort(depths.begin(), depths.end());
  medianDepth_ = depths[(depths.size() - 1) / 2];
  return medianDepth_;
}

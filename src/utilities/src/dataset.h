#pragma once

#include "image_load_options.h"
#include "vorn_mapper_frame.h"

#include <boost/lockfree/queue.hpp>
#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A fixed list of frames read once from a frame-list file (a JSON array of frame documents).
// `next` hands the frames out in order while their images are loaded up to eight frames ahead
// on loader threads. A frame whose image is missing or does not decode is logged and skipped.
// The run's tally counts every frame handed out as read and every frame skipped as failed,
// by its reason.
class ImageDataset {
 public:
  explicit ImageDataset(const std::string& frameListPath,
                        const ImageLoadOptions& options = ImageLoadOptions::fromConfiguration());
  // Stops the dispatcher and joins every loader thread, also in the middle of a run.
  virtual ~ImageDataset();
  ImageDataset(const ImageDataset&) = delete;
  ImageDataset& operator=(const ImageDataset&) = delete;

  // Only a live dataset takes pushed frame documents; this one discards the text.
  virtual bool pushFrame(const std::string& text);
  virtual bool isLive();
  // The next loaded frame, or an empty pointer at the end (or after `interrupt`).
  virtual std::shared_ptr<VornMapperFrame> next();
  virtual int size();

  // Turns a frame document into a frame numbered after the frames already in the list and
  // appends it; an empty pointer (and an error line) when the document is refused.
  std::shared_ptr<VornMapperFrame> loadFrame(const nlohmann::json& doc);
  // Makes a `next` waiting now or later return an empty pointer (the run is being stopped).
  void interrupt();

  // Frames queued for loading ahead of the consumer at each `next` call.
  static constexpr int kPrefetchCount = 8;

 protected:
  explicit ImageDataset(const ImageLoadOptions& options);
  bool interrupted() const { return interrupted_.load(); }
  // Wakes a consumer waiting for a frame load or a pushed frame.
  void notifyWaiters();
  // Waits until `ready` holds, a wake-up arrives or 100 ms have passed.
  void waitUntil(const std::function<bool()>& ready);

  std::mutex mutex_;
  std::vector<std::shared_ptr<VornMapperFrame>> frames_;
  int cursor_ = 0;
  const ImageLoadOptions options_;

 private:
  void startDispatcher();
  void stopDispatcher();
  void dispatchLoop();
  void queueAhead(int first);
  std::shared_ptr<VornMapperFrame> frameAt(int index);

  // Gives the frame's share of the decode budget back as it leaves the dataset.
  void handOut(VornMapperFrame& frame);

  DecodeBudget budget_;
  std::thread dispatcher_;
  boost::lockfree::queue<int> pending_{kPrefetchCount};
  std::atomic<bool> dispatching_{false};
  std::atomic<bool> interrupted_{false};
  std::mutex waitMutex_;
  std::condition_variable changed_;
};

// Frames pushed one by one as frame documents while the process runs. An empty text ends the
// stream; `next` waits for frames until then and loads each image as it hands the frame out.
class ImageDatasetLive : public ImageDataset {
 public:
  explicit ImageDatasetLive(
      int frameCount, const ImageLoadOptions& options = ImageLoadOptions::fromConfiguration());
  ~ImageDatasetLive() override = default;

  bool pushFrame(const std::string& text) override;
  bool isLive() override;
  std::shared_ptr<VornMapperFrame> next() override;
  // The frame count announced by the task (-1 when none was given).
  int size() override;

 private:
  std::atomic<int> ended_{0};
  int frameCount_;
};

// The dataset that the task's "dataset" object describes: a live dataset when "live" is true,
// a frame list when "form" is "zel_frame", otherwise an empty pointer. Throws the JSON
// library's errors for a missing "form" or "uri" and for a frame list that is not JSON.
// `workingLongSide`: the side of the front end's feature image when its settings name one (0:
// the configured one), which frames are decoded no coarser than.
std::shared_ptr<ImageDataset> createDataset(nlohmann::json dataset, int workingLongSide = 0);

// Why a frame's image was not loaded (`VornMapperFrame::loadFailure`), in the words the run's
// summary groups its failed frames by.
inline constexpr char kLoadUnreadable[] = "unreadable file";
inline constexpr char kLoadNotAnImage[] = "not an image";
inline constexpr char kLoadTooLarge[] = "too many pixels";
inline constexpr char kLoadOverBudget[] = "over the decode budget";
inline constexpr char kLoadOutOfMemory[] = "out of memory";
inline constexpr char kLoadCancelled[] = "loading cancelled";
inline constexpr char kLoadMisdescribed[] = "size differs from the calibration";
inline constexpr char kLoadNoContent[] = "no content";

// Reads, names (MD5 of the file when unnamed) and decodes the frame's image as 8-bit BGR
// (whatever its channels and depth in the file) and fits the calibration to the file's size.
// Where the options' working side and the header allow, the image is decoded reduced by 2, 4
// or 8, and the frame tells the factor ("GetImageReduction"). Returns
// false, with an error line naming the file, when the file is not a regular file, cannot be opened
// or decoded, claims more pixels than the options allow, needs a whole decode larger than the
// decode budget, has a size its calibration does not describe, or has no content (every pixel
// the same colour, as in a blank or black frame); the frame is then marked failed. With a
// budget, the decoded bytes are reserved from it first and kept in the frame's reservation.
bool loadImage(VornMapperFrame& frame);
bool loadImage(VornMapperFrame& frame, const ImageLoadOptions& options, DecodeBudget* budget);

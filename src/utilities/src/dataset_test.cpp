#include "dataset.h"

#include "test_images.h"

#include "framework/run_tally.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

namespace {

using nlohmann::json;

std::vector<std::uint64_t> drain(ImageDataset& dataset) {
  std::vector<std::uint64_t> ids;
  while (auto frame = dataset.next()) ids.push_back(frame->id);
  return ids;
}

TEST(FrameList, RefusedDocumentsLeaveNoGapInTheNumbering) {
  vmtest::TempDir dir;
  auto image = vmtest::writeTestJpeg(dir / "a.jpg", 64, 48, 1);
  json list = json::array({vmtest::frameDocument(image, 64, 48), json{{"name", "no uri"}},
                           vmtest::frameDocument(image, 64, 48), json{{"uri", image.string()}},
                           vmtest::frameDocument(image, 64, 48)});
  list[2]["timestamp"] = 1700000000.5;
  vmtest::writeJson(dir / "frames.json", list);

  ImageDataset dataset((dir / "frames.json").string());
  ASSERT_EQ(dataset.size(), 3);
  EXPECT_FALSE(dataset.isLive());
  EXPECT_FALSE(dataset.pushFrame(vmtest::frameDocument(image, 64, 48).dump()));
  auto first = dataset.next();
  auto second = dataset.next();
  auto third = dataset.next();
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ(first->id, 0u);
  EXPECT_EQ(second->id, 1u);
  EXPECT_EQ(third->id, 2u);
  EXPECT_EQ(first->timestamp, 1701532800.0);
  EXPECT_EQ(second->timestamp, 1700000000.5);
  EXPECT_EQ(third->timestamp, 1701532802.0);
  EXPECT_EQ(dataset.next(), nullptr);
  EXPECT_EQ(dataset.next(), nullptr);
}

TEST(FrameList, DocumentsThatAreNotListsOfFrames) {
  vmtest::TempDir dir;
  std::ofstream(dir / "null.json") << "null";
  std::ofstream(dir / "empty_object.json") << "{}";
  std::ofstream(dir / "object.json") << R"({"uri": "a.jpg"})";
  std::ofstream(dir / "text.json") << R"("a.jpg")";
  std::ofstream(dir / "broken.json") << R"([{"uri": )";

  EXPECT_EQ(ImageDataset((dir / "null.json").string()).size(), 0);
  EXPECT_EQ(ImageDataset((dir / "empty_object.json").string()).size(), 0);
  EXPECT_EQ(ImageDataset((dir / "missing.json").string()).size(), 0);
  EXPECT_THROW(ImageDataset((dir / "object.json").string()), std::runtime_error);
  EXPECT_THROW(ImageDataset((dir / "text.json").string()), std::runtime_error);
  EXPECT_THROW(ImageDataset((dir / "broken.json").string()), json::parse_error);

  ImageDataset empty((dir / "null.json").string());
  EXPECT_EQ(empty.next(), nullptr);
}

TEST(FrameList, FramesComeInOrderWithTheirImagesLoaded) {
  vmtest::TempDir dir;
  ImageDataset dataset(vmtest::writeFrameList(dir.path(), 12, 80, 60).string());
  ASSERT_EQ(dataset.size(), 12);
  for (std::uint64_t i = 0; i < 12; ++i) {
    auto frame = dataset.next();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->id, i);
    EXPECT_EQ(frame->loadState.load(), VornMapperFrame::kLoaded);
    fw::GImage image = frame->getImage(0, 0);
    EXPECT_EQ(image.cols, 80);
    EXPECT_EQ(image.rows, 60);
    EXPECT_EQ(image.type, 16);  // 8-bit, three channels, as stored
    EXPECT_EQ(frame->name.size(), 32u);
    frame->setImage(fw::GImage(), 0);
  }
  EXPECT_EQ(dataset.next(), nullptr);
}

TEST(FrameList, TheFirstFrameQueuesTheFramesAheadOnlyOnce) {
  vmtest::TempDir dir;
  ImageDataset dataset(vmtest::writeFrameList(dir.path(), 3, 32, 24).string());
  auto first = dataset.next();
  ASSERT_TRUE(first);
  // The two later frames were requested by the first call; they load in the background.
  std::vector<std::shared_ptr<VornMapperFrame>> later = {dataset.next(), dataset.next()};
  for (const auto& frame : later) {
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->loadState.load(), VornMapperFrame::kLoaded);
  }
  EXPECT_EQ(dataset.next(), nullptr);
}

TEST(FrameList, MissingAndCorruptImagesAreSkippedAndCountedAsFailed) {
  vmtest::TempDir dir;
  json list = json::array();
  for (int i = 0; i < 7; ++i) {
    auto path = dir / ("frame_" + std::to_string(i) + ".jpg");
    if (i == 1) {
      // never written: missing
    } else if (i == 3) {
      std::ofstream(path) << "this is not a JPEG";
    } else if (i == 4) {
      std::ofstream{path};  // empty file
    } else if (i == 6) {
      // A grey frame is read like any other.
      cv::Mat grey(30, 40, CV_8UC1);
      for (int y = 0; y < grey.rows; ++y) grey.row(y).setTo(cv::Scalar(100 + y));
      cv::imwrite(path.string(), grey);
    } else {
      vmtest::writeTestJpeg(path, 40, 30, i);
    }
    list.push_back(vmtest::frameDocument(path, 40, 30));
  }
  vmtest::writeJson(dir / "frames.json", list);
  fw::RunTally::instance().reset();
  ImageDataset dataset((dir / "frames.json").string());
  ASSERT_EQ(dataset.size(), 7);
  auto result = std::async(std::launch::async, [&] { return drain(dataset); });
  ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(result.get(), (std::vector<std::uint64_t>{0, 2, 5, 6}));
  EXPECT_EQ(fw::RunTally::instance().count(fw::tally::kFramesRead), 4);
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kFramesRead), 3);
  const std::string summary = fw::RunTally::instance().summary();
  EXPECT_NE(summary.find("frames read failed 3 (not an image 2, unreadable file 1)"),
            std::string::npos)
      << summary;
}

TEST(FrameList, DestroyingTheDatasetMidRunJoinsItsThreads) {
  vmtest::TempDir dir;
  auto path = vmtest::writeFrameList(dir.path(), 20, 160, 120);
  for (int taken : {0, 1, 5}) {
    auto dataset = std::make_unique<ImageDataset>(path.string());
    for (int i = 0; i < taken; ++i) ASSERT_TRUE(dataset->next());
    dataset.reset();
  }
}

TEST(FrameList, InterruptEndsTheFrameSequence) {
  vmtest::TempDir dir;
  ImageDataset dataset(vmtest::writeFrameList(dir.path(), 8, 32, 24).string());
  ASSERT_TRUE(dataset.next());
  dataset.interrupt();
  EXPECT_EQ(dataset.next(), nullptr);
}

TEST(LiveDataset, PushedFramesComeOutUntilTheEmptyText) {
  vmtest::TempDir dir;
  auto image = vmtest::writeTestJpeg(dir / "a.jpg", 64, 48, 7);
  fw::RunTally::instance().reset();
  ImageDatasetLive dataset(-1);
  EXPECT_TRUE(dataset.isLive());
  EXPECT_TRUE(dataset.pushFrame(vmtest::frameDocument(image, 64, 48).dump()));
  EXPECT_FALSE(dataset.pushFrame(json{{"uri", image.string()}}.dump()));
  // Text that is not JSON, or nests too deep, is refused like a bad document.
  EXPECT_FALSE(dataset.pushFrame("{not json"));
  EXPECT_FALSE(dataset.pushFrame(std::string(5000, '[') + std::string(5000, ']')));
  EXPECT_TRUE(dataset.pushFrame(vmtest::frameDocument(dir / "missing.jpg", 64, 48).dump()));
  EXPECT_TRUE(dataset.pushFrame(vmtest::frameDocument(image, 64, 48).dump()));
  EXPECT_EQ(dataset.size(), -1);

  auto first = dataset.next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->id, 0u);
  EXPECT_EQ(first->getImage(0, 0).cols, 64);

  EXPECT_TRUE(dataset.pushFrame(""));
  EXPECT_FALSE(dataset.isLive());
  // The frame with the missing image is skipped, and counted as failed.
  auto last = dataset.next();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->id, 2u);
  EXPECT_EQ(dataset.next(), nullptr);
  EXPECT_EQ(dataset.size(), -1);
  EXPECT_EQ(fw::RunTally::instance().count(fw::tally::kFramesRead), 2);
  // The document without a calibration and the texts that are no documents are lost frames too.
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kFramesRead), 4);
  const std::string summary = fw::RunTally::instance().summary();
  EXPECT_NE(summary.find("bad frame document 3"), std::string::npos) << summary;
}

TEST(LiveDataset, AWaitingConsumerWakesForAPushTheEndOrAnInterrupt) {
  vmtest::TempDir dir;
  auto image = vmtest::writeTestJpeg(dir / "a.jpg", 32, 24, 3);
  {
    ImageDatasetLive dataset(5);
    EXPECT_EQ(dataset.size(), 5);
    auto waiting = std::async(std::launch::async, [&] { return drain(dataset); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    dataset.pushFrame(vmtest::frameDocument(image, 32, 24).dump());
    dataset.pushFrame(vmtest::frameDocument(image, 32, 24).dump());
    dataset.pushFrame("");
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), (std::vector<std::uint64_t>{0, 1}));
  }
  {
    ImageDatasetLive dataset(-1);
    auto waiting = std::async(std::launch::async, [&] { return dataset.next(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    dataset.interrupt();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), nullptr);
  }
}

TEST(CreateDataset, ChoosesTheKindFromTheDescription) {
  vmtest::TempDir dir;
  auto list = vmtest::writeFrameList(dir.path(), 2, 16, 12);

  auto live = createDataset(json{{"live", true}, {"form", "anything"}, {"frame_cnt", 7.9}});
  ASSERT_TRUE(live);
  EXPECT_TRUE(live->isLive());
  EXPECT_EQ(live->size(), 7);
  EXPECT_EQ(createDataset(json{{"live", true}, {"form", "x"}, {"frame_cnt", "9"}})->size(), -1);

  auto frames = createDataset(json{{"live", "yes"}, {"form", "zel_frame"}, {"uri", list.string()}});
  ASSERT_TRUE(frames);
  EXPECT_FALSE(frames->isLive());
  EXPECT_EQ(frames->size(), 2);

  EXPECT_EQ(createDataset(json{{"form", "zel_video"}, {"uri", list.string()}}), nullptr);
  EXPECT_THROW(createDataset(json{{"live", true}}), json::type_error);
  EXPECT_THROW(createDataset(json{{"form", 5}, {"uri", list.string()}}), json::type_error);
  EXPECT_THROW(createDataset(json{{"form", "zel_frame"}}), json::type_error);
}

TEST(FrameList, FramesOffTheGlobeAreSkippedAndCountedAsFailed) {
  vmtest::TempDir dir;
  auto image = vmtest::writeTestJpeg(dir / "a.jpg", 32, 24, 1);
  json list = json::array();
  for (double longitude : {10.0, 190.0, -181.0, 11.0}) {
    json doc = vmtest::frameDocument(image, 32, 24);
    doc["gps"] = {{"longitude", longitude}, {"latitude", 45.0}, {"altitude", 100.0}};
    list.push_back(doc);
  }
  list[3]["gps"]["latitude"] = -95.0;
  vmtest::writeJson(dir / "frames.json", list);
  fw::RunTally::instance().reset();
  ImageDataset dataset((dir / "frames.json").string());
  EXPECT_EQ(dataset.size(), 1);
  EXPECT_EQ(drain(dataset), std::vector<std::uint64_t>{0});
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kFramesRead), 3);
  const std::string summary = fw::RunTally::instance().summary();
  EXPECT_NE(summary.find("position off the globe 3"), std::string::npos) << summary;

  // A live frame off the globe is refused the same way.
  fw::RunTally::instance().reset();
  ImageDatasetLive live(2);
  EXPECT_FALSE(live.pushFrame(list[1].dump()));
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kFramesRead), 1);
}

TEST(CreateDataset, ImageLimitsOfTheTaskAreHonoured) {
  vmtest::TempDir dir;
  // Frames of 1.1 megapixels.
  auto list = vmtest::writeFrameList(dir.path(), 2, 1100, 1000);
  const ImageLoadOptions given =
      ImageLoadOptions::forDataset(json{{"max_megapixels", 1}, {"decode_budget_mb", 3}});
  EXPECT_EQ(given.maxPixels, 1'000'000);
  EXPECT_EQ(given.decodeBudgetBytes, 3 << 20);
  // Values the entry point refuses leave the stored limits.
  const ImageLoadOptions defaults = ImageLoadOptions::fromConfiguration();
  for (const json& bad : {json(0), json(-5), json("7"), json(1.5), json(nullptr)}) {
    const ImageLoadOptions kept =
        ImageLoadOptions::forDataset(json{{"max_megapixels", bad}, {"decode_budget_mb", bad}});
    EXPECT_EQ(kept.maxPixels, defaults.maxPixels) << bad;
    EXPECT_EQ(kept.decodeBudgetBytes, defaults.decodeBudgetBytes) << bad;
  }
  fw::RunTally::instance().reset();
  auto frames =
      createDataset(json{{"form", "zel_frame"}, {"uri", list.string()}, {"max_megapixels", 1}});
  ASSERT_TRUE(frames);
  EXPECT_TRUE(drain(*frames).empty());
  const std::string summary = fw::RunTally::instance().summary();
  EXPECT_NE(summary.find("too many pixels 2"), std::string::npos) << summary;
  auto roomy =
      createDataset(json{{"form", "zel_frame"}, {"uri", list.string()}, {"max_megapixels", 2}});
  EXPECT_EQ(drain(*roomy).size(), 2u);
}

}  // namespace

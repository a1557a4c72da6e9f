#include "frame_document.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

json calibration() {
  return json{{"width", 4000}, {"height", 3000}, {"fx", 3000},
              {"fy", 3000.0},  {"cx", 2000},     {"cy", 1500}};
}

json minimal() { return json{{"uri", "/data/a.jpg"}, {"calibration", calibration()}}; }

FrameDocument read(const json& doc) {
  FrameDocument out;
  std::string error;
  EXPECT_TRUE(readFrameDocument(doc, out, error)) << error;
  return out;
}

std::string refusal(const json& doc) {
  FrameDocument out;
  std::string error;
  EXPECT_FALSE(readFrameDocument(doc, out, error));
  return error;
}

TEST(FrameDocument, MinimalDocumentHasNoGpsAndZeroDistortion) {
  FrameDocument doc = read(minimal());
  EXPECT_EQ(doc.uri, "/data/a.jpg");
  EXPECT_LT(doc.timestamp, 0.0);
  EXPECT_TRUE(doc.gps.empty());
  EXPECT_EQ(doc.calibration,
            (std::vector<double>{4000, 3000, 3000, 3000, 2000, 1500, 0, 0, 0, 0, 0}));
}

TEST(FrameDocument, GpsVectorLayoutFollowsTheGroupsPresent) {
  json doc = minimal();
  doc["gps"] = {{"longitude", 114.1}, {"latitude", 22.5}, {"altitude", 300}};
  EXPECT_EQ(read(doc).gps, (std::vector<double>{114.1, 22.5, 300, 5.0, 10.0, 5.0, 200.0, 20.0}));

  doc["rtk_std"] = {{"longitude", 0.1}, {"latitude", 0.2}, {"altitude", 0.3}};
  doc["relative_altitude"] = 120.5;
  EXPECT_EQ(read(doc).gps, (std::vector<double>{114.1, 22.5, 300, 0.1, 0.2, 0.3, 120.5, 10.0}));

  // Attitude sigmas are only read together with an attitude.
  doc["attitide_std"] = {{"pitch", 1}, {"yaw", 2}, {"roll", 3}};
  EXPECT_EQ(read(doc).gps.size(), 8u);

  doc.erase("attitide_std");
  doc["attitude"] = {{"pitch", -90}, {"yaw", 45}, {"roll", 0.5}};
  std::vector<double> gps = read(doc).gps;
  ASSERT_EQ(gps.size(), 14u);
  EXPECT_EQ(std::vector<double>(gps.begin() + 8, gps.end()),
            (std::vector<double>{-90, 45, 0.5, 5.0, 5.0, 5.0}));

  doc["attitide_std"] = {{"pitch", 1}, {"yaw", 2}, {"roll", 3}};
  gps = read(doc).gps;
  EXPECT_EQ(std::vector<double>(gps.begin() + 11, gps.end()), (std::vector<double>{1, 2, 3}));
}

TEST(FrameDocument, InvalidOptionalGroupsCountAsAbsent) {
  json doc = minimal();
  doc["gps"] = {{"longitude", 114.1}, {"latitude", "22.5"}, {"altitude", 300}};
  EXPECT_TRUE(read(doc).gps.empty());

  doc["gps"] = {{"longitude", 114.1}, {"latitude", 22.5}, {"altitude", true}};
  EXPECT_TRUE(read(doc).gps.empty());

  doc["gps"] = {{"longitude", 114.1}, {"latitude", 22.5}, {"altitude", 1}};
  doc["rtk_std"] = {{"longitude", 0.1}, {"latitude", 0.2}};
  doc["relative_altitude"] = "high";
  doc["attitude"] = json::array({1, 2, 3});
  EXPECT_EQ(read(doc).gps, (std::vector<double>{114.1, 22.5, 1, 5.0, 10.0, 5.0, 200.0, 20.0}));
}

TEST(FrameDocument, TimestampKeepsDoublePrecisionAndIgnoresNonNumbers) {
  json doc = minimal();
  doc["timestamp"] = 1700000000.123;
  EXPECT_DOUBLE_EQ(read(doc).timestamp, 1700000000.123);
  doc["timestamp"] = 1700000000;
  EXPECT_EQ(read(doc).timestamp, 1700000000.0);
  doc["timestamp"] = true;
  EXPECT_LT(read(doc).timestamp, 0.0);
  doc["timestamp"] = "1700000000";
  EXPECT_LT(read(doc).timestamp, 0.0);
}

TEST(FrameDocument, DistortionIsKeptOnlyWhenComplete) {
  json doc = minimal();
  doc["calibration"].update({{"k1", 0.1}, {"k2", -0.2}, {"p1", 0.01}, {"p2", 0.02}, {"k3", 0.3}});
  EXPECT_EQ(read(doc).calibration,
            (std::vector<double>{4000, 3000, 3000, 3000, 2000, 1500, 0.1, -0.2, 0.01, 0.02, 0.3}));
  doc["calibration"].erase("k3");
  EXPECT_EQ(read(doc).calibration,
            (std::vector<double>{4000, 3000, 3000, 3000, 2000, 1500, 0, 0, 0, 0, 0}));
}

TEST(FrameDocument, DocumentsWithoutATextUriAreRefused) {
  for (const json& doc :
       {json(nullptr), json::array({minimal()}), json("a.jpg"),
        json{{"calibration", calibration()}}, json{{"uri", 7}, {"calibration", calibration()}}}) {
    EXPECT_EQ(refusal(doc).rfind("Failed to load frame: ", 0), 0u) << doc.dump();
  }
}

TEST(FrameDocument, CalibrationRefusalsNameTheImageAndTheField) {
  json doc = minimal();
  doc.erase("calibration");
  std::string error = refusal(doc);
  EXPECT_EQ(error.rfind("Failed to load camera calibration: /data/a.jpg", 0), 0u) << error;

  doc["calibration"] = "4000x3000";
  EXPECT_NE(refusal(doc).find("/data/a.jpg"), std::string::npos);

  for (const char* key : {"width", "height", "fx", "fy", "cx", "cy"}) {
    doc = minimal();
    doc["calibration"].erase(key);
    error = refusal(doc);
    EXPECT_NE(error.find("/data/a.jpg"), std::string::npos) << error;
    EXPECT_NE(error.find(std::string("\"") + key + "\""), std::string::npos) << error;
    doc["calibration"][key] = false;
    EXPECT_NE(refusal(doc).find(key), std::string::npos);
  }
}

TEST(FrameDocument, CalibrationsThatCannotDescribeACameraAreRefused) {
  const std::vector<std::pair<const char*, double>> bad = {
      {"width", 0.0}, {"height", 0.5}, {"fx", 0.0}, {"fy", -3000.0}};
  for (const auto& [key, value] : bad) {
    json doc = minimal();
    doc["calibration"][key] = value;
    std::string error = refusal(doc);
    EXPECT_NE(error.find("/data/a.jpg"), std::string::npos) << key;
    EXPECT_NE(error.find(key), std::string::npos) << error;
  }
  // A principal point outside the image is unusual but not refused.
  json doc = minimal();
  doc["calibration"]["cx"] = -10;
  read(doc);
}

TEST(FrameDocument, PositionsOffTheGlobeAreRefusedNotWrapped) {
  auto withPosition = [](double longitude, double latitude) {
    json doc = minimal();
    doc["gps"] = {{"longitude", longitude}, {"latitude", latitude}, {"altitude", 100}};
    return doc;
  };
  for (auto [longitude, latitude] : {std::pair{180.000001, 0.0}, std::pair{-540.0, 10.0},
                                     std::pair{0.0, 90.5}, std::pair{10.0, -91.0}}) {
    FrameDocument out;
    std::string error, reason;
    EXPECT_FALSE(readFrameDocument(withPosition(longitude, latitude), out, error, reason));
    EXPECT_EQ(reason, kRefusedPosition);
    EXPECT_NE(error.find("/data/a.jpg"), std::string::npos) << error;
    EXPECT_NE(error.find(longitude != 0.0 && std::abs(longitude) > 180 ? "longitude" : "latitude"),
              std::string::npos)
        << error;
  }
  // The edges of the globe are on it.
  EXPECT_EQ(read(withPosition(180.0, 90.0)).gps[0], 180.0);
  EXPECT_EQ(read(withPosition(-180.0, -90.0)).gps[1], -90.0);
  // Other refusals keep their own short reason.
  FrameDocument out;
  std::string error, reason;
  EXPECT_FALSE(readFrameDocument(json{{"uri", 5}}, out, error, reason));
  EXPECT_EQ(reason, kRefusedDocument);
}

}  // namespace

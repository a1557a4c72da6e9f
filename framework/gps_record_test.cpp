#include "framework/gps_record.h"
#include "framework/diy_frame.h"
#include "framework/geodesy.h"

#include <gtest/gtest.h>

namespace {

std::vector<double> withAttitude(size_t length, double pitchSigma) {
  std::vector<double> gps(length, 1.0);
  const size_t first = length == 11 ? 5 : length == 12 ? 6 : 8;
  gps[first] = 3.0;  // pitch
  gps[first + 3] = pitchSigma;
  return gps;
}

TEST(GpsRecord, DecodesEachLayoutByItsLength) {
  EXPECT_FALSE(fw::decodeGpsRecord({}).hasPosition);
  EXPECT_FALSE(fw::decodeGpsRecord({1, 2, 3, 4, 5}).hasPosition);

  const fw::GpsRecord eight = fw::decodeGpsRecord({10, 20, 30, 4, 5, 6, 120.5, 10});
  EXPECT_TRUE(eight.hasPosition);
  EXPECT_EQ(eight.lla.y, 20);
  EXPECT_EQ(eight.llaSigma.z, 6);
  EXPECT_TRUE(eight.hasRelativeAltitude);
  EXPECT_EQ(eight.relativeAltitude, 120.5);
  EXPECT_FALSE(eight.hasAttitude);

  for (size_t length : {11u, 12u, 14u}) {
    const fw::GpsRecord record = fw::decodeGpsRecord(withAttitude(length, 7.0));
    EXPECT_TRUE(record.hasAttitude) << length;
    EXPECT_EQ(record.attitude.x, 3.0) << length;
    EXPECT_EQ(record.attitudeSigma.x, 7.0) << length;
    EXPECT_EQ(record.hasRelativeAltitude, length == 14) << length;
  }
}

TEST(GpsRecord, EncodesEveryRecordIntoALayoutThatDecodesBackToIt) {
  EXPECT_TRUE(fw::encodeGpsRecord(fw::GpsRecord()).empty());
  fw::GpsRecord attitudeOnly;  // nothing to place the angles against: no vector
  attitudeOnly.hasAttitude = true;
  EXPECT_TRUE(fw::encodeGpsRecord(attitudeOnly).empty());

  for (bool height : {false, true}) {
    for (bool attitude : {false, true}) {
      fw::GpsRecord record;
      record.hasPosition = true;
      record.lla = {114.1, 22.5, 300.0};
      record.llaSigma = {0.1, 0.2, 0.3};
      record.hasRelativeAltitude = height;
      record.relativeAltitude = height ? 120.5 : 0.0;
      record.relativeAltitudeSigma = height ? 10.0 : 0.0;
      record.hasAttitude = attitude;
      record.attitude = attitude ? pi::Point3d(-90.0, 45.0, 0.5) : pi::Point3d();
      record.attitudeSigma = attitude ? pi::Point3d(2.0, 3.0, 4.0) : pi::Point3d();
      const std::vector<double> gps = fw::encodeGpsRecord(record);
      EXPECT_EQ(gps.size(), 6u + (height ? 2u : 0u) + (attitude ? 6u : 0u));
      const fw::GpsRecord back = fw::decodeGpsRecord(gps);
      EXPECT_TRUE(back.hasPosition);
      EXPECT_EQ(back.lla, record.lla);
      EXPECT_EQ(back.llaSigma, record.llaSigma);
      EXPECT_EQ(back.hasRelativeAltitude, height);
      EXPECT_EQ(back.relativeAltitude, record.relativeAltitude);
      EXPECT_EQ(back.relativeAltitudeSigma, record.relativeAltitudeSigma);
      EXPECT_EQ(back.hasAttitude, attitude);
      EXPECT_EQ(back.attitude, record.attitude);
      EXPECT_EQ(back.attitudeSigma, record.attitudeSigma);
    }
  }
}

TEST(GpsRecord, FrameClassKeepsItsAttitudeRule) {
  // The framework's frame takes an attitude whose sigma is below 20 in every layout.
  MapFrame frame(0, 0.0, fw::GImage(), "", fw::Camera(), withAttitude(14, 25.0), 0);
  pi::Point3d attitude;
  EXPECT_FALSE(frame.getGPSAttitude(attitude));
  EXPECT_EQ(attitude.x, 3.0);
  MapFrame usable(0, 0.0, fw::GImage(), "", fw::Camera(), withAttitude(14, 5.0), 0);
  EXPECT_TRUE(usable.getGPSAttitude(attitude));
}

TEST(Geodesy, ForwardAndInverseShareOneEllipsoid) {
  // A point on the ellipsoid converts back to height 0 everywhere, also near the poles.
  for (double latitude : {-89.9, -45.0, 0.0, 30.0, 60.0, 89.99}) {
    const pi::Point3d ecef = fw::geodeticToECEF(latitude, 12.0, 0.0);
    const pi::Point3d back = fw::ecefToGeodetic(ecef.x, ecef.y, ecef.z);
    EXPECT_NEAR(back.x, latitude, 1e-9);
    EXPECT_NEAR(back.z, 0.0, 1e-6) << latitude;
  }
}

}  // namespace

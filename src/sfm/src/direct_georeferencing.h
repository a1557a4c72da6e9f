#pragma once

#include "framework/pose.h"
#include "values/point.h"

// Camera poses from a frame's GPS position and gimbal angles. World coordinates are WGS84
// earth-centred, earth-fixed metres; camera axes are x right, y down, z forward (along
// the optical axis); a pose maps camera coordinates to world coordinates with scale 1.
namespace sfm {

// Gimbal angles in degrees: yaw clockwise from north, pitch -90 looking straight down,
// roll about the optical axis.
struct GimbalAngles {
  double pitch = -90.0;
  double yaw = 0.0;
  double roll = 0.0;
};

// Columns: the east, north and up axes at a geodetic position, in earth-centred coordinates.
fw::Matrix3 ecefFromEnu(double latitude, double longitude);

// Camera axes in the local east-north-up frame for the given angles.
fw::Matrix3 enuFromCamera(const GimbalAngles& angles);

// World-from-camera pose of a camera at a geodetic position (altitude above the ellipsoid).
SE3 worldFromCamera(double latitude, double longitude, double altitude, const GimbalAngles& angles);

// Heading (degrees clockwise from north, in the local frame at `latitude`, `longitude`) of
// the move between two earth-centred positions; false when they are less than `min_move`
// metres apart horizontally.
bool travelHeading(const pi::Point3d& from, const pi::Point3d& to, double latitude,
                   double longitude, double* yaw, double min_move = 0.05);

// Matrix helpers on row-major 3 x 3 matrices.
fw::Matrix3 multiply(const fw::Matrix3& a, const fw::Matrix3& b);
fw::Matrix3 transpose(const fw::Matrix3& m);
pi::Point3d rotate(const fw::Matrix3& m, const pi::Point3d& p);

}  // namespace sfm

#pragma once

#include <opencv2/core.hpp>

// Earth-centred coordinates and local east-north-up frames for the synthetic flight. The
// conversions to and from geodetic coordinates and the elementary rotations are the
// framework's (each checked against an outside reference); the local axes and the camera
// convention are worked out here on their own, so that the generator does not share code
// (and so possibly a sign error) with the front end it is used to check.
namespace flight {

// WGS84 geodetic (degrees, metres above the ellipsoid) to earth-centred, earth-fixed metres.
cv::Vec3d ecefFromGeodetic(double latitude, double longitude, double height);

// Earth-centred metres to (latitude, longitude, height).
cv::Vec3d geodeticFromEcef(const cv::Vec3d& ecef);

// Rotation whose columns are the east, north and up axes at a geodetic position.
cv::Matx33d ecefFromEnu(double latitude, double longitude);

// Camera (x right, y down, z forward) to local east-north-up rotation for gimbal angles in
// degrees: yaw clockwise from north, pitch -90 looking straight down, roll about the optical axis.
cv::Matx33d enuFromCamera(double pitch, double yaw, double roll);

}  // namespace flight

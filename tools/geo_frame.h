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

// The gimbal angles (pitch, yaw, roll in degrees, as enuFromCamera takes them) of a camera
// orientation. Near nadir a sideways tilt is a turn of the yaw with the roll turning the
// image back, so the yaw of a tilted camera is the direction of its tilt, not its heading.
cv::Vec3d gimbalAngles(const cv::Matx33d& enu_from_camera);

// Camera to local east-north-up rotation of a camera fixed to an aircraft's body, looking
// down with the image's top toward the nose: heading clockwise from north, pitch nose up
// and roll right wing down, in degrees.
cv::Matx33d enuFromBodyCamera(double heading, double pitch, double roll);

}  // namespace flight

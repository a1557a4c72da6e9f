#include "incoming_frame.h"

#include "framework/camera_parameters.h"

namespace sfm {

IncomingFrame readIncomingFrame(fw::MapFrame& frame) {
  IncomingFrame in;
  in.id = frame.id;
  in.timestamp = frame.timestamp;
  frame.call("GetImagePath", &in.image_path);
  frame.call("GetGPS", &in.gps);
  // A model of our own: no later change of the mapper's camera reaches the located frame.
  in.camera = fw::Camera(frame.getCamera(0).getParameters());
  in.image = frame.getImage(0, 0);
  // Frames that know no such command leave it at 1: their image is whole.
  frame.call("GetImageReduction", &in.image_reduction);
  pi::Point3d lla;
  if (frame.getGPSLLA(lla)) {
    in.has_position = true;
    in.longitude = lla.x;
    in.latitude = lla.y;
    in.altitude = lla.z;
  }
  fw::Point2d height;
  if (frame.getGPSHeight(height)) {
    in.has_height = true;
    in.height = height.x;
  }
  pi::Point3d angles;
  if (frame.getGPSAttitude(angles)) {
    in.has_attitude = true;
    in.angles = GimbalAngles{angles.x, angles.y, angles.z};
  }
  return in;
}

bool hasUsableCamera(const IncomingFrame& frame) {
  return frame.camera.isValid() &&
         fw::CameraParameters::decode(frame.camera.getParameters()).hasIntrinsics();
}

}  // namespace sfm

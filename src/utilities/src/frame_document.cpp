#include "frame_document.h"

#include "framework/camera_parameters.h"
#include "framework/gps_record.h"
#include "framework/printable_text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <optional>

namespace {

using nlohmann::json;

// Booleans are not numbers here, although the JSON library would convert them.
bool isNumber(const json& value) { return value.is_number(); }

// Appends the listed members of an object only when every one of them is a number.
bool readMembers(const json& object, std::initializer_list<const char*> members,
                 std::vector<double>& out) {
  std::vector<double> values;
  for (const char* member : members) {
    auto it = object.find(member);
    if (it == object.end() || !isNumber(*it)) return false;
    values.push_back(it->get<double>());
  }
  out.insert(out.end(), values.begin(), values.end());
  return true;
}

// A group counts only when it is an object holding every listed key as a number.
bool readGroup(const json& doc, const char* key, std::initializer_list<const char*> members,
               std::vector<double>& out) {
  auto group = doc.find(key);
  return group != doc.end() && group->is_object() && readMembers(*group, members, out);
}

// The three members of a group, when the group counts (see readGroup).
std::optional<pi::Point3d> readTriple(const json& doc, const char* key,
                                      std::initializer_list<const char*> members) {
  std::vector<double> values;
  if (!readGroup(doc, key, members, values)) return std::nullopt;
  return pi::Point3d(values[0], values[1], values[2]);
}

// Nothing without a valid "gps" group; else the position, the relative altitude and (when
// "attitude" is valid) the attitude, each sigma the document leaves out at its default.
fw::GpsRecord readGps(const json& doc) {
  fw::GpsRecord record;
  const std::optional<pi::Point3d> position =
      readTriple(doc, "gps", {"longitude", "latitude", "altitude"});
  if (!position) return record;
  record.hasPosition = true;
  record.lla = *position;
  record.llaSigma = readTriple(doc, "rtk_std", {"longitude", "latitude", "altitude"})
                        .value_or(pi::Point3d(5.0, 10.0, 5.0));
  record.hasRelativeAltitude = true;
  auto relative = doc.find("relative_altitude");
  if (relative != doc.end() && isNumber(*relative)) {
    record.relativeAltitude = relative->get<double>();
    record.relativeAltitudeSigma = 10.0;
  } else {
    record.relativeAltitude = 200.0;
    record.relativeAltitudeSigma = 20.0;
  }
  if (const std::optional<pi::Point3d> attitude =
          readTriple(doc, "attitude", {"pitch", "yaw", "roll"})) {
    record.hasAttitude = true;
    record.attitude = *attitude;
    record.attitudeSigma = readTriple(doc, "attitide_std", {"pitch", "yaw", "roll"})
                               .value_or(pi::Point3d(5.0, 5.0, 5.0));
  }
  return record;
}

bool readCalibration(const json& doc, const std::string& uri, std::vector<double>& out,
                     std::string& error) {
  const std::string prefix = "Failed to load camera calibration: " + uri;
  auto calibration = doc.find("calibration");
  if (calibration == doc.end() || !calibration->is_object()) {
    error = prefix + ": no \"calibration\" object";
    return false;
  }
  for (const char* key : {"width", "height", "fx", "fy", "cx", "cy"}) {
    auto it = calibration->find(key);
    if (it == calibration->end() || !isNumber(*it)) {
      error = prefix + ": \"" + key + "\" is missing or not a number";
      return false;
    }
    out.push_back(it->get<double>());
  }
  // A camera without a size or with a non-positive focal length cannot be fitted or used.
  const fw::CameraParameters read = fw::CameraParameters::decode(out);
  if (read.width < 1.0 || read.height < 1.0) {
    error = prefix + ": \"width\" and \"height\" must be at least 1";
    return false;
  }
  if (read.fx <= 0.0 || read.fy <= 0.0) {
    error = prefix + ": \"fx\" and \"fy\" must be greater than 0";
    return false;
  }
  if (!readMembers(*calibration, {"k1", "k2", "p1", "p2", "k3"}, out)) {
    out.insert(out.end(), 5, 0.0);
  }
  return true;
}

// Empty when the record has no position or its position lies on the globe.
std::string positionProblem(const fw::GpsRecord& gps) {
  if (!gps.hasPosition) return "";
  const double longitude = gps.lla.x, latitude = gps.lla.y;
  if (!std::isfinite(longitude) || std::fabs(longitude) > 180.0) {
    return "\"gps\".\"longitude\" " + std::to_string(longitude) + " is outside -180..180";
  }
  if (!std::isfinite(latitude) || std::fabs(latitude) > 90.0) {
    return "\"gps\".\"latitude\" " + std::to_string(latitude) + " is outside -90..90";
  }
  return "";
}

}  // namespace

bool readFrameDocument(const json& doc, FrameDocument& out, std::string& error) {
  std::string refusal;
  return readFrameDocument(doc, out, error, refusal);
}

bool readFrameDocument(const json& doc, FrameDocument& out, std::string& error,
                       std::string& refusal) {
  refusal = kRefusedDocument;
  if (!doc.is_object()) {
    error = "Failed to load frame: the document is not an object";
    return false;
  }
  auto uri = doc.find("uri");
  if (uri == doc.end() || !uri->is_string()) {
    error = "Failed to load frame: \"uri\" is missing or not a text";
    return false;
  }
  out = FrameDocument{};
  out.uri = uri->get<std::string>();
  if (fw::hasNulByte(out.uri)) {
    // The file system would end the path at the NUL and open another file.
    error = "Failed to load frame: \"uri\" holds a NUL byte: " + fw::printableText(out.uri);
    return false;
  }
  auto timestamp = doc.find("timestamp");
  if (timestamp != doc.end() && isNumber(*timestamp)) out.timestamp = timestamp->get<double>();
  const fw::GpsRecord gps = readGps(doc);
  out.gps = fw::encodeGpsRecord(gps);
  if (const std::string problem = positionProblem(gps); !problem.empty()) {
    error = "Skipping frame " + fw::printableText(out.uri) + ": " + problem;
    refusal = kRefusedPosition;
    return false;
  }
  return readCalibration(doc, out.uri, out.calibration, error);
}

bool isFrameDocumentMember(int level, const std::string& key) {
  // The names readFrameDocument and its helpers above look up.
  static const std::initializer_list<const char*> kDocument = {
      "uri",      "timestamp",    "gps",        "rtk_std", "relative_altitude",
      "attitude", "attitide_std", "calibration"};
  static const std::initializer_list<const char*> kGroups = {
      "longitude", "latitude", "altitude", "pitch", "yaw", "roll", "width", "height", "fx",
      "fy",        "cx",       "cy",       "k1",    "k2",  "p1",   "p2",    "k3"};
  const auto& names = level == 1 ? kDocument : kGroups;
  return std::any_of(names.begin(), names.end(), [&](const char* name) { return key == name; });
}

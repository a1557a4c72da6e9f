#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vmtest {

// Writes a JPEG of the given size with a seeded random texture; returns its path.
std::filesystem::path writeTestJpeg(const std::filesystem::path& path, int columns, int rows,
                                    std::uint32_t seed);

// A frame document for the image with a 4:3 calibration of the given size.
nlohmann::json frameDocument(const std::filesystem::path& image, int calibrationWidth,
                             int calibrationHeight);

// Writes `count` JPEGs (frame_<i>.jpg) of columns x rows into `folder` and a frame list
// "frames.json" naming them; returns the frame list's path.
std::filesystem::path writeFrameList(const std::filesystem::path& folder, int count, int columns,
                                     int rows);

// Writes a JSON document to a file.
void writeJson(const std::filesystem::path& path, const nlohmann::json& doc);

}  // namespace vmtest

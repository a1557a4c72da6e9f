#pragma once

#include "values/point.h"

#include <ostream>
#include <string>
#include <vector>

// Point-cloud tile files (".pnts" of 3D Tiles 1.0): a 28-byte header, a feature table
// with POSITION (float x, y, z) and RGB (three bytes) per point, no batch table. The
// JSON and binary parts are padded with spaces so that every part, and the file, ends
// on a multiple of 8 bytes.

// The size of the file for `pointCount` points; false when it exceeds the format's 32-bit
// byte length.
bool pntsFileSize(size_t pointCount, size_t& bytes);

// The whole file in `bytes`. False, with `bytes` empty, when the counts differ or the
// file would not fit the format's 32-bit byte length.
bool encodePnts(const std::vector<pi::Point3_<float>>& positions,
                const std::vector<pi::Point3_<unsigned char>>& colours, std::string& bytes);

// The file of the points first, first + step, first + 2 step, ... of both lists, which
// must be of equal length; `step` is at least 1. Levels of detail are such subsets.
bool encodePntsEvery(const std::vector<pi::Point3_<float>>& positions,
                     const std::vector<pi::Point3_<unsigned char>>& colours, size_t first,
                     size_t step, std::string& bytes);

// Writes the file to `out`; false when encodePnts refuses the points or the stream fails.
bool writePnts(std::ostream& out, const std::vector<pi::Point3_<float>>& positions,
               const std::vector<pi::Point3_<unsigned char>>& colours);

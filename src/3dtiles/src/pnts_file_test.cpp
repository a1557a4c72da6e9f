// The .pnts bytes against the 3D Tiles 1.0 layout: header fields, padding with spaces to
// multiples of 8, and the counts the format cannot hold (point values are read back by
// py3dtiles in the node's tests).
#include "pnts_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <sstream>

namespace {

using Positions = std::vector<pi::Point3_<float>>;
using Colours = std::vector<pi::Point3_<unsigned char>>;

uint32_t readUint32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

std::string encoded(size_t n) {
  Positions positions;
  Colours colours;
  for (size_t i = 0; i < n; ++i) {
    positions.emplace_back(float(i), float(i) * 0.5f, -float(i));
    colours.emplace_back(static_cast<unsigned char>(i), 7, 200);
  }
  std::string bytes;
  EXPECT_TRUE(encodePnts(positions, colours, bytes));
  return bytes;
}

TEST(PntsFile, ByteLengthsAndPaddingFollowTheFormat) {
  const std::pair<size_t, size_t> expected[] = {{0, 112}, {1, 120}, {8, 232}, {100, 1608}};
  for (const auto& [n, length] : expected) {
    SCOPED_TRACE(n);
    const std::string bytes = encoded(n);
    ASSERT_EQ(bytes.size(), length);
    EXPECT_EQ(bytes.substr(0, 4), "pnts");
    EXPECT_EQ(readUint32(bytes, 4), 1u);
    EXPECT_EQ(readUint32(bytes, 8), length);
    const uint32_t json = readUint32(bytes, 12), binary = readUint32(bytes, 16);
    EXPECT_EQ(readUint32(bytes, 20), 0u);
    EXPECT_EQ(readUint32(bytes, 24), 0u);
    EXPECT_EQ(28 + json + binary, length);
    EXPECT_EQ((28 + json) % 8, 0u);
    EXPECT_EQ(binary % 8, 0u);
    // The feature table is strict JSON once its space padding is trimmed.
    const nlohmann::json table = nlohmann::json::parse(bytes.substr(28, json));
    EXPECT_EQ(table.at("POINTS_LENGTH"), n);
    EXPECT_EQ(table.at("POSITION").at("byteOffset"), 0);
    EXPECT_EQ(table.at("RGB").at("byteOffset"), 12 * n);
    const size_t data = 28 + json + 15 * n;
    EXPECT_GT(length, data) << "at least one padding byte";
    EXPECT_EQ(bytes.substr(data), std::string(length - data, ' '));
  }
}

TEST(PntsFile, RefusesUnequalCounts) {
  std::string bytes = "old";
  EXPECT_FALSE(encodePnts({{1, 2, 3}}, {}, bytes));
  EXPECT_TRUE(bytes.empty());
  std::ostringstream out;
  EXPECT_FALSE(writePnts(out, {{1, 2, 3}}, {{1, 2, 3}, {4, 5, 6}}));
  EXPECT_TRUE(out.str().empty());
}

TEST(PntsFile, SizesBeyondThe32BitByteLengthAreRefused) {
  size_t bytes = 0;
  ASSERT_TRUE(pntsFileSize(286000000, bytes));
  EXPECT_LE(bytes, 0xFFFFFFFFu);
  EXPECT_FALSE(pntsFileSize(286400000, bytes));
  EXPECT_FALSE(pntsFileSize(size_t(1) << 62, bytes)) << "no wrap-around";
}

}  // namespace

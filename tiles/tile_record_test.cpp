#include "tiles/tile_record.h"
#include "tiles/tile.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <streambuf>

namespace {

fw::GImage randomRaster(int rows, int cols, int type, unsigned seed) {
  fw::GImage r(rows, cols, type);
  std::mt19937 rng(seed);
  for (int64_t i = 0; i < r.byteSize(); ++i) r.data[i] = static_cast<uint8_t>(rng());
  return r;
}

bool sameRaster(const fw::GImage& a, const fw::GImage& b) {
  return a.cols == b.cols && a.rows == b.rows && a.type == b.type && a.byteSize() == b.byteSize() &&
         (a.byteSize() == 0 || std::memcmp(a.data, b.data, a.byteSize()) == 0);
}

std::string recordOf(const fw::ImageTile& tile) {
  std::ostringstream os;
  EXPECT_TRUE(tile.Write(os));
  return os.str();
}

// A sample of every class with distinctive content, and a fresh tile of the same class.
struct Sample {
  std::shared_ptr<fw::ImageTile> tile;
  std::shared_ptr<fw::ImageTile> fresh;
  size_t recordSize;
};

std::vector<Sample> samples() {
  const fw::GImage image = randomRaster(8, 8, CV_8UC3, 1),
                   elevation = randomRaster(2, 2, CV_32FC1, 2),
                   weight = randomRaster(8, 8, CV_8UC1, 3);
  const double time = 1234.5;
  auto multi = std::make_shared<TerrainFusionMultiTile>(image, elevation, 7, -8, 9, time, weight);
  multi->bandStack1 = {randomRaster(8, 8, CV_16SC3, 4), randomRaster(4, 4, CV_16SC3, 5)};
  multi->bandStack3 = {randomRaster(8, 8, CV_8UC1, 6)};
  return {
      {std::make_shared<fw::ImageTile>(image), std::make_shared<fw::ImageTile>(), 12 + 192},
      {std::make_shared<fw::TerrainTile>(image, elevation), std::make_shared<fw::TerrainTile>(),
       12 + 192 + 12 + 16},
      {std::make_shared<fw::TerrainTileWithInfo>(image, elevation, 7, -8, 9, time),
       std::make_shared<fw::TerrainTileWithInfo>(), 12 + 192 + 12 + 16 + 12 + 8},
      {std::make_shared<TerrainFusionTile>(image, elevation, 7, -8, 9, time, weight),
       std::make_shared<TerrainFusionTile>(), 12 + 8 + 12 + 64},
      {multi, std::make_shared<TerrainFusionMultiTile>(),
       (8 + 12 + 384 + 12 + 96) + 8 + (8 + 12 + 64) + 12 + 8 + 12 + 64},
  };
}

// Compares what the record of a's class holds (fusion records leave out image and elevation).
void expectSameContent(const fw::ImageTile& a, const fw::ImageTile& b) {
  if (!dynamic_cast<const TerrainFusionTile*>(&a)) {
    EXPECT_TRUE(sameRaster(a.GetImage(), b.GetImage()));
    EXPECT_TRUE(sameRaster(a.GetElevation(), b.GetElevation()));
  }
  EXPECT_TRUE(sameRaster(a.GetWeight(), b.GetWeight()));
  EXPECT_EQ(a.GetPosition(), b.GetPosition());
  EXPECT_EQ(a.GetTimestamp(), b.GetTimestamp());
  auto ma = dynamic_cast<const TerrainFusionMultiTile*>(&a);
  auto mb = dynamic_cast<const TerrainFusionMultiTile*>(&b);
  if (!ma || !mb) return;
  for (auto stack : {&TerrainFusionMultiTile::bandStack1, &TerrainFusionMultiTile::bandStack2,
                     &TerrainFusionMultiTile::bandStack3}) {
    ASSERT_EQ((ma->*stack).size(), (mb->*stack).size());
    for (size_t i = 0; i < (ma->*stack).size(); ++i)
      EXPECT_TRUE(sameRaster((ma->*stack)[i], (mb->*stack)[i]));
  }
}

TEST(TileRecord, EveryClassRoundTripsWithItsRecordSize) {
  for (const Sample& s : samples()) {
    SCOPED_TRACE(s.tile->type());
    const std::string record = recordOf(*s.tile);
    EXPECT_EQ(record.size(), s.recordSize);
    std::istringstream is(record);
    ASSERT_TRUE(s.fresh->Read(is));
    EXPECT_EQ(is.peek(), std::char_traits<char>::eof());  // read exactly the record
    expectSameContent(*s.fresh, *s.tile);
    EXPECT_EQ(recordOf(*s.fresh), record);
  }
}

TEST(TileRecord, FusionRecordLeavesImageElevationAuxAndTagAlone) {
  const fw::GImage weight = randomRaster(256, 256, CV_8UC1, 8);
  TerrainFusionMultiTile tile(randomRaster(256, 256, CV_8UC3, 9),
                              randomRaster(64, 64, CV_32FC1, 10), 1, 2, 3, 4.0, weight,
                              randomRaster(2, 2, CV_8UC1, 11), 77);
  tile.SetModified(true);
  const std::string record = recordOf(tile);
  ASSERT_EQ(record.size(), 65592u);  // three empty stacks and a 256 x 256 8-bit weight
  uint64_t total = 0;
  EXPECT_EQ(tile.RecordSize(total), record.size());

  TerrainFusionMultiTile fresh;
  std::istringstream is(record);
  ASSERT_TRUE(fresh.Read(is));
  EXPECT_TRUE(sameRaster(fresh.GetWeight(), weight));
  EXPECT_NE(fresh.GetWeight().data, weight.data);  // its own buffer
  EXPECT_EQ(fresh.GetPosition(), (pi::Point3_<int32_t>{1, 2, 3}));
  EXPECT_EQ(fresh.GetTimestamp(), 4.0);
  EXPECT_TRUE(fresh.GetImage().empty());
  EXPECT_TRUE(fresh.GetElevation().empty());
  EXPECT_TRUE(fresh.GetAuxRaster().empty());
  EXPECT_EQ(fresh.GetTag(), 0u);
  EXPECT_FALSE(fresh.IsModified());
}

TEST(TileRecord, LittleEndianLayoutAndEmptyRasters) {
  fw::GImage noColumns(5, 0, CV_8UC3);
  std::ostringstream os;
  ASSERT_TRUE(fw::writeRaster(os, noColumns));
  const std::string bytes = os.str();
  ASSERT_EQ(bytes, std::string("\0\0\0\0\5\0\0\0\20\0\0\0", 12));
  fw::GImage back = randomRaster(2, 2, CV_8UC1, 1);
  std::istringstream is(bytes);
  ASSERT_TRUE(fw::readRaster(is, back));
  EXPECT_TRUE(back.empty());
  EXPECT_EQ(back.byteSize(), 0);

  fw::TerrainTileWithInfo tile(fw::GImage(), fw::GImage(), 1, -2, 3, 0.5);
  const std::string record = recordOf(tile);
  ASSERT_EQ(record.size(), 12u + 12 + 12 + 8);
  EXPECT_EQ(record.substr(24, 12), std::string("\1\0\0\0\xFE\xFF\xFF\xFF\3\0\0\0", 12));
  EXPECT_EQ(record.substr(36), std::string("\0\0\0\0\0\0\xE0\x3F", 8));  // 0.5
}

// Every proper prefix of every record fails, and the tile keeps what it had.
TEST(TileRecord, TruncationAtEveryOffsetFails) {
  for (const Sample& s : samples()) {
    SCOPED_TRACE(s.tile->type());
    const std::string record = recordOf(*s.tile);
    const std::string before = recordOf(*s.fresh);
    for (size_t n = 0; n < record.size(); ++n) {
      std::istringstream is(record.substr(0, n));
      ASSERT_FALSE(s.fresh->Read(is)) << n;
    }
    EXPECT_EQ(recordOf(*s.fresh), before);
  }
}

// Overwrites the little-endian integer of the given width at offset.
std::string patched(std::string record, size_t offset, int64_t value, int width) {
  for (int i = 0; i < width; ++i) record.at(offset + i) = static_cast<char>(value >> (8 * i));
  return record;
}

// A stream that cannot tell its length: reading must not trust a stated size either.
class OneWayBuffer : public std::streambuf {
 public:
  explicit OneWayBuffer(std::string data) : data_(std::move(data)) {
    setg(data_.data(), data_.data(), data_.data() + data_.size());
  }

 private:
  std::string data_;
};

TEST(TileRecord, CorruptCountsAndFieldsFailWithoutHugeAllocations) {
  TerrainFusionMultiTile multi;
  multi.bandStack1 = {randomRaster(4, 4, CV_8UC1, 1)};
  multi.bandStack3 = {randomRaster(4, 4, CV_8UC1, 2)};
  const std::string record = recordOf(multi);
  // Offsets: stack 1 count 0, its raster cols 8 rows 12 type 16, stack 2 count 36, ...
  const std::vector<std::pair<std::string, std::string>> corrupt = {
      {"huge stack count", patched(record, 0, int64_t{1} << 60, 8)},
      {"count above what follows", patched(record, 0, 3, 8)},
      {"huge column count", patched(record, 8, 0x7FFFFFFF, 4)},
      {"huge rows x columns", patched(patched(record, 8, 0x10000, 4), 12, 0x10000, 4)},
      {"pixel bytes overflowing 64 bits",
       patched(patched(patched(record, 8, 0x7FFFFFFF, 4), 12, 0x7FFFFFFF, 4), 16, (511 << 3) | 6,
               4)},
      {"negative columns", patched(record, 8, -4, 4)},
      {"negative rows", patched(record, 12, -1, 4)},
      {"negative type", patched(record, 16, -1, 4)},
      {"unknown depth", patched(record, 16, 7, 4)},
      {"too many channels", patched(record, 16, 512 << 3, 4)},
      {"pixel bytes beyond the end", patched(record, 12, 5, 4)},
      {"a gigabyte of pixels the stream lacks",
       patched(patched(record, 8, 0x7FFF, 4), 12, 0x7FFF, 4)},
  };
  for (const auto& [what, bytes] : corrupt) {
    for (bool seekable : {true, false}) {
      TerrainFusionMultiTile fresh;
      OneWayBuffer buffer(bytes);
      std::istringstream seekableStream(bytes);
      std::istream oneWay(&buffer);
      std::istream& is = seekable ? static_cast<std::istream&>(seekableStream) : oneWay;
      EXPECT_FALSE(fresh.Read(is)) << what << (seekable ? "" : " (one-way stream)");
      EXPECT_TRUE(fresh.GetBandStack1().empty()) << what;
    }
  }
  // A count below 1 gives an empty stack.
  TerrainFusionMultiTile fresh;
  std::string withoutStack1 = record;
  withoutStack1.erase(8, 28);  // its one raster: 12 bytes and 16 pixels
  std::istringstream negative(patched(withoutStack1, 0, -5, 8));
  ASSERT_TRUE(fresh.Read(negative));
  EXPECT_TRUE(fresh.GetBandStack1().empty());
  EXPECT_EQ(fresh.GetBandStack3().size(), 1u);
}

TEST(TileRecord, OneWayStreamsReadLikeSeekableOnes) {
  for (const Sample& s : samples()) {
    const std::string record = recordOf(*s.tile);
    OneWayBuffer buffer(record);
    std::istream is(&buffer);
    ASSERT_TRUE(s.fresh->Read(is)) << s.tile->type();
    expectSameContent(*s.fresh, *s.tile);
  }
}

// Accepts only `room` bytes, like a full disk.
class FullDiskBuffer : public std::streambuf {
 public:
  explicit FullDiskBuffer(size_t room) : room_(room) {}

 protected:
  int_type overflow(int_type c) override {
    if (room_ == 0) return traits_type::eof();
    --room_;
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char*, std::streamsize n) override {
    const std::streamsize taken = std::min<std::streamsize>(n, room_);
    room_ -= taken;
    return taken;
  }

 private:
  size_t room_;
};

TEST(TileRecord, WriteReportsAFailedStream) {
  for (const Sample& s : samples()) {
    const size_t full = recordOf(*s.tile).size();
    for (size_t room : {size_t{0}, size_t{5}, full / 2, full - 1}) {
      FullDiskBuffer disk(room);
      std::ostream os(&disk);
      EXPECT_FALSE(s.tile->Write(os)) << s.tile->type() << " room " << room;
    }
    FullDiskBuffer disk(full);
    std::ostream os(&disk);
    EXPECT_TRUE(s.tile->Write(os)) << s.tile->type();
  }
  // A raster too large for one record write is refused rather than written cut short.
  fw::GImage huge(1, 1, CV_8UC1);
  huge.cols = 1 << 16;
  huge.rows = 1 << 15;  // 2^31 bytes, one more than a record raster may hold
  std::ostringstream os;
  EXPECT_FALSE(fw::writeRaster(os, huge));
  EXPECT_TRUE(os.str().empty());
}

}  // namespace

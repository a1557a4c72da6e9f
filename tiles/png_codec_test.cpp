#include "tiles/png_codec.h"
#include "tiles/cpu_features.h"
#include "tiles/test_images.h"

#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <zlib.h>
#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <fstream>
#include <tuple>

namespace {

using test_images::Content;

// Decodes with libpng through OpenCV into RGB(A) byte order.
std::vector<uint8_t> decodeWithLibpng(const std::vector<uint8_t>& png, int channels) {
  cv::Mat bgr = cv::imdecode(png, cv::IMREAD_UNCHANGED);
  if (bgr.empty() || bgr.channels() != channels || bgr.depth() != CV_8U) return {};
  std::vector<uint8_t> rgb(bgr.total() * channels);
  for (size_t i = 0; i < bgr.total(); ++i) {
    const uint8_t* p = bgr.data + i * channels;
    rgb[i * channels] = p[2];
    rgb[i * channels + 1] = p[1];
    rgb[i * channels + 2] = p[0];
    if (channels == 4) rgb[i * channels + 3] = p[3];
  }
  return rgb;
}

std::string describe(uint32_t w, uint32_t h, int channels, unsigned flags) {
  return std::to_string(w) + "x" + std::to_string(h) + "x" + std::to_string(channels) + " flags " +
         std::to_string(flags);
}

class PngRoundTrip : public ::testing::TestWithParam<std::tuple<Content, unsigned>> {};

// Every width and every height from 1 to 300 (the other side varying), both channel
// counts: our decoder and libpng must both give back the exact pixels.
TEST_P(PngRoundTrip, DecodesExactlyWithOursAndLibpng) {
  const auto [content, flags] = GetParam();
  detectCpuFeatures();
  for (uint32_t s = 1; s <= 300; ++s) {
    for (int side = 0; side < 2; ++side) {
      const uint32_t w = side == 0 ? s : 1 + (s * 53) % 40;
      const uint32_t h = side == 0 ? 1 + (s * 37) % 40 : s;
      for (int channels : {3, 4}) {
        const std::vector<uint8_t> px = test_images::make(content, w, h, channels, s);
        std::vector<uint8_t> png;
        ASSERT_TRUE(encodePng(px.data(), w, h, channels, png, flags))
            << describe(w, h, channels, flags);
        std::vector<uint8_t> back;
        uint32_t bw = 0, bh = 0;
        int bc = 0;
        ASSERT_EQ(decodePng(png.data(), png.size(), back, bw, bh, bc, channels), kPngDecoded)
            << describe(w, h, channels, flags);
        ASSERT_EQ(bw, w);
        ASSERT_EQ(bh, h);
        ASSERT_EQ(bc, channels);
        ASSERT_EQ(back, px) << describe(w, h, channels, flags);
        ASSERT_EQ(decodeWithLibpng(png, channels), px) << describe(w, h, channels, flags);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Tiles, PngRoundTrip,
                         ::testing::Combine(::testing::Values(Content::Noise, Content::Flat,
                                                              Content::Gradient),
                                            ::testing::Values(0u, 1u, 2u)));

TEST(PngEncoder, OnePixelStoredFileHasTheExactLayout) {
  const uint8_t pixel[3] = {10, 200, 30};
  std::vector<uint8_t> png;
  ASSERT_TRUE(encodePng(pixel, 1, 1, 3, png, kPngStored));
  ASSERT_EQ(png.size(), 89u);  // 58 header + 15 zlib stream + IDAT CRC + IEND
  const std::vector<uint8_t> head = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0,
                                     0,    13,  'I', 'H', 'D',  'R',  0,    0,    0, 1,
                                     0,    0,   0,   1,   8,    2,    0,    0,    0};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), png.begin()));
  const std::vector<uint8_t> privateChunk = {0,    0,    0,    5,    'f',  'd',  'E',  'C',  0x52,
                                             0x24, 0x93, 0xE3, 0x00, 0xE5, 0xAB, 0x62, 0x99, 0,
                                             0,    0,    15,   'I',  'D',  'A',  'T'};
  EXPECT_TRUE(std::equal(privateChunk.begin(), privateChunk.end(), png.begin() + 33));
  // The private chunk's CRC is the CRC-32 of its type and data.
  EXPECT_EQ(crc32(0, png.data() + 37, 9), 0xE5AB6299u);
  const uint32_t adler = adler32(1, std::vector<uint8_t>{0, 10, 200, 30}.data(), 4);
  const std::vector<uint8_t> stream = {0x78,
                                       0x01,
                                       0x01,
                                       0x04,
                                       0x00,
                                       0xFB,
                                       0xFF,
                                       0,
                                       10,
                                       200,
                                       30,
                                       uint8_t(adler >> 24),
                                       uint8_t(adler >> 16),
                                       uint8_t(adler >> 8),
                                       uint8_t(adler)};
  EXPECT_TRUE(std::equal(stream.begin(), stream.end(), png.begin() + 58));
  const std::vector<uint8_t> iend = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  EXPECT_TRUE(std::equal(iend.begin(), iend.end(), png.end() - 12));

  std::vector<uint8_t> rgba;
  uint32_t w, h;
  int c;
  ASSERT_EQ(decodePng(png.data(), png.size(), rgba, w, h, c, 4), kPngDecoded);
  EXPECT_EQ(rgba, (std::vector<uint8_t>{10, 200, 30, 255}));
  EXPECT_EQ(c, 3);
}

TEST(PngEncoder, ChannelConversionOnDecode) {
  const std::vector<uint8_t> rgba = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<uint8_t> png, rgb;
  ASSERT_TRUE(encodePng(rgba.data(), 2, 1, 4, png, 0));
  uint32_t w, h;
  int c;
  ASSERT_EQ(decodePng(png.data(), png.size(), rgb, w, h, c, 3), kPngDecoded);
  EXPECT_EQ(rgb, (std::vector<uint8_t>{1, 2, 3, 5, 6, 7}));
  EXPECT_EQ(c, 4);
}

TEST(PngEncoder, FlatImageCompressesToARunPerRow) {
  for (int channels : {3, 4}) {
    for (unsigned flags : {0u, 1u}) {
      const std::vector<uint8_t> px = test_images::make(Content::Flat, 256, 256, channels, 1);
      std::vector<uint8_t> png;
      ASSERT_TRUE(encodePng(px.data(), 256, 256, channels, png, flags));
      // A row is a filter byte, one pixel and a few long matches: some 16 bytes at most,
      // where literals would take hundreds.
      EXPECT_LT(png.size(), 256u * 16 + 200) << describe(256, 256, channels, flags);
      std::vector<uint8_t> back;
      uint32_t w, h;
      int c;
      ASSERT_EQ(decodePng(png.data(), png.size(), back, w, h, c, channels), kPngDecoded);
      EXPECT_EQ(back, px);
    }
  }
}

// The last pixel before the end-of-block code may take the longest codes there are
// (differences near 128); whatever bits are pending then, none may be lost.
TEST(PngEncoder, LongestCodesRightBeforeTheEnd) {
  for (int channels : {3, 4}) {
    for (unsigned flags : {0u, 1u}) {
      for (uint32_t w = 1; w <= 24; ++w) {
        std::vector<uint8_t> px = test_images::make(Content::Gradient, w, 3, channels, w);
        const size_t rowBytes = size_t{w} * channels;
        for (size_t i = 0; i < rowBytes; ++i)
          px[2 * rowBytes + i] = static_cast<uint8_t>(px[rowBytes + i] + 128 - i);
        std::vector<uint8_t> png, back;
        ASSERT_TRUE(encodePng(px.data(), w, 3, channels, png, flags));
        uint32_t bw, bh;
        int bc;
        ASSERT_EQ(decodePng(png.data(), png.size(), back, bw, bh, bc, channels), kPngDecoded)
            << describe(w, 3, channels, flags);
        EXPECT_EQ(back, px);
        EXPECT_EQ(decodeWithLibpng(png, channels), px);
      }
    }
  }
}

TEST(PngEncoder, IncompressibleDataFallsBackToStoredBlocks) {
  // Noise wider than one stored block: compression would not fit, so the stored form
  // is written, split into blocks of at most 65535 bytes.
  const std::vector<uint8_t> px = test_images::make(Content::Noise, 300, 200, 4, 3);
  std::vector<uint8_t> compressed, stored;
  ASSERT_TRUE(encodePng(px.data(), 300, 200, 4, compressed, 0));
  ASSERT_TRUE(encodePng(px.data(), 300, 200, 4, stored, kPngStored));
  EXPECT_EQ(compressed, stored);
  const size_t data = (300 * 4 + 1) * 200;
  EXPECT_EQ(stored.size(), 58 + 2 + 5 * ((data + 65534) / 65535) + data + 4 + 16);
  EXPECT_EQ(stored[60], 0x00);  // first block not final, type stored
}

TEST(PngEncoder, TwoPassIsNoLargerThanOnePassOnAerialTiles) {
  const std::vector<uint8_t> px = test_images::orthophotoTile(256, 5);
  std::vector<uint8_t> onePass, twoPass, stored;
  ASSERT_TRUE(encodePng(px.data(), 256, 256, 4, onePass, 0));
  ASSERT_TRUE(encodePng(px.data(), 256, 256, 4, twoPass, kPngTwoPass));
  ASSERT_TRUE(encodePng(px.data(), 256, 256, 4, stored, kPngStored));
  EXPECT_LE(twoPass.size(), onePass.size());
  EXPECT_LT(onePass.size(), stored.size() * 3 / 4);
}

TEST(PngEncoder, PlainAndVectorChecksumsWriteIdenticalFiles) {
  const ProcessorFeatures saved = processorFeatures();
  detectCpuFeatures();
  const std::vector<uint8_t> px = test_images::orthophotoTile(256, 9);
  std::vector<std::vector<uint8_t>> vectorFiles, plainFiles;
  for (unsigned flags : {0u, 1u, 2u}) {
    vectorFiles.emplace_back();
    ASSERT_TRUE(encodePng(px.data(), 256, 256, 4, vectorFiles.back(), flags));
  }
  setProcessorFeatures(ProcessorFeatures{});
  for (unsigned flags : {0u, 1u, 2u}) {
    plainFiles.emplace_back();
    ASSERT_TRUE(encodePng(px.data(), 256, 256, 4, plainFiles.back(), flags));
  }
  setProcessorFeatures(saved);
  EXPECT_EQ(vectorFiles, plainFiles);
}

// The encoder's bytes must not drift between builds or platforms. A change here changes
// every tile file written from then on, so it has to be deliberate.
TEST(PngEncoder, OutputIsStable) {
  struct Expected {
    int channels;
    unsigned flags;
    size_t size;
    uint32_t crc;
  };
  const Expected expected[] = {{3, 0, 7409, 0xd7d2a3e9},
                               {3, 1, 5172, 0xe83b38b2},
                               {4, 0, 9507, 0x8ac467b7},
                               {4, 1, 7369, 0x5a29059f}};
  for (const Expected& e : expected) {
    std::vector<uint8_t> px = test_images::make(Content::Gradient, 64, 48, e.channels, 1);
    for (size_t i = 0; i < px.size(); i += 7) px[i] ^= (i * 2654435761u) >> 29;
    std::vector<uint8_t> png;
    ASSERT_TRUE(encodePng(px.data(), 64, 48, e.channels, png, e.flags));
    EXPECT_EQ(png.size(), e.size) << describe(64, 48, e.channels, e.flags);
    EXPECT_EQ(crc32(0, png.data(), static_cast<uInt>(png.size())), e.crc)
        << describe(64, 48, e.channels, e.flags);
  }
}

TEST(PngEncoder, RejectsBadArguments) {
  const uint8_t px[8] = {};
  std::vector<uint8_t> png;
  EXPECT_FALSE(encodePng(px, 1, 1, 2, png, 0));
  EXPECT_FALSE(encodePng(px, 1, 1, 5, png, 0));
  EXPECT_FALSE(encodePng(px, 0, 1, 3, png, 0));
  EXPECT_FALSE(encodePng(px, 1, 0, 3, png, 0));
  EXPECT_FALSE(encodePng(nullptr, 1, 1, 3, png, 0));
  EXPECT_FALSE(encodePng(px, (1u << 24) + 1, 1, 3, png, 0));
  EXPECT_FALSE(encodePng(px, 1, (1u << 24) + 1, 3, png, 0));
  EXPECT_FALSE(encodePng(px, 1u << 16, (1u << 16) + 1, 3, png, 0));  // above 2^32 - 1 pixels
}

TEST(PngEncoder, PngcheckAcceptsEveryForm) {
  if (std::system("command -v pngcheck > /dev/null") != 0) {
    GTEST_SKIP() << "pngcheck is not installed";
  }
  vmtest::TempDir dir;
  const std::vector<uint8_t> tile = test_images::orthophotoTile(256, 2);
  for (int channels : {3, 4}) {
    for (unsigned flags : {0u, 1u, 2u}) {
      std::vector<uint8_t> px(size_t{256} * 256 * channels);
      for (size_t i = 0; i < size_t{256} * 256; ++i)
        std::copy_n(&tile[i * 4], channels, &px[i * channels]);
      std::vector<uint8_t> png;
      ASSERT_TRUE(encodePng(px.data(), 256, 256, channels, png, flags));
      const std::string path =
          (dir / ("tile_" + std::to_string(channels) + "_" + std::to_string(flags) + ".png"));
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(png.data()), png.size());
      EXPECT_EQ(std::system(("pngcheck -q " + path + " > /dev/null").c_str()), 0) << path;
    }
  }
}

}  // namespace

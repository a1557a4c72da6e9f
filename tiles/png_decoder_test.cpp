#include "tiles/png_codec.h"
#include "tiles/test_images.h"

#include <gtest/gtest.h>
#include <zlib.h>
#include <opencv2/imgcodecs.hpp>

#include <cstring>
#include <string>

namespace {

using test_images::Content;

struct Chunk {
  std::string type;
  std::vector<uint8_t> data;
  bool keepCrc = false;  // write the stored CRC instead of a fresh one
  uint32_t crc = 0;
};

void putBigEndian(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint32_t getBigEndian(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

// A PNG split into its chunks after the signature, so tests can rearrange and damage it.
struct PngFile {
  std::vector<Chunk> chunks;

  explicit PngFile(const std::vector<uint8_t>& png) {
    for (size_t pos = 8; pos + 12 <= png.size();) {
      const uint32_t len = getBigEndian(&png[pos]);
      Chunk c{std::string(png.begin() + pos + 4, png.begin() + pos + 8),
              std::vector<uint8_t>(png.begin() + pos + 8, png.begin() + pos + 8 + len), true,
              getBigEndian(&png[pos + 8 + len])};
      chunks.push_back(c);
      pos += 12 + len;
    }
  }

  Chunk& find(const std::string& type) {
    for (Chunk& c : chunks) {
      if (c.type == type) return c;
    }
    throw std::runtime_error("no chunk " + type);
  }

  // Re-serialises; chunks whose data changed get a fresh CRC unless keepCrc is set.
  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    for (const Chunk& c : chunks) {
      putBigEndian(out, static_cast<uint32_t>(c.data.size()));
      const size_t typeAt = out.size();
      out.insert(out.end(), c.type.begin(), c.type.end());
      out.insert(out.end(), c.data.begin(), c.data.end());
      putBigEndian(out, c.keepCrc
                            ? c.crc
                            : static_cast<uint32_t>(crc32(0, &out[typeAt], 4 + c.data.size())));
    }
    return out;
  }
};

std::vector<uint8_t> encoded(uint32_t w, uint32_t h, int channels, unsigned flags,
                             Content content = Content::Gradient) {
  const std::vector<uint8_t> px = test_images::make(content, w, h, channels, 11);
  std::vector<uint8_t> png;
  EXPECT_TRUE(encodePng(px.data(), w, h, channels, png, flags));
  return png;
}

PngStatus decode(const std::vector<uint8_t>& png, int wanted = 3) {
  std::vector<uint8_t> out;
  uint32_t w, h;
  int c;
  return decodePng(png.data(), png.size(), out, w, h, c, wanted);
}

// Replaces IHDR fields and gives it a fresh CRC.
std::vector<uint8_t> withHeader(std::vector<uint8_t> png, uint32_t w, uint32_t h, uint8_t depth = 8,
                                uint8_t colour = 2, uint8_t interlace = 0) {
  PngFile f(png);
  Chunk& ihdr = f.find("IHDR");
  ihdr.keepCrc = false;
  std::vector<uint8_t> d;
  putBigEndian(d, w);
  putBigEndian(d, h);
  d.insert(d.end(), {depth, colour, 0, 0, interlace});
  ihdr.data = d;
  return f.bytes();
}

TEST(PngDecoderStatus, BadArgumentsAndNotPng) {
  const std::vector<uint8_t> png = encoded(4, 4, 3, 0);
  std::vector<uint8_t> out(5, 1);
  uint32_t w = 7, h = 7;
  int c = 7;
  EXPECT_EQ(decodePng(nullptr, 10, out, w, h, c, 3), kPngBadArguments);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(w, 0u);
  EXPECT_EQ(c, 0);
  EXPECT_EQ(decodePng(png.data(), 0, out, w, h, c, 3), kPngBadArguments);
  EXPECT_EQ(decodePng(png.data(), png.size(), out, w, h, c, 2), kPngBadArguments);

  EXPECT_EQ(decodePng(png.data(), 57, out, w, h, c, 3), kPngNotPng);
  std::vector<uint8_t> badSignature = png;
  badSignature[1] = 'Q';
  EXPECT_EQ(decode(badSignature), kPngNotPng);
  std::vector<uint8_t> badLength = png;
  badLength[11] = 12;
  EXPECT_EQ(decode(badLength), kPngNotPng);
}

TEST(PngDecoderStatus, WrongCrcs) {
  const std::vector<uint8_t> png = encoded(4, 4, 3, 0);
  std::vector<uint8_t> ihdr = png;
  ihdr[29] ^= 1;
  EXPECT_EQ(decode(ihdr), kPngBadCrc);
  PngFile f(png);
  f.find("fdEC").crc ^= 0x100;
  EXPECT_EQ(decode(f.bytes()), kPngBadCrc);
  PngFile end(png);
  end.find("IEND").crc = 0;
  EXPECT_EQ(decode(end.bytes()), kPngBadCrc);
  // IDAT CRCs are not checked; the Adler-32 guards the data.
  PngFile idat(png);
  idat.find("IDAT").crc ^= 1;
  EXPECT_EQ(decode(idat.bytes()), kPngDecoded);
}

TEST(PngDecoderStatus, DimensionsOutOfRangeAndTooLarge) {
  const std::vector<uint8_t> png = encoded(4, 4, 3, 0);
  EXPECT_EQ(decode(withHeader(png, 0, 4)), kPngBadDimensions);
  EXPECT_EQ(decode(withHeader(png, 4, 0)), kPngBadDimensions);
  EXPECT_EQ(decode(withHeader(png, (1u << 24) + 1, 1)), kPngBadDimensions);
  EXPECT_EQ(decode(withHeader(png, 1u << 15, (1u << 15) + 1)), kPngBadDimensions);
  // 2^30 pixels pass the dimension check, but four channels of them exceed 2^32 - 1 bytes.
  EXPECT_EQ(decode(withHeader(png, 1u << 15, 1u << 15), 4), kPngTooLarge);
  // Three channels fit, but a 4x4 stream cannot hold them: refused without a 3 GiB allocation.
  EXPECT_EQ(decode(withHeader(png, 1u << 15, 1u << 15), 3), kPngForeign);
}

TEST(PngDecoderStatus, HeaderFieldsOtherThanTheCodecWrites) {
  const std::vector<uint8_t> png = encoded(4, 4, 3, 0);
  EXPECT_EQ(decode(withHeader(png, 4, 4, 16)), kPngForeign);
  EXPECT_EQ(decode(withHeader(png, 4, 4, 8, 3)), kPngForeign);
  EXPECT_EQ(decode(withHeader(png, 4, 4, 8, 2, 1)), kPngForeign);
  // A colour type that disagrees with the stream: the Huffman rows no longer line up.
  EXPECT_EQ(decode(withHeader(png, 4, 4, 8, 6)), kPngForeign);
}

TEST(PngDecoderStatus, BrokenChunkStructure) {
  const std::vector<uint8_t> png = encoded(4, 4, 3, 0);
  // Truncated before IEND.
  EXPECT_EQ(decode(std::vector<uint8_t>(png.begin(), png.end() - 12)), kPngBrokenChunks);
  // A chunk length reaching past the end.
  std::vector<uint8_t> longChunk = png;
  longChunk[33] = 0x7F;
  EXPECT_EQ(decode(longChunk), kPngBrokenChunks);
  // A type byte that is not a letter.
  PngFile f(png);
  f.chunks.insert(f.chunks.begin() + 1, Chunk{"te1t", {1, 2}});
  EXPECT_EQ(decode(f.bytes()), kPngBrokenChunks);
}

TEST(PngDecoderStatus, ShortIdat) {
  PngFile f(encoded(4, 4, 3, 0));
  f.find("IDAT").data.resize(6);
  f.find("IDAT").keepCrc = false;
  EXPECT_EQ(decode(f.bytes()), kPngShortIdat);
}

TEST(PngDecoderStatus, ChunkOrderAndForeignFiles) {
  const std::vector<uint8_t> png = encoded(8, 8, 4, 0);
  EXPECT_EQ(decode(png, 4), kPngDecoded);

  PngFile late(png);  // fdEC after IDAT
  std::swap(late.chunks[1], late.chunks[2]);
  EXPECT_EQ(decode(late.bytes()), kPngForeign);

  PngFile twice(png);
  twice.chunks.insert(twice.chunks.begin() + 1, twice.chunks[1]);
  EXPECT_EQ(decode(twice.bytes()), kPngForeign);

  PngFile twoIdat(png);
  twoIdat.chunks.insert(twoIdat.chunks.begin() + 2, twoIdat.chunks[2]);
  EXPECT_EQ(decode(twoIdat.bytes()), kPngForeign);

  PngFile otherVersion(png);
  otherVersion.find("fdEC").data[4] = 1;
  otherVersion.find("fdEC").keepCrc = false;
  EXPECT_EQ(decode(otherVersion.bytes()), kPngForeign);

  PngFile noIdat(png);
  noIdat.chunks.erase(noIdat.chunks.begin() + 2);
  EXPECT_EQ(decode(noIdat.bytes()), kPngForeign);

  PngFile critical(png);
  critical.chunks.insert(critical.chunks.begin() + 2, Chunk{"ABCD", {1}});
  EXPECT_EQ(decode(critical.bytes()), kPngForeign);

  // Ancillary chunks are skipped wherever they are.
  PngFile ancillary(png);
  ancillary.chunks.insert(ancillary.chunks.begin() + 3, Chunk{"tEXt", {'a', 0, 'b'}});
  ancillary.chunks.insert(ancillary.chunks.begin() + 1, Chunk{"gAMA", {0, 0, 0xB1, 0x8F}});
  EXPECT_EQ(decode(ancillary.bytes(), 4), kPngDecoded);

  // libpng's files carry no private chunk.
  const cv::Mat image(16, 16, CV_8UC3, cv::Scalar(10, 20, 30));
  std::vector<uint8_t> libpngFile;
  ASSERT_TRUE(cv::imencode(".png", image, libpngFile));
  EXPECT_EQ(decode(libpngFile), kPngForeign);
}

TEST(PngDecoderStatus, StreamsOfAnotherShape) {
  for (unsigned flags : {0u, 2u}) {
    PngFile zlibHeader(encoded(8, 8, 3, flags));
    zlibHeader.find("IDAT").data[1] = 0x9C;
    EXPECT_EQ(decode(zlibHeader.bytes()), kPngForeign);

    // Data after the Adler-32 or a missing byte: the stream must end exactly at the chunk end.
    PngFile trailing(encoded(8, 8, 3, flags));
    trailing.find("IDAT").data.push_back(0);
    EXPECT_EQ(decode(trailing.bytes()), kPngForeign);
    PngFile missing(encoded(8, 8, 3, flags));
    missing.find("IDAT").data.erase(missing.find("IDAT").data.end() - 5);
    EXPECT_EQ(decode(missing.bytes()), kPngForeign);
  }
  // A stored row whose filter byte is not 0.
  PngFile filter(encoded(8, 8, 3, kPngStored));
  filter.find("IDAT").data[7] = 2;
  EXPECT_EQ(decode(filter.bytes()), kPngForeign);
  // LEN and NLEN disagree.
  PngFile lengths(encoded(8, 8, 3, kPngStored));
  lengths.find("IDAT").data[5] ^= 1;
  EXPECT_EQ(decode(lengths.bytes()), kPngForeign);
}

// A valid zlib stream from another deflate encoder (same 78 01 header) is not this codec's
// shape: it is refused rather than decoded wrongly.
TEST(PngDecoderStatus, ZlibStreamInsteadOfTheCodecsOwn) {
  const uint32_t w = 32, h = 16;
  const std::vector<uint8_t> px = test_images::make(Content::Gradient, w, h, 3, 5);
  std::vector<uint8_t> filtered;
  for (uint32_t y = 0; y < h; ++y) {
    filtered.push_back(y == 0 ? 0 : 2);
    for (uint32_t i = 0; i < w * 3; ++i) {
      const uint8_t above = y == 0 ? 0 : px[(y - 1) * w * 3 + i];
      filtered.push_back(static_cast<uint8_t>(px[y * w * 3 + i] - above));
    }
  }
  std::vector<uint8_t> stream(compressBound(filtered.size()));
  uLongf size = stream.size();
  ASSERT_EQ(compress2(stream.data(), &size, filtered.data(), filtered.size(), 1), Z_OK);
  stream.resize(size);
  ASSERT_EQ(stream[0], 0x78);
  ASSERT_EQ(stream[1], 0x01);
  PngFile f(encoded(w, h, 3, 0));
  f.find("IDAT").data = stream;
  EXPECT_EQ(decode(f.bytes()), kPngForeign);
}

TEST(PngDecoderIntegrity, WrongAdlerIsAnErrorNotPixels) {
  for (unsigned flags : {0u, 1u, 2u}) {
    PngFile f(encoded(16, 16, 3, flags));
    f.find("IDAT").data.back() ^= 0x40;
    std::vector<uint8_t> out;
    uint32_t w, h;
    int c;
    const std::vector<uint8_t> bytes = f.bytes();
    EXPECT_EQ(decodePng(bytes.data(), bytes.size(), out, w, h, c, 3), kPngForeign) << flags;
    EXPECT_TRUE(out.empty());
  }
}

// Any damaged or truncated file either fails or, where the damage hit bits a decoder
// ignores (padding), decodes to the original pixels: never to other pixels as success.
TEST(PngDecoderIntegrity, EveryBitFlipAndTruncation) {
  for (int channels : {3, 4}) {
    for (unsigned flags : {0u, 1u, 2u}) {
      const std::vector<uint8_t> px = test_images::make(Content::Gradient, 9, 7, channels, 3);
      std::vector<uint8_t> png;
      ASSERT_TRUE(encodePng(px.data(), 9, 7, channels, png, flags));
      std::vector<uint8_t> out;
      uint32_t w, h;
      int c;
      for (size_t bit = 0; bit < 8 * png.size(); ++bit) {
        std::vector<uint8_t> damaged = png;
        damaged[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
        if (decodePng(damaged.data(), damaged.size(), out, w, h, c, channels) == kPngDecoded) {
          ASSERT_EQ(out, px) << "bit " << bit << " flags " << flags;
        }
      }
      for (size_t n = 0; n < png.size(); ++n) {
        ASSERT_NE(decodePng(png.data(), n, out, w, h, c, channels), kPngDecoded) << n;
      }
    }
  }
}

}  // namespace

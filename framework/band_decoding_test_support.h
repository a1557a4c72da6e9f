#pragma once

// What the PNG and TIFF band decoders' tests share: noisy test images, and the two checks
// every banded decoder must pass (the banded result equals the whole decode reduced, and a
// large frame is reduced within little memory).

#include "framework/frame_image_decoding.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace bandtest {

// Noise: every block of every reduction differs from its neighbours.
inline cv::Mat noise(int cols, int rows, int type, uint64_t seed) {
  cv::Mat image(rows, cols, type);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_16U ? 65536 : 256);
  return image;
}

inline std::vector<unsigned char> encoded(const char* extension, const cv::Mat& image,
                                          const std::vector<int>& parameters = {}) {
  std::vector<unsigned char> bytes;
  cv::imencode(extension, image, bytes, parameters);
  return bytes;
}

// The file decoded reduced by 2, 4 and 8 is, pixel for pixel, the whole decode reduced.
inline void expectReducedLikeTheWholeDecode(const std::string& kind,
                                            const std::vector<unsigned char>& bytes) {
  const cv::Mat whole = fw::decodeFrameImage(bytes);
  ASSERT_FALSE(whole.empty()) << kind;
  for (int factor : {2, 4, 8}) {
    const cv::Mat banded = fw::decodeFrameImageReduced(bytes, factor);
    const cv::Mat expected = fw::reduceFrameImage(whole, factor);
    ASSERT_EQ(banded.size(), expected.size()) << kind << " by " << factor;
    ASSERT_EQ(banded.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(banded, expected, cv::NORM_INF), 0.0) << kind << " by " << factor;
  }
}

// Exits 0 when an 8000 x 6000 frame (144 MB decoded whole), written by `encode`, is decoded
// reduced by 8 within 32 MiB more than the process holds. For a death test: the address
// limit stays with the process.
template <class Encode>
[[noreturn]] void decodeLargeFrameUnderAddressLimit(Encode encode) {
  std::vector<unsigned char> bytes;
  {
    cv::Mat image(6000, 8000, CV_8UC3, cv::Scalar(10, 20, 30));
    image(cv::Rect(4000, 3000, 8, 8)).setTo(cv::Scalar(200, 200, 200));
    bytes = encode(image);
  }
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t limit = static_cast<rlim_t>(pages) * ::getpagesize() + (32 << 20);
  const rlimit room{limit, limit};
  setrlimit(RLIMIT_AS, &room);
  const cv::Mat reduced = fw::decodeFrameImageReduced(bytes, 8);
  const bool right = reduced.cols == 1000 && reduced.rows == 750 &&
                     reduced.at<cv::Vec3b>(375, 500) == cv::Vec3b(200, 200, 200) &&
                     reduced.at<cv::Vec3b>(0, 0) == cv::Vec3b(10, 20, 30);
  std::exit(right ? 0 : 1);
}

}  // namespace bandtest

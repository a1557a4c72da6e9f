#include "framework/gimage.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cstdint>
#include <stdexcept>
#include <vector>

TEST(GImage, SizesFollowTheElementType) {
  EXPECT_EQ(fw::GImage(3, 4, CV_8UC3).byteSize(), 36);
  EXPECT_EQ(fw::GImage(2, 2, CV_32FC1).byteSize(), 16);
  EXPECT_EQ(fw::GImage(1, 1, CV_64FC1).byteSize(), 8);
  EXPECT_EQ(fw::GImage::elemSize(CV_16UC4), 8);
  EXPECT_EQ(fw::GImage::elemSize(CV_8SC2), 2);
  // Sizes beyond 32 bits are computed exactly.
  const fw::GImage big(50000, 50000, CV_8UC3, reinterpret_cast<unsigned char*>(16), false);
  EXPECT_EQ(big.byteSize(), int64_t(50000) * 50000 * 3);
}

TEST(GImage, EmptyAndZeroSizedImagesOwnNothing) {
  const fw::GImage empty;
  EXPECT_EQ(empty.cols, 0);
  EXPECT_EQ(empty.data, nullptr);
  EXPECT_TRUE(empty.holder.isUndefined());
  EXPECT_TRUE(cv::Mat(empty).empty());

  const fw::GImage zero(0, 5, CV_8UC3);
  EXPECT_EQ(zero.data, nullptr);
  EXPECT_EQ(zero.cols, 5);
  EXPECT_EQ(zero.rows, 0);
  EXPECT_EQ(zero.type, CV_8UC3);
  EXPECT_TRUE(zero.holder.isUndefined());
  EXPECT_EQ(fw::GImage(-3, 5, CV_8UC1).data, nullptr);
}

TEST(GImage, RefusesSizesBeyond64Bits) {
  EXPECT_THROW(fw::GImage(2000000000, 2000000000, CV_64FC(512)), std::length_error);
}

TEST(GImage, BorrowedAndCopiedPixels) {
  std::vector<unsigned char> pixels = {1, 2, 3, 4, 5, 6};
  {
    const fw::GImage view(2, 3, CV_8UC1, pixels.data(), false);
    EXPECT_EQ(view.data, pixels.data());
    EXPECT_TRUE(view.holder.isUndefined());
    const cv::Mat mat = view;
    EXPECT_EQ(mat.data, pixels.data());
    EXPECT_EQ(mat.at<unsigned char>(1, 2), 6);
  }
  EXPECT_EQ(pixels, (std::vector<unsigned char>{1, 2, 3, 4, 5, 6}));

  const fw::GImage copy(2, 3, CV_8UC1, pixels.data(), true);
  EXPECT_NE(copy.data, pixels.data());
  pixels[0] = 99;
  EXPECT_EQ(copy.data[0], 1);
  EXPECT_EQ(copy.data[5], 6);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(copy.data) % 16, 0u);
}

TEST(GImage, OwnedBlocksAreAlignedAndShared) {
  for (int cols : {1, 3, 7, 100}) {
    const fw::GImage image(3, cols, CV_8UC1);
    ASSERT_NE(image.data, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(image.data) % 16, 0u);
  }
  fw::GImage a(2, 2, CV_8UC1);
  const fw::GImage b = a;
  a.data[3] = 42;
  EXPECT_EQ(b.data, a.data);
  EXPECT_EQ(b.data[3], 42);
}

TEST(GImage, MatrixRoundTripSharesAndKeepsPixels) {
  fw::GImage image;
  unsigned char* pixels = nullptr;
  {
    cv::Mat mat(4, 5, CV_8UC3, cv::Scalar(1, 2, 3));
    pixels = mat.data;
    image = fw::GImage(mat);
  }  // the first matrix is gone; the image keeps its pixels
  EXPECT_EQ(image.data, pixels);
  EXPECT_EQ(image.cols, 5);
  EXPECT_EQ(image.rows, 4);
  EXPECT_EQ(image.type, CV_8UC3);
  cv::Mat back = image;
  EXPECT_EQ(back.data, pixels);
  back.at<cv::Vec3b>(3, 4) = cv::Vec3b(7, 8, 9);
  EXPECT_EQ(image.data[(3 * 5 + 4) * 3], 7);
}

TEST(GImage, MatrixOfAnOwnedBlockKeepsItAlive) {
  cv::Mat mat;
  {
    fw::GImage image(3, 3, CV_8UC1);
    for (int i = 0; i < 9; ++i) image.data[i] = static_cast<unsigned char>(i);
    mat = image;
    EXPECT_EQ(mat.data, image.data);
  }
  // The image is gone; the matrix still holds the block (AddressSanitizer checks the read).
  EXPECT_EQ(mat.at<unsigned char>(2, 2), 8);
  cv::Mat copy = mat;
  mat.release();
  EXPECT_EQ(copy.at<unsigned char>(1, 1), 4);
}

TEST(GImage, OtherHoldersAreRefused) {
  unsigned char pixel = 5;
  fw::GImage image(1, 1, CV_8UC1, &pixel, false);
  image.holder = sv::Var(3);
  EXPECT_THROW(static_cast<cv::Mat>(image), sv::VarException);
}

TEST(GImage, PaddedMatrixRowsAreMadeContiguous) {
  cv::Mat big(6, 6, CV_8UC1);
  for (int i = 0; i < 36; ++i) big.data[i] = static_cast<unsigned char>(i);
  const fw::GImage image(big(cv::Rect(1, 1, 3, 2)));
  ASSERT_EQ(image.cols, 3);
  EXPECT_EQ(image.data[0], 7);
  EXPECT_EQ(image.data[3], 13);  // second row follows the first without padding
}

TEST(GImage, RowViewsPointIntoTheImage) {
  fw::GImage image(3, 4, CV_32FC1);
  const fw::GImage row = image.row(2);
  EXPECT_EQ(row.rows, 1);
  EXPECT_EQ(row.cols, 4);
  EXPECT_EQ(row.data, image.data + 2 * 4 * 4);
  EXPECT_TRUE(row.holder.isUndefined());
}

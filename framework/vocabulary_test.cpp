#include "framework/vocabulary.h"
#include "framework/file_resource.h"
#include "framework/vocabulary_file_for_tests.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cmath>
#include <fstream>
#include <sstream>

namespace {

using fwtest::VocabularyFile;

bool loadBytes(fw::Vocabulary& vocabulary, const std::string& bytes) {
  std::istringstream in(bytes);
  return vocabulary.load(in);
}

// One float feature per row.
fw::GImage features(const std::vector<std::pair<float, float>>& rows) {
  cv::Mat mat(int(rows.size()), 2, CV_32FC1);
  for (size_t i = 0; i < rows.size(); ++i) {
    mat.at<float>(int(i), 0) = rows[i].first;
    mat.at<float>(int(i), 1) = rows[i].second;
  }
  return fw::GImage(mat);
}

// Features that fall into words 7, 7 and 9 of the flat vocabulary.
fw::GImage sevenSevenNine() { return features({{71, 1}, {69, -2}, {90, 0}}); }

fw::BowVector transformed(int scoring, int weighting) {
  fw::Vocabulary vocabulary;
  EXPECT_TRUE(loadBytes(vocabulary, fwtest::flatVocabulary(scoring, weighting).bytes()));
  fw::BowVector bow;
  fw::FeatureVector fv;
  vocabulary.transform(sevenSevenNine(), bow, fv, 0);
  return bow;
}

}  // namespace

TEST(Vocabulary, LoadsAFileAndFindsWords) {
  vmtest::TempDir dir;
  const std::string path = (dir / "flat.bow").string();
  std::ofstream(path, std::ios::binary) << fwtest::flatVocabulary(0, 0).bytes();
  fw::Vocabulary vocabulary;
  EXPECT_TRUE(vocabulary.empty());
  ASSERT_TRUE(vocabulary.load(path));
  EXPECT_EQ(vocabulary.size(), 10u);
  EXPECT_EQ(vocabulary.levels(), 1);
  EXPECT_EQ(vocabulary.transform(features({{31, 4}}).row(0)), 3u);
  uint64_t word = 0, node = 99;
  float weight = 0;
  vocabulary.transform(features({{-50, 0}}).row(0), word, weight, &node, 0);
  EXPECT_EQ(word, 0u);
  EXPECT_EQ(node, 1u);
  EXPECT_EQ(weight, 1.0f);
  // Extreme levels up are plain arithmetic.
  vocabulary.transform(features({{-50, 0}}).row(0), word, weight, &node, INT32_MIN);
  EXPECT_EQ(word, 0u);
  // A feature of another size finds nothing.
  vocabulary.transform(fw::GImage(1, 3, CV_32FC1), word, weight);
  EXPECT_EQ(weight, 0.0f);

  EXPECT_EQ(vocabulary.getWordWeight(4), 1.0f);
  const fw::GImage descriptor = vocabulary.getWord(4);
  EXPECT_EQ(reinterpret_cast<const float*>(descriptor.data)[0], 40.0f);
  EXPECT_EQ(vocabulary.getWord(10).data, nullptr);
  EXPECT_EQ(vocabulary.getParentNode(4, 0), 5u);
  EXPECT_EQ(vocabulary.getParentNode(4, 1), 0u);
  EXPECT_EQ(vocabulary.getParentNode(4, 7), 0u);

  testing::internal::CaptureStderr();
  EXPECT_FALSE(vocabulary.load((dir / "missing.bow").string()));
  EXPECT_EQ(
      testing::internal::GetCapturedStderr(),
      "Vocabulary::load Could not open file " + (dir / "missing.bow").string() + " for reading\n");
}

TEST(Vocabulary, WeightingAndNormalisation) {
  // Accumulating weights without normalisation: sums 2 and 1 divided by 2 distinct words.
  EXPECT_EQ(transformed(5, 0), (fw::BowVector{{7, 1.0f}, {9, 0.5f}}));
  // Keeping the first occurrence.
  EXPECT_EQ(transformed(5, 2), (fw::BowVector{{7, 1.0f}, {9, 1.0f}}));
  // L1 and L2 normalisation of {7: 2, 9: 1}.
  const fw::BowVector l1 = transformed(0, 0);
  EXPECT_FLOAT_EQ(l1.at(7), 2.0f / 3);
  EXPECT_FLOAT_EQ(l1.at(9), 1.0f / 3);
  const fw::BowVector l2 = transformed(1, 1);
  EXPECT_FLOAT_EQ(l2.at(7), float(2 / std::sqrt(5.0)));
  EXPECT_FLOAT_EQ(l2.at(9), float(1 / std::sqrt(5.0)));
}

TEST(Vocabulary, FeatureVectorGroupsByNodeAndZeroWeightsAreSkipped) {
  // Two levels: nodes 1 and 2 under the root, leaves 3, 4 under 1 and 5, 6 under 2.
  VocabularyFile file;
  file.levels = 2;
  file.scoring = 5;
  file.addNode(0, 0, VocabularyFile::floats({0, 0}));
  file.addNode(0, 0, VocabularyFile::floats({100, 0}));
  file.addNode(1, 1, VocabularyFile::floats({-10, 0}));
  file.addNode(1, 0, VocabularyFile::floats({10, 0}));  // a stopped word
  file.addNode(2, 1, VocabularyFile::floats({90, 0}));
  file.addNode(2, 1, VocabularyFile::floats({110, 0}));
  file.words = {3, 4, 5, 6};
  fw::Vocabulary vocabulary;
  ASSERT_TRUE(loadBytes(vocabulary, file.bytes()));
  fw::BowVector bow;
  fw::FeatureVector fv;
  const fw::GImage rows = features({{-9, 0}, {12, 0}, {111, 0}, {89, 0}, {-11, 1}});
  vocabulary.transform(rows, bow, fv, 1);  // group by the nodes of level 1
  EXPECT_EQ(fv, (fw::FeatureVector{{1, {0, 4}}, {2, {2, 3}}}));
  EXPECT_EQ(bow.count(1), 0u);  // word 1 has weight 0
  EXPECT_EQ(bow.size(), 3u);
  vocabulary.transform(rows, bow, fv, 0);  // group by the leaves
  EXPECT_EQ(fv, (fw::FeatureVector{{3, {0, 4}}, {5, {3}}, {6, {2}}}));

  // The same features one image each.
  std::vector<fw::GImage> single;
  for (int i = 0; i < rows.rows; ++i) single.push_back(rows.row(i));
  fw::BowVector bowOfList;
  vocabulary.transform(single, bowOfList, fv, 0);
  EXPECT_EQ(bowOfList, bow);
  fw::BowVector wordsOnly;
  vocabulary.transform(rows, wordsOnly);
  EXPECT_EQ(wordsOnly, bow);

  EXPECT_EQ(vocabulary.getParentNode(2, 1), 2u);
  EXPECT_EQ(vocabulary.stopWords(0.5), 1);  // word 1 again, already 0
  EXPECT_EQ(vocabulary.getWordWeight(0), 1.0f);
}

TEST(Vocabulary, BinaryDescriptorsUseHammingDistance) {
  VocabularyFile file;
  file.type = CV_8UC1;
  file.cols = 16;
  file.scoring = 5;
  std::vector<unsigned char> zeros(16, 0), ones(16, 0);
  ones[0] = 0xFF;
  ones[15] = 0x01;  // 16 bytes: both 64-bit words are compared
  file.addNode(0, 1, zeros);
  file.addNode(0, 1, ones);
  file.words = {1, 2};
  fw::Vocabulary vocabulary;
  ASSERT_TRUE(loadBytes(vocabulary, file.bytes()));
  std::vector<unsigned char> feature(16, 0);
  feature[0] = 0xFE;  // 8 bits from zeros, 1 from ones
  feature[15] = 0x01;
  EXPECT_EQ(vocabulary.transform(fw::GImage(1, 16, CV_8UC1, feature.data(), false)), 1u);
  feature[0] = 0x01;  // 2 bits from zeros, 7 from ones
  EXPECT_EQ(vocabulary.transform(fw::GImage(1, 16, CV_8UC1, feature.data(), false)), 0u);

  // With 4-byte descriptors no whole 64-bit word is compared: the first child always wins.
  file.cols = 4;
  for (auto& node : file.nodes) node.descriptor.resize(4);
  ASSERT_TRUE(loadBytes(vocabulary, file.bytes()));
  std::vector<unsigned char> shortFeature = {0, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(vocabulary.transform(fw::GImage(1, 4, CV_8UC1, shortFeature.data(), false)), 0u);
}

TEST(Vocabulary, HeaderChecks) {
  fw::Vocabulary vocabulary;
  VocabularyFile file = fwtest::flatVocabulary(0, 0);
  file.signature = 12345;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(loadBytes(vocabulary, file.bytes()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Vocabulary: Wrong signature.\n");
  EXPECT_TRUE(vocabulary.empty());

  file = fwtest::flatVocabulary(0, 0);
  file.flag = 1;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(loadBytes(vocabulary, file.bytes()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  file = VocabularyFile();
  file.nodeCountOverride = 0;
  EXPECT_FALSE(loadBytes(vocabulary, file.bytes()));

  // A root alone with no words loads and stays empty.
  EXPECT_TRUE(loadBytes(vocabulary, VocabularyFile().bytes()));
  EXPECT_TRUE(vocabulary.empty());
}

TEST(Vocabulary, KeepsOnlyTenChildrenPerNode) {
  VocabularyFile file;
  for (int i = 0; i < 12; ++i) file.addNode(0, 1, VocabularyFile::floats({float(i), 0}));
  for (uint64_t i = 1; i <= 12; ++i) file.words.push_back(i);
  fw::Vocabulary vocabulary;
  ASSERT_TRUE(loadBytes(vocabulary, file.bytes()));
  const fw::Vocabulary::Node& root = vocabulary.nodes()[0];
  EXPECT_EQ(root.childCount, 10);
  EXPECT_EQ(root.children[9], 10u);
  // The twelfth child still exists but no descent reaches it.
  EXPECT_EQ(vocabulary.transform(features({{11, 0}}).row(0)), 9u);
}

TEST(Vocabulary, CorruptFilesFailCleanly) {
  const std::string good = fwtest::flatVocabulary(0, 0).bytes();
  fw::Vocabulary vocabulary;
  ASSERT_TRUE(loadBytes(vocabulary, good));
  testing::internal::CaptureStderr();
  // Every truncation fails and leaves the loaded vocabulary as it was.
  for (size_t length = 0; length < good.size(); ++length)
    EXPECT_FALSE(loadBytes(vocabulary, good.substr(0, length))) << length;
  EXPECT_EQ(vocabulary.size(), 10u);

  VocabularyFile file = fwtest::flatVocabulary(0, 0);
  file.nodes[3].parent = 500;  // no such node
  EXPECT_FALSE(loadBytes(vocabulary, file.bytes()));
  file = fwtest::flatVocabulary(0, 0);
  file.words[2] = 11;  // no such node
  EXPECT_FALSE(loadBytes(vocabulary, file.bytes()));
  file = fwtest::flatVocabulary(6, 0);  // no such scoring
  EXPECT_FALSE(loadBytes(vocabulary, file.bytes()));
  file = fwtest::flatVocabulary(0, 0);
  file.type = CV_8UC3;  // not a descriptor type
  EXPECT_FALSE(loadBytes(vocabulary, file.bytes()));
  file = fwtest::flatVocabulary(0, 0);
  file.cols = -2;
  EXPECT_FALSE(loadBytes(vocabulary, file.bytes()));
  file = fwtest::flatVocabulary(0, 0);
  file.levels = INT32_MIN;  // would overflow the level arithmetic of transforms
  EXPECT_FALSE(loadBytes(vocabulary, file.bytes()));
  file = fwtest::flatVocabulary(0, 0);
  file.nodeCountOverride = 0xFFFFFFFF;  // far more nodes than bytes
  EXPECT_FALSE(loadBytes(vocabulary, file.bytes()));
  const std::string messages = testing::internal::GetCapturedStderr();
  EXPECT_NE(messages.find("Vocabulary: "), std::string::npos);
  EXPECT_EQ(vocabulary.size(), 10u);
  EXPECT_EQ(vocabulary.transform(features({{31, 4}}).row(0)), 3u);
}

TEST(BowScoring, ScoresByHand) {
  const fw::BowVector a{{1, 0.5f}, {2, 0.5f}};
  const fw::BowVector b{{2, 0.25f}, {3, 0.75f}};
  const fw::BowVector c{{7, 1.0f}};
  EXPECT_DOUBLE_EQ(fw::L1Scoring().score(a, a), 1.0);
  EXPECT_DOUBLE_EQ(fw::L1Scoring().score(a, c), 0.0);
  // Common word 2: |0.5 - 0.25| - 0.5 - 0.25 = -0.5; -(-0.5) / 2.
  EXPECT_DOUBLE_EQ(fw::L1Scoring().score(a, b), 0.25);
  EXPECT_DOUBLE_EQ(fw::L2Scoring().score(fw::BowVector{{1, 1.0f}}, fw::BowVector{{1, 1.0f}}), 1.0);
  EXPECT_DOUBLE_EQ(fw::L2Scoring().score(fw::BowVector{{1, 0.75f}}, fw::BowVector{{1, 1.0f}}), 0.5);
  EXPECT_DOUBLE_EQ(fw::L2Scoring().score(fw::BowVector(), fw::BowVector()), 0.0);
  EXPECT_NEAR(fw::ChiSquareScoring().score(a, b), 2 * (0.5 * 0.25 / 0.75), 1e-6);
  EXPECT_DOUBLE_EQ(fw::BhattacharyyaScoring().score(a, b), std::sqrt(0.125f));
  EXPECT_DOUBLE_EQ(fw::DotProductScoring().score(a, b), 0.125);
  // KL of a against b: word 1 is missing in b (log ε term), word 2 is common.
  const double logEps = std::log(2.220446049250313e-16);
  const double kl = 0.5 * (std::log(0.5f) - logEps) + 0.5f * std::log(0.5f / 0.25f);
  EXPECT_NEAR(fw::KLScoring().score(a, b), kl, 1e-6);
  int norm = -1;
  EXPECT_FALSE(fw::DotProductScoring().mustNormalize(norm));
  EXPECT_EQ(norm, 0);
  EXPECT_TRUE(fw::L2Scoring().mustNormalize(norm));
  EXPECT_EQ(norm, 1);
}

TEST(FileResource, UnknownNamesGiveEmptyBuffers) {
  EXPECT_EQ(fw::FileResource::lookup("no.such.resource").data, nullptr);
  static const unsigned char bytes[] = {1, 2, 3};
  fw::FileResource::registerBuffer("three.bytes", {bytes, 3});
  const fw::FileResource::FileBuffer buffer = fw::FileResource::lookup("three.bytes");
  EXPECT_EQ(buffer.data, bytes);
  EXPECT_EQ(buffer.size, 3u);
}

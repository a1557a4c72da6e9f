// Feeds arbitrary bytes to the vocabulary loader. Inputs whose first byte is even get a valid
// signature and flag byte in front, so the fuzzer reaches the node and word records.

#include "framework/vocabulary.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    std::cerr.setstate(std::ios::failbit);
    return true;
  }();
  (void)quiet;
  std::string bytes;
  if (size > 0 && data[0] % 2 == 0) {
    const uint64_t signature = 88877711233ULL;
    bytes.append(reinterpret_cast<const char*>(&signature), sizeof(signature));
    bytes.push_back('\0');
    bytes.append(reinterpret_cast<const char*>(data) + 1, size - 1);
  } else {
    bytes.assign(reinterpret_cast<const char*>(data), size);
  }
  std::istringstream in(bytes);
  fw::Vocabulary vocabulary;
  if (vocabulary.load(in) && !vocabulary.empty()) {
    // Whatever loaded must be safe to use.
    const fw::GImage& like = vocabulary.nodes()[0].descriptor;
    fw::GImage feature(3, like.cols, like.type);
    for (int64_t i = 0; i < feature.byteSize(); ++i) feature.data[i] = uint8_t(i * 37);
    fw::BowVector bow;
    fw::FeatureVector fv;
    vocabulary.transform(feature, bow, fv, 1);
    vocabulary.getParentNode(0, 3);
  }
  return 0;
}

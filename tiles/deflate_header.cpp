#include "tiles/deflate_header.h"

#include "tiles/deflate_format.h"
#include "tiles/huffman_code.h"

#include <algorithm>
#include <vector>

namespace {

struct LengthToken {
  uint8_t symbol;  // 0..15 a length, 16 repeat previous, 17/18 runs of zeros
  uint8_t extra;   // value of the extra bits
};

// Run-length codes the code lengths the usual deflate way: runs of zeros with 17 and 18,
// repeats of a nonzero length with 16 after one plain copy.
std::vector<LengthToken> runLengthCode(const std::vector<uint8_t>& lengths) {
  std::vector<LengthToken> tokens;
  size_t i = 0;
  while (i < lengths.size()) {
    const uint8_t v = lengths[i];
    size_t run = 1;
    while (i + run < lengths.size() && lengths[i + run] == v) ++run;
    i += run;
    if (v == 0) {
      while (run >= 11) {
        const size_t r = std::min<size_t>(run, 138);
        tokens.push_back({18, static_cast<uint8_t>(r - 11)});
        run -= r;
      }
      if (run >= 3) {
        tokens.push_back({17, static_cast<uint8_t>(run - 3)});
        run = 0;
      }
    } else {
      tokens.push_back({v, 0});
      --run;
      while (run >= 3) {
        const size_t r = std::min<size_t>(run, 6);
        tokens.push_back({16, static_cast<uint8_t>(r - 3)});
        run -= r;
      }
    }
    for (; run > 0; --run) tokens.push_back({v, 0});
  }
  return tokens;
}

int usedCount(const uint8_t* lengths, int n, int minimum) {
  while (n > minimum && lengths[n - 1] == 0) --n;
  return n;
}

}  // namespace

void writeDynamicBlockHeader(BitWriter& out, const uint8_t* literalLengths,
                             const uint8_t* distanceLengths) {
  const int hlit = usedCount(literalLengths, deflate::kLiteralLengthSymbols, 257);
  const int hdist = usedCount(distanceLengths, deflate::kDistanceSymbols, 1);
  std::vector<uint8_t> all(literalLengths, literalLengths + hlit);
  all.insert(all.end(), distanceLengths, distanceLengths + hdist);
  const std::vector<LengthToken> tokens = runLengthCode(all);

  uint32_t counts[deflate::kCodeLengthSymbols] = {};
  for (const LengthToken& t : tokens) ++counts[t.symbol];
  uint8_t lengths[deflate::kCodeLengthSymbols];
  uint16_t codes[deflate::kCodeLengthSymbols];
  buildCodeLengths(counts, deflate::kCodeLengthSymbols, deflate::kMaxCodeLengthBits, lengths);
  canonicalCodes(lengths, deflate::kCodeLengthSymbols, codes);

  int hclen = deflate::kCodeLengthSymbols;
  while (hclen > 4 && lengths[deflate::kCodeLengthOrder[hclen - 1]] == 0) --hclen;

  out.put(1, 1);  // final block
  out.put(2, 2);  // dynamic Huffman codes
  out.put(hlit - 257, 5);
  out.put(hdist - 1, 5);
  out.put(hclen - 4, 4);
  for (int i = 0; i < hclen; ++i) out.put(lengths[deflate::kCodeLengthOrder[i]], 3);
  for (const LengthToken& t : tokens) {
    out.put(codes[t.symbol], lengths[t.symbol]);
    if (t.symbol == 16) out.put(t.extra, 2);
    if (t.symbol == 17) out.put(t.extra, 3);
    if (t.symbol == 18) out.put(t.extra, 7);
  }
}

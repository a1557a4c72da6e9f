#pragma once

#include <cstdint>

// Constants of the deflate stream shape shared by the PNG encoder and decoder.
namespace deflate {

constexpr int kLiteralLengthSymbols = 286;  // 0..255 literals, 256 end of block, 257..285 lengths
constexpr int kDistanceSymbols = 30;
constexpr int kCodeLengthSymbols = 19;
constexpr int kEndOfBlock = 256;
constexpr int kMaxCodeBits =
    12;  // longest literal/length or distance code the codec writes or reads
constexpr int kMaxCodeLengthBits = 7;

// Order in which the code-length code's lengths are stored.
constexpr uint8_t kCodeLengthOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

// Match length of each length symbol 257..285 and its count of extra bits.
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// Matches reach back exactly one pixel: distance 3 or 4, i.e. distance symbol 2 or 3.
constexpr int distanceSymbolFor(int channels) { return channels - 1; }
// Longest match: the most whole pixels within deflate's 258-byte limit, capped at 255.
constexpr int maxMatchBytes(int channels) { return channels == 3 ? 255 : 252; }

}  // namespace deflate

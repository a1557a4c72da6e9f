#pragma once

#include <cstdint>

// Deflate prefix codes: lengths from symbol counts, and the canonical codes for lengths.

// Gives every symbol with a nonzero count a code length of at most maxBits, forming a
// complete prefix code of least total coded size (package-merge). When fewer than two
// symbols are counted, symbols 0 and 1 fill in, so that there are always two codes and
// every decoder accepts the code (zlib rejects incomplete codes). Requires n <= 2^maxBits.
void buildCodeLengths(const uint32_t* counts, int n, int maxBits, uint8_t* lengths);

// The canonical deflate codes of the given lengths, bit-reversed so that they can be
// written least significant bit first. Symbols of length 0 get code 0.
void canonicalCodes(const uint8_t* lengths, int n, uint16_t* codes);

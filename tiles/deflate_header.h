#pragma once

#include "tiles/bit_writer.h"

#include <cstdint>

// Writes the header of a final dynamic-Huffman deflate block (BFINAL, BTYPE, HLIT, HDIST,
// HCLEN, the code-length code and the run-length coded code lengths) for the given
// literal/length lengths (286 entries) and distance lengths (30 entries).
void writeDynamicBlockHeader(BitWriter& out, const uint8_t* literalLengths,
                             const uint8_t* distanceLengths);

#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 of PNG chunks and gzip (reflected polynomial 0xEDB88320). Pass 0 to start and
// the previous result to continue over more bytes. Uses carry-less multiplication when
// the recorded processor features allow it (see cpu_features.h), a byte table otherwise;
// both give the same value.
uint32_t crc32Png(const uint8_t* bytes, size_t length, uint32_t crc);

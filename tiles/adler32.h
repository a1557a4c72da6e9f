#pragma once

#include <cstddef>
#include <cstdint>

// The zlib Adler-32 checksum. Pass 1 to start and the previous result to continue over
// more bytes. Uses a 16-byte vector loop when the recorded processor features allow it
// (see cpu_features.h), a scalar loop otherwise; both give the same value.
uint32_t adler32Png(const uint8_t* bytes, size_t length, uint32_t adler);

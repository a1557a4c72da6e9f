#pragma once

#include <cstddef>
#include <string>

// MD5 digest of the bytes as 32 lowercase hexadecimal characters; names an image
// by its content.
std::string md5Hex(const void* data, std::size_t length);

#include "md5_hex.h"

#include <openssl/evp.h>

#include <stdexcept>

std::string md5Hex(const void* data, std::size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  static const unsigned char kEmpty = 0;
  if (EVP_Digest(data != nullptr ? data : &kEmpty, length, digest, &size, EVP_md5(), nullptr) !=
      1) {
    throw std::runtime_error("MD5 digest failed");
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0x0f]);
  }
  return text;
}

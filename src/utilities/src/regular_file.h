#pragma once

#include <string>
#include <vector>

// Reads a whole regular file into `bytes`. A path that is not a regular file (a FIFO, a device
// such as /dev/zero or /dev/stdin, a directory) is refused without blocking on it, and so is a
// path holding a NUL byte; `reason` then says why (for example "not a regular file").
bool readRegularFile(const std::string& path, std::vector<unsigned char>& bytes,
                     std::string& reason);

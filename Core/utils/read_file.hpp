#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace utils {

// The whole of `file` when it is a regular file of at most `limit` bytes. Throws
// std::runtime_error, naming the file, when it cannot be read, is no regular file (a FIFO, a
// device, a folder) or holds more.
std::string read_file(const std::filesystem::path& file, std::size_t limit);

}  // namespace utils

#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace utils {

// The whole of `file` when it holds at most `limit` bytes. Throws std::runtime_error, naming
// the file, when it cannot be read or holds more: a device or a runaway file is never read
// further than the limit.
std::string read_file(const std::filesystem::path& file, std::size_t limit);

}  // namespace utils

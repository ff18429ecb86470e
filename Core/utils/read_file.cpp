#include "Core/utils/read_file.hpp"

#include <fstream>
#include <stdexcept>

namespace utils {

std::string read_file(const std::filesystem::path& file, std::size_t limit) {
  // A FIFO would hold the reader for ever, a device may never end: neither is opened.
  std::error_code error;
  const auto status = std::filesystem::status(file, error);
  if (!error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    throw std::runtime_error(file.string() + ": not a regular file");
  }
  std::ifstream input(file, std::ios::binary);
  if (!input) throw std::runtime_error(file.string() + ": cannot be read");
  std::string text(limit + 1, '\0');
  input.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (input.bad()) throw std::runtime_error(file.string() + ": cannot be read");
  text.resize(static_cast<std::size_t>(input.gcount()));
  if (text.size() > limit) {
    throw std::runtime_error(file.string() + ": larger than " + std::to_string(limit >> 20) +
                             " MiB, more than this tool reads");
  }
  return text;
}

}  // namespace utils

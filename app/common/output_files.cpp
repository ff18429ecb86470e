#include "common/output_files.hpp"

#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace app {

void make_folder(const std::filesystem::path& folder) {
  if (folder.empty()) throw std::invalid_argument("--out: an output folder is required");
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error || !std::filesystem::is_directory(folder)) {
    throw std::runtime_error(folder.string() + ": not a folder that can be made (" +
                             (error ? error.message() : "a file stands there") + ")");
  }
}

void write_file(const std::filesystem::path& path,
                const std::function<void(std::ostream&)>& write) {
  std::ofstream file(path);
  write(file);
  file.close();
  if (!file) throw std::runtime_error(path.string() + ": cannot be written");
}

}  // namespace app

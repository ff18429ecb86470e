#pragma once

#include <filesystem>
#include <functional>
#include <ostream>

namespace app {

// The output folder, made when missing; throws when it cannot be.
void make_folder(const std::filesystem::path& folder);

// Writes `path` whole, or throws.
void write_file(const std::filesystem::path& path, const std::function<void(std::ostream&)>& write);

}  // namespace app

// A fresh directory under the system temp dir, removed with everything in it.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace chunkup::testing {

class TempDir {
 public:
  TempDir() {
    std::random_device seed;
    m_path = std::filesystem::temp_directory_path() / ("chunkup-test-" + std::to_string(seed()) + std::to_string(seed()));
    std::filesystem::create_directories(m_path);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  // The full path of `name` inside the directory (nothing is created).
  std::string PathOf(const std::string& name) const { return (m_path / name).string(); }
  // Writes `bytes` to `name` inside the directory; returns the full path.
  std::string WriteFile(const std::string& name, const std::string& bytes) const {
    std::filesystem::path file = m_path / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file.string();
  }

 private:
  std::filesystem::path m_path;
};

}  // namespace chunkup::testing

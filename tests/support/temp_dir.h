// A scratch folder for one test, removed afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace quento::testing {

class TempDir {
 public:
  TempDir() : m_path(std::filesystem::temp_directory_path() / Name()) {
    std::filesystem::create_directories(m_path);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }

  std::filesystem::path Write(const std::string& name, const std::string& content) const {
    std::ofstream(m_path / name, std::ios::binary) << content;
    return m_path / name;
  }

  std::string Read(const std::string& name) const {
    std::ostringstream out;
    out << std::ifstream(m_path / name, std::ios::binary).rdbuf();
    return out.str();
  }

 private:
  static std::string Name() {
    std::random_device seed;
    return "quento-test-" + std::to_string(seed()) + std::to_string(seed());
  }

  std::filesystem::path m_path;
};

}  // namespace quento::testing

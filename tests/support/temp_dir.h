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
  TempDir() {
    std::random_device seed;
    m_path = std::filesystem::temp_directory_path() /
             ("quento-test-" + std::to_string(seed()) + std::to_string(seed()));
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
    const auto file = m_path / name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }

  std::string Read(const std::string& name) const {
    std::ifstream in(m_path / name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

 private:
  std::filesystem::path m_path;
};

}  // namespace quento::testing

// Helpers shared by the unit tests: a scratch working directory and files.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace qsn::testing {

// Makes a fresh temporary folder the working directory for the life of the
// object; afterwards goes back to the folder it came from and deletes the
// scratch folder with all it holds.
class ScratchDir {
 public:
  ScratchDir() {
    // A random name in the system's temporary folder; create_directory
    // says whether it was new, so a name taken meanwhile is tried again.
    std::mt19937_64 random(std::random_device{}() ^
                           std::chrono::steady_clock::now().time_since_epoch().count());
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0;; ++attempt) {
      if (attempt == 100) std::abort();
      path_ = base / ("qsntest." + std::to_string(random()));
      std::error_code error;
      if (std::filesystem::create_directory(path_, error)) break;
    }
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::error_code error;
    std::filesystem::current_path(old_, error);
    if (error) std::abort();
    // A folder that cannot be removed is left behind: no fault of the test.
    std::filesystem::remove_all(path_, error);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
  std::filesystem::path old_;
};

inline std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& name, const std::string& data) {
  std::ofstream(name, std::ios::binary) << data;
}

// The UTF-8 form of a character of the Basic Multilingual Plane.
inline std::string Utf8(unsigned code) {
  std::string s;
  if (code < 0x80) {
    s += static_cast<char>(code);
  } else if (code < 0x800) {
    s += static_cast<char>(0xC0 | (code >> 6));
    s += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | (code >> 12));
    s += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (code & 0x3F));
  }
  return s;
}

// The folder of the committed test vectors.
inline std::string DataDir() { return QSN_TEST_DATA_DIR; }

}  // namespace qsn::testing

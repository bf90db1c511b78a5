// Helpers shared by the unit tests: a scratch working directory and files.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace qsn::testing {

// Makes a fresh temporary folder the working directory for the life of the
// object; afterwards goes back to the folder it came from and deletes the
// scratch folder with all it holds.
class ScratchDir {
 public:
  ScratchDir() {
    char templ[] = "/tmp/qsntest.XXXXXX";
    if (!mkdtemp(templ)) std::abort();
    path_ = templ;
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

// The folder of the committed test vectors.
inline std::string DataDir() { return QSN_TEST_DATA_DIR; }

}  // namespace qsn::testing

// Helpers shared by the unit tests: a scratch working directory and files.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace qsn::testing {

// Makes a fresh temporary folder the working directory for the life of the
// object, and goes back (leaving the folder for inspection) afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    char templ[] = "/tmp/qsntest.XXXXXX";
    path_ = mkdtemp(templ);
    old_ = getcwd(nullptr, 0);
    if (chdir(path_.c_str()) != 0) std::abort();
  }
  ~ScratchDir() {
    if (chdir(old_) != 0) std::abort();
    std::free(old_);
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  char* old_;
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

// Helpers shared by the fuzz targets: a scratch folder for the files the host
// writes in its working directory, and a check that stops the run.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "log/log.h"

// A failed check aborts, so libFuzzer saves the input and reports the crash
// like any sanitizer finding.
#define FUZZ_CHECK(condition, ...)                                                       \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::fprintf(stderr, __VA_ARGS__);                                                 \
      std::fputc('\n', stderr);                                                          \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace qsn::fuzz {

// A fresh folder under $TMPDIR (or /tmp), removed when the process exits
// normally; after a crash it stays for inspection. The process does not stay
// inside it: libFuzzer resolves the corpus and artifact paths it was given
// against the working directory it started in.
inline const char* ScratchPath() {
  // Static storage without a destructor: the exit handler still reads it.
  static char path[4096];
  static const bool made = [] {
    const char* base = std::getenv("TMPDIR");
    std::snprintf(path, sizeof path, "%s/qsnfuzz.XXXXXX", base && *base ? base : "/tmp");
    if (!mkdtemp(path)) {
      std::perror("mkdtemp");
      std::abort();
    }
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    });
    return true;
  }();
  (void)made;
  return path;
}

// Makes the scratch folder the working directory for the life of the object.
class InScratch {
 public:
  InScratch() : old_(getcwd(nullptr, 0)) {
    if (!old_ || chdir(ScratchPath()) != 0) std::abort();
  }
  ~InScratch() {
    if (chdir(old_) != 0) std::abort();
    std::free(old_);
  }
  InScratch(const InScratch&) = delete;
  InScratch& operator=(const InScratch&) = delete;

 private:
  char* old_;
};

// Opens qsnclient.log in the scratch folder with every level written, so the
// dumps of level 4 run too.
inline void OpenScratchLog() {
  InScratch in;
  OpenLog();
  LogLevel = 4;
}

// Empties the log every `period` calls: a run of millions of inputs would
// otherwise fill the disk.
inline void TrimLog(int period) {
  static int calls = 0;
  if (++calls % period != 0) return;
  InScratch in;
  CloseLog();
  OpenLog();
}

}  // namespace qsn::fuzz

// How the log reaches the system on POSIX systems: the test binary is linked
// with -Wl,--wrap=write and --wrap=localtime_r, so the host's calls of
// both pass through the counters here first.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "log/mputs.h"
#include "tests/test_util.h"

namespace qsn {

namespace {

// What the host wrote while `recording`, one element per call.
bool recording = false;
std::vector<std::string> writes;
int localtime_calls = 0;

}  // namespace

extern "C" {

ssize_t __real_write(int fd, const void* data, size_t size);
struct tm* __real_localtime_r(const time_t* t, struct tm* out);

ssize_t __wrap_write(int fd, const void* data, size_t size) {
  if (recording) writes.emplace_back(static_cast<const char*>(data), size);
  return __real_write(fd, data, size);
}

struct tm* __wrap_localtime_r(const time_t* t, struct tm* out) {
  ++localtime_calls;
  return __real_localtime_r(t, out);
}

}  // extern "C"

namespace {

using qsn::testing::ReadFile;

class LogWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    LogLevel = 3;
    OpenLog();
    interp_ = Tcl_CreateInterp();
    Tcl_CreateObjCommand(interp_, "mputs", MputsCmd, nullptr, nullptr);
  }
  void TearDown() override {
    recording = false;
    writes.clear();
    Tcl_DeleteInterp(interp_);
    CloseLog();
  }
  void Eval(const char* script) {
    ASSERT_EQ(Tcl_Eval(interp_, script), TCL_OK) << script;
  }

  qsn::testing::ScratchDir dir_;
  Tcl_Interp* interp_ = nullptr;
};

TEST_F(LogWrites, AnMputsLineAndAMessageEachReachTheFileInOneWriteWithTheirBytes) {
  recording = true;
  // Each word stays a message of its own: one stops at a character CP866
  // lacks and the next goes on, one is cut at 1004 bytes with the mark, a
  // line break inside one becomes CR LF, ░ comes from the system's
  // converter.
  Eval("mputs Начало a中b [string repeat x 1005] \"two\nlines\" ░");
  LogPrintf(3, "n=%d Жж\nok\n", 5);
  recording = false;
  ASSERT_EQ(writes.size(), 2u);
  std::regex line(
      "\\[\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\]:"
      "\x8D\xA0\xE7\xA0\xAB\xAE a x{1004}\r\n\\.\\.\\.\r\n two\r\nlines \xB0\r\n");
  EXPECT_TRUE(std::regex_match(writes[0], line)) << writes[0];
  EXPECT_EQ(writes[1], "n=5 \x86\xA6\r\nok\r\n");
  EXPECT_EQ(ReadFile("qsnclient.log"), writes[0] + writes[1]);
}

TEST_F(LogWrites, MputsAsksForTheLocalTimeOnlyWhenTheSecondChanges) {
  int before = localtime_calls;
  for (int i = 0; i < 100; ++i) Eval("mputs same second");
  // Once, or twice if the second turned during the loop.
  EXPECT_LE(localtime_calls - before, 2);
  // A new second is asked for and shown.
  std::time_t start = std::time(nullptr);
  while (std::time(nullptr) == start)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  before = localtime_calls;
  std::time_t now = std::time(nullptr);
  Eval("mputs next second");
  EXPECT_GE(localtime_calls - before, 1);
  std::string log = ReadFile("qsnclient.log");
  std::string last = log.substr(log.rfind("\r\n[") + 2);
  char stamp[32];
  std::tm local{};
  __real_localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "[%d.%m.%Y %H:%M:%S]:", &local);
  // The second may have turned again between `now` and the line.
  if (last.compare(0, std::strlen(stamp), stamp) != 0) {
    std::time_t later = now + 1;
    __real_localtime_r(&later, &local);
    std::strftime(stamp, sizeof stamp, "[%d.%m.%Y %H:%M:%S]:", &local);
  }
  EXPECT_EQ(last, std::string(stamp) + "next second\r\n");
}

}  // namespace

}  // namespace qsn

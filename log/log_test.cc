// The log: levels, the 1004-byte cut, CP866 conversion and its stops, CR LF.
#include "log/log.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include "log/mputs.h"
#include "tests/test_util.h"

namespace {

using qsn::testing::ReadFile;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogLevel = 3;
    OpenLog();
  }
  void TearDown() override {
    CloseLog();
    LogLevel = 3;
  }
  std::string Log() { return ReadFile("qsnclient.log"); }

  qsn::testing::ScratchDir dir_;
};

TEST_F(LogTest, ConvertsToCp866WithCrLfAndFlushesEachMessage) {
  LogPrintf(3, "Начало %s\n", "работы");
  // Read while still open: every message is on disk at once.
  EXPECT_EQ(Log(), "\x8D\xA0\xE7\xA0\xAB\xAE \xE0\xA0\xA1\xAE\xE2\xEB\r\n");
  LogPrintf(3, "a\nb\n\n");
  EXPECT_EQ(Log().substr(15), "a\r\nb\r\n\r\n");
  LogPrintf(3, "n=%d Жж ok\n", 5);
  EXPECT_EQ(Log().substr(23), "n=5 \x86\xA6 ok\r\n");
}

TEST_F(LogTest, WritesOnlyLevelsUpToTheThreshold) {
  LogPrintf(4, "four\n");
  LogPrintf(3, "three\n");
  LogLevel = 1;
  LogPrintf(2, "two\n");
  LogPrintf(1, "one\n");
  LogLevel = 0;
  LogPrintf(1, "silenced\n");
  EXPECT_EQ(Log(), "three\r\none\r\n");
}

TEST_F(LogTest, CutsMessagesLongerThan1004Bytes) {
  std::string exact(1004, 'x');
  LogPrintf(3, "%s", exact.c_str());
  EXPECT_EQ(Log(), exact);
  LogPrintf(3, "%s", (std::string(1004, 'y') + "z").c_str());
  EXPECT_EQ(Log(), exact + std::string(1004, 'y') + "\r\n...\r\n");
}

TEST_F(LogTest, CutAfterMultiByteCharactersKeepsTheEllipsis) {
  std::string cyrillic;
  for (int i = 0; i < 502; ++i) cyrillic += "Ж";  // 1004 bytes
  LogPrintf(3, "%sz", cyrillic.c_str());
  EXPECT_EQ(Log(), std::string(502, '\x86') + "\r\n...\r\n");
}

TEST_F(LogTest, CutInsideAMultiByteCharacterStopsThereAndLosesTheEllipsis) {
  LogPrintf(3, "%s", (std::string(1003, 'a') + "ЖЖ").c_str());
  EXPECT_EQ(Log(), std::string(1003, 'a'));
}

TEST_F(LogTest, StopsAtACharacterWithNoCp866Form) {
  LogPrintf(3, "ok 中 lost\n");
  EXPECT_EQ(Log(), "ok ");
  // After multi-byte characters: converting in place used to abort here.
  LogPrintf(3, "ЖЖЖ中");
  EXPECT_EQ(Log(), "ok \x86\x86\x86");
  LogPrintf(3, "\xFF invalid\n");
  LogPrintf(3, "next\n");
  EXPECT_EQ(Log(), "ok \x86\x86\x86next\r\n");
}

TEST_F(LogTest, MputsWritesOneTimestampedLineOfItsWords) {
  Tcl_Interp* interp = Tcl_CreateInterp();
  Tcl_CreateObjCommand(interp, "mputs", MputsCmd, nullptr, nullptr);
  ASSERT_EQ(Tcl_Eval(interp, "mputs Начало работы; mputs; mputs {a b} c"), TCL_OK);
  EXPECT_STREQ(Tcl_GetStringResult(interp), "");
  LogLevel = 2;
  ASSERT_EQ(Tcl_Eval(interp, "mputs hidden"), TCL_OK);
  Tcl_DeleteInterp(interp);
  std::regex line(
      "\\[\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\]:"
      "\x8D\xA0\xE7\xA0\xAB\xAE \xE0\xA0\xA1\xAE\xE2\xEB\r\n"
      "\\[[0-9. :]{19}\\]:\r\n"
      "\\[[0-9. :]{19}\\]:a b c\r\n");
  EXPECT_TRUE(std::regex_match(Log(), line)) << Log();
}

// What iconv alone makes of `text`, stopping where it stops.
std::string IconvCp866(const std::string& text) {
  iconv_t cd = iconv_open("CP866", "UTF-8");
  std::string out(text.size(), '\0');
  char* inptr = const_cast<char*>(text.data());
  size_t inleft = text.size();
  char* outptr = out.data();
  size_t outleft = out.size();
  iconv(cd, &inptr, &inleft, &outptr, &outleft);
  iconv_close(cd);
  out.resize(outptr - out.data());
  return out;
}

std::string Utf8(unsigned code) {
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

TEST_F(LogTest, ConversionMatchesIconvForEveryCharacterAndBrokenSequences) {
  auto convert = [](const std::string& text) {
    std::string out(text.size(), '\0');
    out.resize(ConvertToCp866(text.data(), text.size(), out.data()));
    return out;
  };
  for (unsigned code = 1; code < 0x10000; ++code) {
    if (code >= 0xD800 && code < 0xE000) continue;
    std::string text = "a" + Utf8(code) + "Жz";
    ASSERT_EQ(convert(text), IconvCp866(text)) << "U+" << std::hex << code;
  }
  // Sequences cut short or broken where the Cyrillic letters start.
  for (std::string text : {"Ж\xD0",
                           "\xD0"
                           "A",
                           "\xD1\xC0", "\xD0\x8F\x80", "ё\xD1\xBF", "\xD0\xD0\x96",
                           "\x80Ж", "Ёё\xF0\x9F\x98\x80"}) {
    EXPECT_EQ(convert(text), IconvCp866(text)) << text;
  }
}

TEST(LogUnwritable, WritesNothingAndDoesNotCrash) {
  qsn::testing::ScratchDir dir;
  // A folder in the log's place cannot be opened as a file, even by root.
  ASSERT_EQ(mkdir("qsnclient.log", 0755), 0);
  OpenLog();
  LogPrintf(1, "nowhere to go\n");
  CloseLog();
  struct stat st;
  ASSERT_EQ(stat("qsnclient.log", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace

#include "log/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "log/mputs.h"
#include "tests/test_util.h"

namespace qsn {

namespace {

using qsn::testing::ReadFile;
using qsn::testing::Utf8;

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

// What LogPrintf must write for an ASCII `format` with `args`: the C
// library's own text, bounded, cut and given CR LF as every message is.
template <typename... Args>
std::string AsPrintfWouldWrite(const char* format, Args... args) {
  char text[1024];
  int n = std::snprintf(text, sizeof text, format, args...);
  std::string message(text, std::min<size_t>(n, sizeof text - 1));
  if (message.size() > 1004) message = message.substr(0, 1004) + "\n...\n";
  std::string written;
  for (char c : message) written += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return written;
}

TEST_F(LogTest, FormatsEveryConversionAsTheCLibraryDoes) {
  std::string expected;
  auto both = [&](const char* format, auto... args) {
    LogPrintf(3, format, args...);
    expected += AsPrintfWouldWrite(format, args...);
    ASSERT_EQ(Log(), expected) << format;
  };
  both("%d|%d|%d|%d\n", INT_MIN, INT_MAX, 0, -7);
  both("%ld|%ld|%ld\n", LONG_MIN, LONG_MAX, 1042L);
  both("%g|%g|%g|%g|%g\n", 0.0, 42.0, 999999.0, -999999.0, -5.0);
  // Not whole, or too large for plain digits, or negative zero: printf's
  // own forms, also for the whole numbers beside them.
  both("%g|%g|%g|%g|%g\n", 1e6, 123456.5, 0.25, -0.0, 7.0);
  both("%g|%g|%g|%g\n", 1e300, 1e-5, std::nan(""), -HUGE_VAL);
  both("100%% %s=%ld, %s\n", "a", 7L, "");
  both("%5d|%-3s|%x|%c|%.2f|%lu\n", 3, "ab", 255, 'z', 2.5, 9ul);
  both("%s", std::string(1500, 'q').c_str());
  both("tail %s", (std::string(1000, 'w') + "\n").c_str());
}

TEST_F(LogTest, EachStartKeepsTheLastRunAsDotOneAndStartsEmpty) {
  LogPrintf(3, "first run\n");
  OpenLog();
  EXPECT_EQ(ReadFile("qsnclient.log.1"), "first run\r\n");
  EXPECT_EQ(Log(), "");
  LogPrintf(3, "second run\n");
  OpenLog();
  EXPECT_EQ(ReadFile("qsnclient.log.1"), "second run\r\n");
  EXPECT_EQ(Log(), "");
  CloseLog();
  CloseLog();
}

TEST_F(LogTest, EveryMessageLandsAtTheEndWhoeverElseWritesOrEmptiesTheFile) {
  LogPrintf(3, "one\n");
  // Another instance empties the log: the next message starts the file,
  // with no zeros before it where the old end was.
  std::filesystem::resize_file("qsnclient.log", 0);
  LogPrintf(3, "two\n");
  EXPECT_EQ(Log(), "two\r\n");
  {
    std::ofstream other("qsnclient.log", std::ios::binary | std::ios::app);
    other << "other\r\n";
  }
  LogPrintf(3, "three\n");
  EXPECT_EQ(Log(), "two\r\nother\r\nthree\r\n");
}

// CP866's upper half, bytes 0x80 to 0xFF, as the code page defines it.
constexpr char kCp866Upper[] =
    "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"
    "абвгдежзийклмноп░▒▓│┤╡╢╖╕╣║╗╝╜╛┐"
    "└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀"
    "рстуфхцчшщъыьэюяЁёЄєЇїЎў°∙·√№¤■\u00A0";

std::string ConvertAll(const std::string& text) {
  std::string out(text.size(), '\0');
  out.resize(ConvertToCp866(text.data(), text.size(), out.data()));
  return out;
}

TEST_F(LogTest, EveryCharacterOfTheCodePageAndNoOtherIsWritten) {
  std::map<std::string, char> upper;
  std::string table = kCp866Upper;
  for (size_t i = 0, byte = 0x80; i < table.size(); ++byte) {
    size_t n = (table[i] & 0xE0) == 0xC0 ? 2 : 3;
    upper[table.substr(i, n)] = static_cast<char>(byte);
    i += n;
  }
  ASSERT_EQ(upper.size(), 128u);
  for (unsigned code = 1; code < 0x10000; ++code) {
    if (code >= 0xD800 && code < 0xE000) continue;
    std::string character = Utf8(code);
    auto found = upper.find(character);
    std::string expected = "a";
    if (code < 0x80) expected += static_cast<char>(code) + std::string("\x86z");
    if (found != upper.end()) expected += found->second + std::string("\x86z");
    ASSERT_EQ(ConvertAll("a" + character + "Жz"), expected) << "U+" << std::hex << code;
  }
  // Sequences cut short or broken where the Cyrillic letters start: the
  // conversion stops at the first byte that is not a whole character.
  const std::pair<std::string, std::string> broken[] = {
      {"Ж\xD0", "\x86"},
      {"\xD0"
       "A",
       ""},
      {"\xD1\xC0", ""},
      {"\xD0\x8F\x80", ""},
      {"ё\xD1\xBF", "\xF1"},
      {"\xD0\xD0\x96", ""},
      {"\x80Ж", ""},
      {"Ёё\xF0\x9F\x98\x80", "\xF0\xF1"}};
  for (const auto& [text, expected] : broken)
    EXPECT_EQ(ConvertAll(text), expected) << text;
}

TEST(LogUnwritable, WritesNothingAndDoesNotCrash) {
  qsn::testing::ScratchDir dir;
  // A folder in the log's place cannot be opened as a file, even by root.
  ASSERT_TRUE(std::filesystem::create_directory("qsnclient.log"));
  OpenLog();
  LogPrintf(1, "nowhere to go\n");
  CloseLog();
  EXPECT_TRUE(std::filesystem::is_directory("qsnclient.log"));
}

}  // namespace

}  // namespace qsn

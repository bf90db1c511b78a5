// The packer's conversions: strict UTF-8 to KOI8-R, the cipher, completeness.
#include "tools/pack.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_util.h"

namespace {

using qsn::PackScript;
using qsn::UnpackScript;
using qsn::Utf8ToKoi8r;
using qsn::testing::DataDir;
using qsn::testing::ReadFile;

TEST(Pack, ConvertsCyrillicToKoi8r) {
  std::string koi8, error;
  ASSERT_TRUE(Utf8ToKoi8r("Ёлка ё Ё", &koi8, &error)) << error;
  EXPECT_EQ(koi8, "\xB3\xCC\xCB\xC1 \xA3 \xB3");
  // A byte-order mark some editors write is not part of the script.
  ASSERT_TRUE(Utf8ToKoi8r("\xEF\xBB\xBFset a 1", &koi8, &error)) << error;
  EXPECT_EQ(koi8, "set a 1");
}

TEST(Pack, EveryByteOfKoi8rMakesTheRoundTrip) {
  // KOI8-R's upper half, bytes 0x80 to 0xFF, as the character set defines it.
  const std::string upper =
      "─│┌┐└┘├┤┬┴┼▀▄█▌▐░▒▓⌠■∙√≈≤≥\u00A0⌡°²·÷"
      "═║╒ё╓╔╕╖╗╘╙╚╛╜╝╞╟╠╡Ё╢╣╤╥╦╧╨╩╪╫╬©"
      "юабцдефгхийклмнопярстужвьызшэщчъ"
      "ЮАБЦДЕФГХИЙКЛМНОПЯРСТУЖВЬЫЗШЭЩЧЪ";
  std::string bytes, utf8, back, error;
  for (int byte = 1; byte < 0x100; ++byte) bytes += static_cast<char>(byte);
  ASSERT_TRUE(qsn::Koi8rToUtf8(bytes, &utf8, &error)) << error;
  EXPECT_EQ(utf8, bytes.substr(0, 0x7F) + upper);
  ASSERT_TRUE(Utf8ToKoi8r(utf8, &back, &error)) << error;
  EXPECT_EQ(back, bytes);
}

TEST(Pack, RefusesWhatTheHostCouldNotRunNamingWhere) {
  std::string koi8, error;
  EXPECT_FALSE(Utf8ToKoi8r("set a 1\nset b \"ж中\"\n", &koi8, &error));
  EXPECT_EQ(error, "character U+4E2D at line 2, column 9 has no KOI8-R form");
  EXPECT_FALSE(Utf8ToKoi8r(std::string("ab\ncd\0e", 7), &koi8, &error));
  EXPECT_EQ(error, "NUL byte at line 2, column 3");
  EXPECT_FALSE(Utf8ToKoi8r("x\xC3(", &koi8, &error));
  EXPECT_EQ(error, "invalid UTF-8 at line 1, column 2");
  for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    EXPECT_FALSE(Utf8ToKoi8r(bad, &koi8, &error)) << bad;
    EXPECT_EQ(error, "invalid UTF-8 at line 1, column 1");
  }
}

TEST(Pack, RefusesOnlyWhatTclTakesForUnfinished) {
  std::string dat, error;
  // A comment after a byte-order mark is a comment to the host, braces and
  // all; a brace with text after it is an error Tcl reports when it runs.
  EXPECT_TRUE(PackScript("\xEF\xBB\xBF# a { in a comment\nset a {x}x\n", &dat, &error))
      << error;
  EXPECT_FALSE(PackScript("set a 1\nset b [list \\\n    2\n", &dat, &error));
  EXPECT_EQ(error, "missing close-bracket: the command at line 2 is not finished");
}

TEST(Pack, MakesTheSameBytesAsIconvAndOpenSslEnc) {
  std::string dat, error;
  ASSERT_TRUE(PackScript(ReadFile(DataDir() + "/sample.tcl"), &dat, &error)) << error;
  EXPECT_EQ(dat, ReadFile(DataDir() + "/sample-init.dat"));
}

TEST(Unpack, GivesBackTheSourceAndRefusesDamagedFiles) {
  std::string source, error;
  ASSERT_TRUE(UnpackScript(ReadFile(DataDir() + "/sample-init.dat"), &source, &error));
  EXPECT_EQ(source, ReadFile(DataDir() + "/sample.tcl"));

  std::string dat = ReadFile(DataDir() + "/sample-init.dat");
  EXPECT_FALSE(UnpackScript(dat.substr(0, dat.size() - 1), &source, &error));
  EXPECT_NE(error.find("not a positive multiple of 8"), std::string::npos) << error;
  EXPECT_FALSE(UnpackScript("", &source, &error));
  dat.back() ^= 0x20;
  EXPECT_FALSE(UnpackScript(dat, &source, &error));
  EXPECT_NE(error.find("bad padding"), std::string::npos) << error;

  std::string koi8_nul("ab\0c", 4);
  EXPECT_FALSE(qsn::Koi8rToUtf8(koi8_nul, &source, &error));
  EXPECT_EQ(error, "NUL byte at offset 2 (the host ignores the script from there on)");
}

}  // namespace

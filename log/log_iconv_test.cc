// The log's conversion against the system's iconv, on the systems that
// have one: the same bytes, and the same stop, for every character.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "log/log.h"
#include "tests/test_util.h"

namespace qsn {

namespace {

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

TEST(LogIconv, ConversionMatchesIconvForEveryCharacterAndBrokenSequences) {
  qsn::testing::ScratchDir dir;
  OpenLog();
  auto convert = [](const std::string& text) {
    std::string out(text.size(), '\0');
    out.resize(ConvertToCp866(text.data(), text.size(), out.data()));
    return out;
  };
  for (unsigned code = 1; code < 0x10000; ++code) {
    if (code >= 0xD800 && code < 0xE000) continue;
    std::string text = "a" + qsn::testing::Utf8(code) + "Жz";
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
  CloseLog();
}

}  // namespace

}  // namespace qsn

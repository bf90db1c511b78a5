// Text on the wire: real UTF-8 out, replies read by their length, the rest untouched.
#include "base/tcl_text.h"

#include <gtest/gtest.h>

#include <string>

#include "base/owners.h"

namespace qsn {

namespace {

class WireTextTest : public ::testing::Test {
 protected:
  void SetUp() override { interp_ = Tcl_CreateInterp(); }
  void TearDown() override { Tcl_DeleteInterp(interp_); }

  // The wire bytes for a Tcl string given as UTF-8, and whether they are
  // the string's own bytes, not a copy.
  std::string ToWire(const std::string& utf8, bool* same) {
    qsn::DString tcl, scratch;
    Tcl_Encoding encoding = Tcl_GetEncoding(nullptr, "utf-8");
    Tcl_ExternalToUtfDString(encoding, utf8.data(), utf8.size(), tcl.get());
    Tcl_FreeEncoding(encoding);
    int length = 0;
    const char* wire = nullptr;
    std::string error;
    EXPECT_TRUE(
        ToWireText(tcl.value(), tcl.length(), scratch.get(), &wire, &length, &error));
    *same = wire == tcl.value();
    return std::string(wire, length);
  }
  std::string FromWire(const std::string& body, bool* same) {
    std::string scratch;
    size_t length = 0;
    const char* text = nullptr;
    std::string error;
    EXPECT_TRUE(
        FromWireText(body.c_str(), body.size(), &scratch, &text, &length, &error));
    *same = text == body.c_str();
    return std::string(text, length);
  }

  Tcl_Interp* interp_ = nullptr;
};

// Longer than a word, with a NUL inside a word and another in the tail.
const std::string kNulAndSmile("eight by\0tes and a\0b\xF0\x9F\x98\x80", 24);

TEST_F(WireTextTest, NulAndCharactersPastTheBmpGoOutAsUtf8) {
  bool same;
  EXPECT_EQ(ToWire(kNulAndSmile, &same), kNulAndSmile);
  EXPECT_FALSE(same);
  EXPECT_EQ(ToWire("Ёлка ü 日本", &same), "Ёлка ü 日本");
  EXPECT_TRUE(same);
}

TEST_F(WireTextTest, OnlyABodyWithNulOrAByteFromF0IsConverted) {
  bool same;
  // Tcl's own forms: NUL as C0 80, U+1F600 as two surrogates.
  EXPECT_EQ(FromWire(kNulAndSmile, &same),
            "eight by\xC0\x80tes and a\xC0\x80"
            "b\xED\xA0\xBD\xED\xB8\x80");
  EXPECT_FALSE(same);
  // Other invalid UTF-8 stays as sent.
  for (const char* body : {"-qsnreply \xEF"
                           "A\xC3",
                           "\x80\xBF \xE1\xB5 Ёлка \xED\xA0"}) {
    EXPECT_EQ(FromWire(body, &same), body);
    EXPECT_TRUE(same) << body;
  }
  // A cut four-byte sequence becomes the characters Tcl reads its bytes as:
  // after a backslash, raw, it made Tcl's list parser write past its buffer.
  EXPECT_EQ(FromWire("a \\\xF1\xB5\xB5", &same), "a \\\xC3\xB1\xC2\xB5\xC2\xB5");
  EXPECT_FALSE(same);
  EXPECT_EQ(FromWire("a longer text, then \xF0\x9F\x98", &same),
            "a longer text, then \xC3\xB0\xC2\x9F\xC2\x98");
  EXPECT_FALSE(same);
}

TEST_F(WireTextTest, ABodyOfManyPiecesConvertsAsOne) {
  // A four-byte sequence across the end of the first piece of a megabyte,
  // and NULs at the very end.
  std::string body(size_t{1} << 20, 'a');
  body.replace(body.size() - 2, 2, "\xF0\x9F");
  body += std::string("\x98\x80", 2) + std::string(1 << 20, 'b') + std::string(2, '\0');
  std::string expected((size_t{1} << 20) - 2, 'a');
  expected += "\xED\xA0\xBD\xED\xB8\x80" + std::string(1 << 20, 'b') + "\xC0\x80\xC0\x80";
  bool same;
  EXPECT_EQ(FromWire(body, &same), expected);
  EXPECT_FALSE(same);
}

}  // namespace

}  // namespace qsn

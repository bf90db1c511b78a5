// Text on the wire: real UTF-8 out, replies read by their length, the rest untouched.
#include "session/wire_text.h"

#include <gtest/gtest.h>

#include <string>

#include "base/owners.h"

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
    const char* wire = ToWireText(tcl.value(), tcl.length(), scratch.get(), &length);
    *same = wire == tcl.value();
    return std::string(wire, length);
  }
  std::string FromWire(const std::string& body, bool* same) {
    qsn::DString scratch;
    const char* text = FromWireText(body.c_str(), body.size(), scratch.get());
    *same = text == body.c_str();
    return text;
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

TEST_F(WireTextTest, OnlyABodyWithNulOrAFourByteSequenceIsConverted) {
  bool same;
  // Tcl's own forms: NUL as C0 80, U+1F600 as two surrogates.
  EXPECT_EQ(FromWire(kNulAndSmile, &same),
            "eight by\xC0\x80tes and a\xC0\x80"
            "b\xED\xA0\xBD\xED\xB8\x80");
  EXPECT_FALSE(same);
  // Invalid UTF-8, and bytes that only begin a four-byte form, stay as sent.
  const char* unchanged[] = {
      "-qsnreply \xFF"
      "A\xC3",
      "\xF0\x9F\x98", "\xF5\x80\x80\x80", "\xF0\x80\x80\x80 Ёлка",
      "a longer text, then \xF0\x9F\x98"};
  for (const char* body : unchanged) {
    EXPECT_EQ(FromWire(body, &same), body);
    EXPECT_TRUE(same) << body;
  }
}

}  // namespace

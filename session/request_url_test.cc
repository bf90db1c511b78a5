// The request URL: base and path joined by exactly one slash.
#include "session/request_url.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace qsn {

namespace {

std::string Compose(const char* base, const char* path) {
  qsn::DString base_url, url;
  Tcl_DStringAppend(base_url.get(), base, -1);
  int length = static_cast<int>(std::strlen(path));
  ComposeUrl(base_url, path, length, url.get());
  ComposeUrl(base_url, path, length, url.get());  // rebuilt, never appended to
  return url.value();
}

TEST(ComposeUrl, JoinsBaseAndPathWithExactlyOneSlash) {
  EXPECT_EQ(Compose("http://h/app", ""), "http://h/app/");
  EXPECT_EQ(Compose("http://h/app/", ""), "http://h/app/");
  EXPECT_EQ(Compose("http://h/app", "/x/y"), "http://h/app/x/y");
  EXPECT_EQ(Compose("http://h/app/", "x"), "http://h/app/x");
  EXPECT_EQ(Compose("http://h/app/", "/x"), "http://h/app/x");
  EXPECT_EQ(Compose("http://h/app", "x"), "http://h/app/x");
}

TEST(ComposeUrl, EmptyBaseCountsAsNotEndingInASlash) {
  EXPECT_EQ(Compose("", ""), "/");
  EXPECT_EQ(Compose("", "/p"), "/p");
  // Only one slash is dropped or added: what the server gave is kept.
  EXPECT_EQ(Compose("http://h//", "//p"), "http://h///p");
}

TEST(UsableUrl, RefusesWhatLibcurlCannotParse) {
  Tcl_FindExecutable(nullptr);  // Tcl's encodings, for Tcl's form of NUL
  qsn::DString base;
  Tcl_DStringAppend(base.get(), "http://h/app", -1);
  auto usable = [&base](const char* path) {
    return UsableUrl(base, path, static_cast<int>(std::strlen(path)));
  };
  EXPECT_TRUE(usable("/u/7"));
  EXPECT_TRUE(usable("/\xD0\x81"));  // Ё, in UTF-8
  EXPECT_FALSE(usable("/x y"));
  EXPECT_FALSE(usable("/x\r\nHost: evil"));
  EXPECT_FALSE(usable("/x\x01"));
  // Tcl's form of NUL would go out as a zero byte and cut the URL short.
  EXPECT_FALSE(
      usable("/a\xC0\x80"
             "b"));
}

}  // namespace

}  // namespace qsn

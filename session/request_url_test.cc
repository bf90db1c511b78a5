// The request URL: base and path joined by exactly one slash.
#include "session/request_url.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Compose(const char* base, const char* path) {
  Session session;
  Tcl_DStringAppend(session.base_url.get(), base, -1);
  Tcl_DStringAppend(session.path.get(), path, -1);
  ComposeRequestUrl(&session);
  ComposeRequestUrl(&session);  // rebuilt from scratch, never appended to
  return session.request_url.value();
}

TEST(ComposeRequestUrl, JoinsBaseAndPathWithExactlyOneSlash) {
  EXPECT_EQ(Compose("http://h/app", ""), "http://h/app/");
  EXPECT_EQ(Compose("http://h/app/", ""), "http://h/app/");
  EXPECT_EQ(Compose("http://h/app", "/x/y"), "http://h/app/x/y");
  EXPECT_EQ(Compose("http://h/app/", "x"), "http://h/app/x");
  EXPECT_EQ(Compose("http://h/app/", "/x"), "http://h/app/x");
  EXPECT_EQ(Compose("http://h/app", "x"), "http://h/app/x");
}

TEST(ComposeRequestUrl, EmptyBaseCountsAsNotEndingInASlash) {
  EXPECT_EQ(Compose("", ""), "/");
  EXPECT_EQ(Compose("", "/p"), "/p");
  // Only one slash is dropped or added: what the server gave is kept.
  EXPECT_EQ(Compose("http://h//", "//p"), "http://h///p");
}

TEST(UsableUrl, RefusesWhatLibcurlCannotParse) {
  Tcl_FindExecutable(nullptr);  // Tcl's encodings, for Tcl's form of NUL
  qsn::DString base;
  Tcl_DStringAppend(base.get(), "http://h/app", -1);
  EXPECT_TRUE(UsableUrl(base, "/u/7", 4));
  EXPECT_TRUE(UsableUrl(base, "/\xD0\x81", 3));  // Ё, sent percent-encoded
  EXPECT_FALSE(UsableUrl(base, "/x y", 4));
  EXPECT_FALSE(UsableUrl(base, "/x\r\nHost: evil", 16));
  EXPECT_FALSE(UsableUrl(base, "/x\x01", 3));
  // Tcl's form of NUL would go out as a zero byte and cut the URL short.
  EXPECT_FALSE(UsableUrl(base,
                         "/a\xC0\x80"
                         "b",
                         5));
}

}  // namespace

// Finding a cookie among the Cookie headers a client sent.
#include "server/cookies.h"

#include <gtest/gtest.h>

namespace qsn {

namespace {

using Headers = std::multimap<std::string, std::string>;

std::optional<std::string> Cookie(const char* header, const char* name) {
  return FindCookie(Headers{{"Cookie", header}}, name);
}

TEST(FindCookie, NameMatchesWholeNotAsAPrefix) {
  EXPECT_EQ(Cookie("sidx=1; sid=2; s=3", "sid"), "2");
  EXPECT_EQ(Cookie("sidx=1; sid=2; s=3", "s"), "3");
  EXPECT_EQ(Cookie("sid=2", "si"), std::nullopt);
  EXPECT_EQ(Cookie("sid=2", "sidx"), std::nullopt);
  EXPECT_EQ(Cookie("a=1; a=2", "a"), "1");
}

TEST(FindCookie, BlanksBeforeTheNameAreSkippedTheValueIsKept) {
  EXPECT_EQ(Cookie("a=1;   b=2", "b"), "2");
  EXPECT_EQ(Cookie("a=1;b=2", "b"), "2");
  EXPECT_EQ(Cookie("a= x y ;b=2", "a"), " x y ");
  EXPECT_EQ(Cookie("a b=1", "b"), std::nullopt);
}

TEST(FindCookie, EmptyValueIsFoundAPairWithoutEqualsIsNot) {
  EXPECT_EQ(Cookie("a=; b=2", "a"), "");
  EXPECT_EQ(Cookie("flag; b=2", "flag"), std::nullopt);
  EXPECT_EQ(Cookie("flag; b=2", "b"), "2");
  EXPECT_EQ(Cookie("a=b=c", "a"), "b=c");
  EXPECT_EQ(Cookie("", "a"), std::nullopt);
  EXPECT_EQ(Cookie(";;", "a"), std::nullopt);
}

TEST(FindCookie, EveryCookieHeaderIsSearchedOtherHeadersAreNot) {
  Headers headers = {
      {"Cookie", "a=1"}, {"X-Cookie", "b=9"}, {"cookie", "b=2"}, {"Set-Cookie", "c=9"}};
  EXPECT_EQ(FindCookie(headers, "a"), "1");
  EXPECT_EQ(FindCookie(headers, "b"), "2");
  EXPECT_EQ(FindCookie(headers, "c"), std::nullopt);
  headers.emplace("Cookie", "a=3; d=4");
  EXPECT_EQ(FindCookie(headers, "a"), "1");
  EXPECT_EQ(FindCookie(headers, "d"), "4");
}

}  // namespace

}  // namespace qsn

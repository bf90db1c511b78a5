// The check of a request head's lines, byte by byte as the library gets them.
#include "server/framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qsn {
namespace {

// Where the check stops the head: the index of the byte it refuses, or
// npos when it takes the whole head.
size_t RefusedAt(const std::string& head) {
  HeadCheck check;
  for (size_t i = 0; i < head.size(); ++i)
    if (!check.Take(head[i])) return i;
  return std::string::npos;
}

const std::string kStart = "POST / HTTP/1.1\r\nHost: x\r\n";

TEST(HeadCheck, TakesAPlainHead) {
  EXPECT_EQ(RefusedAt(kStart + "Content-Length: 5\r\nX-Empty:\r\nX-Tab:\ta b\r\n" +
                      "Content-Type: multipart/form-data; boundary=%41\r\n\r\n"),
            std::string::npos);
}

TEST(HeadCheck, StopsAtTheLineBreakOfALineAProxyMayReadOtherwise) {
  for (const std::string& line : std::vector<std::string>{
           "Content-Length : 5\r\n", "Transfer-Encoding\t: chunked\r\n", " chunked\r\n",
           "\tchunked\r\n", "Content-Length: 5\n", "X-A: a\rb\r\n",
           std::string("X-A: a\0b\r\n", 10), "no colon\r\n", ": empty name\r\n",
           "X(A): 1\r\n", "Content-Length: 1%30\r\n",
           "transfer-encoding: %63hunked\r\n"}) {
    EXPECT_EQ(RefusedAt(kStart + line + "\r\n"), kStart.size() + line.size() - 1) << line;
  }
  EXPECT_EQ(RefusedAt("POST / HTTP/1.1\nHost: x\r\n\r\n"), 15u);
}

}  // namespace
}  // namespace qsn

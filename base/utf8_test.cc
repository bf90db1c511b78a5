// Cutting text for a person to read: by lines, by bytes, never inside a
// character.
#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qsn::FirstLines;

TEST(FirstLines, LeavesTextWithinBothLimitsAsItIs) {
  EXPECT_EQ(FirstLines("a\nb\n", 2, 4), "a\nb\n");
  EXPECT_EQ(FirstLines("без перевода строки", 1, 100), "без перевода строки");
}

TEST(FirstLines, CutsAfterTheLastLineItKeeps) {
  EXPECT_EQ(FirstLines("1\n2\n3\n4\n", 2, 100), "1\n2\n...\n");
  EXPECT_EQ(FirstLines("1\n2\n3", 2, 100), "1\n2\n...\n");
}

TEST(FirstLines, CutsALongLineAtTheStartOfACharacter) {
  std::string line;
  for (int i = 0; i < 1000; ++i) line += "ж";  // two bytes each
  // 5 bytes fall inside the third letter: two letters are kept.
  EXPECT_EQ(FirstLines("x" + line, 20, 6), "xжж\n...\n");
  EXPECT_EQ(FirstLines(line + "\nnext", 20, 2000), line.substr(0, 2000) + "\n...\n");
}

}  // namespace

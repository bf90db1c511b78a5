// The access log's line: its fields as a terminal may show them.
#include "server/access_log.h"

#include <gtest/gtest.h>

#include <string>

namespace qsn {
namespace {

TEST(AccessLine, FieldsAreCutAtACharacterWithControlsShownAsQuestionMarks) {
  AccessRecord record;
  record.method = "POST";
  // 82 bytes, cut before "..." at the 57th, which is within a letter.
  record.path = "//";
  for (int i = 0; i < 40; ++i) record.path += "П";
  record.command = "a\x1b[2J\xc2\x9b\x9b\x7f\xd0";
  record.status = 200;
  record.bytes = 12;
  std::string line = AccessLine(record, 0);
  std::string path = "//";
  for (int i = 0; i < 27; ++i) path += "П";
  EXPECT_EQ(line.substr(20), "POST " + path + "... a?[2J???? 200 12 -\n") << line;

  record.path.clear();
  record.ms = 7;
  record.error = true;
  EXPECT_EQ(AccessLine(record, 0).substr(20), "POST - a?[2J???? 200 12 7 error\n");
}

}  // namespace
}  // namespace qsn

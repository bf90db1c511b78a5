// Counting a list's elements on its text: as Tcl's own split counts them.
#include "server/list_length.h"

#include <gtest/gtest.h>
#include <tcl.h>

#include <string>
#include <vector>

#include "base/owners.h"

namespace qsn {
namespace {

struct TclReady {
  TclReady() { Tcl_FindExecutable(nullptr); }
};

// Tcl's count of the list, or -1 when Tcl refuses it.
int TclLength(const std::string& list) {
  static TclReady ready;
  ObjRef obj(Tcl_NewStringObj(list.data(), static_cast<int>(list.size())));
  int length = -1;
  return Tcl_ListObjLength(nullptr, obj.get(), &length) == TCL_OK ? length : -1;
}

TEST(ListLength, CountsAsTclDoes) {
  for (const std::string& list : std::vector<std::string>{
           "", " \t\n\v\f\r", "a", "  a  b\tc\nd\ve\ff\rg  ", "{a b} c", "{a {b c} {}} d",
           "\"a b\" c \"\"", "a\\ b c", "a\\\n  b c", "x\\\n", "{a\\} b} c",
           "\"a\\\" b\" c", "a{b c\"d e}", "\\", "a\\", "{\\\n} x", "ё ж {д з}",
           std::string("a\0b c", 5)}) {
    ASSERT_GE(TclLength(list), 0) << list;
    EXPECT_EQ(ListLength(list, 100), static_cast<size_t>(TclLength(list))) << list;
  }
}

TEST(ListLength, CountsAListTclRefusesUpToItsFault) {
  EXPECT_EQ(TclLength("a {b c"), -1);
  EXPECT_EQ(ListLength("a {b c", 100), 2u);
  EXPECT_EQ(TclLength("a \"b c"), -1);
  EXPECT_EQ(ListLength("a \"b c", 100), 2u);
  EXPECT_EQ(TclLength("{a}b c d"), -1);
  EXPECT_EQ(ListLength("{a}b c d", 100), 1u);
  EXPECT_EQ(TclLength("\"a\"b c d"), -1);
  EXPECT_EQ(ListLength("\"a\"b c d", 100), 1u);
}

TEST(ListLength, StopsPastTheMost) {
  EXPECT_EQ(ListLength("a b c d e", 2), 3u);
  EXPECT_EQ(ListLength("a b", 2), 2u);
  EXPECT_EQ(ListLength("{a b c d e}", 2), 1u);
}

}  // namespace
}  // namespace qsn

// The reply parser: each option, malformed replies, -changeurl handed back.
#include "session/reply.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "log/log.h"
#include "tests/test_util.h"

namespace qsn {

namespace {

class ParseReplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    interp_ = Tcl_CreateInterp();
    OpenLog();
  }
  void TearDown() override {
    CloseLog();
    Tcl_DeleteInterp(interp_);
  }
  int Parse(const char* body) {
    int code = ParseReply(interp_, body, std::strlen(body), &outcome_);
    changeurl_ = outcome_.changeurl;
    return code;
  }
  std::string Result() { return Tcl_GetStringResult(interp_); }
  std::string ErrorInfo() { return Tcl_GetVar(interp_, "errorInfo", TCL_GLOBAL_ONLY); }

  qsn::testing::ScratchDir dir_;
  Tcl_Interp* interp_ = nullptr;
  std::optional<std::string> changeurl_;
  ReplyOutcome outcome_;
};

TEST_F(ParseReplyTest, QsnreplyIsTheResultAndTheLastRepeatWins) {
  EXPECT_EQ(Parse("-qsnreply {a b c}"), TCL_OK);
  EXPECT_EQ(Result(), "a b c");
  EXPECT_EQ(Parse("-qsnreply a -other x -qsnreply b"), TCL_OK);
  EXPECT_EQ(Result(), "b");
  EXPECT_EQ(Parse("-error 0 -qsnreply x"), TCL_OK);
  EXPECT_EQ(Result(), "x");
  EXPECT_EQ(Parse("-error no -qsnreply {}"), TCL_OK);
  EXPECT_EQ(Result(), "");
}

TEST_F(ParseReplyTest, AReplyWithoutQsnreplyLeavesTheResultAlone) {
  Tcl_SetObjResult(interp_, Tcl_NewStringObj("from the callback", -1));
  EXPECT_EQ(Parse("  \n\t "), TCL_OK);
  EXPECT_EQ(Result(), "from the callback");
  EXPECT_EQ(outcome_.kind, ReplyKind::kNoOption);
  EXPECT_EQ(Parse("-something else"), TCL_OK);
  EXPECT_EQ(Result(), "from the callback");
  EXPECT_EQ(outcome_.kind, ReplyKind::kNoOption);
  // A false -error makes it a reply, if one without a value.
  EXPECT_EQ(Parse("-error 0"), TCL_OK);
  EXPECT_EQ(Result(), "from the callback");
  EXPECT_EQ(outcome_.kind, ReplyKind::kValue);
}

TEST_F(ParseReplyTest, ServerErrorCarriesItsMessageAndTrace) {
  EXPECT_EQ(Parse("-error 1 -errormsg denied -errorinfo {remote trace}"), TCL_ERROR);
  EXPECT_EQ(Result(), "denied");
  EXPECT_EQ(ErrorInfo(), "Ошибка на сервере:\nremote trace\nСтек клиента:");
  // Without -errormsg the server-error line is the message.
  EXPECT_EQ(Parse("-errorinfo {t} -error yes"), TCL_ERROR);
  EXPECT_EQ(Result(), "Ошибка на сервере:");
  // A true -error with neither has an empty message: what the result held
  // (a statistics callback's last result) is not the server's.
  Tcl_SetObjResult(interp_, Tcl_NewStringObj("held", -1));
  EXPECT_EQ(Parse("-error true"), TCL_ERROR);
  EXPECT_EQ(Result(), "");
}

TEST_F(ParseReplyTest, ANonBooleanErrorFlagFailsOnlyWithoutAValue) {
  EXPECT_EQ(Parse("-error maybe"), TCL_ERROR);
  EXPECT_EQ(Result(), "expected boolean value but got \"maybe\"");
  EXPECT_EQ(outcome_.kind, ReplyKind::kMalformed);
  EXPECT_EQ(Parse("-error {} -qsnreply fine"), TCL_OK);
  EXPECT_EQ(Result(), "fine");
  EXPECT_EQ(outcome_.kind, ReplyKind::kValue);
  EXPECT_EQ(qsn::testing::ReadFile("qsnclient.log"),
            "found -error\r\nparser returns TCL_ERROR\r\n"
            "found -error\r\n-error \"\" is no boolean: -qsnreply is returned\r\n");
}

TEST_F(ParseReplyTest, MalformedRepliesFail) {
  EXPECT_EQ(Parse("-qsnreply"), TCL_ERROR);
  EXPECT_EQ(Result(), "Нечётное число элементов в ответе");
  EXPECT_EQ(outcome_.kind, ReplyKind::kMalformed);
  EXPECT_EQ(Parse("-qsnreply {unclosed"), TCL_ERROR);
  EXPECT_EQ(Result(), "unmatched open brace in list");
  EXPECT_EQ(outcome_.kind, ReplyKind::kMalformed);
}

TEST_F(ParseReplyTest, ChangeurlIsGivenBackWhateverTheOutcome) {
  EXPECT_EQ(Parse("-changeurl /next -qsnreply ok"), TCL_OK);
  EXPECT_EQ(changeurl_, "/next");
  EXPECT_EQ(Parse("-changeurl /user/7 -error 1 -errormsg no"), TCL_ERROR);
  EXPECT_EQ(changeurl_, "/user/7");
  // An empty path is a path; a reply without one, or no list of pairs,
  // leaves none from an earlier parse.
  EXPECT_EQ(Parse("-changeurl {} -qsnreply ok"), TCL_OK);
  EXPECT_EQ(changeurl_, "");
  EXPECT_EQ(Parse("-qsnreply ok"), TCL_OK);
  EXPECT_EQ(changeurl_, std::nullopt);
  changeurl_ = "/before";
  EXPECT_EQ(Parse("-changeurl /odd -qsnreply"), TCL_ERROR);
  EXPECT_EQ(changeurl_, std::nullopt);
}

TEST_F(ParseReplyTest, LogsErrorsAtLevelOne) {
  LogLevel = 1;
  Parse("-error 1 -errormsg x");
  Parse("-qsnreply fine");
  LogLevel = 3;
  EXPECT_EQ(qsn::testing::ReadFile("qsnclient.log"),
            "found -error\r\nfound -error yes\r\nparser returns TCL_ERROR\r\n");
}

}  // namespace

}  // namespace qsn

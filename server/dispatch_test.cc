// One request on a real interpreter, without sockets: which procs may be
// called, the reply lists, and the qsn:: commands.
#include "server/dispatch.h"

#include <gtest/gtest.h>
#include <tcl.h>

#include <string>
#include <vector>

#include "base/owners.h"
#include "base/tcl_text.h"
#include "server/reply_list.h"

namespace qsn {
namespace {

constexpr char kApp[] = R"(
namespace eval ::rpc { variable calls 0 }
namespace eval ::rpc::inner {}
proc ::rpc::echo {args} { incr ::rpc::calls; return $args }
proc ::rpc::fail {message} { inner $message }
proc ::rpc::inner {message} { error $message }
proc ::rpc::go {path value} { qsn::changeurl $path; return $value }
proc ::rpc::failgo {path message} { qsn::changeurl $path; error $message }
proc ::rpc::stop {} { return -code break }
proc ::rpc::quit {} { exit 3 }
proc ::rpc::run {script} { eval $script }
proc ::rpc::inner::x {} { incr ::rpc::calls }
proc ::hidden {} { incr ::rpc::calls }
)";

class DispatchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Tcl_FindExecutable(nullptr); }
  void SetUp() override {
    InitTclText();
    interp_ = Tcl_CreateInterp();
    RegisterQsnCommands(interp_, &context_);
    ASSERT_EQ(Tcl_Eval(interp_, kApp), TCL_OK) << Tcl_GetStringResult(interp_);
  }
  void TearDown() override {
    Tcl_DeleteInterp(interp_);
    FreeTclText();
  }

  AppReply Call(const std::string& command, const std::string& arglist,
                AppRequest request = {}) {
    request.command = command;
    request.arglist = arglist;
    return Dispatch(interp_, &context_, request, settings_);
  }
  // The reply's words, as a client splitting it as a list gets them.
  std::vector<std::string> Words(const std::string& reply) {
    ObjRef list(FromUtf8(reply));
    int count = 0;
    Tcl_Obj** words = nullptr;
    EXPECT_EQ(Tcl_ListObjGetElements(interp_, list.get(), &count, &words), TCL_OK)
        << reply;
    std::vector<std::string> result;
    for (int i = 0; i < count; ++i) result.push_back(ToUtf8(words[i]));
    return result;
  }
  // What the application's calls counted.
  std::string Calls() { return Tcl_GetVar(interp_, "::rpc::calls", TCL_GLOBAL_ONLY); }

  RequestContext context_;
  AppSettings settings_;
  Tcl_Interp* interp_ = nullptr;
};

TEST_F(DispatchTest, AReturnIsTheValueAndChangeurlIsAdded) {
  AppReply reply = Call("echo", "a {b c}");
  EXPECT_EQ(reply.body, "-qsnreply {a {b c}}");
  EXPECT_EQ(reply.status, 200);
  EXPECT_FALSE(reply.error);
  EXPECT_EQ(Call("go", "/user/7 v").body, "-qsnreply v -changeurl /user/7");
  // What the last request changed is not carried into the next.
  EXPECT_EQ(Call("echo", "x").body, "-qsnreply x");
}

TEST_F(DispatchTest, AnErrorCarriesItsMessageTheServersTraceAndChangeurl) {
  AppReply reply = Call("fail", "boom");
  EXPECT_TRUE(reply.error);
  std::vector<std::string> words = Words(reply.body);
  ASSERT_EQ(words.size(), 6u) << reply.body;
  EXPECT_EQ(words[0] + " " + words[1] + " " + words[2] + " " + words[3],
            "-error 1 -errormsg boom");
  EXPECT_EQ(words[4], "-errorinfo");
  EXPECT_NE(words[5].find("\"::rpc::fail boom\""), std::string::npos) << words[5];
  EXPECT_EQ(Words(Call("failgo", "/x {no way}").body).back(), "/x");
  // A proc that breaks out of itself ends in an error, not in a reply.
  EXPECT_EQ(Words(Call("stop", "").body)[3], "invoked \"break\" outside of a loop");
}

TEST_F(DispatchTest, OnlyProcsDefinedDirectlyInRpcAreCalled) {
  for (const char* name :
       {"exec", "exit", "hidden", "::hidden", "::rpc::echo", "::rpc::../x", "ec*",
        "echo]", "../echo", "inner::x", ":echo", ""}) {
    AppReply reply = Call(name, "x");
    EXPECT_EQ(reply.body,
              ProtocolErrorReply("unknown command \"" + std::string(name) + "\""))
        << name;
    EXPECT_TRUE(reply.error) << name;
  }
  EXPECT_EQ(Calls(), "0");
  // exit, reached from a proc, fails instead of ending the server.
  EXPECT_EQ(Words(Call("quit", "").body)[3],
            "exit is not available to an application of the server");
}

TEST_F(DispatchTest, ARequestUnfitToRunIsRefusedBeforeTheApplicationSeesIt) {
  AppRequest unfit;
  unfit.protocol_error = "the request is not multipart/form-data";
  EXPECT_EQ(Call("echo", "x", unfit).body,
            "-error 1 -errormsg {the request is not multipart/form-data}");
  EXPECT_EQ(
      Call("echo", "{").body,
      "-error 1 -errormsg {arglist is not a Tcl list: unmatched open brace in list}");
  EXPECT_EQ(Calls(), "0");
}

TEST_F(DispatchTest, ACallTakesAtMostTheArgumentsTheSettingsAllow) {
  settings_.max_arguments = 3;
  EXPECT_EQ(Call("echo", " a {b c} \"d e\" ").body, "-qsnreply {a {b c} {d e}}");
  // One element of many words is one argument.
  EXPECT_EQ(Call("echo", "{a b c d e}").body, "-qsnreply {{a b c d e}}");
  EXPECT_EQ(Call("echo", "a b c d").body,
            "-error 1 -errormsg {arglist has more than the 3 elements a call may take}");
  EXPECT_EQ(Calls(), "2");
}

TEST_F(DispatchTest, QsnCommandsReadTheRequestBeingServed) {
  AppRequest request;
  request.path = "/users/anna";
  request.headers = {{"X-Mode", "fast"}, {"Cookie", "a=1; sid=42"}};
  EXPECT_EQ(
      Call("run", "{list [qsn::path] [qsn::header x-mode] [qsn::header none]}", request)
          .body,
      "-qsnreply {/users/anna fast {}}");
  EXPECT_EQ(Call("run", "{list [qsn::cookie sid] [qsn::cookie s]}", request).body,
            "-qsnreply {42 {}}");
  EXPECT_EQ(Words(Call("run", "{qsn::header}").body)[3],
            "wrong # args: should be \"qsn::header name\"");
  // Between requests there is nothing to read.
  EXPECT_EQ(Tcl_Eval(interp_, "qsn::path"), TCL_ERROR);
  EXPECT_STREQ(Tcl_GetStringResult(interp_), "qsn::path: no request is being served");
}

TEST_F(DispatchTest, QsnCommandsShapeTheReply) {
  AppReply cookie = Call("run", "{qsn::setcookie n 5; qsn::setcookie m 6 Secure}");
  ASSERT_EQ(cookie.headers.size(), 2u);
  EXPECT_EQ(cookie.headers[0].second, "n=5; Path=/");
  EXPECT_EQ(cookie.headers[1].second, "m=6; Secure");
  EXPECT_TRUE(Call("run", "{qsn::setcookie n \"a\\r\\nX: y\"}").headers.empty());

  AppReply raw = Call("run", "{qsn::raw 404 [binary format H* 00ff]}");
  EXPECT_EQ(raw.status, 404);
  EXPECT_EQ(raw.body, std::string("\0\xff", 2));
  EXPECT_FALSE(raw.error);
  EXPECT_EQ(Words(Call("run", "{qsn::raw 204 text}").body)[3],
            "status 204 carries no body");
  EXPECT_EQ(Words(Call("run", "{qsn::raw 199 {}}").body)[3],
            "status 199 is not 200 to 599");

  AppReply cut = Call("run", "{qsn::cut 0123456789 4}");
  EXPECT_EQ(cut.body, "0123456789");
  EXPECT_EQ(cut.cut_after, 4);
  EXPECT_EQ(Words(Call("run", "{qsn::cut 0123 4}").body)[3],
            "bytes must be below the body's length");

  AppReply delayed = Call("run", "{qsn::delay 250; return late}");
  EXPECT_EQ(delayed.delay_ms, 250);
  EXPECT_EQ(delayed.body, "-qsnreply late");
  EXPECT_EQ(Words(Call("run", "{qsn::delay 600001}").body)[3],
            "delay must be 0 to 600000 ms");
}

TEST(ReplyList, ValuesComeBackWhenTheReplyIsSplitAsAList) {
  Tcl_FindExecutable(nullptr);
  InitTclText();
  Tcl_Interp* interp = Tcl_CreateInterp();
  // Unbalanced braces, a backslash, NUL and a character past U+FFFF.
  const std::string value = std::string("{a \\ }} \"q", 10) + std::string(1, '\0') + "😀";
  Tcl_SetObjResult(interp, FromUtf8(value));
  ObjRef reply(FromUtf8(CallReply(interp, TCL_OK, "/p")));
  int count = 0;
  Tcl_Obj** words = nullptr;
  ASSERT_EQ(Tcl_ListObjGetElements(interp, reply.get(), &count, &words), TCL_OK);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(ToUtf8(words[1]), value);
  EXPECT_EQ(ToUtf8(words[3]), "/p");

  ObjRef fixed(FromUtf8(FixedErrorReply("the server is stopping")));
  ASSERT_EQ(Tcl_ListObjGetElements(interp, fixed.get(), &count, &words), TCL_OK);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(ToUtf8(words[3]), "the server is stopping");
  Tcl_DeleteInterp(interp);
  FreeTclText();
}

}  // namespace
}  // namespace qsn

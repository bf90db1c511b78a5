// The session table goes with its interpreter: deleting the interpreter
// closes its sessions, a no-wait transfer in flight included.
#include "session/session_table.h"

#include <gtest/gtest.h>

#include <string>

namespace qsn {

namespace {

// Runs `script` in `interp`, failing the test with Tcl's message if it fails.
std::string Eval(Tcl_Interp* interp, const std::string& script) {
  int code = Tcl_EvalEx(interp, script.c_str(), -1, TCL_EVAL_GLOBAL);
  std::string result = Tcl_GetStringResult(interp);
  EXPECT_EQ(code, TCL_OK) << script << ": " << result;
  return result;
}

TEST(SessionTable, DeletingTheInterpreterClosesItsSessionsAndTheirTransfers) {
  Tcl_FindExecutable(nullptr);
  // The peer lives in an interpreter of its own, which outlives the
  // client's: a listening socket that takes the connection and never
  // answers, so the client's no-wait request stays in flight.
  Tcl_Interp* peer = Tcl_CreateInterp();
  std::string port = Eval(peer, R"(
    set listener [socket -server {apply {{channel address port} {
        fconfigure $channel -blocking 0 -translation binary
        set ::connection $channel
    }}} -myaddr 127.0.0.1 0]
    lindex [fconfigure $listener -sockname] 2)");

  Tcl_Interp* client = Tcl_CreateInterp();
  RegisterSessionCommands(client);
  Eval(client, "set s [createQSNsession http://127.0.0.1:" + port +
                   "/app]; requestQSN $s add {2 3} 1; set s");
  Eval(client, "createQSNsession http://127.0.0.1:" + port + "/other");
  EXPECT_EQ(Eval(peer, R"(
    after 5000 {set ::connection none}
    vwait ::connection
    set ::connection)")
                .rfind("sock", 0),
            0u)
      << "the no-wait request never connected";

  // The connection is still open: reading finds no end of file.
  EXPECT_EQ(Eval(peer, "read $::connection; eof $::connection"), "0");
  Tcl_DeleteInterp(client);
  // The client's end is closed at once: what it sent is followed by the
  // end of the stream, within a second.
  EXPECT_EQ(Eval(peer, R"(
    set deadline [expr {[clock milliseconds] + 1000}]
    while {![eof $::connection] && [clock milliseconds] < $deadline} {
        read $::connection
        after 10
    }
    eof $::connection)"),
            "1");
  Eval(peer, "close $::connection; close $listener");
  Tcl_DeleteInterp(peer);
}

}  // namespace

}  // namespace qsn

// The transfers' event source belongs to its interpreter: two interpreters
// of one thread each get their sendQSN requests concluded in their own
// event handling, and deleting one, with a request in flight, leaves the
// other's going.
#include "session/transfer_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "session/session_table.h"

namespace qsn {

namespace {

std::string Eval(Tcl_Interp* interp, const std::string& script) {
  int code = Tcl_EvalEx(interp, script.c_str(), -1, TCL_EVAL_GLOBAL);
  std::string result = Tcl_GetStringResult(interp);
  EXPECT_EQ(code, TCL_OK) << script << ": " << result;
  return result;
}

// An HTTP server of the thread's event loop, in an interpreter of its own:
// it answers every POST with "-qsnreply ok", except one to /hang, which it
// takes and never answers. Returns its port.
std::string StartPeer(Tcl_Interp* peer) {
  return Eval(peer, R"(
    proc accept {channel address port} {
        fconfigure $channel -blocking 0 -translation binary
        set ::buffer($channel) {}
        fileevent $channel readable [list take $channel]
    }
    proc take {channel} {
        append ::buffer($channel) [read $channel]
        if {[eof $channel]} { close $channel; return }
        set end [string first "\r\n\r\n" $::buffer($channel)]
        if {$end < 0 || ![regexp -nocase {content-length: *(\d+)} $::buffer($channel) -> length]
            || [string length $::buffer($channel)] < $end + 4 + $length} return
        set head [string range $::buffer($channel) 0 $end]
        set ::buffer($channel) [string range $::buffer($channel) [expr {$end + 4 + $length}] end]
        if {[string match "POST /hang*" $head]} return
        set body "-qsnreply ok"
        puts -nonewline $channel "HTTP/1.1 200 OK\r\nContent-Length: [string length $body]\r\n\r\n$body"
        flush $channel
    }
    set listener [socket -server accept -myaddr 127.0.0.1 0]
    lindex [fconfigure $listener -sockname] 2)");
}

// Turns the thread's event loop until `variable` of `interp` exists, for at
// most `ms` milliseconds. Tcl's wait is bounded by the source while a
// transfer is in flight, and by a timer at the deadline otherwise.
bool RunUntil(Tcl_Interp* interp, const char* variable, int ms = 2000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  Tcl_TimerToken timer = Tcl_CreateTimerHandler(
      ms, [](ClientData) {}, nullptr);
  while (!Tcl_GetVar(interp, variable, TCL_GLOBAL_ONLY) &&
         std::chrono::steady_clock::now() < deadline)
    Tcl_DoOneEvent(TCL_ALL_EVENTS);
  Tcl_DeleteTimerHandler(timer);
  return Tcl_GetVar(interp, variable, TCL_GLOBAL_ONLY) != nullptr;
}

Tcl_Interp* Client(const std::string& url) {
  Tcl_Interp* client = Tcl_CreateInterp();
  RegisterSessionCommands(client);
  Eval(client, "set s [createQSNsession " + url + "]");
  return client;
}

TEST(TransferSource, EachInterpreterHasItsOwnAndItGoesWithTheInterpreter) {
  Tcl_FindExecutable(nullptr);
  Tcl_Interp* peer = Tcl_CreateInterp();
  std::string url = "http://127.0.0.1:" + StartPeer(peer) + "/";
  Tcl_Interp* first = Client(url);
  Tcl_Interp* second = Client(url);

  Eval(first, "sendQSN $s echo {} {lappend ::done}");
  Eval(second, "sendQSN $s echo {} {lappend ::done}");
  ASSERT_TRUE(RunUntil(first, "done"));
  ASSERT_TRUE(RunUntil(second, "done"));
  EXPECT_EQ(Eval(first, "set done"), "0 ok");
  EXPECT_EQ(Eval(second, "set done"), "0 ok");

  // The first interpreter goes while a request of its waits on the peer.
  Eval(first, "sendQSN [createQSNsession " + url + "hang] echo {} {lappend ::hung}");
  EXPECT_FALSE(RunUntil(first, "hung", 300));
  Tcl_DeleteInterp(first);
  Eval(second, "unset done; sendQSN $s echo {} {lappend ::done}");
  ASSERT_TRUE(RunUntil(second, "done"));
  EXPECT_EQ(Eval(second, "set done"), "0 ok");

  Tcl_DeleteInterp(second);
  Eval(peer, "close $listener");
  Tcl_DeleteInterp(peer);
}

}  // namespace

}  // namespace qsn

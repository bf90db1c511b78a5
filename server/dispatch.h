// Serving one request on the Tcl thread: the proc ::rpc::<command> is
// called with the elements of the argument list, and its outcome becomes
// the reply.
#pragma once

#include <tcl.h>

#include "server/app_call.h"
#include "server/qsn_commands.h"

// Serves `request` in `interp`, whose qsn:: commands work on `context`. A
// call running longer than `call_timeout` seconds (0: no limit) ends in an
// error reply.
AppReply Dispatch(Tcl_Interp* interp, RequestContext* context, const AppRequest& request,
                  int call_timeout);

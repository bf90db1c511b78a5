// Serving one request on the Tcl thread: the proc ::rpc::<command> is
// called with the elements of the argument list, and its outcome becomes
// the reply.
#pragma once

#include <tcl.h>

#include "server/app_call.h"
#include "server/qsn_commands.h"

namespace qsn {

// Serves `request` in `interp`, whose qsn:: commands work on `context`. A
// call running longer than the settings' call_timeout ends in an error
// reply; with their trace on, every error reply is told on standard error.
AppReply Dispatch(Tcl_Interp* interp, RequestContext* context, const AppRequest& request,
                  const AppSettings& settings);

}  // namespace qsn

// Channels that discard output and read nothing, for missing standard ones.
#include "host/standard_channels.h"

#include <tcl.h>

#include <initializer_list>

namespace qsn {
namespace {

int CloseNothing(ClientData, Tcl_Interp*) noexcept { return 0; }

int ReadNothing(ClientData, char*, int, int*) noexcept { return 0; }

int DiscardOutput(ClientData, const char*, int to_write, int*) noexcept {
  return to_write;
}

void WatchNothing(ClientData, int) noexcept {}

// No OS handle stands behind it: `fileevent` and `chan copy` see none.
int NoHandle(ClientData, int, ClientData*) noexcept { return TCL_ERROR; }

Tcl_ChannelType MakeNullChannelType() {
  Tcl_ChannelType type{};
  type.typeName = "null";
  type.version = TCL_CHANNEL_VERSION_5;
  type.closeProc = CloseNothing;
  type.inputProc = ReadNothing;
  type.outputProc = DiscardOutput;
  type.watchProc = WatchNothing;
  type.getHandleProc = NoHandle;
  return type;
}

const Tcl_ChannelType kNullChannel = MakeNullChannelType();

}  // namespace

void ProvideStandardChannels() {
  struct Standard {
    int type;
    const char* name;
    int mask;
  };
  for (const Standard& standard : {Standard{TCL_STDIN, "nullin", TCL_READABLE},
                                   Standard{TCL_STDOUT, "nullout", TCL_WRITABLE},
                                   Standard{TCL_STDERR, "nullerr", TCL_WRITABLE}}) {
    if (Tcl_GetStdChannel(standard.type)) continue;
    Tcl_Channel channel =
        Tcl_CreateChannel(&kNullChannel, standard.name, nullptr, standard.mask);
    Tcl_SetStdChannel(channel, standard.type);
    // As Tcl does for the standard channels it opens: a reference of the
    // process's, so that closing it in a script does not free it under Tcl.
    Tcl_RegisterChannel(nullptr, channel);
  }
}

}  // namespace qsn

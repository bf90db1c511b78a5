// mputs: the timestamp, each word and the blanks between them are the
// log's messages as ever (each bounded and converted on its own), written
// to the file together as one line in one write.
#include "log/mputs.h"

#include "base/owners.h"
#include "log/log.h"

namespace qsn {

// mputs ?word ...?
int MputsCmd(ClientData, Tcl_Interp*, int objc, Tcl_Obj* const objv[]) noexcept {
  LogLine line(3);
  if (!line.wanted()) return TCL_OK;
  DString prefix;
  Tcl_DStringAppend(prefix.get(), "[", 1);
  AppendTimestamp(prefix.get());
  Tcl_DStringAppend(prefix.get(), "]:", 2);
  line.Add(prefix.value(), prefix.length());
  for (int i = 1; i < objc; ++i) {
    if (i > 1) line.Add(" ", 1);
    // A Tcl string holds no NUL byte (U+0000 is C0 80), so this is the
    // text "%s" took before.
    int length;
    const char* word = Tcl_GetStringFromObj(objv[i], &length);
    line.Add(word, length);
  }
  line.Add("\n", 1);
  line.Write();
  return TCL_OK;
}

}  // namespace qsn

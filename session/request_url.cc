// Composition of the request URL.
#include "session/request_url.h"

void ComposeRequestUrl(Session* session) {
  Tcl_DString* url = session->request_url.get();
  Tcl_DStringSetLength(url, 0);
  Tcl_DStringAppend(url, session->base_url.value(), session->base_url.length());

  int length = Tcl_DStringLength(url);
  bool base_slash = length > 0 && Tcl_DStringValue(url)[length - 1] == '/';
  bool path_slash = session->path.value()[0] == '/';
  if (!base_slash && !path_slash) {
    Tcl_DStringAppend(url, "/", 1);
  } else if (base_slash && path_slash) {
    Tcl_DStringSetLength(url, length - 1);
  }
  Tcl_DStringAppend(url, session->path.value(), session->path.length());
}

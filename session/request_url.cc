// Composition of the request URL.
#include "session/request_url.h"

void ComposeRequestUrl(Session* session) {
  Tcl_DString* url = &session->request_url;
  Tcl_DStringSetLength(url, 0);
  Tcl_DStringAppend(url, Tcl_DStringValue(&session->base_url),
                    Tcl_DStringLength(&session->base_url));

  int length = Tcl_DStringLength(url);
  bool base_slash = length > 0 && Tcl_DStringValue(url)[length - 1] == '/';
  bool path_slash = Tcl_DStringValue(&session->path)[0] == '/';
  if (!base_slash && !path_slash) {
    Tcl_DStringAppend(url, "/", 1);
  } else if (base_slash && path_slash) {
    Tcl_DStringSetLength(url, length - 1);
  }
  Tcl_DStringAppend(url, Tcl_DStringValue(&session->path),
                    Tcl_DStringLength(&session->path));
}

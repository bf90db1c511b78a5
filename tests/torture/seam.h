// The fault-injection seam of the torture run. qsnclient and qsnpack are
// linked with -Wl,--wrap= for every fallible call they make, so each call
// from their own objects reaches a __wrap_ function here first (calls made
// inside libcurl, Tcl or OpenSSL are theirs, and are not counted).
//
// Every wrapped call is numbered as it happens. QSN_FAIL_CALL=k makes call
// number k fail the way that function really fails (NULL, an error code,
// -1 with errno) without doing its work; QSN_CALL_TRACE=FILE records one
// line per call, "k name", with " failed" after the one that failed, so the
// harness learns how many calls a run makes and which one it broke.
#pragma once

namespace qsn::torture {

// Numbers this call of `name`; true when it is the one to fail.
bool FailThisCall(const char* name);

}  // namespace qsn::torture

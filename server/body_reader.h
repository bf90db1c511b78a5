// A request as the application sees it: its path and headers, then the
// fields "command" and "arglist" of its form, read as the body arrives.
#pragma once

#include <httplib.h>

#include <cstddef>

#include "server/app_call.h"

namespace qsn {

// The refusal of a request whose body is not a form, or that has none.
extern const char kNotMultipart[];

// The request before its body is read. The connection's addresses are the
// socket's (REMOTE_ADDR, REMOTE_PORT, LOCAL_ADDR, LOCAL_PORT): headers of
// those names sent by the client are dropped.
AppRequest RequestOf(const httplib::Request& req);

// Reads the body as it arrives, so that the limit of `max_body` bytes holds
// for chunked bodies too, and keeps the first "command" and "arglist" fields
// in *request; a body that is no form, or lacks a field, leaves its
// protocol_error set. False when the body could not be read to its end;
// *too_big when that was for its size.
bool ReadBody(const httplib::Request& req, const httplib::ContentReader& reader,
              size_t max_body, AppRequest* request, bool* too_big);

}  // namespace qsn
